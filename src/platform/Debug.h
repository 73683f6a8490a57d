// Debugger seam, for assertions.
#pragma once

namespace tamber::platform {

bool IsDebuggerPresent();
void DebugBreak();
// Ends the process at once with abort semantics (no static destructors).
[[noreturn]] void AbortProcess();

}  // namespace tamber::platform
