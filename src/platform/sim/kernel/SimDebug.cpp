#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/Debug.h"

namespace tamber::platform {

bool IsDebuggerPresent() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::stoi(line.substr(10)) != 0;
  }
  return false;
}

void DebugBreak() { std::raise(SIGTRAP); }

void AbortProcess() { std::abort(); }

}  // namespace tamber::platform
