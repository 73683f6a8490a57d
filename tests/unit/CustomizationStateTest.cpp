// Machine role, customization type and flags, the status reports and the persistent customization
// values, against the machine's hypervisor channel and the tier's registry (on Windows the channel goes to
// a simulated hypervisor directory named by VELOCYN_HYPERVISOR_DIR).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/util/Utf16.h"
#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/GuestInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Support.h"
#include "platform/Environment.h"
#include "platform/Registry.h"
#include "platform/Types.h"
#include "support/HypervisorDirectory.h"
#include "support/TestEnvironment.h"

namespace tamber::core::util {
namespace {

using test::LogCapture;

// A raw look at a value through the seam, bypassing the agent's registry layer.
struct RawValue {
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
  uint32_t Dword() const {
    return bytes.size() < 4 ? 0xDEADBEEF : bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24;
  }
  std::wstring Text() const { return common::util::FromUtf16LeBytes(bytes.data(), bytes.size()); }
};

std::optional<RawValue> ReadRaw(const std::wstring& path, const std::wstring& name) {
  platform::HKey key = nullptr;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path.c_str(), 0, platform::kKeyRead, &key) != 0) {
    return std::nullopt;
  }
  RawValue value;
  uint32_t size = 0;
  uint32_t error = platform::RegQueryValueEx(key, name.c_str(), &value.type, nullptr, &size);
  if (error == 0) {
    value.bytes.resize(size);
    error = platform::RegQueryValueEx(key, name.c_str(), &value.type, value.bytes.data(), &size);
  }
  platform::RegCloseKey(key);
  if (error != 0) return std::nullopt;
  return value;
}

std::optional<uint32_t> ReadDword(RegistryType type, const std::wstring& name) {
  auto raw = ReadRaw(kRegistryKeyPaths[type], name);
  if (!raw || raw->type != platform::kRegDword) return std::nullopt;
  return raw->Dword();
}

class CustomizationStateTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    hypervisor_.emplace("state-hv");
    ASSERT_TRUE(hypervisor_->Ok());
  }
  void TearDown() override {
    ResetSingletonsForTest();  // no role source may outlive the test
    hypervisor_.reset();
    test::GuestTest::TearDown();
  }

  // The management side's variables, written through the machine's own channel.
  void SetGuestInfo(const char* name, const char* value) { ASSERT_TRUE(GuestInfo().SetValue(name, value)); }
  std::string GetGuestInfo(const char* name) {
    std::string value;
    return GuestInfo().GetValue(name, &value) ? value : std::string("<absent>");
  }
  void SetDword(RegistryType type, const wchar_t* name, uint32_t value) {
    ASSERT_EQ(Registry::Instance()->SetValue(name, value, type), 0);
  }
  // Forgets what the singletons decided, as a new boot of the service would.
  void NewServiceStart() { ResetSingletonsForTest(); }

  std::optional<test::ScopedHypervisorDirectory> hypervisor_;
};

// ---- role ---------------------------------------------------------------------------------------

TEST_F(CustomizationStateTest, RoleFromGuestInfoStateVariables) {
  struct Case {
    const char* ngaFork;
    const char* forked;
    const char* it;
    const char* replica;
    MachineTypeCode expected;
  };
  // "" leaves the variable absent; "10" counts as set (it begins with 1), "0" and "01" do not.
  const Case cases[] = {
      {"", "", "", "", machine::kMaster},      {"", "", "10", "1", machine::kInternalTemplate},
      {"0", "", "", "1", machine::kReplica},   {"10", "", "", "", machine::kParent},
      {"1", "0", "1", "1", machine::kReplica}, {"1", "", "1", "", machine::kInternalTemplate},
      {"1", "01", "", "", machine::kParent},
  };
  for (const auto& c : cases) {
    GuestInfo channel;
    for (auto [name, value] : {std::pair{"ngaFork", c.ngaFork}, std::pair{"forked", c.forked}, std::pair{"it", c.it},
                               std::pair{"replica", c.replica}}) {
      ASSERT_TRUE(channel.SetValue(name, value));  // an empty value clears the variable
    }
    NewServiceStart();
    EXPECT_EQ(MachineType::Instance()->GetMachineType(), c.expected)
        << c.ngaFork << "/" << c.forked << "/" << c.it << "/" << c.replica;
  }
}

TEST_F(CustomizationStateTest, ForkedMachineStaysUndeterminedUntilTheBootTimeAgentReportsIt) {
  SetGuestInfo("ngaFork", "1");
  SetGuestInfo("forked", "1");
  SetDword(regtype::kNga, L"VmForked", 0);
  NewServiceStart();
  auto* role = MachineType::Instance();
  EXPECT_EQ(role->GetMachineType(), machine::kUndetermined);
  EXPECT_FALSE(role->IsClone());
  EXPECT_EQ(role->GetMachineTypeText(), "unknown");
  SetDword(regtype::kNga, L"VmForked", 1);
  EXPECT_TRUE(role->IsClone());  // decided again, and kept from now on
  SetDword(regtype::kNga, L"VmForked", 0);
  EXPECT_EQ(role->GetMachineType(), machine::kClone);
  // The role names the per-role variables and the timing values.
  std::string name;
  EXPECT_EQ(GuestInfo().BuildRoleVariableName(&name, nullptr, "CustomizationState"), "clone.CustomizationState");
  EXPECT_EQ(Support::Instance()->StoredName(L"RenameTime"), L"cloneRenameTime");
  role->SetMachineType(machine::kReplica);
  EXPECT_TRUE(role->IsReplica());
}

TEST_F(CustomizationStateTest, GoldenImageRoleFollowsItsMacAddress) {
  SetDword(regtype::kSetup, L"GoldenImage", 1);
  NewServiceStart();
  {
    LogCapture log;
    EXPECT_EQ(MachineType::Instance()->GetMachineType(), machine::kMaster);
    EXPECT_TRUE(
        log.Contains(LogLevel::Debug,
                     L"tamber::core::util::MachineType::GetMachineType(): Saved master/golden image mac address: "));
  }
  auto* info = CustomizationPersistentInfo::Instance();
  std::wstring saved;
  ASSERT_EQ(info->GetText(Persisted::GoldenImageMacAddress, &saved), 0);  // stored, even when empty
  NewServiceStart();
  EXPECT_EQ(MachineType::Instance()->GetMachineType(), machine::kMaster);

  // A machine made from the golden image's disk has other adapters.
  ASSERT_EQ(CustomizationPersistentInfo::Instance()->SetText(Persisted::GoldenImageMacAddress, L"02:54:56:AA:BB:CC"),
            0);
  for (auto [stage, expected] : {std::pair{0u, machine::kInternalTemplate}, std::pair{1u, machine::kInternalTemplate},
                                 std::pair{2u, machine::kClone}}) {
    SetDword(regtype::kGa, L"TemplateCustomization", stage);
    NewServiceStart();
    EXPECT_EQ(MachineType::Instance()->GetMachineType(), expected) << stage;
  }
  EXPECT_EQ(CustomizationType::Instance()->GetCustomizationType(), customization::kUniversalprep);
}

// ---- flags and type -----------------------------------------------------------------------------

TEST(AtoiCompatibleTest, ReadsAsTheCLibraryDoesAndSaturates) {
  EXPECT_EQ(AtoiCompatible("2176"), 2176);
  EXPECT_EQ(AtoiCompatible(" \t\n\v\f\r+12abc"), 12);
  EXPECT_EQ(AtoiCompatible("-5"), -5);
  EXPECT_EQ(AtoiCompatible(""), 0);
  EXPECT_EQ(AtoiCompatible("abc"), 0);
  EXPECT_EQ(AtoiCompatible("+-1"), 0);
  EXPECT_EQ(AtoiCompatible("0x10"), 0);
  EXPECT_EQ(AtoiCompatible("12 34"), 12);
  EXPECT_EQ(AtoiCompatible("2147483647"), INT32_MAX);
  EXPECT_EQ(AtoiCompatible("2147483648"), INT32_MAX);
  EXPECT_EQ(AtoiCompatible("-2147483648"), INT32_MIN);
  EXPECT_EQ(AtoiCompatible("-2147483649"), INT32_MIN);
  EXPECT_EQ(AtoiCompatible("4294967295"), INT32_MAX);
  EXPECT_EQ(AtoiCompatible(std::string(5000, '9')), INT32_MAX);
  EXPECT_EQ(AtoiCompatible(std::string_view("7\08", 3)), 7);
}

// Against the C library's own decimal reading (strtoll, clamped to 32 bits) on random texts.
TEST(AtoiCompatibleTest, AgreesWithStrtollClampedOnRandomTexts) {
  std::mt19937 random(20261206);
  const std::string alphabet = " \t\n+-0123456789x9";
  for (int i = 0; i < 20000; ++i) {
    std::string text(random() % 26, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    long long wide = std::strtoll(text.c_str(), nullptr, 10);
    int32_t expected = static_cast<int32_t>(std::clamp<long long>(wide, INT32_MIN, INT32_MAX));
    ASSERT_EQ(AtoiCompatible(text), expected) << '"' << text << '"';
  }
}

TEST(CustomizationFlagsTextTest, NamesInTableOrder) {
  EXPECT_EQ(CustomizationFlagsText(0x880), L"CUSTOMIZATION_FLAG_SYSPREP | CUSTOMIZATION_FLAG_SYSPREP_DOMAIN_JOIN");
  EXPECT_EQ(CustomizationFlagsText(0), L"CUSTOMIZATION_FLAG_NONE");
  EXPECT_EQ(CustomizationFlagsText(0x4000), L"CUSTOMIZATION_FLAG_UNKNOWN");
  EXPECT_EQ(CustomizationFlagsText(0x4001), L"CUSTOMIZATION_FLAG_SHUTDOWN_REQUIRED");
  std::wstring all = CustomizationFlagsText(0xFFFFFFFF);
  EXPECT_EQ(all.find(L"CUSTOMIZATION_FLAG_SHUTDOWN_REQUIRED | CUSTOMIZATION_FLAG_SHUTDOWN_REQUESTED"), 0u);
  EXPECT_EQ(all.size() - all.rfind(L" | CUSTOMIZATION_FLAG_PERSISTENT_DISKS_ENABLED"),
            std::wstring(L" | CUSTOMIZATION_FLAG_PERSISTENT_DISKS_ENABLED").size());
}

TEST_F(CustomizationStateTest, FlagsAreReadWithTheirTextAndOnlyEverAdded) {
  struct Case {
    const char* text;
    uint32_t bits;
    const wchar_t* logged;
  };
  for (const auto& c :
       {Case{"2176", 0x880u, L"(0x880), CUSTOMIZATION_FLAG_SYSPREP | CUSTOMIZATION_FLAG_SYSPREP_DOMAIN_JOIN"},
        Case{"0", 0u, L"(0x0), CUSTOMIZATION_FLAG_NONE"},
        Case{"16384", 0x4000u, L"(0x4000), CUSTOMIZATION_FLAG_UNKNOWN"}}) {
    SetGuestInfo(kAgentCustomizationFlagsVariable, c.text);
    LogCapture log;
    EXPECT_EQ(CustomizationFlags::Instance()->GetCustomizationFlagsValue(), c.bits) << c.text;
    EXPECT_EQ(CustomizationFlags::Instance()->GetCustomizationFlagsText(), CustomizationFlagsText(c.bits));
    EXPECT_TRUE(log.Contains(
        LogLevel::Debug,
        std::wstring(
            L"tamber::core::util::CustomizationFlags::GetCustomizationFlagsValue(): Agent Customization Flags: ") +
            c.logged))
        << c.text;
  }

  SetGuestInfo(kAgentCustomizationFlagsVariable, "264");  // reboot required, cloneprep
  auto* flags = CustomizationFlags::Instance();
  LogCapture log;
  EXPECT_EQ(flags->SetCustomizationFlags(flag::kRebootRequested), 0x118u);
  EXPECT_EQ(GetGuestInfo(kAgentCustomizationFlagsVariable), "280");
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::core::util::CustomizationFlags::SetCustomizationFlags(): Set guestinfo.AgentCustomizationFlags to (0x118), CUSTOMIZATION_FLAG_REBOOT_REQUIRED | CUSTOMIZATION_FLAG_REBOOT_REQUESTED | CUSTOMIZATION_FLAG_CLONEPREP"));
  EXPECT_TRUE(flags->IsFlagSet(flag::kRebootRequested));
  // The management side clears a bit meanwhile: the agent never brings it back, nor clears one itself.
  SetGuestInfo(kAgentCustomizationFlagsVariable, "256");
  EXPECT_EQ(flags->SetCustomizationFlags(flag::kRebootCompleted), 0x120u);
  EXPECT_EQ(GetGuestInfo(kAgentCustomizationFlagsVariable), "288");
  // All bits: written as signed decimal.
  EXPECT_EQ(flags->SetCustomizationFlags(0x80000000u), 0x80000120u);
  EXPECT_EQ(GetGuestInfo(kAgentCustomizationFlagsVariable), "-2147483360");
  EXPECT_EQ(flags->GetCustomizationFlagsValue(), 0x80000120u);
}

TEST_F(CustomizationStateTest, MissingFlagsCountAsNoneAndTypeIsDecidedOnce) {
  // Never set on this machine.
  {
    LogCapture log;
    EXPECT_EQ(CustomizationFlags::Instance()->GetCustomizationFlagsValue(), 0u);
    EXPECT_TRUE(log.Contains(
        LogLevel::Warn,
        L"tamber::core::util::CustomizationFlags::GetCustomizationFlagsValue(): Failed getting guestinfo.AgentCustomizationFlags. Assuming no flags set."));
  }
  EXPECT_TRUE(CustomizationType::Instance()->IsCloneprep());
  NewServiceStart();
  SetGuestInfo(kAgentCustomizationFlagsVariable, "2688");  // sysprep, fast refresh, sysprep domain join
  auto* type = CustomizationType::Instance();
  EXPECT_TRUE(type->IsSysprep());
  EXPECT_TRUE(type->IsFastRefresh());
  EXPECT_TRUE(type->IsSysprepDomainJoin());
  SetGuestInfo(kAgentCustomizationFlagsVariable, "0");
  CustomizationFlags::Instance()->GetCustomizationFlagsValue();
  EXPECT_TRUE(type->IsSysprep());  // kept for the life of the process
  EXPECT_FALSE(type->IsFastRefresh());
}

// ---- status -------------------------------------------------------------------------------------

TEST_F(CustomizationStateTest, ErrorAfterProgressIsWrittenAndTheFirstErrorStays) {
  // A Universalprep clone writes "running", then its wait for setup fails with code 17: that error must
  // leave the machine, while a later error must not replace it.
  MachineType::Instance()->SetMachineType(machine::kClone);
  auto* state = CustomizationState::Instance();
  EXPECT_TRUE(state->SetCustomizationState("running", 0u, "Clone", 0));
  EXPECT_TRUE(state->SetCustomizationState("error", 17u, "Sysprep", 0));
  EXPECT_EQ(GetGuestInfo("clone.CustomizationState"), "error");
  EXPECT_EQ(ReadDword(regtype::kService, L"PolicyState"), 17u);
  EXPECT_EQ(ReadDword(regtype::kAgentIntegration, L"CustomizationState"), 0u);
  {
    LogCapture log;
    EXPECT_TRUE(state->SetCustomizationState("error", 18u, "Domain Join", 0));
    EXPECT_TRUE(log.Contains(LogLevel::Warn, L"IsSet == True (clone): Status: error, PolicyState: 18"));
  }
  EXPECT_EQ(ReadDword(regtype::kService, L"PolicyState"), 17u);
}

TEST_F(CustomizationStateTest, CloneStatusReachesHypervisorSiblingAgentAndRegistry) {
  MachineType::Instance()->SetMachineType(machine::kClone);
  auto* state = CustomizationState::Instance();
  EXPECT_FALSE(state->IsSet());
  {
    LogCapture log;
    EXPECT_TRUE(state->SetCustomizationState("running", 0u, "Clone", 0));
    EXPECT_TRUE(log.Contains(
        LogLevel::Debug,
        L"tamber::core::util::CustomizationState::SetCustomizationState(): Setting Customization State (clone): Status: running, PolicyState: 0, Category: Clone, Description: Success, HRESULT: 0x0"));
    EXPECT_TRUE(log.Contains(
        LogLevel::Debug,
        L"tamber::core::util::CustomizationState::SetCustomizationState(): Set guestinfo.clone.CustomizationState to running"));
    EXPECT_TRUE(log.Contains(
        LogLevel::Debug,
        L"tamber::core::util::NotifyHaldenAgent::MarkCustomizationInProgress(): Set NotifyHaldenStatusValue to CustomizationInProgress(1)"));
  }
  EXPECT_EQ(GetGuestInfo("clone.CustomizationState"), "running");
  EXPECT_EQ(ReadDword(regtype::kService, L"NotifyHaldenStatusValue"), 1u);
  EXPECT_TRUE(state->IsSet());
  std::string status;
  EXPECT_TRUE(state->GetCustomizationState(&status));
  EXPECT_EQ(status, "running");

  EXPECT_TRUE(state->SetCustomizationState("snapshotting", 0u, "Clone", 0));
  EXPECT_EQ(ReadDword(regtype::kService, L"NotifyHaldenStatusValue"), 2u);
  EXPECT_TRUE(state->SetCustomizationState("postSnapshotting", 0u, "Clone", 0));
  EXPECT_EQ(ReadDword(regtype::kService, L"NotifyHaldenStatusValue"), 3u);
  EXPECT_TRUE(state->SetCustomizationState("success", 0u, "Clone", 0));
  EXPECT_EQ(ReadDword(regtype::kService, L"PolicyState"), 0u);
  EXPECT_EQ(ReadDword(regtype::kService, L"NotifyHaldenStatusValue"), 4u);
  EXPECT_EQ(ReadDword(regtype::kAgentIntegration, L"CustomizationState"), 1u);
  EXPECT_EQ(ReadDword(regtype::kExternal, L"IsCloneCustomizationSuccessful"), 1u);

  // Once a status is out, a later error is only logged.
  {
    LogCapture log;
    EXPECT_TRUE(state->SetCustomizationState("error", 18u, "Domain Join", static_cast<int32_t>(0x80004005)));
    EXPECT_TRUE(log.Contains(
        LogLevel::Warn,
        L"tamber::core::util::CustomizationState::SetCustomizationState(): IsSet == True (clone): Status: error, PolicyState: 18, Category: Domain Join, Description: Domain join failed, HRESULT: 0x80004005"));
  }
  EXPECT_EQ(GetGuestInfo("clone.CustomizationState"), "success");
  EXPECT_EQ(ReadDword(regtype::kService, L"PolicyState"), 0u);

  // A status the clone has no sibling value for is still written, but the call fails.
  LogCapture log;
  EXPECT_FALSE(state->SetCustomizationState("oobe", 0u, "Sysprep", 0));
  EXPECT_EQ(GetGuestInfo("clone.CustomizationState"), "oobe");
  EXPECT_TRUE(log.Contains(
      LogLevel::Warn,
      L"tamber::core::util::CustomizationState::SetCustomizationState(): Invalid Status, Cannot Continue"));
  EXPECT_FALSE(state->SetCustomizationState("", 0u, "Clone", std::string("x"), 0));
  EXPECT_FALSE(state->SetCustomizationState("error", 0u, "", std::string("x"), 0));
  EXPECT_EQ(
      log.Count(LogLevel::Warn, L"tamber::core::util::CustomizationState::SetCustomizationState(): Invalid Arguments"),
      2u);
}

TEST_F(CustomizationStateTest, CloneErrorFailsEveryIntegrationValue) {
  MachineType::Instance()->SetMachineType(machine::kClone);
  EXPECT_TRUE(CustomizationState::Instance()->SetCustomizationState("error", 27u, "Network", 0));
  EXPECT_EQ(GetGuestInfo("clone.CustomizationState"), "error");
  EXPECT_EQ(ReadDword(regtype::kService, L"PolicyState"), 27u);
  EXPECT_EQ(ReadDword(regtype::kService, L"NotifyHaldenStatusValue"), 5u);
  EXPECT_EQ(ReadDword(regtype::kAgentIntegration, L"CustomizationState"), 0u);
  EXPECT_EQ(ReadDword(regtype::kExternal, L"IsCloneCustomizationSuccessful"), 0u);
  EXPECT_EQ(GetGuestInfo("clone.CustomizationErrorCode"), "<absent>");  // only the template reports details
}

TEST_F(CustomizationStateTest, ReplicaSuccessNotifiesFailedToTheSiblingAgent) {
  MachineType::Instance()->SetMachineType(machine::kReplica);
  LogCapture log;
  EXPECT_TRUE(CustomizationState::Instance()->SetCustomizationState("success", 0u, "Replica", 0));
  EXPECT_EQ(GetGuestInfo("replica.CustomizationState"), "success");
  EXPECT_EQ(ReadDword(regtype::kService, L"PolicyState"), 0u);
  EXPECT_EQ(ReadDword(regtype::kService, L"NotifyHaldenStatusValue"), 5u);
  EXPECT_EQ(ReadDword(regtype::kAgentIntegration, L"ReplicaCustomizationState"), 1u);
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::core::util::NotifyHaldenAgent::MarkCustomizationFailed(): Set NotifyHaldenStatusValue to CustomizationFailed(5)"));

  NewServiceStart();
  MachineType::Instance()->SetMachineType(machine::kParent);
  EXPECT_TRUE(CustomizationState::Instance()->SetCustomizationState("running", 0u, "Parent", 0));
  EXPECT_EQ(ReadDword(regtype::kAgentIntegration, L"ParentCustomizationState"), 0u);
}

TEST_F(CustomizationStateTest, TemplateFailureReportsErrorDetails) {
  MachineType::Instance()->SetMachineType(machine::kInternalTemplate);
  LogCapture log;
  EXPECT_TRUE(
      CustomizationState::Instance()->SetCustomizationState("error", 32u, "Rename", static_cast<int32_t>(0x80004005)));
  EXPECT_EQ(GetGuestInfo("it.CustomizationState"), "error");
  EXPECT_EQ(GetGuestInfo("it.CustomizationErrorCategory"), "Rename");
  EXPECT_EQ(GetGuestInfo("it.CustomizationErrorDesc"), "Failed to set computer name in NGA");
  EXPECT_EQ(GetGuestInfo("it.CustomizationErrorCode"), "-2147467259");
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::core::util::CustomizationState::SetErrorStatusValues(): Set guestinfo.it.CustomizationErrorCode to 0x80004005"));
  EXPECT_EQ(ReadDword(regtype::kService, L"PolicyState"), 32u);
  EXPECT_EQ(ReadDword(regtype::kAgentIntegration, L"ITCustomizationState"), 0u);
  EXPECT_FALSE(CustomizationState::Instance()->SetErrorStatusValues("", "x", 1));

  // On the master nothing but the variable is written.
  NewServiceStart();
  MachineType::Instance()->SetMachineType(machine::kMaster);
  EXPECT_TRUE(CustomizationState::Instance()->SetCustomizationState("success", 0u, "Master", 0));
  EXPECT_TRUE(log.Contains(
      LogLevel::Warn,
      L"tamber::core::util::CustomizationState::SetCustomizationState(): Unknown Machine Type, Cannot Set Customization State"));
}

TEST_F(CustomizationStateTest, FirstErrorStays) {
  auto* info = CustomizationPersistentInfo::Instance();
  EXPECT_EQ(info->Get(Persisted::PolicyState), kPolicyStateAbsent);
  SetDword(regtype::kService, L"PolicyState", 17);
  EXPECT_EQ(info->SetPolicyState(18, 5, /*force=*/false), 0);
  EXPECT_EQ(ReadDword(regtype::kService, L"PolicyState"), 17u);
  EXPECT_EQ(ReadDword(regtype::kService, L"NotifyHaldenStatusValue"), std::nullopt);
  EXPECT_FALSE(NotifyHaldenAgent().IsStatusCleared());  // absent does not count as cleared

  SetDword(regtype::kService, L"PolicyState", 0);
  EXPECT_EQ(info->SetPolicyState(18, 5, /*force=*/false), 0);
  EXPECT_EQ(ReadDword(regtype::kService, L"PolicyState"), 18u);
  EXPECT_EQ(ReadDword(regtype::kService, L"NotifyHaldenStatusValue"), 5u);
  EXPECT_EQ(info->SetPolicyState(0, 4, /*force=*/true), 0);
  EXPECT_EQ(ReadDword(regtype::kService, L"PolicyState"), 0u);
  EXPECT_EQ(ReadDword(regtype::kService, L"NotifyHaldenStatusValue"), 4u);
  SetDword(regtype::kService, L"NotifyHaldenStatusValue", 0);
  EXPECT_TRUE(NotifyHaldenAgent().IsStatusCleared());
}

TEST_F(CustomizationStateTest, ErrorDescriptions) {
  auto* state = CustomizationState::Instance();
  EXPECT_EQ(state->GetDescription(0), L"Success");
  EXPECT_EQ(state->GetDescription(3), L"Failed to to set domain password");
  EXPECT_EQ(state->GetDescription(6), L"Unknown failure");
  EXPECT_EQ(state->GetDescription(20), L"Unknown failure");
  EXPECT_EQ(state->GetDescription(34), L"Unknown failure");
  EXPECT_EQ(state->GetDescription(0xFFFFFFFF), L"Illegal state");
  EXPECT_EQ(
      state->GetDescription(22),
      L"Failed to mount user profiles persistent disk. Please check the parent VM if an existing disk is using the same drive letter.");
}

// ---- persistent values --------------------------------------------------------------------------

TEST_F(CustomizationStateTest, EveryPersistentValueAgainstTheRegistry) {
  auto* info = CustomizationPersistentInfo::Instance();
  for (const auto& row : AllPersistedValues()) {
    SCOPED_TRACE(std::string(row.name, row.name + std::wcslen(row.name)));
    const std::wstring path = kRegistryKeyPaths[row.key];
    if (row.kind == PersistedKind::Text) {
      std::wstring text = L"x";
      info->GetText(row.id, &text);
      EXPECT_EQ(text, L"");
      if ((row.writes & persisted_write::kAny) != 0) {
        ASSERT_EQ(info->SetText(row.id, L"02:54:56:01:02:03"), 0);
        auto raw = ReadRaw(path, row.name);
        ASSERT_TRUE(raw.has_value());
        EXPECT_EQ(raw->type, platform::kRegSz);
        EXPECT_EQ(raw->Text(), L"02:54:56:01:02:03");
        ASSERT_EQ(info->GetText(row.id, &text), 0);
        EXPECT_EQ(text, L"02:54:56:01:02:03");
      } else {
        EXPECT_LT(info->SetText(row.id, L"x"), 0);
        EXPECT_FALSE(ReadRaw(path, row.name).has_value());
      }
      continue;
    }
    // Absent: the default.
    EXPECT_EQ(info->Get(row.id), row.defaultValue);
    if (row.kind == PersistedKind::Flag) {
      EXPECT_EQ(info->Is(row.id), row.defaultValue == 1);
    }
    if (row.kind == PersistedKind::ZeroFlag) {
      EXPECT_TRUE(info->Is(row.id));
    }
    EXPECT_EQ(info->Get(row.id, 77u), 77u);
    // What the agent may write lands as a DWORD at the row's key; the rest is refused untouched.
    for (uint32_t value : {1u, 2u, 0u, 9u}) {
      bool allowed = (row.writes & persisted_write::kAny) != 0 ||
                     (value == 0 && (row.writes & persisted_write::kZero) != 0) ||
                     (value == 1 && (row.writes & persisted_write::kOne) != 0) ||
                     (value == 2 && (row.writes & persisted_write::kTwo) != 0);
      int32_t result = info->Set(row.id, value);
      if (!allowed) {
        EXPECT_LT(result, 0) << value;
        continue;
      }
      ASSERT_EQ(result, 0) << value;
      auto raw = ReadRaw(path, row.name);
      ASSERT_TRUE(raw.has_value());
      EXPECT_EQ(raw->type, platform::kRegDword);
      EXPECT_EQ(raw->Dword(), value);
      EXPECT_EQ(info->Get(row.id), value);
      if (row.kind == PersistedKind::Flag) {
        EXPECT_EQ(info->Is(row.id), value == 1) << value;
      }
    }
    // Values written by others: only exactly 1 is set, 2 included.
    ASSERT_EQ(Registry::Instance()->SetValue(row.name, 2u, row.key), 0);
    if (row.kind == PersistedKind::Flag) {
      EXPECT_FALSE(info->Is(row.id));
    }
    if (row.kind == PersistedKind::ZeroFlag) {
      EXPECT_FALSE(info->Is(row.id));
    }
    EXPECT_TRUE(info->IsValue(row.id, 2));
  }
}

TEST_F(CustomizationStateTest, KeysAndSpellingOfSelectedValues) {
  struct Expected {
    Persisted id;
    const wchar_t* path;
    const wchar_t* name;
  };
  for (const auto& e : {
           Expected{Persisted::GoldenImage, L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\setup", L"GoldenImage"},
           Expected{Persisted::PoolID, L"SOFTWARE\\Talvora\\Quorvel\\Agent\\Configuration", L"PoolID"},
           Expected{Persisted::OPERATION_TYPE, L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\QuorvelAgent",
                    L"OPERATION_TYPE"},
           Expected{Persisted::MachinePwd, L"SOFTWARE\\Talvora\\Quorvel\\Agent\\Configuration", L"MachinePwd"},
           Expected{Persisted::VmForked, L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\nga", L"VmForked"},
           Expected{Persisted::CloneRebooted, L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\nga", L"CloneRebooted"},
           Expected{Persisted::TemplateRenamed, L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga", L"TemplateRenamed"},
           Expected{Persisted::PolicyState, L"SYSTEM\\CurrentControlSet\\services\\tlv-velocyn-ga", L"PolicyState"},
       }) {
    const auto& row = DescribePersisted(e.id);
    EXPECT_EQ(std::wstring(kRegistryKeyPaths[row.key]), e.path) << static_cast<int>(e.id);
    EXPECT_EQ(std::wstring(row.name), e.name);
  }
  EXPECT_EQ(AllPersistedValues().size(), static_cast<size_t>(Persisted::Count));
}

TEST_F(CustomizationStateTest, CountersMayRebootOnlyBelowTheirMaximum) {
  auto* info = CustomizationPersistentInfo::Instance();
  EXPECT_FALSE(info->IsBelowLimit(Persisted::PreVerifyTrustReboots));  // maximum 0: never
  SetDword(regtype::kGa, L"MaxPreVerifyTrustReboots", 2);
  EXPECT_TRUE(info->IsBelowLimit(Persisted::PreVerifyTrustReboots));
  EXPECT_EQ(info->Increment(Persisted::PreVerifyTrustReboots), 0);
  EXPECT_TRUE(info->IsBelowLimit(Persisted::PreVerifyTrustReboots));
  EXPECT_EQ(info->Increment(Persisted::PreVerifyTrustReboots), 0);
  EXPECT_EQ(ReadDword(regtype::kGa, L"PreVerifyTrustReboots"), 2u);
  EXPECT_FALSE(info->IsBelowLimit(Persisted::PreVerifyTrustReboots));
  EXPECT_FALSE(info->IsBelowLimit(Persisted::CloneRenamed));  // no counter
  SetDword(regtype::kGa, L"MaxNetJoinDomainAttempts", 1);
  EXPECT_TRUE(info->IsBelowLimit(Persisted::NetJoinDomainAttempts));
  SetDword(regtype::kGa, L"MaxVerifyTrustFailedReboots", 3);
  SetDword(regtype::kGa, L"VerifyTrustFailedReboots", 3);
  EXPECT_FALSE(info->IsBelowLimit(Persisted::VerifyTrustFailedReboots));
}

TEST_F(CustomizationStateTest, ParentKeysFlushAndCloneShutdown) {
  auto* info = CustomizationPersistentInfo::Instance();
  auto keyExists = [](const wchar_t* path) {
    platform::HKey key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path, 0, platform::kKeyRead, &key) != 0) return false;
    platform::RegCloseKey(key);
    return true;
  };
  const wchar_t* nga = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\nga";
  EXPECT_TRUE(keyExists(L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga"));  // made by the constructor
  EXPECT_TRUE(keyExists(nga));
  platform::HKey agent = nullptr;
  ASSERT_EQ(platform::RegOpenKeyEx(platform::HKeyLocalMachine(), L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent", 0,
                                   platform::kKeyAllAccess, &agent),
            0u);
  EXPECT_EQ(platform::RegDeleteTree(agent, L"nga"), 0u);
  platform::RegCloseKey(agent);
  EXPECT_FALSE(keyExists(nga));
  EXPECT_TRUE(info->ValidateParentKeys());
  EXPECT_TRUE(keyExists(nga));
  LogCapture log;
  EXPECT_EQ(info->Set(Persisted::CloneShutdown), 0);
  EXPECT_TRUE(info->Is(Persisted::CloneShutdown));
  EXPECT_EQ(info->MarkCloneShutdownDone(), 0);
  EXPECT_EQ(ReadDword(regtype::kGa, L"CloneShutdown"), 0u);
  EXPECT_EQ(info->FlushKeys(), 0);
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::core::util::CustomizationPersistentInfoReg::MarkCloneShutdownDone(): Marked Clone Shutdown Done. About To Shutdown"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug,
                           L"tamber::core::util::CustomizationPersistentInfoReg::FlushKeys(): Registry Keys Flushed"));
  EXPECT_EQ(info->SetGuestInfoMirror(L"hostName", L"GOLD"), 0);
  std::wstring mirrored;
  EXPECT_EQ(info->GetGuestInfoMirror(L"hostName", &mirrored), 0);
  EXPECT_EQ(mirrored, L"GOLD");
}

}  // namespace
}  // namespace tamber::core::util
