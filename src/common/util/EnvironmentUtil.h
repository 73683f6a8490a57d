// Environment references in Windows-facing text.
#pragma once

#include <string>

namespace tamber::common::windows::util {

class Util {
 public:
  // The text with every %NAME% of a known variable replaced by its value (unknown references stay
  // as written); empty when the expansion fails.
  static std::wstring ExpandEnvString(const std::wstring& text);
};

}  // namespace tamber::common::windows::util
