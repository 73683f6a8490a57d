#include <windows.h>

#include <cstdlib>

#include "platform/Debug.h"

namespace tamber::platform {

bool IsDebuggerPresent() { return ::IsDebuggerPresent() != FALSE; }

void DebugBreak() { ::DebugBreak(); }

void AbortProcess() { std::abort(); }

}  // namespace tamber::platform
