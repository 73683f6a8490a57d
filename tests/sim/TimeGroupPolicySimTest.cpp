// Time synchronisation and the group policy refresh against the simulated guest: the time service and its
// faults, the simulated w32tm and gpupdate, and the pauses between attempts measured in machine time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Support.h"
#include "core/util/System.h"
#include "core/windows/Customization.h"
#include "core/windows/GroupPolicy.h"
#include "core/windows/Time.h"
#include "framework/log/Log.h"
#include "framework/log/LogWriter.h"
#include "platform/Clock.h"
#include "platform/Services.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/tools/SimTools.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using core::util::MachineType;
using core::util::Registry;
using core::util::Support;
using core::util::System;
using core::windows::GroupPolicy;
using core::windows::Time;
using platform::sim::FaultPlan;
using test::LogCapture;
namespace machine = core::util::machine;
namespace regtype = core::util::regtype;

const std::wstring kTime = L"tamber::core::windows::Time::";
const std::wstring kPolicy = L"tamber::core::windows::GroupPolicy::UpdateGroupPolicy(): ";
const std::wstring kGpupdateFailed = kPolicy + L"Failed to execute gpupdate command: gpupdate /target:Computer /force";

class TimeGroupPolicySimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    platform::sim::RegisterBuiltinTools();
    platform::sim::SetTimeScale(1000);  // 7.5 minutes of pauses in less than half a second
    // The support timings carry the role's name.
    Support::Instance()->SetRolePrefixSource([] { return MachineType::Instance()->GetMachineTypeTextW(); });
  }
  void TearDown() override {
    platform::sim::SetTimeScale(1);
    test::GuestTest::TearDown();
  }
  static size_t Count(const LogCapture& log, const std::wstring& fragment) {
    framework::log::FlushLog();
    size_t count = 0;
    for (const auto& entry : log.Entries()) {
      if (entry.text.find(fragment) != std::wstring::npos) ++count;
    }
    return count;
  }
  static uint32_t W32TimeState() {
    uint32_t state = 0;
    System::Instance()->ControlSvc(L"W32Time", System::kControlQueryStatus, &state);
    return state;
  }
  static void SetTunable(const wchar_t* name, uint32_t value) {
    ASSERT_EQ(Registry::Instance()->SetValue(name, value, regtype::kService), 0);
  }
};

// ---- Time ----------------------------------------------------------------------------------------

TEST_F(TimeGroupPolicySimTest, NoRetriesStillRestartsAndQueriesTheService) {
  SetTunable(L"SyncTimeRetries", 0);
  ASSERT_EQ(W32TimeState(), platform::kServiceStopped);
  LogCapture log;
  Time::Instance()->SyncTime();
  EXPECT_EQ(W32TimeState(), platform::kServiceRunning) << "restarted";
  EXPECT_EQ(Count(log, L"tamber::core::util::System::ControlSvc(): Queried Service Status For Service: w32time"), 1u);
  EXPECT_EQ(Count(log, kTime + L"SyncTimeW32Tm()"), 0u) << "no resynchronisation";
  EXPECT_EQ(Count(log, kTime + L"SyncTime(): w32time service not running"), 0u);
}

TEST_F(TimeGroupPolicySimTest, ATimeServiceThatWillNotStartSkipsTheSync) {
  FaultPlan::Set("ServiceStartFails.w32time", "100");
  SetTunable(L"SyncTimeRetries", 3);
  LogCapture log;
  Time::Instance()->SyncTime();
  EXPECT_EQ(Count(log, kTime + L"SyncTime(): Failed Restarting w32time: 0x8007041D"), 1u);
  EXPECT_EQ(Count(log, kTime + L"SyncTime(): w32time service not running.  Skipping Time Sync: Status: 0x1, HR: 0x0"),
            1u);
  EXPECT_EQ(Count(log, kTime + L"SyncTimeW32Tm()"), 0u);
}

TEST_F(TimeGroupPolicySimTest, ResyncIsJudgedByTheToolsText) {
  SetTunable(L"SyncTimeRetries", 3);
  SetTunable(L"SyncTimeDelay", 2000);
  FaultPlan::Set("w32tmNoTimeData", "100");  // exit code 0, another text
  LogCapture log;
  uint64_t start = platform::GetTickCount64();
  Time::Instance()->SyncTime();
  uint64_t elapsed = platform::GetTickCount64() - start;
  EXPECT_EQ(Count(log, kTime + L"SyncTimeW32Tm(): Time Sync Failed"), 3u);
  EXPECT_EQ(Count(log, kTime + L"SyncTimeW32Tm(): Script Output: Sending resync command to local computer"), 3u);
  EXPECT_EQ(Count(log, kTime + L"SyncTime(): Time Sync With w32tm Failed"), 3u);
  EXPECT_EQ(Count(log, L"Time Sync Succeeded"), 0u);
  EXPECT_EQ(Count(log, L"Failed To Run Time Sync Command"), 0u) << "the tool ran and ended with 0";
  EXPECT_GE(elapsed, 6000u) << "a delay before each attempt";
}

TEST_F(TimeGroupPolicySimTest, ResyncSucceedsOnTheAttemptAfterAFailure) {
  FaultPlan::Set("w32tmFails", "1");
  LogCapture log;
  Time::Instance()->SyncTime();
  EXPECT_EQ(Count(log, kTime + L"SyncTimeW32Tm(): Failed To Run Time Sync Command"), 1u) << "exit code 0x800706BA";
  EXPECT_EQ(Count(log, kTime + L"SyncTime(): Time Sync With w32tm Failed"), 1u);
  EXPECT_EQ(Count(log, kTime + L"SyncTimeW32Tm(): Time Sync Succeeded"), 1u);
  EXPECT_EQ(Count(log, kTime + L"SyncTime(): Time Sync With w32tm Succeeded"), 1u);
  EXPECT_EQ(Count(log, kTime + L"SyncTimeW32Tm(): About to Sync Time With w32tm"), 2u) << "and no third attempt";
}

// ---- GroupPolicy ---------------------------------------------------------------------------------

TEST_F(TimeGroupPolicySimTest, CloneWhoseGpupdateAlwaysFailsPausesThreeTimes) {
  platform::sim::SetTimeScale(200);  // the pauses in about two seconds, with room for a slow host
  MachineType::Instance()->SetMachineType(machine::kClone);
  SetTunable(L"SyncTimeRetries", 0);  // the pauses alone in the machine time below
  FaultPlan::Set("gpupdateFails", "100");
  LogCapture log;
  uint64_t start = platform::GetTickCount64();
  EXPECT_FALSE(GroupPolicy().UpdateGroupPolicy());
  uint64_t elapsed = platform::GetTickCount64() - start;
  EXPECT_EQ(Count(log, kGpupdateFailed), 4u);
  EXPECT_EQ(FaultPlan::Get("gpupdateFails"), "96") << "four runs of the tool";
  EXPECT_EQ(Count(log, L"tamber::core::util::System::Sleep(): Sleeping for 30000ms"), 1u);
  EXPECT_EQ(Count(log, L"tamber::core::util::System::Sleep(): Sleeping for 120000ms"), 1u);
  EXPECT_EQ(Count(log, L"tamber::core::util::System::Sleep(): Sleeping for 300000ms"), 1u);
  EXPECT_EQ(Count(log, L"Sleeping for"), 3u) << "no pause after the last attempt";
  // 7.5 minutes of pauses, plus the w32time restart (some seconds) and four quick runs; the margin is for
  // a loaded host, on which a millisecond late is a second of machine time.
  EXPECT_GE(elapsed, 450000u);
  EXPECT_LT(elapsed, 550000u);
  uint32_t stored = 0;
  EXPECT_EQ(Support::Instance()->GetValue(L"GPUpdateTime", &stored), 0);
  EXPECT_GE(stored, 450000u);
  EXPECT_LE(stored, elapsed);
  EXPECT_EQ(Count(log, kPolicy + L"GPUpdate Total Time: " + std::to_wstring(stored) + L"ms"), 1u);
}

TEST_F(TimeGroupPolicySimTest, InternalTemplatePausesOnceBetweenItsTwoRuns) {
  platform::sim::SetTimeScale(200);
  MachineType::Instance()->SetMachineType(machine::kInternalTemplate);
  SetTunable(L"SyncTimeRetries", 0);
  FaultPlan::Set("gpupdateFails", "100");
  LogCapture log;
  uint64_t start = platform::GetTickCount64();
  EXPECT_FALSE(GroupPolicy().UpdateGroupPolicy());
  uint64_t elapsed = platform::GetTickCount64() - start;
  EXPECT_EQ(Count(log, kGpupdateFailed), 2u);
  EXPECT_EQ(Count(log, L"Sleeping for 30000ms"), 1u);
  EXPECT_EQ(Count(log, L"Sleeping for 120000ms"), 0u) << "no pause after the last attempt";
  EXPECT_GE(elapsed, 30000u);
  EXPECT_LT(elapsed, 100000u) << "not the 120 s pause as well";
  uint32_t stored = 0;
  EXPECT_EQ(Support::Instance()->GetValue(L"GPUpdateTime", &stored), 0);
  EXPECT_GE(stored, 30000u);
}

TEST_F(TimeGroupPolicySimTest, CloneSyncsTimeThenRefreshesAfterOneFailure) {
  MachineType::Instance()->SetMachineType(machine::kClone);
  FaultPlan::Set("gpupdateFails", "1");
  LogCapture log;
  EXPECT_TRUE(GroupPolicy().UpdateGroupPolicy());
  EXPECT_EQ(Count(log, kTime + L"SyncTime(): Time Sync With w32tm Succeeded"), 1u) << "the clock first";
  EXPECT_EQ(Count(log, kGpupdateFailed), 1u);
  EXPECT_EQ(Count(log, kPolicy + L"Succeeded executing gpupdate command."), 1u);
  EXPECT_EQ(Count(log, L"Sleeping for 30000ms"), 1u);
  framework::log::FlushLog();
  size_t sync = SIZE_MAX;
  size_t gpupdate = SIZE_MAX;
  auto entries = log.Entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (sync == SIZE_MAX && entries[i].text.find(L"Time Sync With w32tm Succeeded") != std::wstring::npos) sync = i;
    if (gpupdate == SIZE_MAX && entries[i].text.find(L"gpupdate command") != std::wstring::npos) gpupdate = i;
  }
  EXPECT_LT(sync, gpupdate);
}

TEST_F(TimeGroupPolicySimTest, ReplicaAndParentNeverTouchTimeOrPolicy) {
  FaultPlan::Set("gpupdateFails", "100");
  for (auto role : {machine::kReplica, machine::kParent}) {
    MachineType::Instance()->SetMachineType(role);
    LogCapture log;
    EXPECT_TRUE(GroupPolicy().UpdateGroupPolicy());
    EXPECT_EQ(Count(log, kPolicy + L"GPUpdate Skipped"), 1u);
  }
  EXPECT_EQ(W32TimeState(), platform::kServiceStopped) << "w32time was never restarted";
  EXPECT_EQ(FaultPlan::Get("gpupdateFails"), "100") << "gpupdate never ran";
}

// The service waits for the completion worker before it stops: a stop ends the pauses.
TEST_F(TimeGroupPolicySimTest, AStoppingAgentEndsThePausesEarly) {
  MachineType::Instance()->SetMachineType(machine::kClone);
  SetTunable(L"SyncTimeRetries", 0);
  FaultPlan::Set("gpupdateFails", "100");
  ASSERT_EQ(System::Instance()->Init(), 0);
  platform::sim::SetTimeScale(100);  // the stop comes well within the first 30 s pause
  LogCapture log;
  bool result = true;
  uint64_t start = platform::GetTickCount64();
  std::thread worker([&] { result = GroupPolicy().UpdateGroupPolicy(); });
  for (int i = 0; i < 5000 && Count(log, kPolicy + L"Waiting 30000ms Before Next Attempt") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(System::Instance()->SetShutdownEvent(), 0);
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_LT(platform::GetTickCount64() - start, 30000u);
  EXPECT_EQ(Count(log, kGpupdateFailed), 1u);
  EXPECT_EQ(Count(log, kPolicy + L"Agent Is Stopping, No Further gpupdate Attempts"), 1u);
  EXPECT_EQ(Count(log, kPolicy + L"GPUpdate Total Time: "), 1u);
}

TEST_F(TimeGroupPolicySimTest, ADomainMemberWithoutAControllerGetsNoTimeAndNoPolicy) {
  auto domainDir = platform::sim::Machine::Directory() / "domain";
  ASSERT_EQ(platform::sim::SimDomain::Create(domainDir, "corp.example", {"Site-A"}, {{"dc1.corp.example", "Site-A"}}),
            "");
  ASSERT_EQ(platform::sim::AttachToDomain(platform::sim::Machine::Directory(), domainDir), "");
  FaultPlan::Set("DsGetDcNameFails", "1000");
  MachineType::Instance()->SetMachineType(machine::kInternalTemplate);
  SetTunable(L"SyncTimeRetries", 2);
  LogCapture log;
  EXPECT_FALSE(GroupPolicy().UpdateGroupPolicy());
  EXPECT_EQ(Count(log, kTime + L"SyncTimeW32Tm(): Time Sync Failed"), 2u) << "no time data without a controller";
  EXPECT_EQ(Count(log, kGpupdateFailed), 2u);
  EXPECT_EQ(Count(log, L"lack of network connectivity to a domain controller"), 2u) << "gpupdate's own text, logged";
}

}  // namespace
}  // namespace tamber
