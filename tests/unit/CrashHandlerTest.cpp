// The crash handler: dump limits and names, the exception tracker's slot, and children that really crash.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "framework/crash/CrashHandler.h"
#include "framework/log/LogWriter.h"
#include "platform/DbgHelp.h"
#include "platform/Environment.h"
#include "platform/Exceptions.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "support/CrashChild.h"
#include "support/LogFiles.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

constexpr wchar_t kDumpKey[] = L"Software\\Talvora\\Quorvel\\Dump";

class CrashHandlerTest : public GuestTest {
 protected:
  void SetUp() override {
    GuestTest::SetUp();
    CORE::ResetCrashHandlerForTest();
    platform::RegDeleteTree(platform::HKeyLocalMachine(), kDumpKey);
    for (const auto& name : Dumps()) platform::DeleteFile((CORE::DumpDirectory() + L"\\" + name).c_str());
  }
  void TearDown() override {
    for (const auto& name : Dumps()) platform::DeleteFile((CORE::DumpDirectory() + L"\\" + name).c_str());
    platform::RegDeleteTree(platform::HKeyLocalMachine(), kDumpKey);
    CORE::ResetCrashHandlerForTest();
    GuestTest::TearDown();
  }

  static void SetDumpNumber(const std::wstring& name, uint32_t value) {
    common::windows::UniqueHKey key;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), kDumpKey, platform::kRegOptionNonVolatile,
                                       platform::kKeySetValue, key.put(), nullptr),
              platform::kErrorSuccess);
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    ASSERT_EQ(platform::RegSetValueEx(key.get(), name.c_str(), platform::kRegDword, bytes, 4), platform::kErrorSuccess);
  }

  static void SetDumpText(const std::wstring& name, const std::wstring& value) {
    common::windows::UniqueHKey key;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), kDumpKey, platform::kRegOptionNonVolatile,
                                       platform::kKeySetValue, key.put(), nullptr),
              platform::kErrorSuccess);
    auto bytes = common::util::ToUtf16LeBytes(value);
    ASSERT_EQ(platform::RegSetValueEx(key.get(), name.c_str(), platform::kRegSz, bytes.data(),
                                      static_cast<uint32_t>(bytes.size())),
              platform::kErrorSuccess);
  }

  // The program's dump files, by name.
  static std::set<std::wstring> Dumps() {
    std::set<std::wstring> names;
    platform::FindData data;
    std::wstring pattern = CORE::DumpDirectory() + L"\\" + CORE::DumpProgramName() + L"-*.dmp";
    platform::Handle find = platform::FindFirstFile(pattern.c_str(), &data);
    if (find == platform::InvalidHandleValue()) return names;
    do {
      names.insert(data.fileName);
    } while (platform::FindNextFile(find, &data));
    platform::FindClose(find);
    return names;
  }

  // MINIDUMP_TYPE of a dump file: the flags of a minidump's header, or the simulator's "type" line.
  static uint64_t DumpType(const std::wstring& name) {
    std::string bytes = ReadWholeFile(CORE::DumpDirectory() + L"\\" + name);
    if (bytes.size() >= 32 && bytes.compare(0, 4, "MDMP") == 0) {
      uint64_t flags = 0;
      std::memcpy(&flags, bytes.data() + 24, 8);
      return flags;
    }
    auto at = bytes.find("\ntype 0x");
    return at == std::string::npos ? ~0ull : std::stoull(bytes.substr(at + 8, 8), nullptr, 16);
  }

  // Every log file of the guest, one after the other.
  static std::string AllLogText() {
    std::string text;
    wchar_t buffer[1024];
    platform::ExpandEnvironmentStrings(L"%ProgramData%\\Talvora\\Quorvel\\logs", buffer, 1024);
    std::wstring directory = buffer;
    platform::FindData data;
    platform::Handle find = platform::FindFirstFile((directory + L"\\*.txt").c_str(), &data);
    if (find == platform::InvalidHandleValue()) return text;
    do {
      text += ReadWholeFile(directory + L"\\" + data.fileName);
    } while (platform::FindNextFile(find, &data));
    platform::FindClose(find);
    return text;
  }
};

TEST_F(CrashHandlerTest, DumpIsWrittenSmallByDefaultAndOnlyForSystemAndAdministrators) {
  LogCapture logs;
  ASSERT_TRUE(CORE::CreateMiniDump(0, nullptr));
  auto dumps = Dumps();
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"crashdump written ok, file = "));
  EXPECT_EQ(DumpType(*dumps.begin()), platform::kMiniDumpWithDataSegs | platform::kMiniDumpWithHandleData);

  platform::FileSecurityDescriptor security;
  ASSERT_EQ(platform::GetNamedSecurityInfo((CORE::DumpDirectory() + L"\\" + *dumps.begin()).c_str(),
                                           platform::kDaclSecurityInformation, &security),
            0u);
  ASSERT_TRUE(security.daclPresent);
  std::set<std::wstring> allowed;
  for (const auto& ace : security.dacl) {
    EXPECT_EQ(ace.type, platform::kAccessAllowedAceType);
    allowed.insert(ace.sid);
  }
  // The system and the administrators (Wine reads the administrators back as its one user): nobody else.
  EXPECT_EQ(allowed.size(), 2u);
  EXPECT_EQ(allowed.count(L"S-1-5-18"), 1u);
  for (const wchar_t* other : {L"S-1-1-0", L"S-1-5-11", L"S-1-5-32-545"}) EXPECT_EQ(allowed.count(other), 0u) << other;
}

TEST_F(CrashHandlerTest, DumpTypeMiniIgnoresCaseAndAnythingElseIsFull) {
  SetDumpText(L"GlobalDumpType", L"MiNi");
  ASSERT_TRUE(CORE::CreateMiniDump(0, nullptr));
  ASSERT_EQ(Dumps().size(), 1u);
  EXPECT_EQ(DumpType(*Dumps().begin()), platform::kMiniDumpWithDataSegs | platform::kMiniDumpWithHandleData);
}

TEST_F(CrashHandlerTest, ZeroCountsDisableDumps) {
  {
    LogCapture logs;
    SetDumpNumber(L"GlobalMaxDumpCount", 0);
    EXPECT_FALSE(CORE::CreateMiniDump(0, nullptr));
    EXPECT_TRUE(logs.Contains(LogLevel::Info, L"CreateMiniDump(): Dump creation disabled."));
  }
  {
    LogCapture logs;
    SetDumpNumber(L"GlobalMaxDumpCount", 5);
    SetDumpNumber(CORE::DumpProgramName(), 0);
    EXPECT_FALSE(CORE::CreateMiniDump(0, nullptr));
    EXPECT_TRUE(logs.Contains(
        LogLevel::Info, L"CreateMiniDump(): Dump creation disabled for process " + CORE::DumpProgramName() + L"."));
  }
  EXPECT_TRUE(Dumps().empty());
}

TEST_F(CrashHandlerTest, CountLimitDeletesTheOldestDumpsFirst) {
  SetDumpNumber(L"GlobalMaxDumpCount", 3);
  ASSERT_TRUE(CORE::CreateMiniDump(0, nullptr));  // makes the folder
  for (const auto& name : Dumps()) platform::DeleteFile((CORE::DumpDirectory() + L"\\" + name).c_str());
  const std::wstring program = CORE::DumpProgramName();
  for (const wchar_t* suffix : {L"-old-a.dmp", L"-old-b.dmp", L"-old-c.dmp", L"-old-d.dmp"}) {
    ASSERT_TRUE(WriteWholeFile(CORE::DumpDirectory() + L"\\" + program + suffix, "x"));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // distinct modification times
  }
  // Another program's dumps are not counted or touched.
  ASSERT_TRUE(WriteWholeFile(CORE::DumpDirectory() + L"\\other-program-1.dmp", "x"));

  ASSERT_TRUE(CORE::CreateMiniDump(0, nullptr));
  auto dumps = Dumps();
  EXPECT_EQ(dumps.size(), 3u);
  EXPECT_EQ(dumps.count(program + L"-old-a.dmp"), 0u);
  EXPECT_EQ(dumps.count(program + L"-old-b.dmp"), 0u);
  EXPECT_EQ(dumps.count(program + L"-old-c.dmp"), 1u);
  EXPECT_EQ(dumps.count(program + L"-old-d.dmp"), 1u);
  EXPECT_NE(platform::GetFileAttributes((CORE::DumpDirectory() + L"\\other-program-1.dmp").c_str()),
            platform::kInvalidFileAttributes);
  platform::DeleteFile((CORE::DumpDirectory() + L"\\other-program-1.dmp").c_str());
}

TEST_F(CrashHandlerTest, SecondDumpOnTheSameSecondTakesTheNextName) {
  ASSERT_TRUE(CORE::CreateMiniDump(0, nullptr));
  ASSERT_TRUE(CORE::CreateMiniDump(0, nullptr));
  EXPECT_EQ(Dumps().size(), 2u);
}

TEST_F(CrashHandlerTest, ProcessThatCannotBeOpenedGetsNoDump) {
  LogCapture logs;
  EXPECT_FALSE(CORE::CreateMiniDump(0x7FFFFFF0u, nullptr));
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"CreateMiniDump: Failed to open process handle"));
  EXPECT_TRUE(Dumps().empty());  // the file made for it is removed again
}

TEST_F(CrashHandlerTest, TrackerSlotIsPublishedToTheProcessAndPerThread) {
  CORE::ExceptionTracker* tracker = CORE::GetExceptionTracker();
  ASSERT_NE(tracker, nullptr);
  std::wstring name = L"PelmarMfwTlsIndex" + std::to_wstring(platform::GetCurrentProcessId());
  wchar_t buffer[32] = {};
  uint32_t length = platform::GetEnvironmentVariable(name.c_str(), buffer, 32);
  ASSERT_GT(length, 0u);
  uint32_t index = static_cast<uint32_t>(std::stoul(std::wstring(buffer, length)));
  EXPECT_EQ(platform::TlsGetValue(index), tracker);
  EXPECT_EQ(CORE::GetExceptionTracker(), tracker);

  CORE::ExceptionTracker* other = nullptr;
  std::thread([&] { other = CORE::GetExceptionTracker(); }).join();
  EXPECT_NE(other, nullptr);
  EXPECT_NE(other, tracker);

  // A module that finds the variable takes the same slot instead of making its own.
  CORE::ResetCrashHandlerForTest();
  EXPECT_EQ(CORE::GetExceptionTracker(), tracker);
}

TEST_F(CrashHandlerTest, UnreadableSlotVariableLeavesExceptionsUntracked) {
  std::wstring name = L"PelmarMfwTlsIndex" + std::to_wstring(platform::GetCurrentProcessId());
  wchar_t saved[32] = {};
  uint32_t length = platform::GetEnvironmentVariable(name.c_str(), saved, 32);
  ASSERT_TRUE(platform::SetEnvironmentVariable(name.c_str(), L"not a number"));
  CORE::ResetCrashHandlerForTest();
  {
    LogCapture logs;
    EXPECT_EQ(CORE::GetExceptionTracker(), nullptr);
    EXPECT_TRUE(logs.Contains(LogLevel::Error,
                              L"GetExceptionTracker(): Failed to get the tls index unable to track exceptions."));
  }
  platform::SetEnvironmentVariable(name.c_str(), length > 0 ? std::wstring(saved, length).c_str() : nullptr);
  CORE::ResetCrashHandlerForTest();
}

TEST_F(CrashHandlerTest, OnlyUnrecoverableFaultsCount) {
  EXPECT_TRUE(CORE::IsFatalException(platform::kExceptionAccessViolation));
  EXPECT_TRUE(CORE::IsFatalException(platform::kExceptionStackOverflow));
  EXPECT_TRUE(CORE::IsFatalException(platform::kStatusFatalAppExit));
  EXPECT_FALSE(CORE::IsFatalException(0xE06D7363u));  // a C++ exception (MSVC)
  EXPECT_FALSE(CORE::IsFatalException(0x20474343u));  // a C++ exception (GCC)
  EXPECT_FALSE(CORE::IsFatalException(platform::kExceptionBreakpoint));
  EXPECT_FALSE(CORE::IsFatalException(platform::kExceptionSingleStep));
  EXPECT_FALSE(CORE::IsFatalException(0x40010006u));  // a debugger's print notification
  EXPECT_FALSE(CORE::IsFatalException(0x406D1388u));  // a thread's name for the debugger
  // An access violation may be taken by a frame's handler: only the filter reports it.
  EXPECT_FALSE(CORE::IsFatalBeforeFrameHandlers(platform::kExceptionAccessViolation));
  EXPECT_TRUE(CORE::IsFatalBeforeFrameHandlers(platform::kStatusHeapCorruption));
}

// --- children that crash --------------------------------------------------------------------------

class CrashChildTest : public CrashHandlerTest {
 protected:
  void SetUp() override {
    CrashHandlerTest::SetUp();
    std::string why;
    if (!CrashChildrenReport(&why)) GTEST_SKIP() << why;
    framework::log::FlushLog();
  }

  std::set<std::wstring> ChildDumps() {
    std::set<std::wstring> names;
    platform::FindData data;
    std::wstring pattern = CORE::DumpDirectory() + L"\\" + CrashChildProgramName() + L"-*.dmp";
    platform::Handle find = platform::FindFirstFile(pattern.c_str(), &data);
    if (find == platform::InvalidHandleValue()) return names;
    do {
      names.insert(data.fileName);
    } while (platform::FindNextFile(find, &data));
    platform::FindClose(find);
    return names;
  }

  void TearDown() override {
    for (const auto& name : ChildDumps()) platform::DeleteFile((CORE::DumpDirectory() + L"\\" + name).c_str());
    CrashHandlerTest::TearDown();
  }
};

TEST_F(CrashChildTest, NullWriteIsReportedWithATraceAndOneDump) {
  auto result = RunCrashChild("null-write", /*holdLogLock=*/false);
  ASSERT_TRUE(result.started);
  EXPECT_TRUE(result.endedByFault);
  std::string log = AllLogText();
  EXPECT_NE(log.find("attempted to write to address 0x"), std::string::npos) << log;
  EXPECT_NE(log.find("********** Exception StackTrace **********"), std::string::npos);
  EXPECT_NE(log.find("Trying to make a MiniDump"), std::string::npos);
  EXPECT_NE(log.find("crashdump written ok, file = "), std::string::npos);
  EXPECT_EQ(ChildDumps().size(), 1u);
}

TEST_F(CrashChildTest, StackOverflowIsReported) {
  auto overflow = RunCrashChild("stack-overflow", false);
  ASSERT_TRUE(overflow.started);
  EXPECT_TRUE(overflow.endedByFault);
  EXPECT_NE(AllLogText().find("GOT STACK OVERFLOW"), std::string::npos);
  EXPECT_EQ(ChildDumps().size(), 1u);
}

TEST_F(CrashChildTest, AbortIsReported) {
  auto aborted = RunCrashChild("abort", false);
  ASSERT_TRUE(aborted.started);
  EXPECT_TRUE(aborted.endedByFault);
  EXPECT_NE(AllLogText().find("encountered a machine exception code 0x40000015"), std::string::npos);
  EXPECT_EQ(ChildDumps().size(), 1u);
}

TEST_F(CrashChildTest, CaughtCppExceptionsMakeNoReportOrDump) {
  // The log folder may hold the earlier children's reports (a real folder under Wine): only what this
  // child adds counts.
  auto count = [](const std::string& text, const char* what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  const std::string before = AllLogText();
  auto result = RunCrashChild("caught-exceptions", false);
  ASSERT_TRUE(result.started);
  EXPECT_FALSE(result.endedByFault);
  EXPECT_EQ(result.exitCode, 0);
  std::string log = AllLogText();
  EXPECT_GT(count(log, "velocyn_crash_child: caught 1000"), count(before, "velocyn_crash_child: caught 1000"));
  EXPECT_EQ(count(log, "Trying to make a MiniDump"), count(before, "Trying to make a MiniDump"));
  EXPECT_TRUE(ChildDumps().empty());
}

TEST_F(CrashChildTest, CrashWhileTheLogLockIsHeldStillDumps) {
  auto result = RunCrashChild("null-write", /*holdLogLock=*/true);
  ASSERT_TRUE(result.started);
  EXPECT_TRUE(result.endedByFault);
  EXPECT_EQ(ChildDumps().size(), 1u);
  EXPECT_NE(AllLogText().find("crashdump written ok, file = "), std::string::npos);
}

TEST_F(CrashChildTest, DumpCountLimitKeepsTheNewestOfTwoCrashes) {
  SetDumpNumber(L"GlobalMaxDumpCount", 1);
  ASSERT_TRUE(RunCrashChild("null-write", false).started);
  auto first = ChildDumps();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_TRUE(RunCrashChild("divide", false).started);
  auto second = ChildDumps();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(*first.begin(), *second.begin());
}

TEST_F(CrashChildTest, DisabledDumpsAreLoggedAndNotWritten) {
  SetDumpNumber(L"GlobalMaxDumpCount", 0);
  auto result = RunCrashChild("null-write", false);
  ASSERT_TRUE(result.started);
  EXPECT_TRUE(result.endedByFault);
  EXPECT_TRUE(ChildDumps().empty());
  std::string log = AllLogText();
  EXPECT_NE(log.find("CreateMiniDump(): Dump creation disabled."), std::string::npos);
  EXPECT_EQ(log.find("The MiniDump creation FAILED"), std::string::npos);
}

}  // namespace
}  // namespace tamber::test
