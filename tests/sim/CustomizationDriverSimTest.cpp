// The customization driver across boots of a simulated machine: the management side forks a clone and
// sets its flags on the hypervisor, the boot-time agent stand-in runs first at every boot, and each
// "service start" runs the driver once with a flavour that works as the real flavours do. Power requests
// are carried out by booting the machine again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/util/Utf16.h"
#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/windows/Customization.h"
#include "core/windows/Guest.h"
#include "framework/log/Log.h"
#include "framework/log/LogWriter.h"
#include "platform/Registry.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/SimBootTimeAgent.h"
#include "platform/sim/SimFaultPlan.h"
#include "platform/sim/SimMachine.h"
#include "platform/sim/SimPower.h"
#include "support/TestEnvironment.h"

namespace tamber::core::windows {
namespace {

using platform::guestrpc::SimHypervisor;
using platform::sim::FaultPlan;
using platform::sim::Machine;
using platform::sim::Power;
using platform::sim::PowerAction;
using test::LogCapture;
using util::Persisted;
using util::ResetSingletonsForTest;

const std::wstring kPrefix = L"tamber::core::windows::Customization::";

// Works the way a flavour's clone customization does: status check first; after the agent's own
// shutdown or reboot straight to completion; otherwise the identity steps (here only the markers they
// leave) and the persistent disks, then completion. The other roles record that they were asked.
class TestFlavour : public Customization {
 public:
  bool CustomizeClone() override {
    ++cloneCalls;
    if (!OkToCustomizeClone()) return false;
    if (CheckCustomizationFlagsForReboot()) return CompleteCustomization();
    persistentInfo_->Set(Persisted::CloneJoinedDomain);
    persistentInfo_->Set(Persisted::CloneMacAddressReset);
    if (!PreparePersistentDisks()) return false;
    return CompleteCustomization();
  }
  bool CustomizeIT() override { return Record("it"); }
  bool CustomizeParent() override { return Record("parent"); }
  bool CustomizeReplica() override { return Record("replica"); }

  using Customization::SetCompletionWork;

  int cloneCalls = 0;
  std::vector<std::string> roles;
  bool roleResult = true;

 private:
  bool Record(const char* role) {
    roles.push_back(role);
    return roleResult;
  }
};

class CustomizationDriverSimTest : public test::GuestTest {
 protected:
  void TearDown() override {
    ResetSingletonsForTest();
    test::GuestTest::TearDown();
  }

  SimHypervisor Hypervisor() const { return SimHypervisor(Machine::Directory() / "hypervisor"); }
  std::string Variable(const std::string& name) const { return Hypervisor().GetVariable(name).value_or("<absent>"); }
  uint32_t Flags() const { return static_cast<uint32_t>(std::stoul(Variable("AgentCustomizationFlags"))); }

  // The clone as the management side forks it, booted for the first time (boot-time agent first).
  void ForkClone(const std::string& flags) {
    auto hypervisor = Hypervisor();
    ASSERT_TRUE(hypervisor.SetVariable("ngaFork", "1"));
    ASSERT_TRUE(hypervisor.SetVariable("forked", "1"));
    ASSERT_TRUE(hypervisor.SetVariable("hostName", "DESKTOP-042"));
    ASSERT_TRUE(hypervisor.SetVariable("AgentCustomizationFlags", flags));
    NextBoot();
  }

  // Ends this boot as the machine would and starts the next one; the power action that was requested
  // during the boot, if any.
  std::optional<PowerAction> NextBoot() {
    std::filesystem::path machine = Machine::Directory();
    ResetSingletonsForTest();
    framework::log::ResetLogForTest();
    Machine::Shutdown();
    auto request = Power::Take(machine);
    Machine::Boot(machine);
    platform::sim::RunBootTimeAgent();
    if (!request) return std::nullopt;
    return request->action;
  }

  // One service start: the driver with a fresh test flavour.
  bool ServiceStart() {
    Guest guest;
    return guest.CustomizeVM(std::make_shared<TestFlavour>());
  }

  static uint32_t ServiceDword(const wchar_t* name) {
    const uint32_t absent = 0xFFFFFFFF;
    uint32_t value = 0;
    util::Registry::Instance()->GetValue(name, &absent, &value, util::regtype::kService);
    return value;
  }
  static bool Completed() {
    return util::CustomizationPersistentInfo::Instance()->Is(Persisted::CloneCustomizationCompleted);
  }
};

TEST_F(CustomizationDriverSimTest, RebootRequiredOnlyRebootsOnceThenCompletes) {
  ForkClone("8");
  LogCapture log;
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Flags(), 0x18u) << "REBOOT_REQUESTED added";
  EXPECT_EQ(Power::Requested()->action, PowerAction::Reboot);
  EXPECT_EQ(Variable("clone.CustomizationState"), "running");
  EXPECT_FALSE(Completed());
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, kPrefix + L"ProcessShutdownOrReboot(): Set reboot requested flag"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, kPrefix + L"ProcessShutdownOrReboot(): Initiating required agent reboot"), 1u);
  EXPECT_EQ(
      log.Count(LogLevel::Debug, kPrefix + L"ProcessShutdownOrReboot(): Total Clone Customization Time Pre-Reboot: "),
      1u);
  EXPECT_FALSE(log.Contains(LogLevel::Debug, L"Completing Clone Customization"));

  ASSERT_EQ(NextBoot(), PowerAction::Reboot);
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Flags(), 0x38u) << "REBOOT_COMPLETED added";
  EXPECT_FALSE(Power::Requested()) << "no second reboot";
  EXPECT_EQ(Variable("clone.CustomizationState"), "success");
  EXPECT_TRUE(Completed());
  EXPECT_EQ(ServiceDword(L"PolicyState"), 0u);
  EXPECT_EQ(ServiceDword(L"NotifyHaldenStatusValue"), 4u);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, kPrefix + L"CheckCustomizationFlagsForReboot(): Set reboot completed flag"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, kPrefix + L"OkToCompleteCustomization(): Only a reboot was required and has "
                                                 L"completed, completing customization"),
            1u);
  EXPECT_EQ(log.Count(LogLevel::Debug,
                      kPrefix + L"CompleteCustomization(): Total Clone Customization Time Post-Shutdown or Reboot: "),
            1u);

  // A later start of the completed clone does nothing and fails without a failure line.
  ASSERT_EQ(NextBoot(), std::nullopt);
  LogCapture later;
  EXPECT_FALSE(ServiceStart());
  EXPECT_EQ(Flags(), 0x38u);
  EXPECT_FALSE(Power::Requested());
  framework::log::FlushLog();
  EXPECT_EQ(later.Count(LogLevel::Debug, kPrefix + L"OkToCustomizeClone(): Clone: Customization Has Already Completed "
                                                   L"Successfully"),
            1u);
  EXPECT_FALSE(later.Contains(LogLevel::Error, L"Clone Customization Failed"));
}

TEST_F(CustomizationDriverSimTest, ShutdownAndRebootRequiredTakeThreeStarts) {
  ForkClone("9");
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Flags(), 0x0Bu) << "the shutdown is requested first";
  EXPECT_FALSE(Completed());

  ASSERT_EQ(NextBoot(), PowerAction::Shutdown);
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Flags(), 0x1Fu) << "shutdown completed, reboot requested";
  EXPECT_FALSE(Completed());
  EXPECT_EQ(Variable("clone.CustomizationState"), "running");

  ASSERT_EQ(NextBoot(), PowerAction::Reboot);
  LogCapture log;
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Flags(), 0x3Fu);
  EXPECT_FALSE(Power::Requested());
  EXPECT_TRUE(Completed());
  EXPECT_EQ(Variable("clone.CustomizationState"), "success");
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, kPrefix + L"OkToCompleteCustomization(): Shutdown and reboot were required and "
                                                 L"have completed, completing customization"),
            1u);
}

TEST_F(CustomizationDriverSimTest, NoFlagsCompletesOnTheFirstStart) {
  ForkClone("0");
  LogCapture log;
  EXPECT_TRUE(ServiceStart());
  EXPECT_FALSE(Power::Requested());
  EXPECT_TRUE(Completed());
  EXPECT_EQ(Variable("clone.CustomizationState"), "success");
  framework::log::FlushLog();
  EXPECT_EQ(
      log.Count(LogLevel::Debug, kPrefix + L"OkToCompleteCustomization(): No flags set, completing customization"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, kPrefix + L"CompleteCustomization(): Total Clone Customization Time: "), 1u);
}

TEST_F(CustomizationDriverSimTest, ErrorStatusFromTheBootTimeAgentStopsTheClone) {
  auto plan = FaultPlan::Load(Machine::Directory());
  plan["BootTimeAgentFails"] = "1";
  FaultPlan::Save(Machine::Directory(), plan);
  ForkClone("0");
  ASSERT_EQ(Variable("clone.CustomizationState"), "error");
  LogCapture log;
  EXPECT_FALSE(ServiceStart());
  EXPECT_FALSE(util::CustomizationPersistentInfo::Instance()->Is(Persisted::CloneJoinedDomain)) << "not customized";
  EXPECT_EQ(ServiceDword(L"PolicyState"), 6u);
  EXPECT_EQ(ServiceDword(L"NotifyHaldenStatusValue"), 5u);
  EXPECT_EQ(Variable("clone.CustomizationState"), "error");
  EXPECT_FALSE(Power::Requested());
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Error,
                      kPrefix + L"OkToCustomizeClone(): Clone: Customization failed in nga, cannot continue"),
            1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, kPrefix + L"OkToCustomizeClone(): Total Clone Customization Time: "), 1u);
  EXPECT_EQ(log.Count(LogLevel::Error, kPrefix + L"CustomizeVM(): Clone Customization Failed"), 1u);

  // An earlier error stands, and the sibling agent is not told again.
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"PolicyState", 17u, util::regtype::kService), 0);
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"NotifyHaldenStatusValue", 1u, util::regtype::kService), 0);
  ASSERT_EQ(NextBoot(), std::nullopt);
  EXPECT_FALSE(ServiceStart());
  EXPECT_EQ(ServiceDword(L"PolicyState"), 17u);
  EXPECT_EQ(ServiceDword(L"NotifyHaldenStatusValue"), 1u);

  // 0 is no earlier error.
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"PolicyState", 0u, util::regtype::kService), 0);
  ASSERT_EQ(NextBoot(), std::nullopt);
  EXPECT_FALSE(ServiceStart());
  EXPECT_EQ(ServiceDword(L"PolicyState"), 6u);
}

TEST_F(CustomizationDriverSimTest, CloneStatusDecidesWhetherToCustomize) {
  util::MachineType::Instance()->SetMachineType(util::machine::kClone);
  auto hypervisor = Hypervisor();
  Customization customization;
  for (const char* status : {"running", "specialize", "oobe", "snapshotting", "postSnapshotting"}) {
    ASSERT_TRUE(hypervisor.SetVariable("clone.CustomizationState", status));
    EXPECT_TRUE(customization.OkToCustomizeClone()) << status;
  }
  for (const char* status : {"success", "error", "CustomizationBegin", "Running"}) {
    ASSERT_TRUE(hypervisor.SetVariable("clone.CustomizationState", status));
    EXPECT_FALSE(customization.OkToCustomizeClone()) << status;
  }
  EXPECT_EQ(ServiceDword(L"PolicyState"), 6u) << "success without the completed marker is a failure";

  LogCapture log;
  FaultPlan::Set("GuestRpcUnavailable", "1");
  EXPECT_FALSE(customization.OkToCustomizeClone());
  FaultPlan::Set("GuestRpcUnavailable", std::nullopt);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Error, kPrefix + L"OkToCustomizeClone(): Clone: Failed getting CustomizationState"),
            1u);
}

TEST_F(CustomizationDriverSimTest, CompletionNeedsTheStepMarkersOfItsType) {
  ForkClone("0");
  auto* info = util::CustomizationPersistentInfo::Instance();
  Customization customization;
  EXPECT_FALSE(customization.OkToCompleteCustomization());
  ASSERT_EQ(info->Set(Persisted::CloneJoinedDomain), 0);
  EXPECT_FALSE(customization.OkToCompleteCustomization()) << "Cloneprep needs the MAC address reset too";
  ASSERT_EQ(info->Set(Persisted::CloneMacAddressReset), 0);
  EXPECT_TRUE(customization.OkToCompleteCustomization());
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"ChangeCloneMachinePassword", 1u, util::regtype::kGa), 0);
  EXPECT_FALSE(customization.OkToCompleteCustomization()) << "a password change was asked for";
  ASSERT_EQ(info->Set(Persisted::CloneMachinePasswordChanged), 0);
  EXPECT_TRUE(customization.OkToCompleteCustomization());

  // Not ready and no flags: nothing completes and nothing goes down, yet the call reports no failure.
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"CloneMacAddressReset", 0u, util::regtype::kGa), 0);
  EXPECT_TRUE(customization.CompleteCustomization());
  EXPECT_FALSE(Completed());
  EXPECT_FALSE(Power::Requested());
  EXPECT_EQ(Variable("clone.CustomizationState"), "running");
}

TEST_F(CustomizationDriverSimTest, SysprepCompletesOnTheDomainJoinAlone) {
  ForkClone("128");
  ASSERT_TRUE(util::CustomizationType::Instance()->IsSysprep());
  auto* info = util::CustomizationPersistentInfo::Instance();
  Customization customization;
  EXPECT_FALSE(customization.OkToCompleteCustomization());
  ASSERT_EQ(info->Set(Persisted::CloneJoinedDomain), 0);
  LogCapture log;
  EXPECT_TRUE(customization.OkToCompleteCustomization());
  ASSERT_EQ(info->Set(Persisted::CloneCustomizationCompleted), 0);
  EXPECT_FALSE(customization.OkToCompleteCustomization());
  framework::log::FlushLog();
  EXPECT_EQ(
      log.Count(LogLevel::Debug, kPrefix + L"OkToCompleteCustomization(): Sysprep Ready To Complete Customization"),
      1u);
}

TEST_F(CustomizationDriverSimTest, ConfiguredScriptOrDisksThatCannotBePreparedFailTheClone) {
  ForkClone("0");
  ASSERT_EQ(util::CustomizationPersistentInfo::Instance()->Set(Persisted::PostCustScriptConfigured), 0);
  EXPECT_FALSE(ServiceStart());
  EXPECT_FALSE(Completed());
  EXPECT_EQ(Variable("clone.CustomizationState"), "error");
  EXPECT_EQ(ServiceDword(L"PolicyState"), 19u);
  EXPECT_EQ(Variable("clone.CustomizationErrorCode"), "<absent>") << "error values are the template's";

  // Persistent disks enabled: the clone is not completed without them.
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"PostCustScriptConfigured", 0u, util::regtype::kGa), 0);
  ASSERT_TRUE(Hypervisor().SetVariable("AgentCustomizationFlags", "8192"));
  ASSERT_TRUE(Hypervisor().SetVariable("clone.CustomizationState", "running"));
  ASSERT_EQ(NextBoot(), std::nullopt);
  LogCapture log;
  EXPECT_FALSE(ServiceStart());
  EXPECT_FALSE(Completed());
  framework::log::FlushLog();
  EXPECT_FALSE(log.Contains(LogLevel::Debug, L"Persistent Disks Disabled"));
  EXPECT_EQ(log.Count(LogLevel::Error, kPrefix + L"CustomizeVM(): Clone Customization Failed"), 1u);
}

// A requested power action that the next start could not recognise as the agent's own would be asked
// for again at every start; without the REQUESTED bit the clone stays up.
TEST_F(CustomizationDriverSimTest, NoPowerActionWhenTheRequestedFlagCannotBeRecorded) {
  ForkClone("1");
  Customization customization;
  util::CustomizationFlags::Instance()->GetCustomizationFlagsValue();
  FaultPlan::Set("GuestRpcUnavailable", "1");
  LogCapture log;
  EXPECT_TRUE(customization.ProcessShutdownOrReboot());
  FaultPlan::Set("GuestRpcUnavailable", std::nullopt);
  EXPECT_FALSE(Power::Requested());
  EXPECT_EQ(Flags(), 1u);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Error, kPrefix + L"ProcessShutdownOrReboot(): Failed setting shutdown requested flag, "
                                                 L"not shutting down"),
            1u);
}

TEST_F(CustomizationDriverSimTest, PreShutdownScriptWaitsForCompletionOnSysprepAndUniversalprep) {
  auto* info = util::CustomizationPersistentInfo::Instance();
  ASSERT_EQ(info->Set(Persisted::PreShutdownScriptConfigured), 0);
  ASSERT_EQ(info->Set(Persisted::PreShutdownScriptSecured), 0);
  const std::wstring skipped =
      kPrefix +
      L"RunPreShutdownRoutine(): Skipping pre-shutdown script execution until clone customization is completed.";
  const std::wstring scriptStep = kPrefix + L"RunPreShutdownRoutine(): Pre-Shutdown Script";

  {  // Cloneprep: the script step runs at once (and cannot run the configured script yet).
    LogCapture log;
    Guest guest;
    EXPECT_FALSE(guest.RunPreShutdownRoutine());
    framework::log::FlushLog();
    EXPECT_FALSE(log.Contains(LogLevel::Debug, skipped));
    EXPECT_EQ(log.Count(LogLevel::Error, scriptStep), 1u);
  }

  ASSERT_TRUE(Hypervisor().SetVariable("AgentCustomizationFlags", "128"));  // Sysprep
  ASSERT_EQ(NextBoot(), std::nullopt);
  {
    LogCapture log;
    Guest guest;
    EXPECT_TRUE(guest.RunPreShutdownRoutine());
    ASSERT_EQ(util::CustomizationPersistentInfo::Instance()->Set(Persisted::CloneCustomizationCompleted), 0);
    EXPECT_FALSE(guest.RunPreShutdownRoutine());
    framework::log::FlushLog();
    EXPECT_EQ(log.Count(LogLevel::Debug, skipped), 1u);
    EXPECT_EQ(log.Count(LogLevel::Error, scriptStep), 1u);
  }

  // Universalprep (the golden image's type) skips as Sysprep does until completed.
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"CloneCustomizationCompleted", 0u, util::regtype::kGa), 0);
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"GoldenImage", 1u, util::regtype::kSetup), 0);
  ASSERT_EQ(NextBoot(), std::nullopt);
  {
    ASSERT_TRUE(util::CustomizationType::Instance()->IsUniversalprep());
    LogCapture log;
    Guest guest;
    EXPECT_TRUE(guest.RunPreShutdownRoutine());
    framework::log::FlushLog();
    EXPECT_EQ(log.Count(LogLevel::Debug, skipped), 1u);
  }
}

TEST_F(CustomizationDriverSimTest, SysprepDomainJoinCleanupReportsTheMachinePasswordBackup) {
  ForkClone(std::to_string(0x80 | 0x800 | 0x1000));
  LogCapture log;
  Guest guest;
  EXPECT_TRUE(guest.RunPreShutdownRoutine());
  framework::log::FlushLog();
  EXPECT_EQ(
      log.Count(LogLevel::Debug, kPrefix + L"RunPreShutdownRoutine(): Backup machine password for sysprep domain join"),
      1u);
  auto tail = Hypervisor().LogTail(5);
  ASSERT_FALSE(tail.empty());
  EXPECT_NE(tail.back().find("Failed to backup machine password for"), std::string::npos) << tail.back();
}

TEST_F(CustomizationDriverSimTest, RoleDispatchCallsTheRolesOperationAndLogsItsFailure) {
  TestFlavour flavour;
  auto* role = util::MachineType::Instance();
  LogCapture log;
  role->SetMachineType(util::machine::kInternalTemplate);
  EXPECT_TRUE(flavour.CustomizeVM());
  role->SetMachineType(util::machine::kReplica);
  EXPECT_TRUE(flavour.CustomizeVM());
  flavour.roleResult = false;
  role->SetMachineType(util::machine::kParent);
  EXPECT_FALSE(flavour.CustomizeVM());
  role->SetMachineType(util::machine::kInternalTemplate);
  EXPECT_FALSE(flavour.CustomizeVM());
  EXPECT_EQ(flavour.roles, (std::vector<std::string>{"it", "replica", "parent", "it"}));

  // Forked but not yet reported forked by the boot-time agent: nothing to do, and no role operation.
  role->SetMachineType(util::machine::kUndetermined);
  ASSERT_TRUE(Hypervisor().SetVariable("ngaFork", "1"));
  ASSERT_TRUE(Hypervisor().SetVariable("forked", "1"));
  EXPECT_FALSE(flavour.CustomizeVM());
  EXPECT_EQ(flavour.roles.size(), 4u);
  EXPECT_EQ(flavour.cloneCalls, 0);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, kPrefix + L"CustomizeVM(): ** Internal Template **"), 2u);
  EXPECT_EQ(log.Count(LogLevel::Error, kPrefix + L"CustomizeVM(): Internal Template Customization Failed"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Error, kPrefix + L"CustomizeVM(): Parent Customization Failed"), 1u);
  EXPECT_FALSE(log.Contains(LogLevel::Error, L"Replica Customization Failed"));
  EXPECT_EQ(log.Count(LogLevel::Warn, kPrefix + L"CustomizeVM(): Nothing Needs To Be Done."), 1u);
}

// Until the flavours exist, a start without one passed in fails every role's customization, and says so.
TEST_F(CustomizationDriverSimTest, WithoutAFlavourTheCloneIsNotCustomized) {
  ForkClone("0");
  LogCapture log;
  Guest guest;
  EXPECT_FALSE(guest.CustomizeVM());
  EXPECT_FALSE(Completed());
  EXPECT_EQ(Variable("clone.CustomizationState"), "running");
  EXPECT_FALSE(Power::Requested());
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, L"tamber::core::windows::Guest::CustomizeVM(): Customization Type: Cloneprep"),
            1u);
  EXPECT_EQ(
      log.Count(LogLevel::Warn, L"tamber::core::windows::Guest::CustomizeVM(): Add new customization type accordingly"),
      1u);
  EXPECT_EQ(log.Count(LogLevel::Error, kPrefix + L"CustomizeClone(): "), 1u);
  EXPECT_EQ(log.Count(LogLevel::Error, kPrefix + L"CustomizeVM(): Clone Customization Failed"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Info,
                      L"tamber::core::windows::Network::InitNetworkProtocol(): Using network "
                      L"communication protocol: IPv4"),
            1u);

  // The flavour passed in becomes the current one.
  auto flavour = std::make_shared<TestFlavour>();
  EXPECT_TRUE(guest.CustomizeVM(flavour));
  EXPECT_EQ(guest.GetCustomization(), flavour);
  EXPECT_EQ(flavour->cloneCalls, 1);
}

TEST_F(CustomizationDriverSimTest, MasterKeepsTheBootTimeAgentRegistered) {
  platform::HKey key = nullptr;
  ASSERT_EQ(
      platform::RegCreateKeyEx(platform::HKeyLocalMachine(), util::kRegistryKeyPaths[util::regtype::kSessionManager], 0,
                               platform::kKeyAllAccess, &key, nullptr),
      0u);
  {
    LogCapture log;
    Guest guest;
    EXPECT_FALSE(guest.CustomizeVM()) << "no BootExecute list to keep the entry in";
    framework::log::FlushLog();
    EXPECT_EQ(log.Count(LogLevel::Error, L"tamber::core::windows::Guest::CustomizeVM(): Master Customization Failed"),
              1u);
  }
  auto list = common::util::ToUtf16LeBytes(L"autocheck autochk *");
  list.push_back(0);
  list.push_back(0);
  ASSERT_EQ(platform::RegSetValueEx(key, kBootExecuteValue, platform::kRegMultiSz, list.data(),
                                    static_cast<uint32_t>(list.size())),
            0u);
  LogCapture log;
  auto flavour = std::make_shared<TestFlavour>();
  Guest guest;
  EXPECT_TRUE(guest.CustomizeVM(flavour));
  EXPECT_TRUE(flavour->roles.empty());
  EXPECT_EQ(flavour->cloneCalls, 0);
  uint8_t bytes[256] = {};
  uint32_t size = sizeof bytes;
  ASSERT_EQ(platform::RegQueryValueEx(key, kBootExecuteValue, nullptr, bytes, &size), 0u);
  platform::RegCloseKey(key);
  auto expected = common::util::ToUtf16LeBytes(L"autocheck autochk *");
  auto entry = common::util::ToUtf16LeBytes(kNgaBootExecuteEntry);
  expected.insert(expected.end(), entry.begin(), entry.end());
  expected.push_back(0);
  expected.push_back(0);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + size), expected);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, L"tamber::core::windows::Guest::CustomizeVM(): ** Master **"), 1u);
  EXPECT_FALSE(log.Contains(LogLevel::Warn, L"Add new customization type accordingly"));
  EXPECT_FALSE(log.Contains(LogLevel::Info, L"InitNetworkProtocol")) << "the master works on no network";
}

// The completion worker runs after CompleteCustomization has returned, and the flavour's end waits for it.
TEST_F(CustomizationDriverSimTest, CompletionWorkerOutlivesTheCallButNotTheFlavour) {
  ForkClone("0");
  auto finished = std::make_shared<std::atomic<bool>>(false);
  auto gate = std::make_shared<std::promise<void>>();
  std::shared_future<void> opened = gate->get_future().share();
  auto flavour = std::make_unique<TestFlavour>();
  flavour->SetCompletionWork([finished, opened] {
    opened.wait_for(std::chrono::seconds(20));
    *finished = true;
  });
  util::MachineType::Instance()->SetMachineType(util::machine::kClone);
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(flavour->CustomizeVM());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << "completion waited for the worker";
  EXPECT_TRUE(Completed());
  EXPECT_FALSE(*finished);
  gate->set_value();
  flavour.reset();
  EXPECT_TRUE(*finished) << "the worker ended before the flavour";
}

}  // namespace
}  // namespace tamber::core::windows
