// Netlogon's debug flags: when the agent leaves them alone, when it sets them and with which command line,
// and flags from the registry that are no hex number. Under Wine there is no nltest, so a command that is
// built fails to start there; its text is in the log line either way. What the simulated nltest does with
// it is in tests/sim/DomainSimTest.cpp.
#include <gtest/gtest.h>

#include <string>

#include "core/util/Registry.h"
#include "core/windows/Netlogon.h"
#include "framework/log/Log.h"
#include "platform/Registry.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using core::util::Registry;
using core::windows::Netlogon;
using test::LogCapture;
namespace regtype = core::util::regtype;

const std::wstring kPrefix = L"tamber::core::windows::Netlogon::";
constexpr const wchar_t* kParameters = L"SYSTEM\\CurrentControlSet\\Services\\Netlogon\\Parameters";

class NetlogonTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    RemoveDbFlag();  // outside the agent's own keys, which the Windows tier clears
  }
  void TearDown() override {
    RemoveDbFlag();
    test::GuestTest::TearDown();
  }
  static void RemoveDbFlag() {
    platform::HKey key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kParameters, 0, platform::kKeyAllAccess, &key) ==
        platform::kErrorSuccess) {
      platform::RegDeleteValue(key, L"DbFlag");
      platform::RegCloseKey(key);
    }
  }
  static void SetDbFlag(const std::wstring& text) {
    ASSERT_EQ(Registry::Instance()->SetValue(L"DbFlag", text, regtype::kNetlogonParameters), 0);
  }
  static void SetNlFlag(const std::wstring& text) {
    ASSERT_EQ(Registry::Instance()->SetValue(L"NlFlag", text, regtype::kService), 0);
  }
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log.Count(level, fragment);
  }
  static bool AnythingRan(const LogCapture& log) {
    framework::log::FlushLog();
    return log.Count(LogLevel::Debug, L"Util::RunScript(): Created Process") != 0 ||
           log.Count(LogLevel::Error, L"Util::RunScript(): Failed Creating Process") != 0;
  }
  // The command ran (in the simulated guest) or was tried (under Wine); either way it is logged.
  static size_t CommandLogged(const LogCapture& log, const std::wstring& command) {
    return Count(log, LogLevel::Debug, kPrefix + L"SetNLFlags(): Set Netlogon Flags: " + command) +
           Count(log, LogLevel::Error, kPrefix + L"SetNLFlags(): Failed Setting Netlogon Flags: " + command);
  }
};

TEST_F(NetlogonTest, DefaultFlagsAlreadySetRunNothing) {
  SetDbFlag(L"0x2fffffff");
  LogCapture log;
  EXPECT_TRUE(Netlogon::Instance()->EnableNlLogging());
  EXPECT_EQ(Count(log, LogLevel::Debug, kPrefix + L"EnableNlLogging(): Existing NL Flags: 0x2fffffff"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kPrefix + L"EnableNlLogging(): Current Flags and Default Flags Match"), 1u);
  EXPECT_FALSE(AnythingRan(log));
}

TEST_F(NetlogonTest, TheComparisonIsExactSoUpperCaseHexIsSetAgain) {
  SetDbFlag(L"0x2FFFFFFF");
  LogCapture log;
  Netlogon::Instance()->EnableNlLogging();
  EXPECT_EQ(Count(log, LogLevel::Debug, kPrefix + L"EnableNlLogging(): Current Flags and Default Flags Match"), 0u);
  EXPECT_EQ(CommandLogged(log, L"Nltest /DBFlag:0x2fffffff"), 1u);
}

TEST_F(NetlogonTest, NoFlagsYetAndAnEmptyWantedSettingMeanTheDefault) {
  SetNlFlag(L"");
  LogCapture log;
  Netlogon::Instance()->EnableNlLogging();
  EXPECT_EQ(Count(log, LogLevel::Debug, kPrefix + L"EnableNlLogging(): No NL Flags Currently Set"), 1u);
  EXPECT_EQ(CommandLogged(log, L"Nltest /DBFlag:0x2fffffff"), 1u);
}

TEST_F(NetlogonTest, TheWantedFlagsComeFromTheServiceKey) {
  SetDbFlag(L"0x2fffffff");
  SetNlFlag(L"2080FFFF");
  LogCapture log;
  Netlogon::Instance()->EnableNlLogging();
  EXPECT_EQ(CommandLogged(log, L"Nltest /DBFlag:2080FFFF"), 1u);
}

TEST_F(NetlogonTest, FlagsThatAreNoHexNumberAreRefusedAndNothingRuns) {
  for (const wchar_t* bad : {L"0x2fffffff & calc", L"0x", L"0x123456789", L"2fffffffg", L"-1", L" 0x1", L"0x1\"",
                             L"1 /SC_RESET:corp\\dc9", L"0x1\r\n"}) {
    SetNlFlag(bad);
    LogCapture log;
    EXPECT_FALSE(Netlogon::Instance()->EnableNlLogging()) << ::testing::PrintToString(std::wstring(bad));
    EXPECT_EQ(Count(log, LogLevel::Error, kPrefix + L"SetNLFlags(): Invalid Netlogon Flags, Not Setting: \""), 1u);
    EXPECT_FALSE(AnythingRan(log));
  }
  for (const wchar_t* good : {L"0x0", L"0", L"2080ffff", L"0X2FFFFFFF", L"ffffffff"}) {
    EXPECT_TRUE(Netlogon::IsValidFlagsText(good)) << ::testing::PrintToString(std::wstring(good));
  }
}

TEST_F(NetlogonTest, DisabledMeansAnyNumberButZero) {
  for (uint32_t disabled : {1u, 2u}) {
    SetDbFlag(L"0x2fffffff");
    ASSERT_EQ(Registry::Instance()->SetValue(L"NLFlagsDisabled", disabled, regtype::kGa), 0);
    LogCapture log;
    Netlogon::Instance()->EnableNlLogging();
    EXPECT_EQ(Count(log, LogLevel::Debug, kPrefix + L"EnableNlLogging(): NL Flags Disabled"), 1u) << disabled;
    EXPECT_EQ(CommandLogged(log, L"Nltest /DBFlag:0x0"), 1u) << disabled;
  }
  ASSERT_EQ(Registry::Instance()->SetValue(L"NLFlagsDisabled", 0u, regtype::kGa), 0);
  SetDbFlag(L"0x2fffffff");
  LogCapture log;
  EXPECT_TRUE(Netlogon::Instance()->EnableNlLogging()) << "0 applies the flags";
  EXPECT_EQ(Count(log, LogLevel::Debug, kPrefix + L"EnableNlLogging(): NL Flags Disabled"), 0u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kPrefix + L"EnableNlLogging(): Current Flags and Default Flags Match"), 1u);
}

}  // namespace
}  // namespace tamber
