// The Sysprep flavour against the tier's own registry and files (the simulated guest natively, Wine's
// under Wine): the ImageState waits with their limits and the shutdown event, the markers they may and
// may not leave, the answer-file script's file in the protected folder, and the execution policy that is
// put back on every way out. PowerShell itself is the test's stand-in here (Wine has none); the simulated
// PowerShell runs the script for real in the sim tier (SysprepSimTest).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/util/StringConverter.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/GuestInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/util/System.h"
#include "core/windows/Sysprep.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Sync.h"
#include "support/HypervisorDirectory.h"
#include "support/TestEnvironment.h"

namespace tamber::core::windows {
namespace {

using common::i18n::StringConverter;
using test::LogCapture;
using util::CustomizationPersistentInfo;
using util::MachineType;
using util::Persisted;
using util::Registry;
namespace machine = util::machine;
namespace regtype = util::regtype;

const std::wstring kFlow = L"tamber::core::windows::Sysprep::";
constexpr const wchar_t* kGeneralized = L"IMAGE_STATE_GENERALIZE_RESEAL_TO_OOBE";
constexpr const wchar_t* kSpecialized = L"IMAGE_STATE_SPECIALIZE_RESEAL_TO_OOBE";
constexpr const wchar_t* kUndeployable = L"IMAGE_STATE_UNDEPLOYABLE";

// PowerShell and the adapters as the test wants them; everything else is the flavour's own.
class TestSysprep : public Sysprep {
 public:
  std::vector<std::wstring> commands;
  std::string policy = "Restricted";
  uint32_t scriptFailures = 0;  // script runs that fail before one succeeds
  std::optional<std::string> scriptTextSeen;
  std::wstring scriptPathSeen;
  InterfaceAliasMap aliases{{L"02-54-56-00-00-07", L"Ethernet0"}};
  bool mapFails = false;
  std::function<void()> onScriptRun;

  // The file the command names, read through the platform as PowerShell would open it.
  static std::optional<std::string> ReadFile(const std::wstring& path) {
    common::windows::UniqueFile file(platform::CreateFile(path.c_str(), platform::kGenericRead,
                                                          platform::kFileShareRead, platform::kOpenExisting,
                                                          platform::kFileAttributeNormal));
    if (!file) return std::nullopt;
    std::string text;
    char buffer[4096];
    uint32_t count = 0;
    while (platform::ReadFile(file.get(), buffer, sizeof buffer, &count) && count > 0) text.append(buffer, count);
    return text;
  }

 protected:
  bool GetInterfaceAliasMap(InterfaceAliasMap* map) override {
    if (mapFails) return false;
    *map = aliases;
    return true;
  }
  bool RunPowerShell(const std::wstring& commandLine, std::string* output) override {
    commands.push_back(commandLine);
    output->clear();
    if (commandLine == L"powershell Get-ExecutionPolicy") {
      *output = policy + "\r\n";
      return true;
    }
    if (commandLine.rfind(L"powershell Set-ExecutionPolicy ", 0) == 0) {
      policy = StringConverter::ToUtf8String(commandLine.substr(31));
      return true;
    }
    const size_t end = commandLine.find(L" -interfaceAlias ");
    scriptPathSeen = commandLine.substr(11, end - 11);
    scriptTextSeen = ReadFile(scriptPathSeen);
    if (onScriptRun) onScriptRun();
    if (scriptFailures > 0) {
      --scriptFailures;
      *output = "[Error] Failed updating sysprep xml";
      return false;
    }
    *output = "[Info] Sysprep XML InterfaceId updated successfully. ";
    return true;
  }
  uint32_t UpdateAttemptDelayMs() const override { return 20; }
};

class SysprepTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    hypervisor_.emplace("sysprep-hv");
    ASSERT_TRUE(hypervisor_->Ok());
    MachineType::Instance()->SetMachineType(machine::kClone);
    ASSERT_EQ(util::System::Instance()->Init(), 0);  // the service makes the shutdown event at its start
  }
  void TearDown() override {
    for (Persisted id :
         {Persisted::CloneSysprepCompleted, Persisted::CloneSysprepGeneralizeCompleted,
          Persisted::CloneSysprepSpecializeCompleted, Persisted::CloneSysprepOobeCompleted, Persisted::CloneShutdown,
          Persisted::PolicyState, Persisted::ReplicaCustomizationCompleted, Persisted::ReplicaRebooted}) {
      CustomizationPersistentInfo::Instance()->Set(id, 0);
    }
    Registry::Instance()->SetValue(L"ImageState", std::wstring(L"IMAGE_STATE_COMPLETE"), regtype::kSetupState);
    platform::HKey key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), util::kRegistryKeyPaths[regtype::kService], 0,
                               platform::kKeyAllAccess, &key) == 0) {
      platform::RegDeleteValue(key, L"SysprepMaxWaitTime");
      platform::RegCloseKey(key);
    }
    util::ResetSingletonsForTest();
    hypervisor_.reset();
    test::GuestTest::TearDown();
  }

  static void SetImageState(const std::wstring& state) {
    ASSERT_EQ(Registry::Instance()->SetValue(L"ImageState", state, regtype::kSetupState), 0);
  }
  static void SetLimit(uint32_t ms) {
    ASSERT_EQ(Registry::Instance()->SetValue(L"SysprepMaxWaitTime", ms, regtype::kService), 0);
  }
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& text) {
    framework::log::FlushLog();
    return log.Count(level, text);
  }
  static bool Marked(Persisted id) { return CustomizationPersistentInfo::Instance()->Is(id); }
  static std::string Variable(const char* name) {
    std::string value;
    return util::GuestInfo().GetValue(name, &value) ? value : std::string("<absent>");
  }

  std::optional<test::ScopedHypervisorDirectory> hypervisor_;
};

TEST_F(SysprepTest, APhaseWaitSeesTheImageStateSetupWritesAndMarksThePhase) {
  SetLimit(20000);
  SetImageState(kUndeployable);
  ASSERT_EQ(CustomizationPersistentInfo::Instance()->Set(Persisted::CloneSysprepGeneralizeCompleted), 0);
  std::thread setup([] {
    platform::Sleep(100);
    Registry::Instance()->SetValue(L"ImageState", std::wstring(kSpecialized), regtype::kSetupState);
    platform::Sleep(100);
    // The shutdown that follows the pass ends the wait for the out-of-box experience.
    util::System::Instance()->SetShutdownEvent();
  });
  LogCapture log;
  TestSysprep flavour;
  EXPECT_TRUE(flavour.WaitForSysprep(/*clone=*/true));
  setup.join();
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"WaitForSpecialize(): Specialize Is Finished"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"WaitForSysprep(): Specialize Completed"), 1u);
  EXPECT_TRUE(Marked(Persisted::CloneSysprepSpecializeCompleted));
  EXPECT_FALSE(Marked(Persisted::CloneSysprepOobeCompleted)) << "the stop is no finished out-of-box experience";
  EXPECT_FALSE(Marked(Persisted::CloneSysprepCompleted));
  EXPECT_EQ(Variable("clone.CustomizationState"), "specialize");
}

TEST_F(SysprepTest, AWaitEndedByTheShutdownEventLeavesNoMarkerAndFailsNothing) {
  SetLimit(20000);
  SetImageState(L"IMAGE_STATE_COMPLETE");
  util::System::Instance()->SetShutdownEvent();
  LogCapture log;
  TestSysprep flavour;
  EXPECT_TRUE(flavour.WaitForSysprep(/*clone=*/true));
  EXPECT_FALSE(Marked(Persisted::CloneSysprepGeneralizeCompleted));
  EXPECT_FALSE(Marked(Persisted::CloneSysprepSpecializeCompleted));
  EXPECT_FALSE(Marked(Persisted::CloneSysprepOobeCompleted));
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"WaitForSysprep(): Generalize Completed"), 0u);
  // The clone's operation ends quietly: no error status, no policy state.
  EXPECT_TRUE(flavour.CustomizeClone());
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Shutdown Event Set, Exiting"), 1u);
  EXPECT_NE(Variable("clone.CustomizationState"), "error");
  EXPECT_EQ(CustomizationPersistentInfo::Instance()->Get(Persisted::PolicyState), util::kPolicyStateAbsent);
}

TEST_F(SysprepTest, APhaseThatFinishedAsTheAgentStopsIsStillMarked) {
  SetLimit(20000);
  SetImageState(kGeneralized);  // generalize wrote it; the restart it asked for came at once
  util::System::Instance()->SetShutdownEvent();
  TestSysprep flavour;
  bool reached = false;
  EXPECT_TRUE(flavour.WaitForGeneralize(&reached));
  EXPECT_TRUE(reached);
  EXPECT_TRUE(flavour.WaitForSysprep(/*clone=*/true));
  EXPECT_TRUE(Marked(Persisted::CloneSysprepGeneralizeCompleted));
  EXPECT_FALSE(Marked(Persisted::CloneSysprepSpecializeCompleted));
}

TEST_F(SysprepTest, APhaseThatNeverFinishesFailsTheCloneWithSysprepError17) {
  SetLimit(300);
  SetImageState(kUndeployable);
  ASSERT_EQ(CustomizationPersistentInfo::Instance()->Set(Persisted::CloneSysprepGeneralizeCompleted), 0);
  LogCapture log;
  TestSysprep flavour;
  EXPECT_FALSE(flavour.CustomizeClone());
  EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"WaitForSpecialize(): Timed out waiting for Specialize"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"CustomizeClone(): Sysprep Customization Failed"), 1u);
  EXPECT_FALSE(Marked(Persisted::CloneSysprepSpecializeCompleted));
  EXPECT_EQ(Variable("clone.CustomizationState"), "error");
  EXPECT_EQ(CustomizationPersistentInfo::Instance()->Get(Persisted::PolicyState), 17u);
}

TEST_F(SysprepTest, AValueAlreadyInPlaceIsSeenWhenTheWaitEnds) {
  // The waits look at the value after a change or at their limit, never before.
  SetLimit(200);
  SetImageState(L"IMAGE_STATE_COMPLETE");
  LogCapture log;
  TestSysprep flavour;
  bool reached = false;
  EXPECT_TRUE(flavour.WaitForOobe(&reached));
  EXPECT_TRUE(reached);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"WaitForOobe(): Found expected value for OOBE: IMAGE_STATE_COMPLETE"),
            1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"WaitForOobe(): Oobe Completed"), 1u);
}

TEST_F(SysprepTest, TheScriptIsWrittenToTheProtectedFolderRunAndDeleted) {
  TestSysprep flavour;
  flavour.scriptFailures = 2;
  LogCapture log;
  EXPECT_TRUE(flavour.UpdateSysprepXmlInterfaceId());
  ASSERT_TRUE(flavour.scriptTextSeen.has_value()) << "the script was not on disk when it ran";
  EXPECT_EQ(*flavour.scriptTextSeen, Sysprep::SysprepXmlScriptText());
  EXPECT_EQ(flavour.scriptTextSeen->rfind("# Talvora QX Agent PS Script to update sysprep XML interfaceId\r\n", 0), 0u);
  EXPECT_NE(flavour.scriptPathSeen.find(L"\\temp\\talvora\\SetSysprepXmlInterfaceId.ps1"), std::wstring::npos)
      << StringConverter::ToUtf8String(flavour.scriptPathSeen);
  EXPECT_FALSE(TestSysprep::ReadFile(flavour.scriptPathSeen).has_value()) << "the script is deleted after use";
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"DeleteSysprepXmlScript(): Successfully removed script: "), 1u);
  EXPECT_EQ(
      Count(log, LogLevel::Warn, kFlow + L"UpdateSysprepXmlInterfaceId(): Failed updating sysprep xml via Script: "),
      2u);
  const std::vector<std::wstring> expected = {
      L"powershell Get-ExecutionPolicy",
      L"powershell Set-ExecutionPolicy unrestricted",
      L"powershell " + flavour.scriptPathSeen + L" -interfaceAlias @{'02-54-56-00-00-07'='Ethernet0';}",
      L"powershell " + flavour.scriptPathSeen + L" -interfaceAlias @{'02-54-56-00-00-07'='Ethernet0';}",
      L"powershell " + flavour.scriptPathSeen + L" -interfaceAlias @{'02-54-56-00-00-07'='Ethernet0';}",
      L"powershell Set-ExecutionPolicy Restricted"};
  EXPECT_EQ(flavour.commands, expected);
}

TEST_F(SysprepTest, SixFailedAttemptsStillDeleteTheScriptAndRestoreThePolicy) {
  TestSysprep flavour;
  flavour.policy = "RemoteSigned";
  flavour.scriptFailures = 100;
  LogCapture log;
  EXPECT_FALSE(flavour.UpdateSysprepXmlInterfaceId());
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"UpdateSysprepXmlInterfaceId(): Sleeping 20 ms before attempt: "), 6u);
  ASSERT_FALSE(flavour.commands.empty());
  EXPECT_EQ(flavour.commands.back(), L"powershell Set-ExecutionPolicy RemoteSigned");
  EXPECT_EQ(flavour.policy, "RemoteSigned");
  EXPECT_FALSE(TestSysprep::ReadFile(flavour.scriptPathSeen).has_value());
}

TEST_F(SysprepTest, AStopDuringTheAttemptsEndsThemAndStillRestoresThePolicy) {
  TestSysprep flavour;
  flavour.scriptFailures = 100;
  flavour.onScriptRun = [] { util::System::Instance()->SetShutdownEvent(); };
  EXPECT_FALSE(flavour.UpdateSysprepXmlInterfaceId());
  size_t scriptRuns = 0;
  for (const auto& command : flavour.commands) scriptRuns += command.find(L"-interfaceAlias") != std::wstring::npos;
  EXPECT_EQ(scriptRuns, 1u) << "no attempt after the stop";
  EXPECT_EQ(flavour.commands.back(), L"powershell Set-ExecutionPolicy Restricted");
  EXPECT_FALSE(TestSysprep::ReadFile(flavour.scriptPathSeen).has_value());
}

TEST_F(SysprepTest, AnUnrestrictedPolicyIsLeftAloneAndAnUnreadableOneIsNotEchoedIntoACommand) {
  {
    TestSysprep flavour;
    flavour.policy = "Unrestricted";
    EXPECT_TRUE(flavour.UpdateSysprepXmlInterfaceId());
    for (const auto& command : flavour.commands) {
      EXPECT_EQ(command.find(L"Set-ExecutionPolicy"), std::wstring::npos) << StringConverter::ToUtf8String(command);
    }
  }
  {
    TestSysprep flavour;
    flavour.policy = "Restricted; Remove-Item C:\\ -Recurse";
    EXPECT_TRUE(flavour.UpdateSysprepXmlInterfaceId());
    EXPECT_EQ(flavour.commands.back(), L"powershell Set-ExecutionPolicy Undefined");
  }
  {
    TestSysprep flavour;
    flavour.mapFails = true;
    LogCapture log;
    EXPECT_FALSE(flavour.UpdateSysprepXmlInterfaceId());
    EXPECT_TRUE(flavour.commands.empty());
    EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"UpdateSysprepXmlInterfaceId(): Failed to get interface alias map"),
              1u);
  }
}

TEST_F(SysprepTest, AdapterNamesAreQuotedForPowerShellAndForTheCommandLine) {
  Sysprep::InterfaceAliasMap map{{L"02-54-56-00-00-02", L"Eth 'two'"}, {L"02-54-56-00-00-01", L"Ethernet0"}};
  EXPECT_EQ(Sysprep::BuildInterfaceAliasLiteral(map),
            L"@{'02-54-56-00-00-01'='Ethernet0';'02-54-56-00-00-02'='Eth ''two''';}");
  EXPECT_EQ(Sysprep::BuildInterfaceAliasLiteral({{L"m", L"a\u2019b"}}), L"@{'m'='a\u2019\u2019b';}");
  EXPECT_EQ(Sysprep::QuoteCommandLineArgument(L"@{'m'='Ethernet0';}"), L"@{'m'='Ethernet0';}");
  EXPECT_EQ(Sysprep::QuoteCommandLineArgument(L"@{'m'='a b';}"), L"\"@{'m'='a b';}\"");
  EXPECT_EQ(Sysprep::QuoteCommandLineArgument(L"x\"y\\"), L"\"x\\\"y\\\\\"");
  EXPECT_EQ(Sysprep::QuoteCommandLineArgument(L""), L"\"\"");
}

TEST_F(SysprepTest, TheReplicaRestartsOnceThenHandsOverAndPatchesTheAnswerFileOnLaterStarts) {
  MachineType::Instance()->SetMachineType(machine::kReplica);
  util::System::Instance()->SetShutdownEvent();  // no attempt waits in this test
  TestSysprep flavour;
  ASSERT_EQ(CustomizationPersistentInfo::Instance()->Set(Persisted::ReplicaCustomizationCompleted), 0);
  LogCapture log;
  EXPECT_FALSE(flavour.CustomizeReplica()) << "the stop ended the attempts";
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeReplica(): Replica Customization Sysprep Generalize Pass"),
            1u);
  EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"CustomizeReplica(): Failed to process updates for sysprep XML"), 1u);
}

// With sysprep's own domain join (flag 0x800) setup has named and joined the clone: the agent only
// publishes the controller and site, records the steps as done and asks for the snapshot; the replica,
// once done, has nothing more to do.
TEST_F(SysprepTest, SysprepsOwnDomainJoinSkipsTheAgentsRenameAndJoin) {
  ASSERT_TRUE(util::GuestInfo().SetValue(util::kAgentCustomizationFlagsVariable, "2176"));  // 0x80 | 0x800
  util::CustomizationFlags::Instance()->GetCustomizationFlagsValue();
  LogCapture log;
  TestSysprep flavour;
  ASSERT_TRUE(flavour.IsSysprepDomainJoin());
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"Sysprep(): Sysprep domain join is enabled"), 1u);
  for (Persisted id : {Persisted::CloneRenamed, Persisted::CloneJoinedDomain}) {
    CustomizationPersistentInfo::Instance()->Set(id, 0);
  }
  ASSERT_TRUE(flavour.CustomizeClonePreShutdown());
  EXPECT_EQ(Count(log, LogLevel::Debug,
                  kFlow + L"CustomizeClonePreShutdown(): Sysprep domain join enabled. Skipping agent domain join."),
            1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClonePreShutdown(): RenameMachine Succeeded"), 0u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClonePreShutdown(): Clone Sysprep Domain Join Succeeded"),
            0u);
  EXPECT_TRUE(Marked(Persisted::CloneRenamed));
  EXPECT_TRUE(Marked(Persisted::CloneJoinedDomain));
  EXPECT_EQ(Variable("clone.CustomizationState"), "snapshotting");

  MachineType::Instance()->SetMachineType(machine::kReplica);
  ASSERT_EQ(CustomizationPersistentInfo::Instance()->Set(Persisted::ReplicaCustomizationCompleted), 0);
  EXPECT_TRUE(flavour.CustomizeReplica());
  EXPECT_EQ(
      Count(log, LogLevel::Debug, kFlow + L"CustomizeReplica(): Replica Customization Already Complete, Nothing To Do"),
      1u);
  EXPECT_TRUE(flavour.commands.empty()) << "no answer-file pass with sysprep's own join";
  for (Persisted id : {Persisted::CloneRenamed, Persisted::CloneJoinedDomain}) {
    CustomizationPersistentInfo::Instance()->Set(id, 0);
  }
  ASSERT_TRUE(util::GuestInfo().SetValue(util::kAgentCustomizationFlagsVariable, "128"));
}

}  // namespace
}  // namespace tamber::core::windows
