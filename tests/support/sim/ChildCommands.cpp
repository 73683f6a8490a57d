// Child processes on the simulated guest: command lines that the guest does not know as one of its
// tools start real host processes.
#include "support/ChildCommands.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tamber::test {
namespace {

std::filesystem::path TestProgramDirectory() { return std::filesystem::read_symlink("/proc/self/exe").parent_path(); }

}  // namespace

std::wstring ExitCommand(uint32_t code) { return L"sh -c \"exit " + std::to_wstring(code) + L"\""; }

std::wstring PrintLinesCommand() { return L"printf \"a\\nb\\n\""; }

std::wstring MissingProgramCommand() { return L"velocyn-no-such-program.exe --version"; }

SleepingChild::SleepingChild(uint32_t sleepMilliseconds) {
  static std::atomic<int> counter{0};
  auto pidFile = std::filesystem::temp_directory_path() /
                 ("velocyn-child-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".pid");
  std::filesystem::remove(pidFile);
  pidFile_ = pidFile.wstring();
  commandLine_ = L"\"" + (TestProgramDirectory() / "velocyn_test_child").wstring() + L"\" --pid-file \"" + pidFile_ +
                 L"\" --sleep-ms " + std::to_wstring(sleepMilliseconds);
}

SleepingChild::~SleepingChild() {
  if (IsRunning()) ::kill(static_cast<pid_t>(pid_), SIGKILL);
  std::error_code ignored;
  std::filesystem::remove(std::filesystem::path(pidFile_), ignored);
}

uint32_t SleepingChild::ProcessId() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (pid_ == 0 && std::chrono::steady_clock::now() < deadline) {
    std::ifstream in{std::filesystem::path(pidFile_)};
    if (!(in >> pid_)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pid_;
}

bool SleepingChild::IsRunning() {
  uint32_t pid = ProcessId();
  if (pid == 0 || ::kill(static_cast<pid_t>(pid), 0) != 0) return false;
  // A zombie has ended; it is only waiting to be reaped.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

}  // namespace tamber::test
