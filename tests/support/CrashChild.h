// Runs the test program velocyn_crash_child (next to the test binary) against this test's guest and
// waits for it: on the simulated guest a host process booting the same machine, on Windows a real one.
#pragma once

#include <string>

namespace tamber::test {

struct CrashChildResult {
  bool started = false;
  bool endedByFault = false;  // ended by an unhandled fault (a signal, or an exception code as exit code)
  int exitCode = -1;          // when it exited normally
};

// Whether a child's fault can reach the crash handler here; when not, *why says why (a sanitizer owns
// the fault signals).
bool CrashChildrenReport(std::string* why);

// The name the child's dumps start with (the simulated loader names every program after the agent).
std::wstring CrashChildProgramName();

CrashChildResult RunCrashChild(const std::string& mode, bool holdLogLock);

}  // namespace tamber::test
