// Child processes on Windows: real cmd.exe command lines.
#include "support/ChildCommands.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tamber::test {
namespace {

std::filesystem::path TestProgramDirectory() {
  wchar_t path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  return std::filesystem::path(std::wstring(path, length)).parent_path();
}

}  // namespace

std::wstring ExitCommand(uint32_t code) { return L"cmd.exe /c exit " + std::to_wstring(code); }

std::wstring PrintLinesCommand() { return L"cmd.exe /c \"echo a&echo b\""; }

std::wstring MissingProgramCommand() { return L"velocyn-no-such-program.exe --version"; }

SleepingChild::SleepingChild(uint32_t sleepMilliseconds) {
  static std::atomic<int> counter{0};
  auto pidFile = std::filesystem::temp_directory_path() /
                 ("velocyn-child-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + ".pid");
  std::error_code ignored;
  std::filesystem::remove(pidFile, ignored);
  pidFile_ = pidFile.wstring();
  commandLine_ = L"\"" + (TestProgramDirectory() / L"velocyn_test_child.exe").wstring() + L"\" --pid-file \"" +
                 pidFile_ + L"\" --sleep-ms " + std::to_wstring(sleepMilliseconds);
}

SleepingChild::~SleepingChild() {
  if (IsRunning()) {
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid_)) {
      TerminateProcess(process, 1);
      CloseHandle(process);
    }
  }
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
  if (pid == 0) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return false;
  bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

}  // namespace tamber::test
