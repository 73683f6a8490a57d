// The Universalprep flavour's decisions in both tiers, with the machine's registry as the guest's own
// (the Windows tier: Wine's registry). The helper is a model of the sibling agent's helper that writes
// what the real one leaves in the registry: the pool it joined, and sysprep's generalize state and
// setup command. Whole clones across boots, with the helper and sibling agent stand-ins, run in the sim
// (UniversalprepSimTest).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/util/AgentHelperWrapper.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/GuestInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/windows/Universalprep.h"
#include "framework/log/Log.h"
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
namespace up = universalprep;

const std::wstring kFlow = L"tamber::core::windows::Universalprep::";
const std::wstring kInterception = L"\"C:\\Program Files\\Talvora\\Quorvel\\Agent\\bin\\tqaprep.exe\" /prespecialize";

// The sibling agent's helper as the template and the clone see it.
class ModelHelper : public util::AgentHelperWrapper {
 public:
  bool launches = true;
  bool setsPoolId = true;
  bool generalizes = true;
  bool flushesCmdLine = true;
  std::vector<std::wstring> cloneRequest;

  bool LaunchTemplateHelper() override {
    if (launches && setsPoolId) {
      Registry::Instance()->SetValue(L"PoolID", std::wstring(L"pool-7"), regtype::kAgentConfiguration);
    }
    return launches;
  }
  // What sysprep /generalize /oobe leaves behind when it has run.
  bool SysprepGeneralize() override {
    if (!generalizes) return false;
    Registry::Instance()->SetValue(up::kImageStateValue, std::wstring(up::kImageStateGeneralized),
                                   regtype::kSetupState);
    if (flushesCmdLine) {
      Registry::Instance()->SetValue(up::kCmdLineValue, std::wstring(up::kSetupDeployCommand), regtype::kSystemSetup);
    }
    return true;
  }
  bool LaunchCloneHelper(const std::wstring& hint, const std::wstring& controller, const std::wstring& site,
                         const std::wstring& nextStep) override {
    cloneRequest = {hint, controller, site, nextStep};
    return launches;
  }
};

class UniversalprepTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    // Windows' own setup values stay as the machine had them.
    Registry::Instance()->GetValue(up::kImageStateValue, &savedImageState_, regtype::kSetupState);
    Registry::Instance()->GetValue(up::kCmdLineValue, &savedCmdLine_, regtype::kSystemSetup);
    // A golden image's machine: guest variables in their registry mirror.
    ASSERT_EQ(Registry::Instance()->SetValue(L"GoldenImage", 1u, regtype::kSetup), 0);
    // One poll of the generalize values, not ten minutes.
    ASSERT_EQ(Registry::Instance()->SetValue(L"SysprepMaxWaitTime", 1u, regtype::kService), 0);
  }
  void TearDown() override {
    auto* registry = Registry::Instance();
    registry->SetValue(up::kImageStateValue, savedImageState_, regtype::kSetupState);
    registry->SetValue(up::kCmdLineValue, savedCmdLine_, regtype::kSystemSetup);
    for (const wchar_t* name : {L"GoldenImage"}) registry->SetValue(name, 0u, regtype::kSetup);
    registry->SetValue(L"SysprepMaxWaitTime", 600000u, regtype::kService);
    registry->SetValue(L"Use KTQ", 0u, regtype::kNodeManager);
    registry->SetValue(L"PoolID", std::wstring(), regtype::kAgentConfiguration);
    registry->SetValue(L"OPERATION_TYPE", std::wstring(), regtype::kQuorvelAgent);
    auto* info = CustomizationPersistentInfo::Instance();
    for (const wchar_t* name : {L"TemplateCustomization", L"CloneShutdown", L"CloneSysprepGeneralizeCompleted",
                                L"CloneSysprepSpecializeCompleted", L"CloneCustomizationCompleted",
                                L"ITCustomizationStartTimeSet", L"CloneSysprepCompleted"}) {
      registry->SetValue(name, 0u, regtype::kGa);
    }
    info->Set(Persisted::PolicyState, 0);
    util::ResetSingletonsForTest();
    test::GuestTest::TearDown();
  }
  static std::string Variable(const char* name) {
    std::string value;
    return util::GuestInfo().GetValue(name, &value) && !value.empty() ? value : std::string("<absent>");
  }
  static std::wstring CmdLine() {
    std::wstring value;
    Registry::Instance()->GetValue(up::kCmdLineValue, &value, regtype::kSystemSetup);
    return value;
  }
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& text) {
    framework::log::FlushLog();
    return log.Count(level, text);
  }

  std::wstring savedImageState_;
  std::wstring savedCmdLine_;
};

TEST_F(UniversalprepTest, VerifyUseKtqReportsAMissAsAWarningOnly) {
  ModelHelper helper;
  Universalprep flavour(&helper);
  {
    LogCapture log;
    EXPECT_FALSE(flavour.VerifyUseKTQ(0)) << "no value is no match";
    EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"VerifyUseKTQ(): Failed reading 'Use KTQ': 0x80070002"), 1u);
  }
  ASSERT_EQ(Registry::Instance()->SetValue(L"Use KTQ", 1u, regtype::kNodeManager), 0);
  {
    LogCapture log;
    EXPECT_FALSE(flavour.CustomizeMaster()) << "the golden image expects 0";
    EXPECT_EQ(
        Count(log, LogLevel::Debug, kFlow + L"VerifyUseKTQ(): VerifyUseKTQ started. 'Use KTQ' is expected to be: 0"),
        1u);
    EXPECT_EQ(Count(log, LogLevel::Warn,
                    kFlow + L"VerifyUseKTQ(): 'Use KTQ' is NOT set to expected value. Actual value is: 1"),
              1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"VerifyUseKTQ(): VerifyUseKTQ finished successfully"), 0u);
  }
  {
    LogCapture log;
    EXPECT_TRUE(flavour.VerifyUseKTQ(1));
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"VerifyUseKTQ(): VerifyUseKTQ finished successfully"), 1u);
  }
}

TEST_F(UniversalprepTest, TemplateInstallsTheInterceptionAfterGeneralizeAndShutsDown) {
  MachineType::Instance()->SetMachineType(machine::kInternalTemplate);
  ModelHelper helper;
  Universalprep flavour(&helper);
  LogCapture log;
  EXPECT_TRUE(flavour.CustomizeIT());
  EXPECT_EQ(CmdLine(), kInterception) << "setup's own command is replaced by the helper's";
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeIT(): Interception string was set as: " + kInterception),
            1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeIT(): PoolID was successfully set by the helper tool"), 1u);
  EXPECT_EQ(
      Count(log, LogLevel::Debug,
            kFlow + L"CustomizeIT(): Sysprep generalization registry flush succeeded updating ImageState and CmdLine"),
      1u);
  auto* info = CustomizationPersistentInfo::Instance();
  EXPECT_TRUE(info->Is(Persisted::CloneSysprepGeneralizeCompleted));
  EXPECT_TRUE(info->Is(Persisted::CloneShutdown)) << "the clones' first start prepares for the snapshot";
  EXPECT_TRUE(info->IsValue(Persisted::TemplateCustomization, 2));
  EXPECT_EQ(Variable("it.CustomizationState"), "success");
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeIT(): Template: About To Shutdown"), 1u);

  LogCapture again;
  EXPECT_TRUE(flavour.CustomizeIT());
  EXPECT_EQ(
      Count(again, LogLevel::Debug, kFlow + L"CustomizeIT(): Template Customization Already Complete, Nothing To Do"),
      1u);
  EXPECT_EQ(Count(again, LogLevel::Debug, kFlow + L"CustomizeIT(): Template: Performing customization."), 0u);
}

TEST_F(UniversalprepTest, TemplateWhoseHelperOrGeneralizeFailsIsNotHandedOver) {
  MachineType::Instance()->SetMachineType(machine::kInternalTemplate);
  ModelHelper helper;
  Universalprep flavour(&helper);
  auto* info = CustomizationPersistentInfo::Instance();
  const std::wstring before = CmdLine();
  {
    helper.launches = false;
    LogCapture log;
    EXPECT_FALSE(flavour.CustomizeIT());
    EXPECT_EQ(Count(log, LogLevel::Warn,
                    kFlow + L"CustomizeIT(): Failed to launch agent helper in service mode for internal template"),
              1u);
  }
  {
    helper.launches = true;
    helper.setsPoolId = false;
    helper.generalizes = false;
    LogCapture log;
    EXPECT_FALSE(flavour.CustomizeIT());
    EXPECT_EQ(Count(log, LogLevel::Warn,
                    kFlow + L"CustomizeIT(): PoolID was not set by the helper tool, or there was latency"),
              1u);
    EXPECT_EQ(
        Count(log, LogLevel::Warn, kFlow + L"CustomizeIT(): Failed to run sysprep generalize in the blocking process"),
        1u);
  }
  EXPECT_EQ(CmdLine(), before) << "no interception without a generalized image";
  EXPECT_FALSE(info->Is(Persisted::CloneSysprepGeneralizeCompleted));
  EXPECT_FALSE(info->IsValue(Persisted::TemplateCustomization, 2));
  EXPECT_EQ(Variable("it.CustomizationState"), "running") << "these failures set no error status";
}

TEST_F(UniversalprepTest, TemplateWhoseSetupCommandNeverReachesTheHiveStillGetsTheInterception) {
  MachineType::Instance()->SetMachineType(machine::kInternalTemplate);
  ModelHelper helper;
  helper.flushesCmdLine = false;
  Registry::Instance()->SetValue(up::kCmdLineValue, std::wstring(), regtype::kSystemSetup);
  Universalprep flavour(&helper);
  LogCapture log;
  EXPECT_TRUE(flavour.CustomizeIT());
  EXPECT_EQ(Count(log, LogLevel::Warn,
                  kFlow + L"WaitForGeneralize(): Failed to wait for generalize/CmdLine regkey to be flushed"),
            1u);
  EXPECT_EQ(
      Count(log, LogLevel::Warn,
            kFlow + L"CustomizeIT(): Sysprep generalization registry flush failed to update ImageState and/or CmdLine"),
      1u);
  EXPECT_EQ(CmdLine(), kInterception);
}

TEST_F(UniversalprepTest, CloneWithoutAGeneralizedTemplateOrWithAFailedPreSpecializeEndsInSysprepError) {
  MachineType::Instance()->SetMachineType(machine::kClone);
  auto* info = CustomizationPersistentInfo::Instance();
  ASSERT_EQ(info->Set(Persisted::CloneShutdown), 0);
  ModelHelper helper;
  {
    Universalprep flavour(&helper);
    LogCapture log;
    EXPECT_FALSE(flavour.CustomizeClone());
    EXPECT_EQ(Count(log, LogLevel::Warn,
                    kFlow + L"WaitForSysprep(): Sysprep generalize should be completed before clone can be forked"),
              1u);
    EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"CustomizeClone(): Sysprep Customization Failed"), 1u);
    EXPECT_EQ(Variable("clone.CustomizationState"), "error");
    EXPECT_EQ(info->Get(Persisted::PolicyState), 17u);
  }
  util::ResetSingletonsForTest();
  info = CustomizationPersistentInfo::Instance();
  ASSERT_EQ(info->Set(Persisted::PolicyState, 0), 0);
  ASSERT_EQ(info->Set(Persisted::CloneSysprepGeneralizeCompleted), 0);
  MachineType::Instance()->SetMachineType(machine::kClone);
  ASSERT_EQ(Registry::Instance()->SetValue(up::kImageStateValue, std::wstring(up::kImageStateGeneralized),
                                           regtype::kSetupState),
            0);
  Universalprep flavour(&helper);
  LogCapture log;
  EXPECT_FALSE(flavour.CustomizeClone());
  EXPECT_EQ(
      Count(
          log, LogLevel::Warn,
          kFlow +
              L"WaitForSysprep(): Agent helper pre-specialize errored out. Clone is still in pre-specialization state"),
      1u);
  EXPECT_FALSE(info->Is(Persisted::CloneSysprepSpecializeCompleted));
  EXPECT_TRUE(helper.cloneRequest.empty()) << "the helper is not asked for a clone that setup did not specialize";
  EXPECT_EQ(info->Get(Persisted::PolicyState), 17u);
}

TEST_F(UniversalprepTest, CloneAfterTheSnapshotCompletesWhateverTheOperationType) {
  auto* info = CustomizationPersistentInfo::Instance();
  for (const wchar_t* type : {L"RESYNC_CLONE", L"REFRESH_CLONE", L"SOMETHING_NEW"}) {
    const std::wstring text = type;
    SCOPED_TRACE(std::string(text.begin(), text.end()));
    util::ResetSingletonsForTest();
    info = CustomizationPersistentInfo::Instance();
    ASSERT_EQ(Registry::Instance()->SetValue(L"CloneCustomizationCompleted", 0u, regtype::kGa), 0);
    ASSERT_EQ(info->Set(Persisted::CloneShutdown, 0), 0);
    MachineType::Instance()->SetMachineType(machine::kClone);
    ASSERT_EQ(Registry::Instance()->SetValue(L"OPERATION_TYPE", std::wstring(type), regtype::kQuorvelAgent), 0);
    ModelHelper helper;
    Universalprep flavour(&helper);
    LogCapture log;
    EXPECT_TRUE(flavour.CustomizeClone());
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): The clone OperationType is: " + type), 1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): After wait"), 0u)
        << "a written type is not waited for";
    if (std::wstring(type) == L"SOMETHING_NEW") {
      EXPECT_EQ(Count(log, LogLevel::Warn,
                      kFlow + L"CustomizeClone(): Unknown operation type (or not supported yet): SOMETHING_NEW"),
                1u);
    }
    if (std::wstring(type) == L"REFRESH_CLONE") {
      EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"CustomizeClone(): Machine password is not set post fast refresh"),
                1u);
    }
    // Nobody reported the checkpoint here: the states are reset before the completion.
    EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"CustomizeClonePostShutdown(): Unexpected clone customization state"),
              1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Clone customization successfully completed"), 1u);
    EXPECT_TRUE(info->Is(Persisted::CloneCustomizationCompleted));
    EXPECT_EQ(Variable("clone.CustomizationState"), "success");
  }

  util::ResetSingletonsForTest();
  MachineType::Instance()->SetMachineType(machine::kClone);
  ModelHelper helper;
  Universalprep flavour(&helper);
  LogCapture log;
  EXPECT_TRUE(flavour.CustomizeClone());
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Clone LCM indicator: User Reboot"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"VerifyUseKTQ()"), 0u) << "a completed clone does nothing";
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): The clone OperationType"), 0u);
}

}  // namespace
}  // namespace tamber::core::windows
