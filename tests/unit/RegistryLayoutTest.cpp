// The key map, the tunables and the Support timings, against the registry of the tier. Only the agent's
// own keys (below SOFTWARE\Talvora and the service key) are written, as the Wine tier runs on a real
// registry.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/registry/RegKey.h"
#include "core/util/Registry.h"
#include "core/util/Support.h"
#include "core/util/Tunables.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "support/TestEnvironment.h"

namespace tamber::core::util {
namespace {

using common::windows::registry::ExistingRegKey;
using test::LogCapture;

constexpr int32_t kEFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kFileNotFound = static_cast<int32_t>(0x80070002u);
constexpr RegistryType kUnknownType = 18;
constexpr const wchar_t* kSupportPath = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\Support";

class RegistryLayoutTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    ResetSingletonsForTest();
  }

  // Reads a DWORD straight from the registry, not through the objects under test.
  static bool ReadRaw(const wchar_t* path, const wchar_t* name, uint32_t* value) {
    platform::HKey key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path, 0, platform::kKeyRead, &key) != 0) return false;
    uint8_t bytes[4] = {};
    uint32_t size = sizeof(bytes);
    uint32_t error = platform::RegQueryValueEx(key, name, nullptr, bytes, &size);
    platform::RegCloseKey(key);
    *value = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return error == 0 && size == 4;
  }
};

TEST_F(RegistryLayoutTest, KeyPathsAreSpelledAsTheOtherComponentsSpellThem) {
  ASSERT_EQ(18u, kRegistryKeyPaths.size());
  EXPECT_STREQ(L"SYSTEM\\CurrentControlSet\\services\\tlv-velocyn-ga", kRegistryKeyPaths[regtype::kService]);
  EXPECT_STREQ(L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga", kRegistryKeyPaths[regtype::kGa]);
  EXPECT_STREQ(L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\AgentIntegration\\AV",
               kRegistryKeyPaths[regtype::kAgentIntegrationAv]);
  EXPECT_STREQ(L"System\\CurrentControlSet\\Control\\Lsa\\CachedMachineNames",
               kRegistryKeyPaths[regtype::kCachedMachineNames]);
  EXPECT_STREQ(kSupportPath, kRegistryKeyPaths[regtype::kSupport]);
  EXPECT_STREQ(L"Software\\Talvora\\Quorvel\\Node Manager", kRegistryKeyPaths[regtype::kNodeManager]);
  EXPECT_STREQ(L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\QuorvelAgent", kRegistryKeyPaths[regtype::kQuorvelAgent]);
  std::set<std::wstring> distinct(kRegistryKeyPaths.begin(), kRegistryKeyPaths.end());
  EXPECT_EQ(18u, distinct.size());
}

TEST_F(RegistryLayoutTest, UnknownTypeFailsEveryOperationWithoutTouchingTheRegistry) {
  auto* registry = Registry::Instance();
  LogCapture log;
  EXPECT_EQ(nullptr, registry->GetKeyObj(kUnknownType));

  uint32_t value = 0, defaultValue = 3;
  std::wstring text;
  std::vector<std::wstring> strings;
  bool flag = false;
  const uint8_t bytes[4] = {};
  EXPECT_EQ(kEFail, registry->GetValue(L"Marker", &strings, kUnknownType));
  EXPECT_EQ(kEFail, registry->GetValue(L"Marker", &defaultValue, &value, kUnknownType));
  EXPECT_EQ(kEFail, registry->GetValue(L"Marker", &text, kUnknownType));
  EXPECT_EQ(kEFail, registry->SetValue(L"Marker", bytes, sizeof(bytes), kUnknownType));
  EXPECT_EQ(kEFail, registry->SetValue(L"Marker", 5u, kUnknownType));
  EXPECT_EQ(kEFail, registry->SetValue(L"Marker", std::wstring(L"x"), kUnknownType));
  EXPECT_EQ(kEFail, registry->FlushKey(kUnknownType));
  EXPECT_EQ(kEFail, registry->WaitForChange(&flag, nullptr, kUnknownType));
  EXPECT_EQ(kEFail, registry->WaitForDwordValue(L"Marker", 1, 10, &flag, kUnknownType));
  EXPECT_EQ(kEFail, registry->WaitForStringValue(L"Marker", L"x", 10, kUnknownType));
  EXPECT_EQ(kEFail, registry->WaitForStringValue(L"Marker", L"x", 10, &flag, nullptr, kUnknownType));
  EXPECT_EQ(kEFail, registry->WaitForValueExists(L"Marker", 10, kUnknownType));

  framework::log::FlushLog();
  EXPECT_TRUE(
      log.Contains(LogLevel::Error, L"tamber::core::util::Registry::GetKeyObj(): Unknown Registry Type Specified: 18"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::core::util::Registry::SetValue(): Failed Getting KeyObj: Value Name: Marker, Value: 5, Type: 18"));
}

TEST_F(RegistryLayoutTest, MissingAgentKeysAreCreatedOnFirstUseAndCached) {
  auto* registry = Registry::Instance();
  auto first = registry->GetKeyObj(regtype::kExternal);
  ASSERT_NE(nullptr, first);
  EXPECT_TRUE(first->IsOpen());
  EXPECT_EQ(first, registry->GetKeyObj(regtype::kExternal));

  EXPECT_EQ(0, registry->SetValue(L"Count", 12u, regtype::kExternal));
  EXPECT_EQ(0, registry->FlushKey(regtype::kExternal));
  uint32_t raw = 0;
  ASSERT_TRUE(ReadRaw(kRegistryKeyPaths[regtype::kExternal], L"Count", &raw));
  EXPECT_EQ(12u, raw);

  const uint32_t defaultValue = 99;
  uint32_t value = 0;
  EXPECT_EQ(kFileNotFound, registry->GetValue(L"Absent", &defaultValue, &value, regtype::kExternal));
  EXPECT_EQ(99u, value);
  EXPECT_EQ(kFileNotFound, registry->GetValue(L"Absent", nullptr, &value, regtype::kExternal));
  EXPECT_EQ(0u, value);

  EXPECT_EQ(0, registry->SetValue(L"Name", std::wstring(L"clone-01"), regtype::kExternal));
  std::wstring text;
  EXPECT_EQ(0, registry->GetValue(L"Name", &text, regtype::kExternal));
  EXPECT_EQ(L"clone-01", text);
  const uint8_t list[] = {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0};
  EXPECT_EQ(0, registry->SetValue(L"List", list, sizeof(list), regtype::kExternal));
  std::vector<std::wstring> strings;
  EXPECT_EQ(0, registry->GetValue(L"List", &strings, regtype::kExternal));
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"b"}), strings);
}

TEST_F(RegistryLayoutTest, TunableTableHoldsEverySettingOnceWithItsKeyAndDefault) {
  auto all = AllTunables();
  EXPECT_EQ(33u, all.size());
  std::set<std::wstring> names;
  for (const auto& info : all) {
    EXPECT_TRUE(names.insert(info.name).second) << info.name;
    EXPECT_TRUE(info.key == regtype::kService || info.key == regtype::kGa) << info.name;
  }
  EXPECT_EQ(regtype::kService, DescribeTunable(Tunable::PollingIpRetries).key);
  EXPECT_EQ(5u, TunableDefault(Tunable::PollingIpRetries));
  EXPECT_EQ(15000u, TunableDefault(Tunable::RenewIPDelayClone));
  EXPECT_EQ(20000u, TunableDefault(Tunable::ExecScriptTimeout));
  EXPECT_EQ(regtype::kGa, DescribeTunable(Tunable::ServiceShutdownDelay).key);
  EXPECT_EQ(300000u, TunableDefault(Tunable::ServiceShutdownDelay));
  EXPECT_EQ(TunableKind::Flag, DescribeTunable(Tunable::ServiceNotifyEnabled).kind);
  EXPECT_EQ(TunableKind::Number, DescribeTunable(Tunable::NLFlagsDisabled).kind);
  EXPECT_EQ(600000u, TunableDefault(Tunable::SysprepMaxWaitTime, {false, SysprepPhase::Generalize}));
  EXPECT_EQ(3600000u, TunableDefault(Tunable::SysprepMaxWaitTime, {false, SysprepPhase::Specialize}));
  EXPECT_EQ(1800000u, TunableDefault(Tunable::SysprepMaxWaitTime, {false, SysprepPhase::Oobe}));
  EXPECT_STREQ(L"0x2fffffff", kNlFlagDefault);
}

TEST_F(RegistryLayoutTest, TunablesFallBackToTheirDefaultsAndFlagsNeedExactlyOne) {
  auto* registry = Registry::Instance();
  Tunables tunables(registry);
  EXPECT_TRUE(tunables.IsEnabled(Tunable::ServiceNotifyEnabled));  // missing: default 1
  EXPECT_EQ(5000u, tunables.TrustVerifyDelay(/*networkUsesIpv6=*/true));
  EXPECT_EQ(1000u, tunables.TrustVerifyDelay(/*networkUsesIpv6=*/false));
  EXPECT_EQ(3600000u, tunables.SysprepMaxWaitTime(SysprepPhase::Specialize));
  EXPECT_EQ(8u, tunables.GetWithDefault(Tunable::TrustVerifyRetries, 8));

  ASSERT_EQ(0, registry->SetValue(L"ServiceNotifyEnabled", 2u, regtype::kGa));
  EXPECT_FALSE(tunables.IsEnabled(Tunable::ServiceNotifyEnabled));
  ASSERT_EQ(0, registry->SetValue(L"ServiceNotifyEnabled", 1u, regtype::kGa));
  EXPECT_TRUE(tunables.IsEnabled(Tunable::ServiceNotifyEnabled));
  ASSERT_EQ(0, registry->SetValue(L"PostCustomizationScriptDisabled", 1u, regtype::kGa));
  EXPECT_TRUE(tunables.IsEnabled(Tunable::PostCustomizationScriptDisabled));

  // A stored value wins over every default.
  ASSERT_EQ(0, registry->SetValue(L"TrustVerifyDelay", 250u, regtype::kService));
  EXPECT_EQ(250u, tunables.TrustVerifyDelay(true));
  EXPECT_EQ(250u, tunables.TrustVerifyDelay(false));
  ASSERT_EQ(0, registry->SetValue(L"SysprepMaxWaitTime", 42u, regtype::kService));
  EXPECT_EQ(42u, tunables.SysprepMaxWaitTime(SysprepPhase::Oobe));
}

TEST_F(RegistryLayoutTest, SupportCreatesItsKeyAndPrefixesNamesWithTheRole) {
  auto* support = Support::Instance();
  uint32_t raw = 0;
  EXPECT_FALSE(ReadRaw(kSupportPath, L"unknownTestValue", &raw));
  LogCapture log;
  EXPECT_TRUE(support->Test());
  ASSERT_TRUE(ReadRaw(kSupportPath, L"unknownTestValue", &raw));
  EXPECT_EQ(5u, raw);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"tamber::core::util::Support::Test(): Value: 5"));

  support->SetRolePrefixSource([] { return std::wstring(L"clone"); });
  support->Start(Support::Timing::Rename);
  uint32_t elapsed = support->Stop(Support::Timing::Rename);
  ASSERT_TRUE(ReadRaw(kSupportPath, L"cloneRenameTime", &raw));
  EXPECT_EQ(elapsed, raw);
  uint32_t value = 0;
  EXPECT_EQ(0, support->GetValue(L"RenameTime", &value));
  EXPECT_EQ(elapsed, value);
}

TEST_F(RegistryLayoutTest, ItCustomizationTimeCountsFromTheSavedRebootTick) {
  auto* support = Support::Instance();
  support->SetRolePrefixSource([] { return std::wstring(L"it"); });
  LogCapture log;
  EXPECT_EQ(0u, support->GetTotalITCustomizationTime());
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug, L"tamber::core::util::Support::GetTotalITCustomizationTime(): IT Time Failed (0): 0x80070002"));

  // The tick count wraps; so does the difference.
  ASSERT_EQ(0, support->SetValue(Support::kRebootTickCount, platform::GetTickCount() - 1000));
  uint32_t total = support->GetTotalITCustomizationTime();
  EXPECT_GE(total, 1000u);
  EXPECT_LT(total, 60000u);
  uint32_t raw = 0;
  ASSERT_TRUE(ReadRaw(kSupportPath, L"itTotalCustomizationTime", &raw));
  EXPECT_EQ(total, raw);

  support->SetRolePrefixSource([] { return std::wstring(L"clone"); });
  ASSERT_EQ(0, support->SetValue(Support::kRebootTickCount, 5000));
  EXPECT_GE(support->GetTotalCloneCustomizationTime(), 5000u);
}

}  // namespace
}  // namespace tamber::core::util
