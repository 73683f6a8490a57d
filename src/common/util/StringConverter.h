// Text between wide strings and UTF-8 (hypervisor commands, script output, helper messages).
#pragma once

#include <string>

namespace tamber::common::i18n {

class StringConverter {
 public:
  // Conversion stops at the first null character, as the platform's null-terminated calls do.
  // Characters that have no UTF-8 form become U+FFFD; a failure logs and gives an empty string.
  static std::string ToUtf8String(const std::wstring& text);
  // Ill-formed UTF-8 becomes U+FFFD; a failure logs and gives an empty string.
  static std::wstring Utf8ToWString(const std::string& text);
};

}  // namespace tamber::common::i18n
