// The integration values in both tiers: the management side's variables through the machine's hypervisor
// channel (on Windows a simulated hypervisor directory), the values in the tier's real registry, and the
// custom data file in its real file system.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/security/FileProtection.h"
#include "common/util/Utf16.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/GuestInfo.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/windows/AgentIntegration.h"
#include "framework/log/Log.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "support/HypervisorDirectory.h"
#include "support/LogFiles.h"
#include "support/TestEnvironment.h"

namespace tamber::core::windows {
namespace {

using test::LogCapture;
using util::CustomizationPersistentInfo;
using util::Persisted;

const std::wstring kPrefix = L"tamber::core::windows::AgentIntegration::";
const std::wstring kDaasKey = std::wstring(kAgentIntegrationKeyPath) + L"\\DAAS";
const std::wstring kAvKey = std::wstring(kAgentIntegrationKeyPath) + L"\\AV";
const std::wstring kCustomDataPath = std::wstring(kCustomDataDirectory) + L"\\" + kCustomDataFile;

struct RawValue {
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
};

std::optional<RawValue> ReadRaw(const std::wstring& path, const wchar_t* name) {
  platform::HKey key = nullptr;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path.c_str(), 0, platform::kKeyRead, &key) != 0) {
    return std::nullopt;
  }
  RawValue value;
  uint32_t size = 0;
  uint32_t error = platform::RegQueryValueEx(key, name, &value.type, nullptr, &size);
  if (error == 0) {
    value.bytes.resize(size);
    error = platform::RegQueryValueEx(key, name, &value.type, value.bytes.data(), &size);
  }
  platform::RegCloseKey(key);
  if (error != 0) return std::nullopt;
  return value;
}

// UTF-16LE bytes of strings, each with its terminating zero.
std::vector<uint8_t> Strings(std::initializer_list<const wchar_t*> texts) {
  std::vector<uint8_t> bytes;
  for (const wchar_t* text : texts) {
    auto encoded = common::util::ToUtf16LeBytes(text);
    bytes.insert(bytes.end(), encoded.begin(), encoded.end());
  }
  return bytes;
}

void RemoveCustomData() {
  platform::DeleteFile(kCustomDataPath.c_str());
  platform::RemoveDirectory(kCustomDataPath.c_str());  // when a test made it a directory
  platform::RemoveDirectory(kCustomDataDirectory);
}

class AgentIntegrationTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    hypervisor_.emplace("integration-hv");
    ASSERT_TRUE(hypervisor_->Ok());
    RemoveCustomData();
  }
  void TearDown() override {
    RemoveCustomData();
    util::ResetSingletonsForTest();
    hypervisor_.reset();
    test::GuestTest::TearDown();
  }

  // The management side's variables, through the machine's own channel.
  static void SetGuestInfo(const char* name, const char* value) {
    ASSERT_TRUE(util::GuestInfo().SetValue(name, value));
  }
  static std::optional<std::string> GuestInfoValue(const char* name) {
    std::string value;
    if (!util::GuestInfo().GetValue(name, &value)) return std::nullopt;
    return value;
  }
  static size_t Logged(const LogCapture& log, LogLevel level, const std::wstring& text) {
    framework::log::FlushLog();
    return log.Count(level, kPrefix + text);
  }

  std::optional<test::ScopedHypervisorDirectory> hypervisor_;
};

TEST_F(AgentIntegrationTest, CreatesTheKey) {
  LogCapture log;
  EXPECT_TRUE(AgentIntegration().CreateAgentIntegrationKey());
  platform::HKey key = nullptr;
  ASSERT_EQ(platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kAgentIntegrationKeyPath, 0, platform::kKeyRead, &key),
            0u);
  platform::RegCloseKey(key);
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"CreateAgentIntegrationKey(): Created AgentIntegration Key"), 1u);
}

TEST_F(AgentIntegrationTest, PreCustomizationValueIsWrittenOncePerClone) {
  SetGuestInfo("inter-agent.vmpath", "/pool-a/desktop-042");
  LogCapture log;
  AgentIntegration().ParseAgentIntegrationValues(AgentIntegration::kPreCustomization);

  auto value = ReadRaw(kAgentIntegrationKeyPath, L"VmPath");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, platform::kRegSz);
  EXPECT_EQ(value->bytes, Strings({L"/pool-a/desktop-042"})) << "the size includes the terminating zero";
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::ClonePreIntegrationValuesParsed));
  EXPECT_EQ(Logged(log, LogLevel::Debug,
                   L"ParseAgentIntegrationValues(): Succeeded Getting Data: info-get guestinfo.inter-agent.vmpath: "
                   L"/pool-a/desktop-042"),
            1u);
  EXPECT_EQ(Logged(log, LogLevel::Debug,
                   L"ParseAgentIntegrationValues(): Opened Key: " + std::wstring(kAgentIntegrationKeyPath)),
            1u);
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"ParseAgentIntegrationValues(): Set Value: VmPath"), 1u);
  EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::ClonePostIntegrationValuesParsed));

  // A later start: the marker stands, nothing is asked or written again.
  SetGuestInfo("inter-agent.vmpath", "/pool-b/elsewhere");
  util::ResetSingletonsForTest();
  LogCapture later;
  AgentIntegration().ParseAgentIntegrationValues(AgentIntegration::kPreCustomization);
  EXPECT_EQ(ReadRaw(kAgentIntegrationKeyPath, L"VmPath")->bytes, Strings({L"/pool-a/desktop-042"}));
  EXPECT_EQ(Logged(later, LogLevel::Debug, L"ParseAgentIntegrationValues()"), 0u);
}

TEST_F(AgentIntegrationTest, EndpointListsSkipEmptyTokensAndFailedEntriesAreNotRetried) {
  // Three names with one extra comma between the second and the third; the antivirus list is absent.
  SetGuestInfo("inter-agent.daas.tenant-endpoints", "ep1.example,ep2.example,,ep3.example");
  LogCapture log;
  AgentIntegration().ParseAgentIntegrationValues(AgentIntegration::kPostCustomization);

  auto endpoints = ReadRaw(kDaasKey, L"TenantEndpoints");
  ASSERT_TRUE(endpoints);
  EXPECT_EQ(endpoints->type, platform::kRegMultiSz);
  EXPECT_EQ(endpoints->bytes, Strings({L"ep1.example", L"ep2.example", L"ep3.example", L""}))
      << "exactly three entries, then the empty string that ends the list";
  EXPECT_FALSE(ReadRaw(kAvKey, L"ManagerEndpoints"));
  EXPECT_EQ(Logged(log, LogLevel::Error,
                   L"ParseAgentIntegrationValues(): Failed Getting Data: "
                   L"info-get guestinfo.inter-agent.av.avmgr-endpoints"),
            1u);
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::ClonePostIntegrationValuesParsed))
      << "set even though an entry failed";

  SetGuestInfo("inter-agent.av.avmgr-endpoints", "av.example");
  AgentIntegration().ParseAgentIntegrationValues(AgentIntegration::kPostCustomization);
  EXPECT_FALSE(ReadRaw(kAvKey, L"ManagerEndpoints")) << "not retried on a later call";
}

TEST_F(AgentIntegrationTest, AListOfOnlyCommasWritesNothing) {
  SetGuestInfo("inter-agent.daas.tenant-endpoints", ",,,");
  SetGuestInfo("inter-agent.av.avmgr-endpoints", "av1.example");
  LogCapture log;
  AgentIntegration().ParseAgentIntegrationValues(AgentIntegration::kPostCustomization);
  EXPECT_EQ(Logged(log, LogLevel::Error, L"ParseAgentIntegrationValues(): j == 0"), 1u);
  EXPECT_FALSE(ReadRaw(kDaasKey, L"TenantEndpoints"));
  // The next entry still goes its way.
  auto av = ReadRaw(kAvKey, L"ManagerEndpoints");
  ASSERT_TRUE(av);
  EXPECT_EQ(av->bytes, Strings({L"av1.example", L""}));
}

TEST_F(AgentIntegrationTest, GoldenImageCannotAskForTheValues) {
  SetGuestInfo("inter-agent.vmpath", "/pool-a/desktop-042");
  SetGuestInfo("inter-agent.daas.tenant-endpoints", "ep1.example");
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"GoldenImage", 1u, util::regtype::kSetup), 0);
  LogCapture log;
  AgentIntegration integration;
  integration.ParseAgentIntegrationValues(AgentIntegration::kPreCustomization);
  integration.ParseAgentIntegrationValues(AgentIntegration::kPostCustomization);
  EXPECT_EQ(Logged(log, LogLevel::Error, L"ParseAgentIntegrationValues(): Failed Getting Data: "), 3u) << "every entry";
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"ParseAgentIntegrationValues(): Set Value"), 0u);
  EXPECT_FALSE(ReadRaw(kAgentIntegrationKeyPath, L"VmPath"));
  EXPECT_FALSE(ReadRaw(kDaasKey, L"TenantEndpoints"));
  util::Registry::Instance()->SetValue(L"GoldenImage", 0u, util::regtype::kSetup);
}

TEST_F(AgentIntegrationTest, UnknownPhaseChangesNothing) {
  LogCapture log;
  AgentIntegration().ParseAgentIntegrationValues(3);
  EXPECT_EQ(Logged(log, LogLevel::Error, L"ParseAgentIntegrationValues(): Unknown Integration Phase: 3"), 1u);
  EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::ClonePreIntegrationValuesParsed));
  EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::ClonePostIntegrationValuesParsed));
}

// ---- the lifecycle-management configuration --------------------------------------------------------

TEST_F(AgentIntegrationTest, AbsentHubConfigurationLeavesTheFolderUntouched) {
  LogCapture log;
  AgentIntegration().VesIntegration();
  EXPECT_EQ(Logged(log, LogLevel::Warn, L"VesIntegration(): Failed getting guestinfo.clone.ves.vmhubconfig"), 1u);
  EXPECT_EQ(platform::GetFileAttributes(kCustomDataDirectory), platform::kInvalidFileAttributes);
}

TEST_F(AgentIntegrationTest, HubConfigurationIsWrittenForTheSystemAloneThenCleared) {
  const std::string config = "{\"hub\":\"hub.example\",\"token\":\"s3cr3t-t0ken\"}";
  SetGuestInfo(kVesConfigVariable, config.c_str());
  LogCapture log;
  AgentIntegration().VesIntegration();

  EXPECT_EQ(test::ReadWholeFile(kCustomDataPath), config) << "the bytes as they are, no terminating zero";
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"VesIntegration(): VES lcm spec written to C:\\AzureData\\CustomData.bin"),
            1u);
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"VesIntegration(): Cleared guestinfo.clone.ves.vmhubconfig"), 1u);
  auto cleared = GuestInfoValue(kVesConfigVariable);
  EXPECT_TRUE(!cleared || cleared->empty());
  framework::log::FlushLog();
  for (const auto& entry : log.Entries()) {
    EXPECT_EQ(entry.text.find(L"s3cr3t"), std::wstring::npos) << "the configuration is never logged";
  }

  // A later start finds the variable cleared: the file handed over stays as it is.
  AgentIntegration().VesIntegration();
  EXPECT_EQ(test::ReadWholeFile(kCustomDataPath), config);

  if (!test::TierKeepsFileSecurity()) GTEST_SKIP() << "this tier does not keep the protection asked for";
  platform::FileSecurityDescriptor security;
  ASSERT_EQ(
      platform::GetNamedSecurityInfo(
          kCustomDataPath.c_str(), platform::kOwnerSecurityInformation | platform::kDaclSecurityInformation, &security),
      0u);
  ASSERT_TRUE(security.daclPresent);
  std::vector<std::wstring> granted;
  for (const auto& ace : security.dacl) {
    if (ace.type == platform::kAccessAllowedAceType) granted.push_back(ace.sid);
  }
  EXPECT_EQ(granted, (std::vector<std::wstring>{L"S-1-5-18", L"S-1-5-32-544"})) << "system and administrators only";
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"VesIntegration(): lcm spec owner set to system"), 1u);
  EXPECT_EQ(security.owner, L"S-1-5-18");
}

TEST_F(AgentIntegrationTest, HubConfigurationStaysInGuestInfoUntilItIsWritten) {
  SetGuestInfo(kVesConfigVariable, "{\"hub\":\"hub.example\"}");
  // Something that is no file stands where the file must go.
  test::MakeDirectories(kCustomDataPath);
  LogCapture log;
  AgentIntegration().VesIntegration();
  EXPECT_EQ(Logged(log, LogLevel::Warn, L"VesIntegration(): Failed creating C:\\AzureData\\CustomData.bin file: 0x"),
            1u);
  EXPECT_EQ(GuestInfoValue(kVesConfigVariable), std::optional<std::string>("{\"hub\":\"hub.example\"}"));
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"VesIntegration(): Cleared"), 0u);

  // The next start hands it over.
  platform::RemoveDirectory(kCustomDataPath.c_str());
  AgentIntegration().VesIntegration();
  EXPECT_EQ(test::ReadWholeFile(kCustomDataPath), "{\"hub\":\"hub.example\"}");
  auto cleared = GuestInfoValue(kVesConfigVariable);
  EXPECT_TRUE(!cleared || cleared->empty());
}

}  // namespace
}  // namespace tamber::core::windows
