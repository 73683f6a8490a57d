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
#include <thread>
#include <vector>

#include "common/util/Utf16.h"
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
#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPower.h"
#include "support/BootExecute.h"
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
  void SetUp() override {
    test::GuestTest::SetUp();
    ASSERT_TRUE(test::RegisterBootTimeAgent());  // as the golden image's first boot left it
  }
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
    auto flavour = std::make_shared<TestFlavour>();
    const bool customized = guest.CustomizeVM(flavour);
    // The completion worker runs on this boot's singletons, which the next boot of this process replaces;
    // a real boot ends its process instead.
    flavour->WaitForCompletionWorker(platform::kInfinite);
    return customized;
  }

  static uint32_t ServiceDword(const wchar_t* name) {
    const uint32_t absent = 0xFFFFFFFF;
    uint32_t value = 0;
    util::Registry::Instance()->GetValue(name, &absent, &value, util::regtype::kService);
    return value;
  }
  // Messages of this level containing the driver's prefix and text (or a full text of another class).
  static size_t Logged(const LogCapture& log, LogLevel level, const std::wstring& text) {
    framework::log::FlushLog();
    return log.Count(level, text.starts_with(L"tamber::") ? text : kPrefix + text);
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
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"ProcessShutdownOrReboot(): Initiating required agent reboot"), 1u);

  ASSERT_EQ(NextBoot(), PowerAction::Reboot);
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Flags(), 0x38u) << "REBOOT_COMPLETED added";
  EXPECT_FALSE(Power::Requested()) << "no second reboot";
  EXPECT_EQ(Variable("clone.CustomizationState"), "success");
  EXPECT_TRUE(Completed());
  EXPECT_EQ(ServiceDword(L"PolicyState"), 0u);
  EXPECT_EQ(
      Logged(log, LogLevel::Debug,
             L"OkToCompleteCustomization(): Only a reboot was required and has completed, completing customization"),
      1u);

  // Later starts of the completed clone do nothing and fail without a failure line.
  ASSERT_EQ(NextBoot(), std::nullopt);
  LogCapture later;
  EXPECT_FALSE(ServiceStart());
  EXPECT_EQ(Flags(), 0x38u);
  EXPECT_FALSE(Power::Requested());
  EXPECT_EQ(
      Logged(later, LogLevel::Debug, L"OkToCustomizeClone(): Clone: Customization Has Already Completed Successfully"),
      1u);
  EXPECT_FALSE(later.Contains(LogLevel::Error, L"Clone Customization Failed"));
}

// The post-customization integration values are written when the clone completes, not before.
TEST_F(CustomizationDriverSimTest, CompletionWritesThePostCustomizationIntegrationValues) {
  ForkClone("8");
  ASSERT_TRUE(Hypervisor().SetVariable("inter-agent.daas.tenant-endpoints", "ep1.example,ep2.example"));
  auto tenantEndpoints = [] {
    std::vector<std::wstring> values;
    platform::HKey key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(),
                               L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\AgentIntegration\\DAAS", 0,
                               platform::kKeyRead, &key) != 0) {
      return values;
    }
    uint8_t bytes[256] = {};
    uint32_t size = sizeof(bytes);
    if (platform::RegQueryValueEx(key, L"TenantEndpoints", nullptr, bytes, &size) == 0) {
      for (size_t offset = 0; offset + 2 < size;) {
        std::wstring text = common::util::FromUtf16LeBytes(bytes + offset, size - offset);
        if (text.empty()) break;
        offset += (text.size() + 1) * 2;
        values.push_back(std::move(text));
      }
    }
    platform::RegCloseKey(key);
    return values;
  };
  EXPECT_TRUE(ServiceStart());  // the reboot the flags require comes first
  EXPECT_TRUE(tenantEndpoints().empty());
  EXPECT_FALSE(util::CustomizationPersistentInfo::Instance()->Is(Persisted::ClonePostIntegrationValuesParsed));
  ASSERT_EQ(NextBoot(), PowerAction::Reboot);
  EXPECT_TRUE(ServiceStart());
  EXPECT_TRUE(Completed());
  EXPECT_EQ(tenantEndpoints(), (std::vector<std::wstring>{L"ep1.example", L"ep2.example"}));
  EXPECT_TRUE(util::CustomizationPersistentInfo::Instance()->Is(Persisted::ClonePostIntegrationValuesParsed));
}

TEST_F(CustomizationDriverSimTest, ShutdownAndRebootRequiredTakeThreeStarts) {
  ForkClone("9");
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Flags(), 0x0Bu) << "the shutdown is requested first";
  ASSERT_EQ(NextBoot(), PowerAction::Shutdown);
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Flags(), 0x1Fu) << "shutdown completed, reboot requested";
  EXPECT_FALSE(Completed());
  ASSERT_EQ(NextBoot(), PowerAction::Reboot);
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Flags(), 0x3Fu);
  EXPECT_FALSE(Power::Requested());
  EXPECT_TRUE(Completed());
  EXPECT_EQ(Variable("clone.CustomizationState"), "success");
}

TEST_F(CustomizationDriverSimTest, ErrorStatusFromTheBootTimeAgentStopsTheClone) {
  auto plan = FaultPlan::Load(Machine::Directory());
  plan["BootTimeAgentFails"] = "1";
  FaultPlan::Save(Machine::Directory(), plan);
  ForkClone("0");
  LogCapture log;
  EXPECT_FALSE(ServiceStart());
  EXPECT_FALSE(util::CustomizationPersistentInfo::Instance()->Is(Persisted::CloneJoinedDomain)) << "not customized";
  EXPECT_EQ(ServiceDword(L"PolicyState"), 6u);
  EXPECT_EQ(ServiceDword(L"NotifyHaldenStatusValue"), 5u);
  EXPECT_EQ(Logged(log, LogLevel::Error, L"OkToCustomizeClone(): Clone: Customization failed in nga, cannot continue"),
            1u);
  EXPECT_EQ(Logged(log, LogLevel::Error, L"CustomizeVM(): Clone Customization Failed"), 1u);

  // An earlier error stands, and the sibling agent is not told again.
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"PolicyState", 17u, util::regtype::kService), 0);
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"NotifyHaldenStatusValue", 1u, util::regtype::kService), 0);
  ASSERT_EQ(NextBoot(), std::nullopt);
  EXPECT_FALSE(ServiceStart());
  EXPECT_EQ(ServiceDword(L"PolicyState"), 17u);
  EXPECT_EQ(ServiceDword(L"NotifyHaldenStatusValue"), 1u);

  // The sysprep phases let the clone go on, and so does "success" without the completed marker: the
  // power went while the last start completed (found by a torture run), and the completion is done again.
  Customization customization;
  for (const char* status : {"specialize", "oobe", "snapshotting", "postSnapshotting", "success"}) {
    ASSERT_TRUE(Hypervisor().SetVariable("clone.CustomizationState", status));
    EXPECT_TRUE(customization.OkToCustomizeClone()) << status;
  }
  ASSERT_EQ(util::CustomizationPersistentInfo::Instance()->Set(Persisted::CloneCustomizationCompleted), 0);
  EXPECT_FALSE(customization.OkToCustomizeClone()) << "success with the completed marker is done";
}

TEST_F(CustomizationDriverSimTest, PreShutdownScriptWaitsForCompletionOnSysprepAndUniversalprep) {
  ASSERT_EQ(util::CustomizationPersistentInfo::Instance()->Set(Persisted::PreShutdownScriptConfigured), 0);
  const std::wstring skipped =
      L"RunPreShutdownRoutine(): Skipping pre-shutdown script execution until clone customization is completed.";
  const std::wstring scriptStep =
      L"tamber::core::windows::Script::RunPreShutdownScript(): Failed To Execute Pre-Shutdown Script. It Was Not "
      L"Secured";
  LogCapture log;
  Guest().RunPreShutdownRoutine();  // Cloneprep
  EXPECT_EQ(Logged(log, LogLevel::Error, scriptStep), 1u) << "Cloneprep always goes to the script";
  EXPECT_EQ(Logged(log, LogLevel::Debug, skipped), 0u);

  ASSERT_TRUE(Hypervisor().SetVariable("AgentCustomizationFlags", std::to_string(0x80 | 0x800 | 0x1000)));
  ASSERT_EQ(NextBoot(), std::nullopt);
  Guest sysprep;
  EXPECT_TRUE(sysprep.RunPreShutdownRoutine());
  EXPECT_EQ(Logged(log, LogLevel::Debug, skipped), 1u);
  EXPECT_EQ(Logged(log, LogLevel::Error, scriptStep), 1u);
  // Sysprep domain join with resync cleanup: the machine password backup is reported to the hypervisor
  // (this machine is in no domain and has no machine password, so as failed).
  EXPECT_NE(Hypervisor().LogTail(1).at(0).find("Failed to backup machine password for"), std::string::npos);
  ASSERT_EQ(util::CustomizationPersistentInfo::Instance()->Set(Persisted::CloneCustomizationCompleted), 0);
  EXPECT_FALSE(sysprep.RunPreShutdownRoutine());
  EXPECT_EQ(Logged(log, LogLevel::Error, scriptStep), 2u);

  // Universalprep (the golden image's type) skips too until completed.
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"CloneCustomizationCompleted", 0u, util::regtype::kGa), 0);
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"GoldenImage", 1u, util::regtype::kSetup), 0);
  ASSERT_EQ(NextBoot(), std::nullopt);
  ASSERT_TRUE(util::CustomizationType::Instance()->IsUniversalprep());
  LogCapture universal;
  EXPECT_TRUE(Guest().RunPreShutdownRoutine());
  EXPECT_EQ(Logged(universal, LogLevel::Debug, skipped), 1u);
}

// Nothing may pass for a customized clone: without a flavour passed in, with a post-customization script
// that is configured but was never secured, or with enabled persistent disks, the clone is not completed.
TEST_F(CustomizationDriverSimTest, StepsNotAvailableYetNeverCompleteTheClone) {
  ForkClone("128");  // Sysprep: nobody runs sysprep on this clone, so its wait for generalize times out
  LogCapture log;
  Guest guest;
  EXPECT_FALSE(guest.CustomizeVM());
  EXPECT_EQ(
      Logged(log, LogLevel::Warn, L"tamber::core::windows::Sysprep::CustomizeClone(): Sysprep Customization Failed"),
      1u);
  EXPECT_EQ(Logged(log, LogLevel::Error, L"CustomizeVM(): Clone Customization Failed"), 1u);
  // As on a new start of a clone the boot-time agent let through: the next error is reported afresh.
  util::CustomizationState::Instance()->SetIsSet(false);
  ASSERT_TRUE(Hypervisor().SetVariable("clone.CustomizationState", "running"));
  EXPECT_EQ(
      Logged(log, LogLevel::Info,
             L"tamber::core::windows::Network::InitNetworkProtocol(): Using network communication protocol: IPv4"),
      1u);

  ASSERT_EQ(util::CustomizationPersistentInfo::Instance()->Set(Persisted::PostCustScriptConfigured), 0);
  EXPECT_FALSE(guest.CustomizeVM(std::make_shared<TestFlavour>()));
  EXPECT_EQ(Variable("clone.CustomizationState"), "error");
  EXPECT_EQ(ServiceDword(L"PolicyState"), 19u);

  ASSERT_EQ(util::Registry::Instance()->SetValue(L"PostCustScriptConfigured", 0u, util::regtype::kGa), 0);
  ASSERT_TRUE(Hypervisor().SetVariable("AgentCustomizationFlags", "8320"));  // Sysprep, persistent disks
  ASSERT_TRUE(Hypervisor().SetVariable("clone.CustomizationState", "running"));
  ASSERT_EQ(NextBoot(), std::nullopt);
  EXPECT_FALSE(ServiceStart());
  EXPECT_FALSE(Completed());
  EXPECT_FALSE(Power::Requested());
}

// The next start knows a power action was the agent's own only from the REQUESTED bit; without it the
// clone would go down at every start, so it stays up.
TEST_F(CustomizationDriverSimTest, NoPowerActionWhenTheRequestedFlagCannotBeRecorded) {
  ForkClone("1");
  Customization customization;
  FaultPlan::Set("GuestRpcUnavailable", "1");
  EXPECT_TRUE(customization.ProcessShutdownOrReboot());
  FaultPlan::Set("GuestRpcUnavailable", std::nullopt);
  EXPECT_FALSE(Power::Requested());
  EXPECT_EQ(Flags(), 1u);
}

TEST_F(CustomizationDriverSimTest, MasterKeepsTheBootTimeAgentRegisteredAndDispatchIsByRole) {
  platform::HKey key = nullptr;
  ASSERT_EQ(
      platform::RegCreateKeyEx(platform::HKeyLocalMachine(), util::kRegistryKeyPaths[util::regtype::kSessionManager], 0,
                               platform::kKeyAllAccess, &key, nullptr),
      0u);
  auto list = common::util::ToUtf16LeBytes(L"autocheck autochk *");
  list.resize(list.size() + 2);
  ASSERT_EQ(platform::RegSetValueEx(key, kBootExecuteValue, platform::kRegMultiSz, list.data(),
                                    static_cast<uint32_t>(list.size())),
            0u);
  LogCapture log;
  auto flavour = std::make_shared<TestFlavour>();
  EXPECT_TRUE(Guest().CustomizeVM(flavour));
  std::vector<uint8_t> bytes(256);
  uint32_t size = static_cast<uint32_t>(bytes.size());
  ASSERT_EQ(platform::RegQueryValueEx(key, kBootExecuteValue, nullptr, bytes.data(), &size), 0u);
  platform::RegCloseKey(key);
  auto entry = common::util::ToUtf16LeBytes(kNgaBootExecuteEntry);
  list.insert(list.end() - 2, entry.begin(), entry.end());
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + size), list);
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"tamber::core::windows::Guest::CustomizeVM(): ** Master **"), 1u);
  EXPECT_FALSE(log.Contains(LogLevel::Info, L"InitNetworkProtocol")) << "the master works on no network";

  // The other roles go to their operation; a failure is logged with the role's text.
  auto* role = util::MachineType::Instance();
  for (auto code : {util::machine::kInternalTemplate, util::machine::kReplica, util::machine::kParent}) {
    role->SetMachineType(code);
    EXPECT_TRUE(flavour->CustomizeVM());
  }
  flavour->roleResult = false;
  EXPECT_FALSE(flavour->CustomizeVM());
  EXPECT_EQ(flavour->roles, (std::vector<std::string>{"it", "replica", "parent", "parent"}));
  EXPECT_EQ(Logged(log, LogLevel::Error, L"CustomizeVM(): Parent Customization Failed"), 1u);
  role->SetMachineType(util::machine::kUndetermined);
  ASSERT_TRUE(Hypervisor().SetVariable("ngaFork", "1"));
  ASSERT_TRUE(Hypervisor().SetVariable("forked", "1"));
  EXPECT_FALSE(flavour->CustomizeVM()) << "forked, but not yet reported forked by the boot-time agent";
  EXPECT_EQ(Logged(log, LogLevel::Warn, L"CustomizeVM(): Nothing Needs To Be Done."), 1u);
}

// The completion worker runs after CompleteCustomization has returned. The flavour's end gives it a
// short wait and no more: a worker that hangs (a group policy refresh in its pauses) never holds up the
// service's stop, and it finishes later on what it owns.
TEST_F(CustomizationDriverSimTest, CompletionWorkerNeverHoldsUpTheFlavoursEnd) {
  ForkClone("0");
  auto finished = std::make_shared<std::atomic<bool>>(false);
  auto gate = std::make_shared<std::promise<void>>();
  std::shared_future<void> opened = gate->get_future().share();
  auto flavour = std::make_unique<TestFlavour>();
  flavour->SetCompletionWork([finished, opened] {
    opened.wait_for(std::chrono::seconds(60));
    *finished = true;
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(flavour->CustomizeVM());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << "completion waited for the worker";
  EXPECT_TRUE(Completed());
  EXPECT_FALSE(*finished);

  LogCapture log;
  started = std::chrono::steady_clock::now();
  flavour.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30))
      << "the flavour's end waited for the worker";
  EXPECT_FALSE(*finished);
  framework::log::FlushLog();
  EXPECT_EQ(Logged(log, LogLevel::Warn, L"WaitForCompletionWorker(): Completion Worker Still Running After 3000ms"),
            1u);

  gate->set_value();
  for (int i = 0; i < 1000 && !*finished; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(*finished) << "the worker finished on its own";
}

TEST_F(CustomizationDriverSimTest, CompletionWorkerThatEndsInTimeIsWaitedFor) {
  ForkClone("0");
  auto finished = std::make_shared<std::atomic<bool>>(false);
  auto flavour = std::make_unique<TestFlavour>();
  flavour->SetCompletionWork([finished] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    *finished = true;
  });
  EXPECT_TRUE(flavour->CustomizeVM());
  flavour.reset();
  EXPECT_TRUE(*finished);
}

}  // namespace
}  // namespace tamber::core::windows
