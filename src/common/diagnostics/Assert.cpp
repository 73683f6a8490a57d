#include "common/diagnostics/Assert.h"

#include "framework/log/Log.h"
#include "platform/Debug.h"

namespace tamber::common::diagnostics {

void Assert::DoAssert(bool condition, const std::wstring& message) {
  if (condition) return;
  if (platform::IsDebuggerPresent()) platform::DebugBreak();
  Log(LogLevel::Warn, L"tamber::common::diagnostics::Assert::DoAssert(): %ws", message);
  framework::log::FlushLog();
  platform::AbortProcess();
}

}  // namespace tamber::common::diagnostics
