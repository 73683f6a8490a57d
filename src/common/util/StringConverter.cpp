#include "common/util/StringConverter.h"

#include <vector>

#include "framework/log/Log.h"
#include "platform/Environment.h"

namespace tamber::common::i18n {

std::string StringConverter::ToUtf8String(const std::wstring& text) {
  int expected = platform::WideCharToMultiByte(platform::kCodePageUtf8, 0, text.c_str(), -1, nullptr, 0);
  if (expected <= 0) {
    Log(LogLevel::Error,
        L"tamber::common::i18n::StringConverter::ToUtf8String(): Unable to perform conversion to utf8 string");
    return {};
  }
  std::vector<char> buffer(static_cast<size_t>(expected), '\0');
  int converted = platform::WideCharToMultiByte(platform::kCodePageUtf8, 0, text.c_str(), -1, buffer.data(), expected);
  if (converted != expected) {
    Log(LogLevel::Error,
        L"tamber::common::i18n::StringConverter::ToUtf8String(): Unable to perform conversion to utf8 string. Expected string size: %d, Got string of size: %d",
        expected, converted);
    if (converted > 0) {
      Log(LogLevel::Error, L"tamber::common::i18n::StringConverter::ToUtf8String(): Returned string: %s",
          std::string(buffer.data(), static_cast<size_t>(converted)));
    }
    return {};
  }
  return std::string(buffer.data(), static_cast<size_t>(expected - 1));
}

std::wstring StringConverter::Utf8ToWString(const std::string& text) {
  int expected = platform::MultiByteToWideChar(platform::kCodePageUtf8, 0, text.c_str(), -1, nullptr, 0);
  if (expected <= 0) {
    Log(LogLevel::Error, L"tamber::common::i18n::StringConverter::Utf8ToWString(): Unable to get size for wstring");
    return {};
  }
  std::vector<wchar_t> buffer(static_cast<size_t>(expected), L'\0');
  int converted = platform::MultiByteToWideChar(platform::kCodePageUtf8, 0, text.c_str(), -1, buffer.data(), expected);
  if (converted != expected) {
    Log(LogLevel::Error, L"tamber::common::i18n::StringConverter::Utf8ToWString(): Unable to convert to wstring");
    return {};
  }
  return std::wstring(buffer.data(), static_cast<size_t>(expected - 1));
}

}  // namespace tamber::common::i18n
