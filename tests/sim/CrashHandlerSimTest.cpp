// The crash report's special cases and the exception tracker, with exception records made by the test
// (the simulated guest's dump writer takes records without a thread context; DbgHelp's does not).
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "framework/crash/CrashHandler.h"
#include "platform/DbgHelp.h"
#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "support/LogFiles.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

class CrashHandlerSimTest : public GuestTest {
 protected:
  void SetUp() override {
    GuestTest::SetUp();
    CORE::ResetCrashHandlerForTest();
  }
  void TearDown() override {
    CORE::ResetCrashHandlerForTest();
    GuestTest::TearDown();
  }

  static void SetValue(const wchar_t* keyPath, const std::wstring& name, const std::wstring& text) {
    common::windows::UniqueHKey key;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), keyPath, platform::kRegOptionNonVolatile,
                                       platform::kKeySetValue, key.put(), nullptr),
              platform::kErrorSuccess);
    auto bytes = common::util::ToUtf16LeBytes(text);
    ASSERT_EQ(platform::RegSetValueEx(key.get(), name.c_str(), platform::kRegSz, bytes.data(),
                                      static_cast<uint32_t>(bytes.size())),
              platform::kErrorSuccess);
  }

  static size_t DumpCount() {
    size_t count = 0;
    platform::FindData data;
    std::wstring pattern = CORE::DumpDirectory() + L"\\" + CORE::DumpProgramName() + L"-*.dmp";
    platform::Handle find = platform::FindFirstFile(pattern.c_str(), &data);
    if (find == platform::InvalidHandleValue()) return 0;
    do {
      ++count;
    } while (platform::FindNextFile(find, &data));
    platform::FindClose(find);
    return count;
  }

  platform::ExceptionRecord record_;
  platform::ExceptionPointers pointers_{&record_, nullptr};
};

TEST_F(CrashHandlerSimTest, AccessViolationReportHasTheTraceAndOneDumpPerProcess) {
  record_.exceptionCode = platform::kExceptionAccessViolation;
  record_.exceptionAddress = reinterpret_cast<void*>(0x1234);
  record_.numberParameters = 2;
  record_.exceptionInformation[0] = platform::kAccessWrite;
  record_.exceptionInformation[1] = 0x10;
  LogCapture logs;
  CORE::ReportFatalException(&pointers_);
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"attempted to write to address 0x0000000000000010\nStack trace:\n"));
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"********** Exception StackTrace **********"));
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"********** Exception End StackTrace **********"));
  // The walk names the test's own function with its file.
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"CrashHandlerSimTest.cpp"));
  EXPECT_TRUE(logs.Contains(LogLevel::Info, L"Trying to make a MiniDump"));
  EXPECT_EQ(DumpCount(), 1u);

  // Another fatal exception of the same process instance: reported, but no second dump.
  platform::ExceptionRecord second = record_;
  second.exceptionInformation[0] = platform::kAccessRead;
  platform::ExceptionPointers secondPointers{&second, nullptr};
  CORE::ReportFatalException(&secondPointers);
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"attempted to read from address"));
  EXPECT_TRUE(logs.Contains(LogLevel::Info,
                            L"MakeCrashDumpInt: A dump is already created for this process instance, skipping..."));
  EXPECT_EQ(DumpCount(), 1u);
}

TEST_F(CrashHandlerSimTest, SpecialCasesAreNamedFirst) {
  LogCapture logs;
  record_.exceptionCode = platform::kStatusHeapCorruption;
  record_.exceptionFlags = platform::kExceptionNoncontinuableFlag;
  CORE::ReportFatalException(&pointers_);
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"GOT HEAP CORRUPTION (flags=0x1)"));
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"encountered a machine exception code 0xC0000374 @ 0x"));

  record_ = platform::ExceptionRecord{};
  record_.exceptionCode = platform::kExceptionAccessViolation;
  record_.numberParameters = 2;
  record_.exceptionInformation[0] = platform::kAccessExecute;
  CORE::ReportFatalException(&pointers_);
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"GOT DEP ACCESS VIOLATION"));

  record_ = platform::ExceptionRecord{};
  record_.exceptionCode = platform::kExceptionStackOverflow;
  CORE::ReportFatalException(&pointers_);
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"GOT STACK OVERFLOW"));
}

TEST_F(CrashHandlerSimTest, VerifierStopDumpsOnlyWhenAskedTo) {
  record_.exceptionCode = platform::kStatusVerifierStop;
  record_.numberParameters = 1;
  record_.exceptionInformation[0] = 0x13;
  {
    LogCapture logs;
    CORE::ReportFatalException(&pointers_);
    EXPECT_TRUE(logs.Contains(LogLevel::Error, L"VERIFIER STOP"));
    EXPECT_TRUE(logs.Contains(LogLevel::Error, L"VERIFIER: stop code 0x00000013"));
    EXPECT_FALSE(logs.Contains(LogLevel::Info, L"Trying to make a MiniDump"));
  }
  EXPECT_EQ(DumpCount(), 0u);
  SetValue(L"Software\\Talvora\\Quorvel", L"dumpOnAppVerifierStop", L"true");
  CORE::ReportFatalException(&pointers_);
  EXPECT_EQ(DumpCount(), 1u);
}

TEST_F(CrashHandlerSimTest, TrackerAllowsOneDumpPerExceptionUnlessTrackingIsOff) {
  record_.exceptionCode = platform::kExceptionIllegalInstruction;
  LogCapture logs;
  EXPECT_TRUE(CORE::CreateMiniDump(0, &pointers_));
  EXPECT_FALSE(CORE::CreateMiniDump(0, &pointers_));
  EXPECT_TRUE(logs.Contains(
      LogLevel::Info, L"CreateMiniDump(): Skipping dump creation as its already been created for this exception."));
  EXPECT_EQ(DumpCount(), 1u);

  SetValue(L"Software\\Talvora\\Quorvel\\Dump", L"EnableDumpTracking", L"false");
  EXPECT_TRUE(CORE::CreateMiniDump(0, &pointers_));
  EXPECT_EQ(DumpCount(), 2u);
}

TEST_F(CrashHandlerSimTest, FullDumpTypeCarriesMemory) {
  SetValue(L"Software\\Talvora\\Quorvel\\Dump", L"GlobalDumpType", L"full");
  ASSERT_TRUE(CORE::CreateMiniDump(0, nullptr));
  platform::FindData data;
  platform::Handle find = platform::FindFirstFile((CORE::DumpDirectory() + L"\\*.dmp").c_str(), &data);
  ASSERT_NE(find, platform::InvalidHandleValue());
  platform::FindClose(find);
  std::string dump = ReadWholeFile(CORE::DumpDirectory() + L"\\" + data.fileName);
  const uint32_t full = platform::kMiniDumpWithFullMemory | platform::kMiniDumpWithHandleData |
                        platform::kMiniDumpWithUnloadedModules | platform::kMiniDumpWithFullMemoryInfo |
                        platform::kMiniDumpWithThreadInfo;
  char type[32];
  std::snprintf(type, sizeof type, "\ntype 0x%08X\n", full);
  EXPECT_NE(dump.find(type), std::string::npos);
  EXPECT_NE(dump.find("\nmemory 0x"), std::string::npos);
}

TEST_F(CrashHandlerSimTest, WithoutDbgHelpThereIsNoTraceAndNoDump) {
  platform::sim::FaultPlan::Set("DbgHelpMissing", "1");
  record_.exceptionCode = platform::kExceptionIntDivideByZero;
  record_.exceptionAddress = reinterpret_cast<void*>(0x4000);
  LogCapture logs;
  CORE::ReportFatalException(&pointers_);
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"DbgHelp.dll not found"));
  EXPECT_TRUE(logs.Contains(LogLevel::Error,
                            L"encountered a machine exception code 0xC0000094 at address 0x0000000000004000 (no pdb "
                            L"files found or DbgHelp.dll not loaded)"));
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"No crashdump written, cannot get addr of MiniDumpWriteDump, error: "));
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"The MiniDump creation FAILED"));
  EXPECT_EQ(DumpCount(), 0u);  // the file made for it is removed again
  EXPECT_EQ(CORE::CurrentStackTrace(), L"STACKTRACE NOT AVAILABLE WHEN NO PDB FILES AROUND");
}

TEST_F(CrashHandlerSimTest, MissingEntryPointIsNamedAndFailedWriteLeavesNoFile) {
  platform::sim::FaultPlan::Set("DbgHelpMissingExport", "SymGetLineFromAddr64");
  {
    LogCapture logs;
    std::wstring trace = CORE::CurrentStackTrace();
    EXPECT_TRUE(logs.Contains(LogLevel::Error, L"DbgHelp GetProcAddress of 'SymGetLineFromAddr64', error: "));
    EXPECT_EQ(trace.rfind(L"******************************************\r\n********** StackTrace **********", 0), 0u);
    EXPECT_NE(trace.find(L"********** End StackTrace **********"), std::wstring::npos);
  }
  platform::sim::FaultPlan::Set("MiniDumpWriteFails", "1");
  LogCapture logs;
  EXPECT_FALSE(CORE::CreateMiniDump(0, nullptr));
  EXPECT_TRUE(logs.Contains(LogLevel::Error, L"crashdump write failed, error: 29"));
  EXPECT_EQ(DumpCount(), 0u);
}

}  // namespace
}  // namespace tamber::test
