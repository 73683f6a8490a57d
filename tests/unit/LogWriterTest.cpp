// The log writer: what reaches which file, in which layout, under which settings.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "framework/log/Log.h"
#include "framework/log/LogLine.h"
#include "framework/log/LogWriter.h"
#include "platform/Environment.h"
#include "support/LogFiles.h"

namespace tamber::test {
namespace {

using namespace framework::log;

const std::regex kLineLayout(
    R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d) (TRACE|DEBUG|INFO |WARN |ERROR|FATAL) )"
    R"(\([0-9A-F]{4,}-[0-9A-F]{4,}\) <[^>]+> \[[^\]]+\] .*)");

// --- the line layout itself ------------------------------------------------------------------------

TEST(LogLineTest, IdentityPrintsLongThreadIdsInFullAndTruncatesOnRequest) {
  std::string out;
  AppendIdentity(out, 0x1A2C, 0x12345, false);
  EXPECT_EQ(out, " (1A2C-12345)");
  out.clear();
  AppendIdentity(out, 0x1A2C, 0xB1, false);
  EXPECT_EQ(out, " (1A2C-00B1)");
  out.clear();
  AppendIdentity(out, 0x31A2C, 0x12345, true);
  EXPECT_EQ(out, " (1A2C-2345)");
}

TEST(LogLineTest, LevelNamesAreFiveCharactersAndOthersUnknown) {
  EXPECT_EQ(LevelName(0), "TRACE");
  EXPECT_EQ(LevelName(2), "INFO ");
  EXPECT_EQ(LevelName(3), "WARN ");
  EXPECT_EQ(LevelName(5), "FATAL");
  EXPECT_EQ(LevelName(6), "UNKNOWN");
  EXPECT_EQ(LevelName(-1), "UNKNOWN");
}

TEST(LogLineTest, TimeStampsCarryTheOffsetFromUtc) {
  platform::SystemTime t{2024, 3, 0, 9, 7, 5, 4, 32};
  std::string out;
  AppendTimeStamp(out, t, 0);
  EXPECT_EQ(out, "2024-03-09T07:05:04.032Z");
  out.clear();
  AppendTimeStamp(out, t, -60);  // an hour ahead of UTC
  EXPECT_EQ(out, "2024-03-09T07:05:04.032+01:00");
  out.clear();
  AppendTimeStamp(out, t, 330);
  EXPECT_EQ(out, "2024-03-09T07:05:04.032-05:30");
}

TEST(LogLineTest, LocalTimeSubtractsTheBiasAcrossMidnight) {
  uint64_t utcMidnight = 133485408000000000ULL;  // 2024-01-01T00:00:00Z
  platform::SystemTime local = LocalTimeFromFileTime(utcMidnight + 5000000, 60);
  EXPECT_EQ(local.year, 2023);
  EXPECT_EQ(local.day, 31);
  EXPECT_EQ(local.hour, 23);
  EXPECT_EQ(local.milliseconds, 500);
}

TEST(LogLineTest, FileNamesAndTheirShape) {
  platform::SystemTime t{2024, 11, 0, 2, 13, 4, 5, 999};
  EXPECT_EQ(LogFileName(L"C:\\logs\\", L"debug", t), L"C:\\logs\\debug-2024-11-02-130405.txt");
  EXPECT_TRUE(IsLogFileName(L"debug-2024-11-02-130405.txt", L"debug"));
  EXPECT_TRUE(IsLogFileName(L"DEBUG-2024-11-02-130405.TXT", L"debug"));
  EXPECT_FALSE(IsLogFileName(L"debug-2024-11-02-1304.txt", L"debug"));
  EXPECT_FALSE(IsLogFileName(L"log-2024-11-02-130405.txt", L"debug"));
  EXPECT_FALSE(IsLogFileName(L"debug-2024-11-0x-130405.txt", L"debug"));
}

TEST(LogLineTest, WholeLine) {
  platform::SystemTime t{2024, 1, 0, 2, 3, 4, 5, 6};
  std::string out;
  AppendLine(out, t, 0, 3, 0x10, 0x20, false, L"7", L"agent", L"text \u00E9");
  EXPECT_EQ(out, "2024-01-02T03:04:05.006Z WARN  (0010-0020) <7> [agent] text \xC3\xA9\r\n");
}

// --- the writer ------------------------------------------------------------------------------------

class LogWriterTest : public LogWriterTestBase {};

TEST_F(LogWriterTest, DebugFileTakesEveryLineAndMainFileInfoAndAbove) {
  Log(LogLevel::Debug, L"tamber::test::Writer(): progress %d", 1);
  Log(LogLevel::Info, L"tamber::test::Writer(): info %ws", L"x");
  Log(LogLevel::Warn, L"tamber::test::Writer(): expected miss");
  Log(LogLevel::Error, L"tamber::test::Writer(): Failed: 0x%X", static_cast<int32_t>(0x80070005));

  std::wstring mainPath = CurrentLogFilePath(false);
  std::wstring debugPath = CurrentLogFilePath(true);
  std::wregex mainName(LR"(C:\\ProgramData\\Talvora\\Quorvel\\logtest\\[^\\]+\\log-\d{4}-\d\d-\d\d-\d{6}\.txt)",
                       std::regex::icase);
  EXPECT_TRUE(std::regex_match(mainPath, mainName)) << Narrow(mainPath);
  EXPECT_EQ(debugPath.substr(0, directory_.size() + 6), directory_ + L"debug-");

  auto main = MainLines();
  auto debug = DebugLines();
  ASSERT_GE(main.size(), 5u);
  for (const auto& line : main) EXPECT_TRUE(std::regex_match(line, kLineLayout)) << line;
  for (const auto& line : debug) EXPECT_TRUE(std::regex_match(line, kLineLayout)) << line;

  std::string program = Narrow(ProgramName());
  EXPECT_NE(main[0].find("INFO "), std::string::npos);
  EXPECT_NE(main[0].find("Program '" + program + "' started, version="), std::string::npos) << main[0];
  EXPECT_NE(main[0].find(", usethread=1, closeafterwrite=0, sessionId=0"), std::string::npos) << main[0];
  EXPECT_NE(main[1].find("] ********** Debug log file is enabled for " + program + ". **********"), std::string::npos)
      << main[1];
  EXPECT_EQ(CountContaining(main, "progress 1"), 0u);
  EXPECT_EQ(CountContaining(main, "info x"), 1u);
  EXPECT_EQ(CountContaining(main, " WARN  ("), 1u);  // "WARN " keeps its blank before the identity
  EXPECT_EQ(CountContaining(main, " ERROR ("), 1u);
  EXPECT_EQ(CountContaining(main, "Failed: 0x80070005"), 1u);

  EXPECT_EQ(CountContaining(debug, "Program '" + program + "' started"), 1u);
  EXPECT_EQ(CountContaining(debug, "] tamber::test::Writer(): progress 1"), 1u);
  EXPECT_EQ(CountContaining(debug, "tamber::test::Writer():"), 4u);
  // The file is UTF-8 text with CR LF line ends and nothing else.
  std::string raw = ReadWholeFile(debugPath);
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
  EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), std::count(raw.begin(), raw.end(), '\r'));
  EXPECT_FALSE(FileExists(directory_ + L"TestFile.txt"));
}

TEST_F(LogWriterTest, LevelFilterFollowsTheSwitches) {
  // Stock settings: trace off, debug on.
  LogCapture capture;
  Log(LogLevel::Trace, L"tamber::test::Filter(): trace one");
  Log(LogLevel::Debug, L"tamber::test::Filter(): debug one");
  EXPECT_FALSE(IsLevelEnabled(LogLevel::Trace));
  EXPECT_TRUE(IsLevelEnabled(LogLevel::Debug));
  EXPECT_EQ(CountContaining(DebugLines(), "trace one"), 0u);
  EXPECT_EQ(CountContaining(DebugLines(), "debug one"), 1u);
  EXPECT_EQ(capture.Count(LogLevel::Trace, L"trace one"), 0u);

  ResetLogForTest();
  SetLogSetting(L"traceEnabled", L"true");
  SetLogSetting(L"debugEnabled", L"false");  // tracing turns debug on whatever is stored
  Log(LogLevel::Trace, L"tamber::test::Filter(): trace two");
  Log(LogLevel::Debug, L"tamber::test::Filter(): debug two");
  EXPECT_EQ(CountContaining(DebugLines(), " TRACE ("), 1u);
  EXPECT_EQ(CountContaining(DebugLines(), "debug two"), 1u);

  ResetLogForTest();
  SetLogSetting(L"traceEnabled", L"false");
  SetLogSetting(L"DeveloperMachine", L"TRUE");
  EXPECT_TRUE(IsLevelEnabled(LogLevel::Trace));  // before initialisation every level passes
  Log(LogLevel::Trace, L"tamber::test::Filter(): trace three");
  EXPECT_TRUE(IsLevelEnabled(LogLevel::Trace));
  EXPECT_EQ(CountContaining(DebugLines(), "trace three"), 1u);

  ResetLogForTest();
  SetLogSetting(L"DeveloperMachine", L"false");
  Log(LogLevel::Debug, L"tamber::test::Filter(): debug four");
  Log(LogLevel::Info, L"tamber::test::Filter(): info four");
  EXPECT_FALSE(IsLevelEnabled(LogLevel::Debug));
  auto main = MainLines();
  EXPECT_EQ(CurrentLogFilePath(true), L"");  // no debug file at all
  EXPECT_EQ(CountContaining(main, "debug four"), 0u);
  EXPECT_EQ(CountContaining(main, "info four"), 1u);
  EXPECT_EQ(
      CountContaining(main, "********** Debug log file is disabled for " + Narrow(ProgramName()) + ". **********"), 1u);

  ResetLogForTest();
  SetLogSetting(L"logEnabled", L"false");
  Log(LogLevel::Fatal, L"tamber::test::Filter(): nothing passes");
  EXPECT_FALSE(IsLevelEnabled(LogLevel::Fatal));
  EXPECT_EQ(capture.Count(LogLevel::Fatal, L"nothing passes"), 0u);
}

TEST_F(LogWriterTest, LongTextIsCutAndFormatErrorsLeaveTheMarker) {
  LogCapture capture;
  std::wstring longText(9000, L'y');
  Log(LogLevel::Debug, L"%ws", longText);
  Log(LogLevel::Debug, L"tamber::test::Bad(): %d", L"not a number");
  auto entries = capture.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].text.size(), 8192u);
  EXPECT_EQ(entries[1].text, L"<***** VPRINTF EXCEPTION *****>");
  auto debug = DebugLines();
  ASSERT_GE(debug.size(), 3u);
  const std::string& cut = debug[debug.size() - 2];
  EXPECT_EQ(cut.size() - (cut.find("] ") + 2), 8192u);
  EXPECT_EQ(debug.back().substr(debug.back().find("] ") + 2), "<***** VPRINTF EXCEPTION *****>");
}

TEST_F(LogWriterTest, ReopensTheLatestFileOfTheDay) {
  SetLogSetting(L"MaxDaysKept", 0u);
  std::wstring today = FileTimePart(LocalTimeIn(0)).substr(0, 10);
  std::wstring older = directory_ + L"debug-" + today + L"-000000.txt";
  std::wstring latest = directory_ + L"debug-" + today + L"-000001.txt";
  ASSERT_TRUE(WriteWholeFile(older, "older\r\n"));
  ASSERT_TRUE(WriteWholeFile(latest, "latest\r\n"));
  ASSERT_TRUE(WriteWholeFile(directory_ + L"debug-2001-01-01-000000.txt", "old day\r\n"));

  Log(LogLevel::Debug, L"tamber::test::Reopen(): appended");
  auto lines = DebugLines();
  EXPECT_TRUE(CurrentLogFilePath(true) == latest) << Narrow(CurrentLogFilePath(true));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "latest");
  EXPECT_NE(lines[1].find("] Opening latest existing log file"), std::string::npos) << lines[1];
  EXPECT_EQ(CountContaining(lines, "appended"), 1u);
  EXPECT_EQ(ReadWholeFile(older), "older\r\n");
}

TEST_F(LogWriterTest, CleanUpByAgeDeletesOnlyOldFilesOfItsBases) {
  std::wstring recent = FileTimePart(LocalTimeIn(-86400));
  std::wstring expired = FileTimePart(LocalTimeIn(-8 * 86400));
  for (const std::wstring& name : std::vector<std::wstring>{
           L"log-2001-01-01-000000.txt", L"debug-2001-01-01-000000.txt", L"debug-" + expired + L".txt",
           L"log-" + recent + L".txt", L"debug-" + recent + L".txt", L"other-2001-01-01-000000.txt", L"log-notes.md"}) {
    ASSERT_TRUE(WriteWholeFile(directory_ + name, "x"));
  }
  MakeDirectories(directory_ + L"log-2000-01-01-000000.txt");  // a directory is never deleted

  Log(LogLevel::Info, L"tamber::test::CleanUp(): go");
  FlushLog();
  auto names = ListNames(directory_, L"*");
  auto has = [&](const std::wstring& name) { return std::find(names.begin(), names.end(), name) != names.end(); };
  EXPECT_FALSE(has(L"log-2001-01-01-000000.txt"));
  EXPECT_FALSE(has(L"debug-2001-01-01-000000.txt"));
  EXPECT_FALSE(has(L"debug-" + expired + L".txt"));
  EXPECT_TRUE(has(L"log-" + recent + L".txt"));
  EXPECT_TRUE(has(L"debug-" + recent + L".txt"));
  EXPECT_TRUE(has(L"other-2001-01-01-000000.txt"));
  EXPECT_TRUE(has(L"log-notes.md"));
  EXPECT_TRUE(has(L"log-2000-01-01-000000.txt"));
}

TEST_F(LogWriterTest, MaxDaysKeptZeroKeepsFilesOfAnyAge) {
  SetLogSetting(L"MaxDaysKept", 0u);
  ASSERT_TRUE(WriteWholeFile(directory_ + L"log-1999-01-01-000000.txt", "x"));
  ASSERT_TRUE(WriteWholeFile(directory_ + L"debug-1999-01-01-000000.txt", "x"));
  Log(LogLevel::Info, L"tamber::test::CleanUp(): keep");
  FlushLog();
  EXPECT_TRUE(FileExists(directory_ + L"log-1999-01-01-000000.txt"));
  EXPECT_TRUE(FileExists(directory_ + L"debug-1999-01-01-000000.txt"));
}

TEST_F(LogWriterTest, DebugFilesAreLimitedToTheNewest) {
  SetLogSetting(L"MaxDaysKept", 0u);
  SetLogSetting(L"MaxDebugLogs", L"3");
  for (int day = 1; day <= 5; ++day) {
    ASSERT_TRUE(WriteWholeFile(directory_ + L"debug-2001-01-0" + std::to_wstring(day) + L"-000000.txt", "x"));
  }
  Log(LogLevel::Debug, L"tamber::test::CleanUp(): count");
  FlushLog();
  std::wstring current = CurrentLogFilePath(true).substr(directory_.size());
  auto names = ListNames(directory_, L"debug-*");
  EXPECT_EQ(names,
            (std::vector<std::wstring>{L"debug-2001-01-04-000000.txt", L"debug-2001-01-05-000000.txt", current}));
}

TEST_F(LogWriterTest, FullQueueDropsMessagesAndSaysSoOnce) {
  SetLogSetting(L"msgQueueSizeThreshold", 3u);
  PauseLogWriterForTest(true);
  LogCapture capture;
  for (int i = 0; i < 10; ++i) Log(LogLevel::Debug, L"tamber::test::Queue(): message %d", i);
  EXPECT_EQ(capture.Count(LogLevel::Debug, L"tamber::test::Queue(): message"), 10u);  // the observer sees all
  PauseLogWriterForTest(false);
  FlushLog();
  PauseLogWriterForTest(true);
  for (int i = 10; i < 20; ++i) Log(LogLevel::Debug, L"tamber::test::Queue(): message %d", i);
  PauseLogWriterForTest(false);

  std::string threshold = "ERROR (";
  std::string text = "] Log message threshold 3 reached dropping log messages for exe " + Narrow(ProgramName()) +
                     " with PID " + std::to_string(platform::GetCurrentProcessId()) + ".";
  auto debug = DebugLines();
  EXPECT_EQ(CountContaining(debug, text), 1u);
  EXPECT_EQ(CountContaining(debug, "message 0"), 1u);
  EXPECT_EQ(CountContaining(debug, "message 2"), 1u);
  EXPECT_EQ(CountContaining(debug, "message 3"), 0u);
  EXPECT_EQ(CountContaining(debug, "message 9"), 0u);
  EXPECT_EQ(CountContaining(debug, "message 12"), 1u);
  EXPECT_EQ(CountContaining(debug, "message 13"), 0u);
  EXPECT_EQ(CountContaining(MainLines(), text), 1u);
}

TEST_F(LogWriterTest, ALineThatWaitedTooLongCarriesItsDelay) {
  SetLogSetting(L"LogDelayNotificationTreshold", 10u);
  Log(LogLevel::Debug, L"tamber::test::Delay(): first");
  FlushLog();
  PauseLogWriterForTest(true);
  Log(LogLevel::Debug, L"tamber::test::Delay(): late");
  uint32_t start = platform::GetTickCount();
  while (platform::GetTickCount() - start < 50) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  PauseLogWriterForTest(false);
  auto debug = DebugLines();
  ASSERT_EQ(CountContaining(debug, "late"), 1u);
  std::smatch match;
  const std::string& late = debug[debug.size() - 1];
  ASSERT_TRUE(std::regex_search(late, match,
                                std::regex(R"(\] tamber::test::Delay\(\): late )"
                                           R"(\(LogDelayTicks=(\d+), LogLockWaitTicks=(\d+)\)$)")))
      << late;
  EXPECT_GE(std::stoul(match[1].str()), 50u);
}

TEST_F(LogWriterTest, ObserverRunsOnTheCallingThread) {
  uint32_t observed = 0;
  SetLogObserver([&](LogLevel, const std::wstring&) { observed = platform::GetCurrentThreadId(); });
  uint32_t caller = 0;
  std::thread([&] {
    caller = platform::GetCurrentThreadId();
    Log(LogLevel::Debug, L"tamber::test::Observer(): here");
  }).join();
  SetLogObserver(nullptr);
  EXPECT_NE(caller, 0u);
  EXPECT_EQ(observed, caller);
}

TEST_F(LogWriterTest, ManyThreadsLoseNoLineAndTearNone) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      SetLogThreadName(L"worker" + std::to_wstring(t));
      for (int i = 0; i < 500; ++i) Log(LogLevel::Debug, L"tamber::test::Threads(): worker %d line %d", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  auto debug = DebugLines();
  EXPECT_EQ(CountContaining(debug, "tamber::test::Threads(): worker"), 2000u);
  EXPECT_EQ(CountContaining(debug, "> ["), debug.size());
  for (const auto& line : debug) ASSERT_TRUE(std::regex_match(line, kLineLayout)) << line;
  EXPECT_EQ(CountContaining(debug, " <worker3> ["), 500u);
}

TEST_F(LogWriterTest, ShutdownWritesEverythingAndLaterMessagesStillArrive) {
  Log(LogLevel::Info, L"tamber::test::Shutdown(): before");
  ShutdownLog();
  std::wstring path = CurrentLogFilePath(false);
  EXPECT_EQ(CountContaining(SplitLines(ReadWholeFile(path)), "before"), 1u);
  Log(LogLevel::Info, L"tamber::test::Shutdown(): after");  // written by this thread, at once
  EXPECT_EQ(CountContaining(SplitLines(ReadWholeFile(path)), "Shutdown(): after"), 1u);
}

TEST_F(LogWriterTest, IdleFilesAreClosedAndReopenedWithoutAnotherStartLine) {
  SetLogSetting(L"InactivityTimeoutSeconds", 1u);
  Log(LogLevel::Info, L"tamber::test::Idle(): before the pause");
  FlushLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  Log(LogLevel::Info, L"tamber::test::Idle(): after the pause");
  auto main = MainLines();
  EXPECT_EQ(CountContaining(main, "before the pause"), 1u);
  EXPECT_EQ(CountContaining(main, "after the pause"), 1u);
  EXPECT_EQ(CountContaining(main, "' started, version="), 1u);
}

TEST_F(LogWriterTest, DebugSwitchIsRecordedInTheMainFile) {
  Log(LogLevel::Debug, L"tamber::test::Switch(): on");
  std::string program = Narrow(ProgramName());
  SetLogSetting(L"debugEnabled", L"false");
  ReloadLogConfig();
  Log(LogLevel::Debug, L"tamber::test::Switch(): filtered");
  EXPECT_EQ(CountContaining(MainLines(), "********** Debug log file is disabled for " + program + ". **********"), 1u);
  SetLogSetting(L"debugEnabled", L"true");
  ReloadLogConfig();
  Log(LogLevel::Debug, L"tamber::test::Switch(): back");
  auto main = MainLines();
  EXPECT_EQ(CountContaining(main, "********** Debug log file is enabled for " + program + ". **********"), 2u);
  auto debug = DebugLines();
  EXPECT_EQ(CountContaining(debug, "filtered"), 0u);
  EXPECT_EQ(CountContaining(debug, "back"), 1u);
}

TEST_F(LogWriterTest, DefaultDirectoryIsUnderProgramData) {
  DeleteLogSettings();
  SetLogSetting(L"DiskThresholdForLogAndEventsMB", 1u);
  std::string unique = "default " + std::to_string(platform::GetTickCount64());
  Log(LogLevel::Info, L"tamber::test::Directory(): %S", unique);
  FlushLog();
  wchar_t programData[512];
  ASSERT_GT(platform::ExpandEnvironmentStrings(L"%ProgramData%", programData, 512), 0u);
  std::wstring expected = std::wstring(programData) + L"\\Talvora\\Quorvel\\logs\\log-";
  std::wstring path = CurrentLogFilePath(false);
  EXPECT_EQ(path.substr(0, expected.size()), expected);
  EXPECT_EQ(CountContaining(SplitLines(ReadWholeFile(path)), unique), 1u);
  EXPECT_FALSE(FileExists(std::wstring(programData) + L"\\Talvora\\Quorvel\\logs\\TestFile.txt"));
}

TEST_F(LogWriterTest, UnusableDirectoryIsReportedAndLoggingGoesOn) {
  ASSERT_TRUE(WriteWholeFile(directory_ + L"blocked", "a file where the directory should be"));
  SetLogSetting(L"LogFileDirectory", directory_ + L"blocked\\logs");
  LogCapture capture;
  Log(LogLevel::Error, L"tamber::test::Directory(): still delivered");
  FlushLog();
  EXPECT_EQ(capture.Count(LogLevel::Error, L"still delivered"), 1u);
  EXPECT_EQ(CurrentLogFilePath(false), L"");
  std::wstring report = LastLogSystemMessage();
  EXPECT_EQ(report.rfind(L"Open file error, errno=0x", 0), 0u) << Narrow(report);
  EXPECT_NE(report.find(L"\n\nfile = "), std::wstring::npos);
}

}  // namespace
}  // namespace tamber::test
