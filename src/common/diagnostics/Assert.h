#pragma once

#include <string>

namespace tamber::common::diagnostics {

class Assert {
 public:
  // A false condition is never survived: the message is logged and the process ends.
  static void DoAssert(bool condition, const std::wstring& message);
};

}  // namespace tamber::common::diagnostics
