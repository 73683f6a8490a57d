#include "support/CrashChild.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "framework/crash/CrashHandler.h"
#include "platform/Registry.h"
#include "platform/sim/kernel/SimExceptions.h"
#include "platform/sim/machine/SimMachine.h"

namespace tamber::test {

bool CrashChildrenReport(std::string* why) {
  if (!platform::sim::SanitizerOwnsFaultSignals()) return true;
  *why = "AddressSanitizer owns SIGSEGV in this build; the plain native tier runs the crashing children";
  return false;
}

std::wstring CrashChildProgramName() { return CORE::DumpProgramName(); }

CrashChildResult RunCrashChild(const std::string& mode, bool holdLogLock) {
  CrashChildResult result;
  // The child boots the machine from its files: what this process wrote must be durable first.
  platform::HKey software = nullptr;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), L"SOFTWARE", 0, platform::kKeyRead, &software) ==
      platform::kErrorSuccess) {
    platform::RegFlushKey(software);
    platform::RegCloseKey(software);
  }
  std::filesystem::path program =
      std::filesystem::read_symlink("/proc/self/exe").parent_path() / VELOCYN_CRASH_CHILD_EXECUTABLE;
  std::string machine = platform::sim::Machine::Directory().string();
  pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) {
    ::setenv("VELOCYN_SIM_MACHINE", machine.c_str(), 1);
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(mode.c_str())};
    std::string hold = "--hold-log-lock";
    if (holdLogLock) argv.push_back(hold.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  result.started = !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
  result.endedByFault = WIFSIGNALED(status);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace tamber::test
