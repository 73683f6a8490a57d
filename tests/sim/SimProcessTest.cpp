// Processes and pipes of the simulated guest: command-line splitting, simulated tools, real host
// children, and that nothing leaks.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/util/Util.h"
#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/tools/SimTools.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

using namespace platform;

// Handles closed by scope, so that a failing assertion leaks nothing into the next test.
class Owned {
 public:
  Owned() = default;
  explicit Owned(Handle h) : h_(h) {}
  ~Owned() { Reset(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Handle get() const { return h_; }
  Handle* put() {
    Reset();
    return &h_;
  }
  void Reset() {
    if (h_ != nullptr) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  Handle h_ = nullptr;
};

struct Child {
  Owned process;
  Owned thread;
  uint32_t processId = 0;
  uint32_t threadId = 0;
  Owned inWrite;  // our end of the child's standard input
  Owned outRead;  // our end of the child's standard output and error
};

// Starts a child with both pipes, as the script runner does. False with the last error on failure.
bool Start(const std::wstring& commandLine, Child* child) {
  Owned inRead, outWrite;
  if (!CreatePipe(inRead.put(), child->inWrite.put(), true, 0)) return false;
  if (!CreatePipe(child->outRead.put(), outWrite.put(), true, 0)) return false;
  StartupInfo startup{true, inRead.get(), outWrite.get(), outWrite.get()};
  ProcessInformation info;
  if (!CreateProcess(commandLine, true, kCreateNoWindow, startup, &info)) return false;
  *child->process.put() = info.process;
  *child->thread.put() = info.thread;
  child->processId = info.processId;
  child->threadId = info.threadId;
  return true;
}

// Reads until the pipe reports its end; the last error must then be ERROR_BROKEN_PIPE.
std::string ReadToEnd(Handle pipe) {
  std::string text;
  char buffer[256];
  uint32_t count = 0;
  while (ReadFile(pipe, buffer, sizeof(buffer), &count)) text.append(buffer, count);
  EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
  return text;
}

uint32_t ExitCodeAfterExit(Handle process) {
  EXPECT_EQ(WaitForSingleObject(process, 30000), kWaitObject0);
  uint32_t code = 12345;
  EXPECT_TRUE(GetExitCodeProcess(process, &code));
  return code;
}

// Pipe descriptors only: the log writer opens its files when it pleases.
size_t OpenPipes() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (std::filesystem::read_symlink(entry.path(), ignored).string().starts_with("pipe:")) ++count;
  }
  return count;
}

class SimProcessTest : public GuestTest {
 protected:
  void TearDown() override {
    sim::ClearTools();
    sim::RegisterBuiltinTools();  // the next test's guest has its Windows tools
    GuestTest::TearDown();
  }
};

TEST(SplitCommandLine, FollowsTheWindowsRules) {
  const struct {
    std::wstring line;
    std::vector<std::wstring> argv;
  } cases[] = {
      {L"", {}},
      {L"   ", {}},
      {L"prog", {L"prog"}},
      {L"  prog  a\tb  ", {L"prog", L"a", L"b"}},
      // The program name: quotes group, backslashes are plain.
      {L"\"C:\\Program Files\\x.exe\" arg", {L"C:\\Program Files\\x.exe", L"arg"}},
      {L"\"C:\\dir\\\" next", {L"C:\\dir\\", L"next"}},
      {L"C:\\a\\\\b.exe", {L"C:\\a\\\\b.exe"}},
      // The arguments: the C runtime's table.
      {L"p \"a b c\" d e", {L"p", L"a b c", L"d", L"e"}},
      {L"p \"ab\\\"c\" \"\\\\\" d", {L"p", L"ab\"c", L"\\", L"d"}},
      {L"p a\\\\\\b d\"e f\"g h", {L"p", L"a\\\\\\b", L"de fg", L"h"}},
      {L"p a\\\\\\\"b c d", {L"p", L"a\\\"b", L"c", L"d"}},
      {L"p a\\\\\\\\\"b c\" d e", {L"p", L"a\\\\b c", L"d", L"e"}},
      {L"p a\"b\"\" c d", {L"p", L"ab\" c d"}},
      {L"p \"\" x", {L"p", L"", L"x"}},
      {L"p \"unterminated arg", {L"p", L"unterminated arg"}},
      {L"p trailing\\", {L"p", L"trailing\\"}},
      {L"cmd.exe /c \"echo a&echo b\"", {L"cmd.exe", L"/c", L"echo a&echo b"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sim::SplitCommandLine(c.line), c.argv) << ::testing::PrintToString(c.line);
  }
}

TEST_F(SimProcessTest, SimulatedToolRunsWithPipesWhateverTheSpellingOfItsName) {
  std::atomic<uint32_t> toolThreadId{0};
  sim::RegisterTool(L"simtool", [&](sim::ToolContext& context) -> uint32_t {
    toolThreadId = GetCurrentThreadId();
    std::string input;
    context.ReadAllInput(&input);
    std::string args;
    for (size_t i = 1; i < context.Argv().size(); ++i)
      args += " " + std::string(context.Argv()[i].begin(), context.Argv()[i].end());
    context.Out("in=" + input + " args=" + args + "\n");
    context.Err("to stderr\n");
    return 7;
  });

  for (const std::wstring line : {L"simtool one", L"SimTool.EXE one", L"C:\\Windows\\System32\\SIMTOOL one",
                                  L"\"C:\\Program Files\\simtool.exe\" one"}) {
    Child child;
    ASSERT_TRUE(Start(line + L" \"two words\"", &child)) << GetLastError();
    uint32_t written = 0;
    ASSERT_TRUE(WriteFile(child.inWrite.get(), "hello", 5, &written));
    EXPECT_EQ(written, 5u);
    child.inWrite.Reset();  // the tool reads its input to the end
    EXPECT_EQ(ReadToEnd(child.outRead.get()), "in=hello args= one two words\nto stderr\n");
    EXPECT_EQ(ExitCodeAfterExit(child.process.get()), 7u);
    EXPECT_EQ(WaitForSingleObject(child.thread.get(), 0), kWaitObject0);
    EXPECT_EQ(toolThreadId.load(), child.threadId);
    EXPECT_NE(child.processId, GetCurrentProcessId());
  }
}

TEST_F(SimProcessTest, ToolRegisteredByFullPathMatchesOnlyThatPath) {
  sim::RegisterTool(L"C:\\Tools\\Helper.exe", [](sim::ToolContext&) -> uint32_t { return 4; });
  Child child;
  ASSERT_TRUE(Start(L"c:/tools/HELPER.EXE", &child));
  EXPECT_EQ(ExitCodeAfterExit(child.process.get()), 4u);

  Child other;
  EXPECT_FALSE(Start(L"helper.exe", &other));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_FALSE(Start(L"C:\\Other\\helper.exe", &other));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(SimProcessTest, TerminatedToolEndsWithTheGivenCode) {
  std::atomic<bool> stopped{false};
  sim::RegisterTool(L"spinner", [&](sim::ToolContext& context) -> uint32_t {
    while (!context.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(context.Out("after the end"));  // its handles are gone
    stopped = true;
    return 0;
  });
  Child child;
  ASSERT_TRUE(Start(L"spinner", &child));
  uint32_t code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child.process.get(), &code));
  EXPECT_EQ(code, kStillActive);
  EXPECT_EQ(WaitForSingleObject(child.process.get(), 50), kWaitTimeout);
  ASSERT_TRUE(TerminateProcess(child.process.get(), 9));
  EXPECT_EQ(ExitCodeAfterExit(child.process.get()), 9u);
  for (int i = 0; i < 400 && !stopped; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(stopped);
  SetLastError(0);
  EXPECT_FALSE(TerminateProcess(child.process.get(), 10));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_EQ(ExitCodeAfterExit(child.process.get()), 9u);
}

TEST_F(SimProcessTest, HostChildUsesThePipesAndReportsItsExitCode) {
  Child child;
  ASSERT_TRUE(Start(L"sh -c \"read line; echo got:$line; echo oops >&2; exit 5\"", &child)) << GetLastError();
  EXPECT_GT(child.processId, 0u);
  uint32_t written = 0;
  ASSERT_TRUE(WriteFile(child.inWrite.get(), "ping\n", 5, &written));
  EXPECT_EQ(ReadToEnd(child.outRead.get()), "got:ping\noops\n");
  EXPECT_EQ(ExitCodeAfterExit(child.process.get()), 5u);
  EXPECT_EQ(WaitForSingleObject(child.thread.get(), 0), kWaitObject0);

  // Drained and without writers: the pipe has ended.
  uint32_t available = 77;
  SetLastError(0);
  EXPECT_FALSE(PeekNamedPipe(child.outRead.get(), &available));
  EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
}

TEST_F(SimProcessTest, PeekReportsBufferedBytesBeforeTheEnd) {
  Child child;
  ASSERT_TRUE(Start(L"printf 12345", &child));
  EXPECT_EQ(ExitCodeAfterExit(child.process.get()), 0u);
  uint32_t available = 0;
  ASSERT_TRUE(PeekNamedPipe(child.outRead.get(), &available));  // writers gone, but data left
  EXPECT_EQ(available, 5u);
  char buffer[8] = {};
  uint32_t read = 0;
  ASSERT_TRUE(ReadFile(child.outRead.get(), buffer, available, &read));
  EXPECT_EQ(std::string(buffer, read), "12345");
  EXPECT_FALSE(PeekNamedPipe(child.outRead.get(), &available));
  EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
}

TEST_F(SimProcessTest, TerminateEndsAHostChild) {
  Child child;
  ASSERT_TRUE(Start(L"sleep 30", &child));
  uint32_t code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child.process.get(), &code));
  EXPECT_EQ(code, kStillActive);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(TerminateProcess(child.process.get(), 42));
  EXPECT_EQ(ExitCodeAfterExit(child.process.get()), 42u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(TerminateProcess(child.process.get(), 1));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

TEST_F(SimProcessTest, MissingProgramsAreNotFound) {
  for (const std::wstring line : {L"velocyn-no-such-program", L"C:\\Windows\\System32\\no-such-tool.exe /x",
                                  L"/nonexistent/dir/program", L"\"\" x"}) {
    Child child;
    SetLastError(0);
    EXPECT_FALSE(Start(line, &child)) << ::testing::PrintToString(line);
    EXPECT_EQ(GetLastError(), kErrorFileNotFound) << ::testing::PrintToString(line);
  }
}

TEST_F(SimProcessTest, ProgramOnTheMachinesDriveRunsOnTheHost) {
  auto script = sim::Machine::DriveRoot() / "Tools" / "hello.sh";
  std::filesystem::create_directories(script.parent_path());
  { std::ofstream(script) << "#!/bin/sh\necho hello \"$1\"\n"; }
  std::filesystem::permissions(script, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
  Child child;
  ASSERT_TRUE(Start(L"C:\\TOOLS\\hello.sh world", &child)) << GetLastError();
  EXPECT_EQ(ReadToEnd(child.outRead.get()), "hello world\n");
  EXPECT_EQ(ExitCodeAfterExit(child.process.get()), 0u);
}

TEST_F(SimProcessTest, WritingToAPipeWithoutReaderFailsWithoutASignal) {
  Owned read, write;
  ASSERT_TRUE(CreatePipe(read.put(), write.put(), false, 0));
  read.Reset();
  uint32_t written = 1;
  SetLastError(0);
  EXPECT_FALSE(WriteFile(write.get(), "x", 1, &written));
  EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
  EXPECT_EQ(written, 0u);
  // Wrong ends and wrong handles.
  Owned read2, write2;
  ASSERT_TRUE(CreatePipe(read2.put(), write2.put(), false, 0));
  char byte;
  EXPECT_FALSE(ReadFile(write2.get(), &byte, 1, &written));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_FALSE(ReadFile(reinterpret_cast<Handle>(0x7FFC), &byte, 1, &written));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(SimProcessTest, ClosingHandlesReleasesEveryDescriptor) {
  std::string output;
  ASSERT_TRUE(common::util::Util::RunScript(L"sh -c \"exit 0\"", output, false, 30000));  // warm up
  sim::RegisterTool(L"quick", [](sim::ToolContext& context) -> uint32_t {
    context.Out("q\n");
    return 0;
  });
  size_t before = OpenPipes();
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(common::util::Util::RunScript(i % 2 == 0 ? L"sh -c \"echo x\"" : L"quick", output, false, 30000));
  }
  // Processes whose handles are closed while they run keep nothing open here once they end.
  for (int i = 0; i < 5; ++i) {
    Child child;
    ASSERT_TRUE(Start(L"sh -c \"sleep 0.2\"", &child));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(OpenPipes(), before);
}

TEST(SimThreadIds, AreSmallStableAndDistinct) {
  uint32_t mine = GetCurrentThreadId();
  EXPECT_EQ(GetCurrentThreadId(), mine);
  EXPECT_GE(mine, 0x100u);
  EXPECT_EQ(mine % 4, 0u);
  uint32_t other = 0;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, mine);
  EXPECT_EQ(other % 4, 0u);
  EXPECT_LT(other, 0x1000000u);
}

}  // namespace
}  // namespace tamber::test
