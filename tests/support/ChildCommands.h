// Real child processes for the runner's tests. The command lines differ by platform: cmd.exe on
// Windows (whose output ends lines with CR LF), host commands on the simulated guest.
#pragma once

#include <cstdint>
#include <string>

namespace tamber::test {

// A command line whose process exits with the code.
std::wstring ExitCommand(uint32_t code);
// A command line whose process prints the lines "a" and "b", each ended by a line feed.
std::wstring PrintLinesCommand();
// A command line whose program does not exist.
std::wstring MissingProgramCommand();

// A child of the test program velocyn_test_child that writes its process id to a file of its own
// and then sleeps, so that a test can tell afterwards whether it still runs.
class SleepingChild {
 public:
  explicit SleepingChild(uint32_t sleepMilliseconds);
  // Ends the child if it still runs and removes its file.
  ~SleepingChild();
  SleepingChild(const SleepingChild&) = delete;
  SleepingChild& operator=(const SleepingChild&) = delete;

  const std::wstring& CommandLine() const { return commandLine_; }
  // Waits a few seconds at most for the child to have written its id, then says whether it runs.
  bool IsRunning();
  // Waits a few seconds at most for the child to have written its id: whether it ever started.
  bool Started() { return ProcessId() != 0; }

 private:
  uint32_t ProcessId();

  std::wstring commandLine_;
  std::wstring pidFile_;
  uint32_t pid_ = 0;
};

}  // namespace tamber::test
