// The service shell in-process: the stop-wait decision, controls that come before the service object,
// the netlogon watch switch and the version line. Whole boots are in the simulated-guest tier.
#include <gtest/gtest.h>

#include <string>

#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/System.h"
#include "platform/Module.h"
#include "platform/ServiceHost.h"
#include "platform/Sync.h"
#include "service/ServiceModule.h"
#include "service/TamberGaService.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using core::util::CustomizationPersistentInfo;
using core::util::MachineType;
using core::util::Persisted;
using core::util::Registry;
using service::CServiceModule;
using service::CTamberGaService;
using test::LogCapture;
namespace machine = core::util::machine;
namespace regtype = core::util::regtype;

constexpr uint32_t kDelay = 300000;

class ServiceShellTest : public test::GuestTest {
 protected:
  void SetGa(const wchar_t* name, uint32_t value) {
    ASSERT_EQ(Registry::Instance()->SetValue(name, value, regtype::kGa), 0);
  }
};

TEST_F(ServiceShellTest, StopWaitFollowsRoleScriptDisksAndDomainJoinFlag) {
  CTamberGaService service;
  auto* role = MachineType::Instance();
  role->SetMachineType(machine::kMaster);
  SetGa(L"PersistentDisksReady", 1);  // ignored off a clone
  EXPECT_EQ(service.ChooseStopWait(kDelay), kDelay);
  role->SetMachineType(machine::kReplica);
  EXPECT_EQ(service.ChooseStopWait(kDelay), kDelay);

  role->SetMachineType(machine::kClone);
  EXPECT_EQ(service.ChooseStopWait(kDelay), platform::kInfinite);  // disks ready
  SetGa(L"PersistentDisksReady", 0);
  EXPECT_EQ(service.ChooseStopWait(kDelay), kDelay);
  SetGa(L"PreShutdownScriptConfigured", 1);
  EXPECT_EQ(service.ChooseStopWait(kDelay), kDelay);  // configured but not secured
  SetGa(L"PreShutdownScriptSecured", 1);
  EXPECT_EQ(service.ChooseStopWait(kDelay), platform::kInfinite);
}

TEST_F(ServiceShellTest, CloneWithSysprepDomainJoinWaitsUntilStoppedWithoutDisks) {
  // Guestinfo in its registry-equivalent form, which both tiers have: the golden image's.
  ASSERT_EQ(Registry::Instance()->SetValue(L"GoldenImage", 1u, regtype::kSetup), 0);
  core::util::GuestInfo guestInfo;
  ASSERT_TRUE(guestInfo.SetValue(core::util::kAgentCustomizationFlagsVariable, "2048"));
  core::util::CustomizationFlags::Instance()->GetCustomizationFlagsValue();
  CTamberGaService service;
  MachineType::Instance()->SetMachineType(machine::kClone);
  EXPECT_EQ(service.ChooseStopWait(kDelay), platform::kInfinite);
}

TEST_F(ServiceShellTest, NotifyDisabledOnACloneStartsNoWatcher) {
  LogCapture log;
  CTamberGaService service;
  MachineType::Instance()->SetMachineType(machine::kMaster);
  EXPECT_EQ(service.StartServiceNotify(), 0);
  EXPECT_FALSE(log.Contains(LogLevel::Debug, L"MachineType Is Clone"));

  MachineType::Instance()->SetMachineType(machine::kClone);
  SetGa(L"ServiceNotifyEnabled", 0);
  EXPECT_EQ(service.StartServiceNotify(), 0);
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"CTamberGaService::StartServiceNotify(): Service Notification Disabled"));
  EXPECT_FALSE(log.Contains(LogLevel::Debug, L"Started Service Notify (netlogon)"));
}

TEST_F(ServiceShellTest, VersionLineNeedsTheImagePathAndNeverOverrunsThePathBuffer) {
  LogCapture log;
  CTamberGaService service;
  EXPECT_LT(service.LogTOLMAgentVersion(), 0);
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"CTamberGaService::LogTOLMAgentVersion(): GetValue Failed: 0x80070002"));

  // A path far beyond MAX_PATH is cut, not copied past the buffer; the file is then not found.
  std::wstring longPath = L"\"C:\\" + std::wstring(600, L'a') + L"\\tlv-velocyn-ga.exe\"";
  ASSERT_EQ(Registry::Instance()->SetValue(L"ImagePath", longPath, regtype::kService), 0);
  EXPECT_LT(service.LogTOLMAgentVersion(), 0);
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"CTamberGaService::LogTOLMAgentVersion(): GetFileVersionInfoSize Failed"));
}

TEST_F(ServiceShellTest, StopBeforeTheServiceObjectSetsOnlyTheShutdownEvent) {
  auto& module = CServiceModule::Instance();
  module.Init(platform::GetExecutableModule());
  module.ResetForTest();
  core::util::System::Instance()->Init();
  LogCapture log;
  EXPECT_EQ(module.HandlerEx(platform::kServiceControlStop, 0, nullptr, nullptr), 0u);
  EXPECT_TRUE(core::util::System::Instance()->IsShutdownEventSet());
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"service received stop request"));
  EXPECT_EQ(module.CurrentState(), platform::kServiceStopPending);
  // Pause, continue and interrogate change nothing; an unknown control is only logged.
  for (uint32_t control : {platform::kServiceControlPause, platform::kServiceControlContinue,
                           platform::kServiceControlInterrogate, 200u}) {
    EXPECT_EQ(module.HandlerEx(control, 0, nullptr, nullptr), 0u);
  }
  EXPECT_EQ(module.CurrentState(), platform::kServiceStopPending);
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"CServiceModule::HandlerEx(): Bad service request"));
  module.ResetForTest();
}

// A stop that reaches the shutdown event before it exists is kept: the event is made already set, so
// every later wait of the boot sees the stop.
TEST_F(ServiceShellTest, StopBeforeTheShutdownEventExistsIsNotLost) {
  auto& module = CServiceModule::Instance();
  module.Init(platform::GetExecutableModule());
  module.ResetForTest();
  auto* system = core::util::System::Instance();
  ASSERT_EQ(system->GetShutdownEvent(), nullptr);
  EXPECT_EQ(module.HandlerEx(platform::kServiceControlStop, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(system->Init(), 0);
  EXPECT_TRUE(system->IsShutdownEventSet());
  module.ResetForTest();
}

TEST_F(ServiceShellTest, NamesComeFromTheStringResources) {
  auto& module = CServiceModule::Instance();
  module.Init(platform::GetExecutableModule());
  // The test program carries the agent's string table in the simulated build only; under Wine the
  // test executable has none, and the names stay empty rather than garbage.
  std::wstring name = module.ServiceName();
  EXPECT_TRUE(name == L"tlv-velocyn-ga" || name.empty());
  if (!name.empty()) {
    EXPECT_EQ(std::wstring(module.DisplayName()), L"Talvora Quorvel Velocyn Agent");
  }
}

}  // namespace
}  // namespace tamber
