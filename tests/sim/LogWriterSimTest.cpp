// The log writer against what only the simulated machine can set up: its time zone, its free disk
// space, reboots, fast machine time and logging before any machine is booted.
#include <gtest/gtest.h>

#include <string>

#include "common/windows/Handles.h"
#include "framework/log/EventLogReporter.h"
#include "framework/log/Log.h"
#include "framework/log/LogWriter.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/sim/eventlog/SimEventLog.h"
#include "platform/sim/machine/SimMachine.h"
#include "support/LogFiles.h"

namespace tamber::test {
namespace {

using namespace framework::log;
using platform::sim::Machine;
using platform::sim::MachineConfig;

class LogWriterSimTest : public LogWriterTestBase {
 protected:
  // A clean restart of the same machine with other machine settings; the registry survives it.
  void Reboot(const MachineConfig& config) {
    ResetLogForTest();
    std::filesystem::path dir = Machine::Directory();
    Machine::Shutdown();
    Machine::SaveConfig(dir, config);
    Machine::Boot(dir);
    ResetLogForTest();
  }

  std::string LastDebugLineWith(const std::string& fragment) {
    for (const auto& line : DebugLines()) {
      if (line.find(fragment) != std::string::npos) return line;
    }
    return "";
  }
};

TEST_F(LogWriterSimTest, TimeStampsEndInZInUtcAndCarryTheOffsetElsewhere) {
  Log(LogLevel::Debug, L"tamber::test::Zone(): utc");
  EXPECT_NE(LastDebugLineWith("utc").find("Z DEBUG ("), std::string::npos) << LastDebugLineWith("utc");

  MachineConfig ahead;
  ahead.utcBiasMinutes = -60;  // an hour ahead of UTC
  Reboot(ahead);
  Log(LogLevel::Debug, L"tamber::test::Zone(): ahead");
  EXPECT_NE(LastDebugLineWith("ahead").find("+01:00 DEBUG ("), std::string::npos) << LastDebugLineWith("ahead");

  // With the registry's ActiveTimeBias asked for, that value wins over the machine's zone.
  {
    common::windows::UniqueHKey zone;
    ASSERT_EQ(platform::kErrorSuccess,
              platform::RegCreateKeyEx(platform::HKeyLocalMachine(),
                                       L"SYSTEM\\CurrentControlSet\\Control\\TimeZoneInformation", 0,
                                       platform::kKeyAllAccess, zone.put(), nullptr));
    uint8_t bias[4] = {0x2C, 0x01, 0, 0};  // 300 minutes behind UTC
    ASSERT_EQ(platform::kErrorSuccess,
              platform::RegSetValueEx(zone.get(), L"ActiveTimeBias", platform::kRegDword, bias, 4));
  }
  SetLogSetting(L"readActiveTimeBiasFromRegistry", L"true");
  ResetLogForTest();
  Log(LogLevel::Debug, L"tamber::test::Zone(): behind");
  EXPECT_NE(LastDebugLineWith("behind").find("-05:00 DEBUG ("), std::string::npos) << LastDebugLineWith("behind");
}

TEST_F(LogWriterSimTest, DiskGuardStopsWritingOnceAndResumesWhenTheThresholdDrops) {
  MachineConfig small;
  small.freeDiskBytes = 50ull * 1024 * 1024;
  Reboot(small);
  SetLogSetting(L"DiskThresholdForLogAndEventsMB", 200u);
  const std::string warning =
      "] Disk space free threshold for log reached.  No more messages will be logged until more disk space has become available or the threshold is reduced.";

  Log(LogLevel::Info, L"tamber::test::Disk(): dropped one");
  FlushLog();
  Log(LogLevel::Info, L"tamber::test::Disk(): dropped two");
  auto main = MainLines();
  EXPECT_EQ(CountContaining(main, warning), 1u);
  EXPECT_EQ(CountContaining(main, " WARN  ("), 1u);
  EXPECT_EQ(CountContaining(main, "dropped"), 0u);
  EXPECT_EQ(CountContaining(DebugLines(), warning), 1u);
  EXPECT_EQ(ReadLogSetting(L"loggedThresholdReached"), L"true");

  SetLogSetting(L"DiskThresholdForLogAndEventsMB", 10u);
  ReloadLogConfig();
  Log(LogLevel::Info, L"tamber::test::Disk(): written again");
  main = MainLines();
  EXPECT_EQ(CountContaining(main, "written again"), 1u);
  EXPECT_EQ(CountContaining(main, warning), 1u);
  EXPECT_EQ(ReadLogSetting(L"loggedThresholdReached"), L"false");
}

TEST_F(LogWriterSimTest, ARebootReopensTheFileOfTheDay) {
  Log(LogLevel::Debug, L"tamber::test::Boot(): first boot");
  std::wstring first = CurrentLogFilePath(true);
  Reboot(Machine::Config());
  Log(LogLevel::Debug, L"tamber::test::Boot(): second boot");
  auto debug = DebugLines();
  EXPECT_EQ(CurrentLogFilePath(true), first);
  EXPECT_EQ(CountContaining(debug, "first boot"), 1u);
  EXPECT_EQ(CountContaining(debug, "second boot"), 1u);
  EXPECT_EQ(CountContaining(debug, "] Opening latest existing log file"), 1u);
  EXPECT_EQ(CountContaining(debug, "' started, version="), 2u);
}

TEST_F(LogWriterSimTest, AFullDebugFileMakesWayForANewOne) {
  MachineConfig fast;
  fast.timeScale = 1000;  // a host millisecond is a machine second: new names come quickly
  Reboot(fast);
  SetLogSetting(L"MaxDebugLogSizeMB", 1u);
  SetLogSetting(L"MaxDaysKept", 0u);
  std::wstring filler(200, L'f');
  for (int i = 0; i < 8000; ++i) {
    Log(LogLevel::Debug, L"tamber::test::Size(): %d %ws", i, filler);
    if (i % 1000 == 999) FlushLog();
  }
  FlushLog();
  auto files = ListNames(directory_, L"debug-*.txt");
  ASSERT_GE(files.size(), 2u);
  EXPECT_GE(ReadWholeFile(directory_ + files[0]).size(), 1024u * 1024u);
  size_t lines = 0;
  for (const auto& file : files) {
    lines += CountContaining(SplitLines(ReadWholeFile(directory_ + file)), "tamber::test::Size(): ");
  }
  EXPECT_EQ(lines, 8000u);
}

TEST_F(LogWriterSimTest, LoggingBeforeAnyBootReachesOnlyTheObserver) {
  ResetLogForTest();
  std::filesystem::path dir = Machine::Directory();
  Machine::Shutdown();
  {
    LogCapture capture;
    Log(LogLevel::Error, L"tamber::test::Early(): nobody booted");
    FlushLog();
    EXPECT_EQ(capture.Count(LogLevel::Error, L"nobody booted"), 1u);
    EXPECT_EQ(CurrentLogFilePath(false), L"");
    ShutdownLog();
  }
  Machine::Boot(dir);
  ResetLogForTest();
  Log(LogLevel::Info, L"tamber::test::Early(): booted now");
  EXPECT_EQ(CountContaining(MainLines(), "booted now"), 1u);
}

// A log directory that cannot be made: the writer's own failure reaches the Application event log, where
// a service's administrator looks, not only a console the service does not have.
TEST_F(LogWriterSimTest, WriterFailuresReachTheEventLog) {
  common::windows::UniqueFile blocker(platform::CreateFile(L"C:\\ProgramData\\blocked", platform::kGenericWrite, 0,
                                                           platform::kCreateAlways, platform::kFileAttributeNormal));
  ASSERT_TRUE(blocker);
  blocker.reset();
  SetLogSetting(L"LogFileDirectory", std::wstring(L"C:\\ProgramData\\blocked\\logs"));
  ResetLogForTest();
  Log(LogLevel::Info, L"tamber::test::Blocked(): lost");
  FlushLog();
  ASSERT_NE(LastLogSystemMessage().find(L"Open file error"), std::wstring::npos) << LastLogSystemMessage();
  auto events = platform::sim::ReadEventLog(Machine::Directory(), 10);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().type, "Error");
  EXPECT_EQ(events.back().source, "tlv-velocyn-ga");
  EXPECT_NE(events.back().text.find("Open file error"), std::string::npos) << events.back().text;
  EXPECT_NE(events.back().text.find("blocked"), std::string::npos) << events.back().text;
  platform::DeleteFile(L"C:\\ProgramData\\blocked");
}

// Five reports a minute of machine time at most; the first report of a later minute says how many were
// held back.
TEST_F(LogWriterSimTest, EventLogReportsAreRateLimited) {
  EventLogReporter reporter(L"velocyn-test");
  int reported = 0;
  for (int i = 0; i < 12; ++i) reported += reporter.Report(L"failure " + std::to_wstring(i)) ? 1 : 0;
  EXPECT_EQ(reported, 5);
  platform::Sleep(EventLogReporter::kWindowMs);
  EXPECT_TRUE(reporter.Report(L"a later failure"));
  std::vector<std::string> texts;
  for (const auto& event : platform::sim::ReadEventLog(Machine::Directory(), 100)) {
    if (event.source == "velocyn-test") texts.push_back(event.text);
  }
  ASSERT_EQ(texts.size(), 7u);
  EXPECT_EQ(texts[4], "failure 4");
  EXPECT_NE(texts[5].find("7 further reports"), std::string::npos) << texts[5];
  EXPECT_EQ(texts[6], "a later failure");
}

}  // namespace
}  // namespace tamber::test
