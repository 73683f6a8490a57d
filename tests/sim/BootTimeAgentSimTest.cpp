// The boot-time agent stand-in and the role decision across boots of a simulated machine: the management
// side sets guestinfo on the machine's hypervisor, the stand-in runs at boot before the service, and the
// service's singletons read and write the status through the same hypervisor.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/util/Utf16.h"
#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/System.h"
#include "framework/log/LogWriter.h"
#include "platform/Registry.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPower.h"
#include "support/BootExecute.h"
#include "support/TestEnvironment.h"

namespace tamber::core::util {
namespace {

using platform::guestrpc::SimHypervisor;
using platform::sim::FaultPlan;
using platform::sim::Machine;
using platform::sim::Power;
using platform::sim::RunBootTimeAgent;

std::wstring ReadComputerName() {
  platform::HKey key = nullptr;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), platform::sim::kComputerNameKeyPath, 0, platform::kKeyRead,
                             &key) != 0) {
    return L"<absent>";
  }
  uint8_t bytes[256] = {};
  uint32_t size = sizeof bytes;
  uint32_t error = platform::RegQueryValueEx(key, L"ComputerName", nullptr, bytes, &size);
  platform::RegCloseKey(key);
  return error == 0 ? common::util::FromUtf16LeBytes(bytes, size) : std::wstring(L"<absent>");
}

class BootTimeAgentSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    ASSERT_TRUE(test::RegisterBootTimeAgent());
  }
  void TearDown() override {
    ResetSingletonsForTest();
    test::GuestTest::TearDown();
  }

  SimHypervisor Hypervisor() const { return SimHypervisor(Machine::Directory() / "hypervisor"); }
  std::string Variable(const std::string& name) const { return Hypervisor().GetVariable(name).value_or("<absent>"); }

  // A clean restart of the machine: the service's state goes with the old boot, the stand-in runs first.
  platform::sim::BootTimeAgentReport Reboot() {
    std::filesystem::path machine = Machine::Directory();
    ResetSingletonsForTest();
    framework::log::ResetLogForTest();
    Machine::Shutdown();
    Machine::Boot(machine);
    return RunBootTimeAgent();
  }
};

TEST_F(BootTimeAgentSimTest, ForkedCloneBootsAsCloneAndReportsThroughTheHypervisor) {
  auto hypervisor = Hypervisor();
  ASSERT_TRUE(hypervisor.SetVariable("ngaFork", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("forked", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("hostName", "DESKTOP-017"));
  ASSERT_TRUE(hypervisor.SetVariable("AgentCustomizationFlags", "264"));  // reboot required, cloneprep

  auto report = Reboot();
  EXPECT_EQ(report.role, "clone");
  EXPECT_EQ(report.renamedTo, "DESKTOP-017");
  EXPECT_TRUE(report.vmForkedSet);
  EXPECT_TRUE(report.cloneRenamedSet);
  EXPECT_EQ(Variable("clone.CustomizationState"), "running");
  EXPECT_EQ(ReadComputerName(), L"DESKTOP-017");
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::CloneRenamed));

  // The service's view of this boot.
  auto* role = MachineType::Instance();
  EXPECT_EQ(role->GetMachineType(), machine::kClone);
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::VmForked));
  EXPECT_TRUE(CustomizationType::Instance()->IsCloneprep());
  auto* flags = CustomizationFlags::Instance();
  EXPECT_EQ(flags->GetCustomizationFlagsValue(), 0x108u);
  std::string status;
  ASSERT_TRUE(CustomizationState::Instance()->GetCustomizationState(&status));
  EXPECT_EQ(status, "running");
  EXPECT_TRUE(CustomizationState::Instance()->SetCustomizationState("running", 0u, "Clone", 0));

  // The clone asks for its reboot (flags, marker, flush, request); the next boot sees the markers.
  EXPECT_EQ(flags->SetCustomizationFlags(flag::kRebootRequested), 0x118u);
  EXPECT_EQ(Variable("AgentCustomizationFlags"), "280");
  auto* info = CustomizationPersistentInfo::Instance();
  ASSERT_EQ(info->Set(Persisted::CloneRebooted), 0);
  ASSERT_EQ(info->FlushKeys(), 0);
  ASSERT_EQ(System::Instance()->Reboot(0), 0);
  auto request = Power::Requested();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->action, platform::sim::PowerAction::Reboot);
  // This process is a test, not one boot: the requested reboot is ours to carry out.
  std::filesystem::path machine = Machine::Directory();
  ResetSingletonsForTest();
  framework::log::ResetLogForTest();
  Machine::Shutdown();
  ASSERT_TRUE(Power::Take(machine));
  Machine::Boot(machine);
  report = RunBootTimeAgent();
  EXPECT_EQ(report.role, "");  // seen forked before: the stand-in leaves the status to the service
  EXPECT_EQ(Variable("clone.CustomizationState"), "running");
  EXPECT_EQ(MachineType::Instance()->GetMachineType(), machine::kClone);
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::CloneRebooted));
  EXPECT_TRUE(CustomizationFlags::Instance()->IsFlagSet(flag::kRebootRequested));

  EXPECT_TRUE(CustomizationState::Instance()->SetCustomizationState("success", 0u, "Clone", 0));
  Reboot();
  EXPECT_EQ(Variable("clone.CustomizationState"), "success");  // never set back to "running"
}

// The service flushes before it asks for a shutdown or reboot, so a power loss on the way keeps the markers.
TEST_F(BootTimeAgentSimTest, FlushedMarkersSurviveAPowerCut) {
  auto config = Machine::LoadConfig(Machine::Directory());
  config.lazyFlushMs = 3600 * 1000;  // only the explicit flush makes anything durable here
  Machine::SaveConfig(Machine::Directory(), config);
  Reboot();
  auto* info = CustomizationPersistentInfo::Instance();
  ASSERT_EQ(info->Set(Persisted::CloneShutdown), 0);
  ASSERT_EQ(info->Set(Persisted::ReplicaRebooted), 0);
  ASSERT_EQ(info->FlushKeys(), 0);
  ASSERT_EQ(info->Set(Persisted::IpRenewed), 0);  // after the flush: lost with the power
  std::filesystem::path machine = Machine::Directory();
  ResetSingletonsForTest();
  framework::log::ResetLogForTest();
  Machine::PowerCut();
  Machine::Boot(machine);
  info = CustomizationPersistentInfo::Instance();
  EXPECT_TRUE(info->Is(Persisted::CloneShutdown));
  EXPECT_TRUE(info->Is(Persisted::ReplicaRebooted));
  EXPECT_FALSE(info->Is(Persisted::IpRenewed));
}

TEST_F(BootTimeAgentSimTest, FailedBootTimeStepLeavesErrorForTheService) {
  auto hypervisor = Hypervisor();
  ASSERT_TRUE(hypervisor.SetVariable("ngaFork", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("forked", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("hostName", "DESKTOP-018"));
  auto plan = FaultPlan::Load(Machine::Directory());
  plan["BootTimeAgentFails"] = "1";
  FaultPlan::Save(Machine::Directory(), plan);

  auto report = Reboot();
  EXPECT_EQ(report.status, "error");
  EXPECT_EQ(Variable("clone.CustomizationState"), "error");
  EXPECT_EQ(ReadComputerName(), L"<absent>");
  EXPECT_FALSE(report.cloneRenamedSet);
  EXPECT_TRUE(MachineType::Instance()->IsClone());
  std::string status;
  ASSERT_TRUE(CustomizationState::Instance()->GetCustomizationState(&status));
  EXPECT_EQ(status, "error");
}

TEST_F(BootTimeAgentSimTest, InternalTemplateIsRenamedOnce) {
  auto hypervisor = Hypervisor();
  ASSERT_TRUE(hypervisor.SetVariable("it", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("hostName", "IT-TEMPLATE"));
  auto plan = FaultPlan::Load(Machine::Directory());
  plan["BootTimeAgentFails"] = "1";
  FaultPlan::Save(Machine::Directory(), plan);
  auto report = Reboot();
  EXPECT_EQ(report.role, "it");
  EXPECT_FALSE(report.templateRenamedSet);
  EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::TemplateRenamed));

  plan.erase("BootTimeAgentFails");
  FaultPlan::Save(Machine::Directory(), plan);
  report = Reboot();
  EXPECT_TRUE(report.templateRenamedSet);
  EXPECT_EQ(ReadComputerName(), L"IT-TEMPLATE");
  EXPECT_TRUE(MachineType::Instance()->IsIT());
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::TemplateRenamed));
  EXPECT_EQ(Variable("it.CustomizationState"), "<absent>");

  // Prepared for forking, still the template; renamed already.
  ASSERT_TRUE(hypervisor.SetVariable("ngaFork", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("hostName", "OTHER"));
  report = Reboot();
  EXPECT_EQ(report.role, "");
  EXPECT_EQ(ReadComputerName(), L"IT-TEMPLATE");
  EXPECT_TRUE(MachineType::Instance()->IsIT());
}

TEST_F(BootTimeAgentSimTest, LeavesOtherRolesAndTheGoldenImageAlone) {
  auto hypervisor = Hypervisor();
  ASSERT_TRUE(hypervisor.SetVariable("ngaFork", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("replica", "1"));
  auto report = Reboot();
  EXPECT_TRUE(report.ran);
  EXPECT_EQ(report.role, "");
  EXPECT_TRUE(MachineType::Instance()->IsReplica());

  ASSERT_TRUE(hypervisor.SetVariable("forked", "1"));
  ASSERT_EQ(Registry::Instance()->SetValue(L"GoldenImage", 1u, regtype::kSetup), 0);
  ASSERT_EQ(CustomizationPersistentInfo::Instance()->FlushKeys(), 0);
  Registry::Instance()->FlushKey(regtype::kSetup);
  report = Reboot();
  EXPECT_EQ(report.role, "");
  EXPECT_EQ(Variable("clone.CustomizationState"), "<absent>");
  EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::VmForked));
}

// The session manager runs the boot-time agent only when BootExecute names it, in any spelling of case.
TEST_F(BootTimeAgentSimTest, RunsOnlyWhenTheSessionManagerListsIt) {
  auto hypervisor = Hypervisor();
  ASSERT_TRUE(hypervisor.SetVariable("ngaFork", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("forked", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("hostName", "DESKTOP-031"));
  for (const auto& entries : {std::vector<std::wstring>{L"autocheck autochk *"}, std::vector<std::wstring>{},
                              std::vector<std::wstring>{L"autocheck autochk *", L"System32\\talvora-qx-nga.exe.old"}}) {
    ASSERT_TRUE(test::WriteBootExecute(entries));
    auto report = Reboot();
    EXPECT_FALSE(report.ran);
    EXPECT_EQ(Variable("clone.CustomizationState"), "<absent>");
    EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::VmForked));
    EXPECT_EQ(ReadComputerName(), L"<absent>");
  }
  ASSERT_TRUE(test::WriteBootExecute({L"autocheck autochk *", L"system32\\TALVORA-QX-NGA.EXE"}));
  auto report = Reboot();
  EXPECT_TRUE(report.ran);
  EXPECT_EQ(report.status, "running");
  EXPECT_EQ(ReadComputerName(), L"DESKTOP-031");
}

// Without a name it can give, the stand-in renames nothing and reports the failure: the clone's status
// is an error, the template gets no TemplateRenamed (so the service fails it with code 32).
TEST_F(BootTimeAgentSimTest, NoValidHostNameIsAFailureNotARename) {
  auto hypervisor = Hypervisor();
  ASSERT_TRUE(hypervisor.SetVariable("ngaFork", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("forked", "1"));
  auto report = Reboot();  // no hostName at all
  EXPECT_EQ(report.status, "error");
  EXPECT_EQ(report.renamedTo, "");
  EXPECT_EQ(Variable("clone.CustomizationState"), "error");
  EXPECT_EQ(ReadComputerName(), L"<absent>");
  EXPECT_FALSE(report.cloneRenamedSet);

  ASSERT_TRUE(hypervisor.SetVariable("ngaFork", ""));
  ASSERT_TRUE(hypervisor.SetVariable("forked", ""));
  ASSERT_TRUE(hypervisor.SetVariable("it", "1"));
  for (const char* bad : {"", "BAD NAME", "NAME-THAT-IS-TOO-LONG", "12345", "-LEADING", "semi;colon"}) {
    ASSERT_TRUE(hypervisor.SetVariable("hostName", bad));
    report = Reboot();
    EXPECT_EQ(report.role, "it") << bad;
    EXPECT_FALSE(report.templateRenamedSet) << bad;
    EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::TemplateRenamed)) << bad;
    EXPECT_EQ(ReadComputerName(), L"<absent>") << bad;
  }
  for (const char* good : {"IT-01", "a", "ABCDEFGHIJKLMNO"})
    EXPECT_TRUE(platform::sim::IsValidComputerName(good)) << good;
}

}  // namespace
}  // namespace tamber::core::util
