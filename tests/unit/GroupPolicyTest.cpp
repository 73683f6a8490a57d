// Group policy and time where nothing is run: the roles and settings that skip the refresh (and the time
// synchronisation inside it). The runs themselves, with their pauses in machine time, are in
// tests/sim/TimeGroupPolicySimTest.cpp.
#include <gtest/gtest.h>

#include <string>

#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Support.h"
#include "core/windows/GroupPolicy.h"
#include "core/windows/Time.h"
#include "framework/log/Log.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using core::util::MachineType;
using core::util::Registry;
using core::windows::GroupPolicy;
using core::windows::Time;
using test::LogCapture;
namespace machine = core::util::machine;
namespace regtype = core::util::regtype;

class GroupPolicyTest : public test::GuestTest {
 protected:
  static size_t Count(const LogCapture& log, const std::wstring& fragment) {
    framework::log::FlushLog();
    size_t count = 0;
    for (const auto& entry : log.Entries()) {
      if (entry.text.find(fragment) != std::wstring::npos) ++count;
    }
    return count;
  }
  // Skipped, and neither the time service nor a tool was touched.
  static void ExpectSkipped(const LogCapture& log) {
    EXPECT_EQ(Count(log, L"tamber::core::windows::GroupPolicy::UpdateGroupPolicy(): GPUpdate Skipped"), 1u);
    EXPECT_EQ(Count(log, L"tamber::core::windows::Time::"), 0u) << "no time synchronisation";
    EXPECT_EQ(Count(log, L"ControlSvc()"), 0u) << "w32time is not restarted";
    EXPECT_EQ(Count(log, L"RunScript()"), 0u) << "gpupdate is not run";
    EXPECT_EQ(Count(log, L"GPUpdate Total Time"), 0u);
  }
};

TEST_F(GroupPolicyTest, OnlyClonesAndInternalTemplatesRefreshPolicy) {
  for (auto role : {machine::kMaster, machine::kReplica, machine::kParent, machine::kUndetermined}) {
    MachineType::Instance()->SetMachineType(role);
    LogCapture log;
    EXPECT_TRUE(GroupPolicy().UpdateGroupPolicy()) << role;
    ExpectSkipped(log);
  }
  uint32_t stored = 7;
  core::util::Support::Instance()->GetValue(L"GPUpdateTime", &stored);
  EXPECT_EQ(stored, 0u) << "no time is recorded for a refresh that did not run";
}

TEST_F(GroupPolicyTest, TheSettingsMustBeExactlyOne) {
  struct Case {
    core::util::MachineTypeCode role;
    const wchar_t* setting;
    uint32_t value;
  };
  for (const Case& c :
       {Case{machine::kClone, L"GPUpdateEnabledOnClone", 0}, Case{machine::kClone, L"GPUpdateEnabledOnClone", 2},
        Case{machine::kInternalTemplate, L"GPUpdateEnabledOnIT", 0},
        Case{machine::kInternalTemplate, L"GPUpdateEnabledOnIT", 2}}) {
    ASSERT_EQ(Registry::Instance()->SetValue(c.setting, c.value, regtype::kGa), 0);
    MachineType::Instance()->SetMachineType(c.role);
    LogCapture log;
    EXPECT_TRUE(GroupPolicy().UpdateGroupPolicy()) << ::testing::PrintToString(std::wstring(c.setting)) << c.value;
    ExpectSkipped(log);
    ASSERT_EQ(Registry::Instance()->SetValue(c.setting, 1u, regtype::kGa), 0);
  }
}

// No time service that could resync here (it is not started in the simulated guest; Wine has neither it
// nor w32tm): the run fails, whatever the exit code or the reason.
TEST_F(GroupPolicyTest, ResyncWithoutATimeServiceFails) {
  LogCapture log;
  EXPECT_FALSE(Time::Instance()->SyncTimeW32Tm());
  EXPECT_EQ(Count(log, L"tamber::core::windows::Time::SyncTimeW32Tm(): About to Sync Time With w32tm"), 1u);
  EXPECT_EQ(Count(log, L"tamber::core::windows::Time::SyncTimeW32Tm(): Failed To Run Time Sync Command"), 1u);
  EXPECT_EQ(Count(log, L"Time Sync Succeeded"), 0u);
}

}  // namespace
}  // namespace tamber
