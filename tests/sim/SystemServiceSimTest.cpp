// System (shutdown event, reboot, shutdown, ControlSvc) and Service against the simulated guest's power
// controller and service control manager.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/service/Service.h"
#include "core/util/Registry.h"
#include "core/util/System.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Power.h"
#include "platform/Registry.h"
#include "platform/Services.h"
#include "platform/Sync.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPower.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using common::windows::service::OpenScmHandle;
using common::windows::service::Service;
using core::util::System;
using platform::sim::FaultPlan;
using platform::sim::Machine;
using platform::sim::Power;
using test::LogCapture;

constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int32_t kShutdownInProgress = static_cast<int32_t>(0x8007045Bu);
constexpr int32_t kTimeout = static_cast<int32_t>(0x800705B4u);
constexpr int32_t kRequestTimeout = static_cast<int32_t>(0x8007041Du);

class SystemSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    platform::sim::SetTimeScale(200);  // the agent's ten-second waits in 50 ms
  }
  void TearDown() override {
    platform::sim::SetTimeScale(1);
    test::GuestTest::TearDown();
  }

  uint32_t State(const std::wstring& name) {
    uint32_t state = 0;
    EXPECT_EQ(System::Instance()->ControlSvc(name, System::kControlQueryStatus, &state), 0);
    return state;
  }
};

TEST_F(SystemSimTest, ShutdownEventBeforeAndAfterInit) {
  LogCapture log;
  EXPECT_EQ(System::Instance()->GetShutdownEvent(), nullptr);
  EXPECT_EQ(System::Instance()->SetShutdownEvent(), kInvalidArg);
  EXPECT_FALSE(System::Instance()->IsShutdownEventSet());

  ASSERT_EQ(System::Instance()->Init(), 0);
  platform::Handle event = System::Instance()->GetShutdownEvent();
  ASSERT_NE(event, nullptr);
  ASSERT_EQ(System::Instance()->Init(), 0);
  EXPECT_EQ(System::Instance()->GetShutdownEvent(), event) << "a second Init makes no second event";
  EXPECT_TRUE(System::Instance()->IsShutdownEventSet()) << "the stop that came before Init was lost";

  EXPECT_EQ(System::Instance()->SetShutdownEvent(), 0);
  EXPECT_TRUE(System::Instance()->IsShutdownEventSet());
  EXPECT_EQ(platform::WaitForSingleObject(event, 0), platform::kWaitObject0) << "manual reset: stays set";
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Error, L"tamber::core::util::System::SetShutdownEvent(): Shutdown Event Was NULL"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, L"tamber::core::util::System::SetShutdownEvent(): Shutdown Event Set"), 1u);
}

TEST_F(SystemSimTest, RebootIsRecordedOnceAndASecondRequestIsRefused) {
  LogCapture log;
  uint64_t before = platform::GetTickCount64();
  EXPECT_EQ(System::Instance()->Reboot(0), 0);
  // Machine time runs 200 times faster than the host's here: the bound leaves a loaded or sanitized host
  // 150 ms, far short of any delay a reboot is asked to wait.
  EXPECT_LT(platform::GetTickCount64() - before, 30000u) << "delay 0 returns at once";
  auto requested = Power::Requested();
  ASSERT_TRUE(requested);
  EXPECT_EQ(requested->action, platform::sim::PowerAction::Reboot);
  EXPECT_EQ(requested->reason, 0x80020002u);
  EXPECT_TRUE(requested->forceAppsClosed);
  EXPECT_EQ(requested->timeoutSeconds, 0u);
  ASSERT_TRUE(Power::Pending(Machine::Directory())) << "recorded in the machine directory";

  EXPECT_EQ(System::Instance()->Reboot(0), kShutdownInProgress);
  EXPECT_EQ(System::Instance()->Shutdown(0), kShutdownInProgress);
  EXPECT_EQ(Power::Requested()->action, platform::sim::PowerAction::Reboot) << "the first request stands";
  // A machine going down starts no service.
  EXPECT_EQ(System::Instance()->ControlSvc(L"W32Time", System::kControlStart, nullptr, -1), kShutdownInProgress);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, L"tamber::core::util::System::Reboot(): Initiating a reboot."), 2u);
  EXPECT_EQ(
      log.Count(LogLevel::Warn, L"tamber::core::util::System::Reboot(): Shutdown Already In Progress: 0x8007045B"), 1u);
  EXPECT_EQ(
      log.Count(LogLevel::Warn, L"tamber::core::util::System::Shutdown(): Shutdown Already In Progress: 0x8007045B"),
      1u);
}

TEST_F(SystemSimTest, ShutdownWithDelaySleepsAndARefusalIsAnError) {
  LogCapture log;
  FaultPlan::Set("ShutdownRefused", "5");
  EXPECT_EQ(System::Instance()->Reboot(0), static_cast<int32_t>(0x80070005u));
  EXPECT_FALSE(Power::Requested());
  FaultPlan::Set("ShutdownRefused", std::nullopt);

  uint64_t before = platform::GetTickCount64();
  EXPECT_EQ(System::Instance()->Shutdown(5000), 0);
  EXPECT_GE(platform::GetTickCount64() - before, 5000u);
  EXPECT_EQ(Power::Requested()->action, platform::sim::PowerAction::Shutdown);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Error, L"tamber::core::util::System::Reboot(): Could not reboot the clone: 0x80070005"),
            1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, L"tamber::core::util::System::Sleep(): Sleeping for 5000ms"), 1u);
}

TEST_F(SystemSimTest, ShutdownNeedsTheShutdownPrivilege) {
  // Without adjusting the token first, as the agent always does, Windows refuses.
  EXPECT_FALSE(platform::InitiateSystemShutdownEx(nullptr, nullptr, 0, true, true, 0x80020002));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorPrivilegeNotHeld);
  EXPECT_EQ(System::Instance()->AdjustProcessPrivilegeForExecReboot(), 0);
  EXPECT_TRUE(platform::InitiateSystemShutdownEx(nullptr, nullptr, 0, true, false, 0x80020002));
}

// The requested reboot ends the boot cleanly: what the agent wrote before it, flushed or not, is there
// on the next boot, as Windows flushes the hives at shutdown. A power cut instead loses it.
TEST_F(SystemSimTest, RequestedRebootEndsTheBootAndTheNextBootSeesTheMarkers) {
  auto dir = Machine::Directory();
  auto* registry = core::util::Registry::Instance();
  ASSERT_EQ(registry->SetValue(L"CloneRebootMarker", 1u, core::util::regtype::kGa), 0);
  ASSERT_EQ(System::Instance()->Reboot(0), 0);
  auto request = Power::Requested();
  ASSERT_TRUE(request);
  ASSERT_EQ(request->action, platform::sim::PowerAction::Reboot);
  // This process is a test, not a boot: the boot is ours to end.
  core::util::ResetSingletonsForTest();
  Machine::Shutdown();
  ASSERT_TRUE(Power::Take(dir));
  EXPECT_FALSE(Power::Pending(dir));

  Machine::Boot(dir);
  EXPECT_FALSE(Power::Requested()) << "a new boot starts with no request";
  uint32_t zero = 0;
  uint32_t value = 0;
  ASSERT_EQ(core::util::Registry::Instance()->GetValue(L"CloneRebootMarker", &zero, &value, core::util::regtype::kGa),
            0);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(System::Instance()->Reboot(0), 0) << "the new boot may ask again";

  ASSERT_EQ(core::util::Registry::Instance()->SetValue(L"LostMarker", 1u, core::util::regtype::kGa), 0);
  core::util::ResetSingletonsForTest();
  Machine::PowerCut();
  Machine::Boot(dir);
  value = 0;
  core::util::Registry::Instance()->GetValue(L"LostMarker", &zero, &value, core::util::regtype::kGa);
  EXPECT_EQ(value, 0u) << "control: a power cut loses what was not durable";
}

// A process that is one boot of the machine (the agent under the simulator) is ended by the power
// controller after the grace, with the hives flushed as a shutdown flushes them.
TEST_F(SystemSimTest, AProcessThatIsOneBootEndsAfterTheGrace) {
  auto dir = Machine::Directory();
  core::util::ResetSingletonsForTest();
  Machine::Shutdown();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only the seam here: the parent's log writer thread did not come along.
    alarm(30);
    Machine::Boot(dir);
    platform::sim::SetTimeScale(200);
    Power::SetEndOfBoot(Power::EndOfBoot::StopProcess);
    platform::HKey key = nullptr;
    uint8_t one[4] = {1, 0, 0, 0};
    if (platform::RegCreateKeyEx(platform::HKeyLocalMachine(), L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga", 0,
                                 platform::kKeyAllAccess, &key, nullptr) != 0 ||
        platform::RegSetValueEx(key, L"ChildMarker", platform::kRegDword, one, 4) != 0) {
      _exit(10);
    }
    platform::Handle token = nullptr;
    platform::Luid luid;
    if (!platform::OpenProcessToken(platform::kTokenAdjustPrivileges | platform::kTokenQuery, &token) ||
        !platform::LookupPrivilegeValue(nullptr, L"SeShutdownPrivilege", &luid) ||
        !platform::AdjustTokenPrivilege(token, luid, platform::kSePrivilegeEnabled) ||
        !platform::InitiateSystemShutdownEx(nullptr, nullptr, 0, true, true, 0x80020002)) {
      _exit(11);
    }
    for (;;) platform::Sleep(1000);  // what the agent does next is cut short after the grace
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto request = Power::Take(dir);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->action, platform::sim::PowerAction::Reboot);
  Machine::Boot(dir);
  uint32_t zero = 0;
  uint32_t value = 0;
  ASSERT_EQ(core::util::Registry::Instance()->GetValue(L"ChildMarker", &zero, &value, core::util::regtype::kGa), 0);
  EXPECT_EQ(value, 1u) << "the end of that boot flushed the hives";
}

TEST_F(SystemSimTest, ControlSvcFlags) {
  LogCapture log;
  EXPECT_EQ(System::Instance()->ControlSvc(L"Dhcp", 3), 0);
  uint32_t state = 0;
  EXPECT_EQ(System::Instance()->ControlSvc(L"Dhcp", System::kControlQueryStatus, &state), 0);
  EXPECT_EQ(state, platform::kServiceRunning) << "automatic services run from boot";
  EXPECT_EQ(System::Instance()->ControlSvc(L"w32time", System::kControlQueryStatus, &state), 0);
  EXPECT_EQ(state, platform::kServiceStopped);
  uint32_t disabled = platform::kServiceDisabled;
  EXPECT_EQ(System::Instance()->ControlSvc(L"Dhcp", System::kControlSetStartType, &disabled), 0);
  EXPECT_EQ(System::Instance()->ControlSvc(L"NoSuchService", System::kControlStop, nullptr, -1),
            static_cast<int32_t>(0x80070006u));
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): Unkwnown Control Flag: 0x3"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): Dhcp Is Running"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): w32time Is Not Running"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug,
                      L"tamber::core::util::System::ControlSvc(): Set Start Type: Service: Dhcp, Start Type: 4"),
            1u);
  EXPECT_EQ(
      log.Count(LogLevel::Error, L"OpenServiceHandle(): Unable to open handle to NoSuchService service: 0x80070424"),
      1u);
}

TEST_F(SystemSimTest, StartEnablesADisabledServiceAndLeavesARunningOneAlone) {
  LogCapture log;
  OpenScmHandle scm;
  ASSERT_TRUE(scm.IsOpen());
  auto time = scm.GetService(L"W32Time");
  ASSERT_TRUE(time->IsOpen());
  ASSERT_EQ(time->SetStartType(platform::kServiceDisabled), 0);
  EXPECT_EQ(time->Start(), 0);
  uint32_t startType = 0;
  ASSERT_EQ(time->GetStartType(&startType), 0);
  EXPECT_EQ(startType, platform::kServiceAutoStart);
  EXPECT_EQ(State(L"W32Time"), platform::kServiceRunning);

  ASSERT_EQ(time->SetStartType(platform::kServiceDemandStart), 0);
  EXPECT_EQ(time->Start(), 0);
  ASSERT_EQ(time->GetStartType(&startType), 0);
  EXPECT_EQ(startType, platform::kServiceDemandStart) << "a running service keeps its start type";
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, L"tamber::common::windows::service::Service::Start(): Enabled W32Time Service"),
            1u);
  EXPECT_EQ(
      log.Count(LogLevel::Debug, L"tamber::common::windows::service::Service::Start(): W32Time Service Is Running"),
      1u);
  EXPECT_EQ(log.Count(LogLevel::Debug,
                      L"tamber::common::windows::service::Service::Start(): W32Time Service Already Running"),
            1u);
}

TEST_F(SystemSimTest, RetriedStart) {
  LogCapture log;
  OpenScmHandle scm;
  auto time = scm.GetService(L"W32Time");
  FaultPlan::Set("ServiceStartFails.w32time", "5");
  // -1: one attempt, and no sleep at all.
  uint64_t before = platform::GetTickCount64();
  EXPECT_EQ(time->Start(-1, 0), kRequestTimeout);
  EXPECT_LT(platform::GetTickCount64() - before, 5000u) << "no ten-second retry delay";

  // The settings: three attempts ten seconds apart; two more failures, then it starts.
  FaultPlan::Set("ServiceStartFails.w32time", "2");
  before = platform::GetTickCount64();
  EXPECT_EQ(time->Start(), 0);
  EXPECT_GE(platform::GetTickCount64() - before, 20000u);
  EXPECT_EQ(State(L"W32Time"), platform::kServiceRunning);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, L"Service::Start(): Failed Starting W32Time Service In "), 3u);
  EXPECT_EQ(log.Count(LogLevel::Debug, L"ms, Attempt: 1, Error: 0x8007041D"), 2u);
  EXPECT_EQ(log.Count(LogLevel::Debug, L"Service::Start(): Started W32Time Service In "), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, L"ms, Attempt: 3"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug,
                      L"tamber::common::windows::service::Service::GetServiceParameters(): Retry Delay: 0ms"),
            1u);
  EXPECT_EQ(
      log.Count(LogLevel::Debug, L"tamber::common::windows::service::Service::GetServiceParameters(): Max Retries: 1"),
      1u);
  EXPECT_EQ(log.Count(LogLevel::Debug,
                      L"tamber::common::windows::service::Service::GetServiceParameters(): Retry Delay: 10000ms"),
            1u);
}

TEST_F(SystemSimTest, StopStopsRunningDependentsFirst) {
  LogCapture log;
  ASSERT_EQ(System::Instance()->ControlSvc(L"netlogon", System::kControlStart), 0);
  ASSERT_EQ(State(L"Netlogon"), platform::kServiceRunning);
  // Windows refuses to stop a service whose dependents run.
  OpenScmHandle scm;
  auto workstation = scm.GetService(L"LanmanWorkstation");
  platform::ServiceStatus status;
  auto raw = common::windows::service::OpenServiceHandle(scm.Handle(), L"LanmanWorkstation");
  EXPECT_FALSE(platform::ControlService(raw.get(), platform::kServiceControlStop, &status));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorDependentServicesRunning);
  EXPECT_EQ(workstation->Stop(), 0);
  EXPECT_EQ(State(L"LanmanWorkstation"), platform::kServiceStopped);
  EXPECT_EQ(State(L"Netlogon"), platform::kServiceStopped);
  EXPECT_EQ(State(L"LanmanServer"), platform::kServiceRunning);
  EXPECT_EQ(workstation->Stop(), 0);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, L"Service::Stop(): Stopped LanmanWorkstation Service In "), 2u);
  EXPECT_EQ(log.Count(LogLevel::Debug,
                      L"tamber::common::windows::service::Service::Stop(): LanmanWorkstation Service Already Stopped"),
            1u);

  // Restart brings the service back (its dependencies it needs are running).
  EXPECT_EQ(System::Instance()->ControlSvc(L"Netlogon", System::kControlRestart), 0);
  EXPECT_EQ(State(L"Netlogon"), platform::kServiceRunning);
  EXPECT_EQ(State(L"LanmanWorkstation"), platform::kServiceRunning) << "a start starts what it depends on";
}

TEST_F(SystemSimTest, StopThatStaysPendingTimesOutAfterSixtySeconds) {
  // Machine time bounds below: at a smaller scale a host delay under load moves them less.
  platform::sim::SetTimeScale(50);
  LogCapture log;
  ASSERT_EQ(System::Instance()->ControlSvc(L"W32Time", System::kControlStart), 0);
  FaultPlan::Set("ServiceStopHangs.W32Time", "1");
  uint64_t before = platform::GetTickCount64();
  EXPECT_EQ(System::Instance()->ControlSvc(L"W32Time", System::kControlStop, nullptr, -1), kTimeout);
  uint64_t elapsed = platform::GetTickCount64() - before;
  EXPECT_GE(elapsed, 60000u);
  EXPECT_LT(elapsed, 70000u);
  EXPECT_EQ(State(L"W32Time"), platform::kServiceStopPending);
  // The restart gives up at the stop.
  EXPECT_EQ(System::Instance()->ControlSvc(L"W32Time", System::kControlRestart, nullptr, -1), kTimeout);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug,
                      L"tamber::core::util::System::ControlSvc(): Failed Stopping W32Time, Error: 0x800705B4"),
            1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, L"Service::Restart(): Failed Stopping W32Time Service: 0x800705B4"), 1u);
}

// Netlogon stops by itself four times with the watch armed: the first three stops are each followed by
// a restart after ServiceNotifyStartDelay, the fourth only logged.
TEST_F(SystemSimTest, WatchRestartsAStoppedServiceUpToTheLimit) {
  // Stops 20 s apart and a restart delay between them: at a smaller scale a host delay under load cannot
  // move one past the next.
  platform::sim::SetTimeScale(50);
  LogCapture log;
  ASSERT_EQ(System::Instance()->ControlSvc(L"Netlogon", System::kControlStart), 0);
  uint64_t now = platform::GetTickCount64();
  std::string times;
  for (int i = 1; i <= 4; ++i) times += (times.empty() ? "" : ",") + std::to_string(now + 5000 + (i - 1) * 20000);
  FaultPlan::Set("ServiceStopsAt.Netlogon", times);

  OpenScmHandle scm;
  auto netlogon = scm.GetService(L"netlogon");
  EXPECT_EQ(netlogon->StopServiceNotify(), 0) << "no watch yet";
  ASSERT_EQ(netlogon->StartServiceNotify(), 0);
  ASSERT_EQ(netlogon->SetMonitorFlags(Service::kRestartOnStop), 0);
  // Past the fourth stop and the delay a fifth restart would take.
  platform::Sleep(static_cast<uint32_t>(now + 5000 + 3 * 20000 + 15000 - platform::GetTickCount64()));
  EXPECT_EQ(netlogon->RestartCount(), 3u);
  EXPECT_EQ(State(L"Netlogon"), platform::kServiceStopped);
  EXPECT_EQ(netlogon->StopServiceNotify(), 0);
  EXPECT_FALSE(netlogon->IsNotifyStarted());
  framework::log::FlushLog();
  const std::wstring prefix = L"tamber::common::windows::service::Service::ServiceNotifyQueueWorker(): ";
  EXPECT_EQ(log.Count(LogLevel::Info, prefix + L"Service Stopped (netlogon)"), 4u);
  EXPECT_EQ(log.Count(LogLevel::Info, prefix + L"Restarting netlogon: Restart Count: "), 3u);
  EXPECT_EQ(log.Count(LogLevel::Info, prefix + L"Restarting netlogon: Restart Count: 2"), 1u);
  // Changes that come faster than the watch re-arms reach it as the latest state only, as on Windows.
  EXPECT_GE(log.Count(LogLevel::Info, prefix + L"Service Running (netlogon)"), 3u);
  EXPECT_GE(log.Count(LogLevel::Info, prefix + L"Service Start Pending (netlogon)"), 3u);
  EXPECT_EQ(
      log.Count(LogLevel::Debug,
                L"tamber::common::windows::service::Service::StartServiceNotify(): Service Notify Max Restarts: 3"),
      1u);
  EXPECT_EQ(
      log.Count(
          LogLevel::Debug,
          L"tamber::common::windows::service::Service::StartServiceNotify(): Service Notify Start Delay: 10000ms"),
      1u);
  EXPECT_EQ(
      log.Count(LogLevel::Info,
                L"tamber::common::windows::service::Service::StopServiceNotify(): Service Notify Terminated: netlogon"),
      1u);
  EXPECT_EQ(log.Count(LogLevel::Error, L"Service::"), 0u);
}

TEST_F(SystemSimTest, WatchWithoutRestartsOnlyLogsAndEndsPromptly) {
  LogCapture log;
  ASSERT_EQ(System::Instance()->ControlSvc(L"W32Time", System::kControlStart), 0);
  OpenScmHandle scm;
  {
    auto time = scm.GetService(L"W32Time");
    ASSERT_EQ(time->StartServiceNotify(), 0);
    for (int i = 0; i < 100 && log.Count(LogLevel::Info, L"Service Running (W32Time)") == 0; ++i) {
      platform::Sleep(1000);
    }
    ASSERT_EQ(System::Instance()->ControlSvc(L"W32Time", System::kControlStop), 0);
    platform::Sleep(15000);
    EXPECT_EQ(time->RestartCount(), 0u);
    EXPECT_EQ(State(L"W32Time"), platform::kServiceStopped);
  }  // the object ends its own watch
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Info, L"ServiceNotifyQueueWorker(): Service Running (W32Time)"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Info, L"ServiceNotifyQueueWorker(): Service Stopped (W32Time)"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Info, L"StopServiceNotify(): Service Notify Terminated: W32Time"), 1u);
}

}  // namespace
}  // namespace tamber
