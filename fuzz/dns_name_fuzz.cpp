// Fuzzes the checks that stand between outside text and the nltest command line: a name that passes is
// letters, digits, hyphens and dots only, in labels of 1 to 63 characters, 253 at most; a controller name
// that passes is two such names around one backslash; refused text is printable and bounded for the log.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/util/DnsName.h"

using tamber::common::util::DnsName;

namespace {

bool IsNameCharacter(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'.';
}

void CheckName(const std::wstring& text) {
  if (!DnsName::IsValidName(text)) return;
  if (text.empty() || text.size() > DnsName::kMaxNameLength) std::abort();
  size_t labelLength = 0;
  wchar_t previous = L'.';
  for (wchar_t c : text) {
    if (!IsNameCharacter(c)) std::abort();
    if (c == L'.') {
      if (labelLength == 0 || previous == L'-') std::abort();
      labelLength = 0;
    } else {
      if (labelLength == 0 && c == L'-') std::abort();
      if (++labelLength > DnsName::kMaxLabelLength) std::abort();
    }
    previous = c;
  }
  if (labelLength == 0 || previous == L'-') std::abort();
  if (!DnsName::Equal(text, text)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Two bytes a character, so that characters outside ASCII and nulls are tried too.
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  CheckName(text);
  if (DnsName::IsValidControllerName(text)) {
    size_t slash = text.find(L'\\');
    if (slash == std::wstring::npos || text.find(L'\\', slash + 1) != std::wstring::npos) std::abort();
    if (!DnsName::IsValidName(text.substr(0, slash)) || !DnsName::IsValidName(text.substr(slash + 1))) std::abort();
  }
  std::wstring printable = DnsName::Printable(text);
  if (printable.size() > DnsName::kMaxPrintableLength) std::abort();
  for (wchar_t c : printable) {
    if (c < 0x20 || c >= 0x7F) std::abort();
  }
  return 0;
}
