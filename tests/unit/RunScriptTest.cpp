// The script runner against real child processes (host commands natively, cmd.exe under Wine).
#include <algorithm>
#include <chrono>
#include <string>

#include "common/util/Util.h"
#include "support/ChildCommands.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

using common::util::Util;

constexpr uint32_t kGenerousTimeoutMs = 60000;

std::string WithoutCarriageReturns(std::string text) {
  std::erase(text, '\r');
  return text;
}

class RunScriptTest : public GuestTest {
 protected:
  LogCapture log_;

  size_t Logged(LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log_.Count(level, fragment);
  }
};

TEST_F(RunScriptTest, ExitCodeZeroIsSuccessAndAnyOtherIsFailure) {
  std::string output;
  EXPECT_TRUE(Util::RunScript(ExitCommand(0), output, /*logOutput=*/false, kGenerousTimeoutMs));
  EXPECT_FALSE(Util::RunScript(ExitCommand(3), output, /*logOutput=*/false, kGenerousTimeoutMs));
  EXPECT_TRUE(Util::RunScript(ExitCommand(0)));  // the one-argument form: same verdict

  EXPECT_EQ(Logged(LogLevel::Debug, L"tamber::common::util::Util::RunScript(): Created Process"), 3u);
  EXPECT_EQ(Logged(LogLevel::Debug, L"tamber::common::util::Util::RunScript(): Script Returned True"), 2u);
  EXPECT_EQ(Logged(LogLevel::Debug, L"tamber::common::util::Util::RunScript(): Script Returned False"), 1u);
  EXPECT_GE(Logged(LogLevel::Debug, L"tamber::common::util::Util::GetScriptOutput(): Process Has Terminated"), 3u);
  EXPECT_EQ(Logged(LogLevel::Error, L"Timed out waiting for script"), 0u);
}

TEST_F(RunScriptTest, CapturesOutputAndLogsEachLine) {
  std::string output = "left over from before";
  ASSERT_TRUE(Util::RunScript(PrintLinesCommand(), output, /*logOutput=*/true, kGenerousTimeoutMs));
  EXPECT_EQ(WithoutCarriageReturns(output), "a\nb\n");
  EXPECT_EQ(Logged(LogLevel::Debug, L"tamber::common::util::Util::LogScriptOutput(): "), 2u);
  EXPECT_EQ(Logged(LogLevel::Debug, L"tamber::common::util::Util::LogScriptOutput(): a"), 1u);
  EXPECT_EQ(Logged(LogLevel::Debug, L"tamber::common::util::Util::LogScriptOutput(): b"), 1u);
}

TEST_F(RunScriptTest, OutputIsCapturedButNotLoggedWhenLoggingIsOff) {
  std::string output;
  ASSERT_TRUE(Util::RunScript(PrintLinesCommand(), output, /*logOutput=*/false, kGenerousTimeoutMs));
  EXPECT_EQ(WithoutCarriageReturns(output), "a\nb\n");
  EXPECT_EQ(Logged(LogLevel::Debug, L"LogScriptOutput()"), 0u);
}

TEST_F(RunScriptTest, TimeOutReturnsFalseQuicklyAndLeavesTheChildRunning) {
  SleepingChild child(10000);
  std::string output;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Util::RunScript(child.CommandLine(), output, /*logOutput=*/true, 2500));
  auto elapsed = std::chrono::steady_clock::now() - start;

  // Three polls of at most a second each, not the child's ten seconds.
  EXPECT_LT(elapsed, std::chrono::seconds(7));
  EXPECT_EQ(Logged(LogLevel::Error, L"tamber::common::util::Util::GetScriptOutput(): Timed out waiting for script"),
            1u);
  EXPECT_EQ(Logged(LogLevel::Debug, L"tamber::common::util::Util::RunScript(): Script Returned False"), 1u);
  EXPECT_EQ(Logged(LogLevel::Debug, L"Process Has Terminated"), 0u);
  EXPECT_TRUE(child.IsRunning());
}

TEST_F(RunScriptTest, EmptyCommandLineStartsNothing) {
  std::string output = "stale";
  EXPECT_TRUE(Util::RunScript(L"", output, /*logOutput=*/true, kGenerousTimeoutMs));
  EXPECT_TRUE(output.empty());
  EXPECT_EQ(Logged(LogLevel::Warn, L"tamber::common::util::Util::RunScript(): Skipping empty script"), 1u);
  EXPECT_EQ(Logged(LogLevel::Debug, L"Created Process"), 0u);
}

TEST_F(RunScriptTest, MissingProgramFailsToStart) {
  std::string output;
  EXPECT_FALSE(Util::RunScript(MissingProgramCommand(), output, /*logOutput=*/true, kGenerousTimeoutMs));
  EXPECT_EQ(Logged(LogLevel::Error, L"tamber::common::util::Util::RunScript(): Failed Creating Process: 0x80070002"),
            1u);
  EXPECT_EQ(Logged(LogLevel::Debug, L"Created Process"), 0u);
}

}  // namespace
}  // namespace tamber::test
