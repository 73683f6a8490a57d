// The Cloneprep flavour's decisions that need no domain, in both tiers: what each role does on a start
// that has nothing left to do or cannot go on, and what it reports. Whole chains with a domain run in
// the sim (CloneprepChainSimTest).
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/GuestInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/windows/Cloneprep.h"
#include "framework/log/Log.h"
#include "support/HypervisorDirectory.h"
#include "support/TestEnvironment.h"

namespace tamber::core::windows {
namespace {

using test::LogCapture;
using util::CustomizationPersistentInfo;
using util::MachineType;
using util::Persisted;
using util::Registry;
namespace machine = util::machine;
namespace regtype = util::regtype;

const std::wstring kFlow = L"tamber::core::windows::Cloneprep::";

class CloneprepTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    hypervisor_.emplace("cloneprep-hv");
    ASSERT_TRUE(hypervisor_->Ok());
    // The template's address wait polls the adapters once; the tier's own adapters answer.
    ASSERT_EQ(Registry::Instance()->SetValue(L"PollingIpRetries", 1u, regtype::kService), 0);
  }
  void TearDown() override {
    for (Persisted id : {Persisted::TemplateCustomization, Persisted::TemplateRenamed,
                         Persisted::ReplicaCustomizationCompleted, Persisted::PolicyState}) {
      CustomizationPersistentInfo::Instance()->Set(id, 0);
    }
    Registry::Instance()->SetValue(L"PollingIpRetries", 5u, regtype::kService);
    util::ResetSingletonsForTest();
    hypervisor_.reset();
    test::GuestTest::TearDown();
  }
  static std::string Variable(const char* name) {
    std::string value;
    return util::GuestInfo().GetValue(name, &value) ? value : std::string("<absent>");
  }
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& text) {
    framework::log::FlushLog();
    return log.Count(level, text);
  }

  std::optional<test::ScopedHypervisorDirectory> hypervisor_;
};

TEST_F(CloneprepTest, TemplateTheBootTimeAgentDidNotRenameFailsWithRenameError) {
  MachineType::Instance()->SetMachineType(machine::kInternalTemplate);
  LogCapture log;
  Cloneprep flavour;
  EXPECT_FALSE(flavour.CustomizeIT());
  EXPECT_EQ(
      Count(log, LogLevel::Error, kFlow + L"CustomizeIT(): IT Failed to set computer name in NGA. Cannot Continue"),
      1u);
  EXPECT_EQ(Variable("it.CustomizationState"), "error");
  EXPECT_EQ(Variable("it.CustomizationErrorCategory"), "Rename");
  EXPECT_EQ(CustomizationPersistentInfo::Instance()->Get(Persisted::PolicyState), 32u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeIT(): IT Rename Succeeded In NGA"), 0u);
  EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::TemplateJoinedDomain)) << "no join was tried";
}

TEST_F(CloneprepTest, FinishedRolesDoNothingOnLaterStarts) {
  auto* info = CustomizationPersistentInfo::Instance();
  LogCapture log;
  Cloneprep flavour;
  MachineType::Instance()->SetMachineType(machine::kInternalTemplate);
  ASSERT_EQ(info->Set(Persisted::TemplateCustomization, 2), 0);
  EXPECT_TRUE(flavour.CustomizeIT());
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeIT(): Template Customization Skipped"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeIT(): Template: Performing customization."), 0u);
  EXPECT_EQ(Variable("it.CustomizationState"), "<absent>") << "a finished template reports nothing again";

  MachineType::Instance()->SetMachineType(machine::kReplica);
  ASSERT_EQ(info->Set(Persisted::ReplicaCustomizationCompleted), 0);
  EXPECT_TRUE(flavour.CustomizeReplica());
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeReplica(): Replica: Releasing IP..."), 0u);
  EXPECT_EQ(Variable("replica.CustomizationState"), "<absent>");
  EXPECT_FALSE(info->Is(Persisted::ReplicaRebooted)) << "no reboot was asked for";
}

TEST_F(CloneprepTest, ParentReportsRunningThenSuccess) {
  MachineType::Instance()->SetMachineType(machine::kParent);
  LogCapture log;
  Cloneprep flavour;
  EXPECT_TRUE(flavour.CustomizeParent());
  EXPECT_EQ(Variable("parent.CustomizationState"), "success");
  framework::log::FlushLog();
  const std::wstring set =
      L"tamber::core::util::CustomizationState::SetCustomizationState(): Set guestinfo.parent.CustomizationState to ";
  EXPECT_TRUE(log.Contains(LogLevel::Debug, set + L"running"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, set + L"success"));
}

TEST_F(CloneprepTest, CloneTheBootTimeAgentFailedIsNotCustomized) {
  MachineType::Instance()->SetMachineType(machine::kClone);
  ASSERT_TRUE(util::GuestInfo().SetValue("clone.CustomizationState", "error"));
  LogCapture log;
  Cloneprep flavour;
  EXPECT_FALSE(flavour.CustomizeClone());
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Starting clone customization..."), 0u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Total Clone Customization Time: "), 1u);
  EXPECT_EQ(CustomizationPersistentInfo::Instance()->Get(Persisted::PolicyState), 6u);
  EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::CloneJoinedDomain));
}

}  // namespace
}  // namespace tamber::core::windows
