#include "common/util/DnsName.h"

namespace tamber::common::util {
namespace {

bool IsLetterOrDigit(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
}

bool IsValidLabel(std::wstring_view label) {
  if (label.empty() || label.size() > DnsName::kMaxLabelLength) return false;
  if (label.front() == L'-' || label.back() == L'-') return false;
  for (wchar_t c : label) {
    if (!IsLetterOrDigit(c) && c != L'-') return false;
  }
  return true;
}

wchar_t Fold(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

}  // namespace

bool DnsName::IsValidName(std::wstring_view text) {
  if (text.empty() || text.size() > kMaxNameLength) return false;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find(L'.', start);
    if (!IsValidLabel(text.substr(start, dot == std::wstring_view::npos ? std::wstring_view::npos : dot - start))) {
      return false;
    }
    if (dot == std::wstring_view::npos) return true;
    start = dot + 1;
  }
}

bool DnsName::IsValidControllerName(std::wstring_view text) {
  size_t slash = text.find(L'\\');
  if (slash == std::wstring_view::npos) return false;
  return IsValidName(text.substr(0, slash)) && IsValidName(text.substr(slash + 1));
}

bool DnsName::Equal(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

std::wstring DnsName::Printable(std::wstring_view text) {
  std::wstring printable;
  for (size_t i = 0; i < text.size() && i < kMaxPrintableLength; ++i) {
    wchar_t c = text[i];
    printable.push_back(c >= 0x20 && c < 0x7F ? c : L'?');
  }
  return printable;
}

}  // namespace tamber::common::util
