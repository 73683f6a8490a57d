#include "common/util/EnvironmentUtil.h"

#include <vector>

#include "framework/log/Log.h"
#include "platform/Environment.h"

namespace tamber::common::windows::util {

std::wstring Util::ExpandEnvString(const std::wstring& text) {
  Log(LogLevel::Debug, L"tamber::common::windows::util::Util::ExpandEnvString(): Input string %ws", text);
  uint32_t size = platform::ExpandEnvironmentStrings(text.c_str(), nullptr, 0);
  if (size == 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::util::Util::ExpandEnvString(): Unable to expand environemnt variables.");
    return {};
  }
  std::vector<wchar_t> buffer(size, L'\0');
  uint32_t written = platform::ExpandEnvironmentStrings(text.c_str(), buffer.data(), size);
  // The environment may have grown in between; a result that no longer fits is a failure too.
  if (written == 0 || written > size) {
    Log(LogLevel::Error,
        L"tamber::common::windows::util::Util::ExpandEnvString(): Unable to expand environemnt variables.");
    return {};
  }
  std::wstring expanded(buffer.data());
  Log(LogLevel::Debug, L"tamber::common::windows::util::Util::ExpandEnvString(): Expanded string %ws", expanded);
  return expanded;
}

}  // namespace tamber::common::windows::util
