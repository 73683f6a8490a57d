// Universalprep clones across boots of a simulated machine: the clone as its internal template left it
// (generalized, the interception installed, "Use KTQ" set by the sibling agent), setup finished, the
// helper stand-in as the sibling agent's helper, and the sibling agent's service stand-in running at the
// boots where its service starts automatically. Each "service start" runs the driver once; the
// hypervisor's snapshot and power cycle is a reboot of the machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/GuestInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/util/System.h"
#include "core/windows/Guest.h"
#include "core/windows/Universalprep.h"
#include "framework/log/Log.h"
#include "framework/log/LogWriter.h"
#include "platform/Clock.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPower.h"
#include "platform/sim/services/SimSiblingAgent.h"
#include "support/HelperStandIn.h"
#include "support/TestEnvironment.h"

namespace tamber::core::windows {
namespace {

namespace fs = std::filesystem;
using platform::sim::FaultPlan;
using platform::sim::Machine;
using test::LogCapture;
using util::CustomizationPersistentInfo;
using util::Persisted;
using util::Registry;
namespace regtype = util::regtype;
namespace up = universalprep;

const std::wstring kFlow = L"tamber::core::windows::Universalprep::";

class UniversalprepSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    static int counter = 0;
    domainDir_ = Machine::Directory().parent_path() /
                 (Machine::Directory().filename().string() + "-domain-" + std::to_string(counter++));
    ASSERT_EQ(
        platform::sim::SimDomain::Create(domainDir_, "corp.example", {"Site-A"}, {{"dc1.corp.example", "Site-A"}}), "");
    ASSERT_EQ(platform::sim::AttachToDomain(Machine::Directory(), domainDir_), "");
    test::InstallHelperStandIn();

    // The clone as its template left it.
    auto* registry = Registry::Instance();
    auto* info = CustomizationPersistentInfo::Instance();
    ASSERT_EQ(registry->SetValue(L"GoldenImage", 1u, regtype::kSetup), 0);
    ASSERT_EQ(info->Set(Persisted::TemplateCustomization, 2), 0);
    ASSERT_EQ(info->Set(Persisted::CloneSysprepGeneralizeCompleted), 0);
    ASSERT_EQ(info->Set(Persisted::CloneShutdown), 0);
    ASSERT_EQ(info->SetGuestInfoMirror(L"AgentCustomizationFlags", L"2048"), 0);  // setup joins the domain
    ASSERT_EQ(info->SetGuestInfoMirror(L"primed.fqdn", L"corp.example"), 0);
    ASSERT_EQ(info->SetGuestInfoMirror(L"hostName", L"POOL-CL0001"), 0);
    ASSERT_EQ(registry->SetValue(L"Use KTQ", 1u, regtype::kNodeManager), 0);
    // Setup has run its passes.
    ASSERT_EQ(registry->SetValue(up::kImageStateValue, std::wstring(up::kImageStateComplete), regtype::kSetupState), 0);
    helperFile_ = Machine::DriveRoot() / "Program Files/Talvora/Quorvel/Agent/bin/tqaprep.exe";
    fs::create_directories(helperFile_.parent_path());
    std::ofstream(helperFile_) << "helper";
    NextBoot(kHelperTimeScale);
  }
  void TearDown() override {
    test::RemoveHelperStandIn();
    util::ResetSingletonsForTest();
    test::GuestTest::TearDown();
    std::error_code ignored;
    fs::remove_all(domainDir_, ignored);
  }

  // The boots that start the helper run slowly enough for a host process to report ready within the
  // helper's 30 s of machine time; the others fast, so that the five-minute wait for the operation type
  // takes a third of a second.
  static constexpr double kHelperTimeScale = 20;
  static constexpr double kFastTimeScale = 1000;

  // The power cycle: the boot ends cleanly, the next one starts with the sibling agent's service.
  platform::sim::SiblingAgentReport NextBoot(double timeScale = kFastTimeScale) {
    const fs::path machine = Machine::Directory();
    util::ResetSingletonsForTest();
    framework::log::ResetLogForTest();
    Machine::Shutdown();
    platform::sim::Power::Take(machine);
    Machine::Boot(machine);
    platform::sim::SetTimeScale(timeScale);
    return platform::sim::RunSiblingAgent();
  }

  // One service start: the driver chooses the flavour itself.
  bool ServiceStart() {
    util::MachineType::Instance()->SetMachineType(util::machine::kClone);
    util::System::Instance()->Init();  // as the service does before the driver runs
    Guest guest;
    const bool result = guest.CustomizeVM();
    guest.GetCustomization()->WaitForCompletionWorker(platform::kInfinite);

    return result;
  }

  // The clone's first start is over and the hypervisor has taken its snapshot.
  void ToAfterSnapshot() {
    LogCapture log;
    ASSERT_TRUE(ServiceStart());
    ASSERT_EQ(Mirror(L"clone.CustomizationState"), L"snapshotting");
  }

  static std::wstring Mirror(const wchar_t* name) {
    std::wstring value;
    CustomizationPersistentInfo::Instance()->GetGuestInfoMirror(name, &value);
    return value;
  }
  static uint32_t ServiceDword(const wchar_t* name) {
    const uint32_t absent = 0xFFFFFFFF;
    uint32_t value = absent;
    Registry::Instance()->GetValue(name, &absent, &value, regtype::kService);
    return value;
  }
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& text) {
    framework::log::FlushLog();
    return log.Count(level, text);
  }

  fs::path domainDir_;
  fs::path helperFile_;
};

TEST_F(UniversalprepSimTest, CloneHandsOverToTheHelperAndCompletesAfterTheSnapshotOnce) {
  {
    LogCapture log;
    EXPECT_TRUE(ServiceStart());
    EXPECT_EQ(
        Count(log, LogLevel::Debug, L"tamber::core::windows::Guest::CustomizeVM(): Customization Type: Universalprep"),
        1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"VerifyUseKTQ(): VerifyUseKTQ finished successfully"), 1u);
    EXPECT_EQ(
        Count(
            log, LogLevel::Debug,
            kFlow +
                L"CustomizeClone(): Ad server name (without leading domain): dc1.corp.example, site (without leading domain): Site-A"),
        1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Successfully removed agent helper: "), 1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Started Quorvel Agent service"), 1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClonePreShutdown(): Clone: About To Shutdown"), 1u);
  }
  EXPECT_FALSE(fs::exists(helperFile_)) << "the helper is not left on the clone";
  EXPECT_EQ(Mirror(L"preferredDC"), L"dc1.corp.example");
  EXPECT_EQ(Mirror(L"preferredSite"), L"Site-A");
  EXPECT_EQ(Mirror(L"clone.CustomizationState"), L"snapshotting");
  auto* info = CustomizationPersistentInfo::Instance();
  EXPECT_TRUE(info->Is(Persisted::CloneSysprepCompleted));
  EXPECT_TRUE(info->Is(Persisted::CloneJoinedDomain));
  EXPECT_FALSE(info->Is(Persisted::CloneShutdown)) << "the next start is the one after the snapshot";

  auto sibling = NextBoot();
  EXPECT_TRUE(sibling.ran) << "the clone set the sibling agent's service to start automatically";
  EXPECT_TRUE(sibling.afterSnapshot);
  {
    LogCapture log;
    EXPECT_TRUE(ServiceStart());
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): The clone OperationType is: NEW_CLONE"), 1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Clone LCM indicator: New Clone"), 1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClonePostSnapshot(): Started Netlogon service"), 1u);
    EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"CustomizeClonePostShutdown(): Unexpected"), 0u)
        << "the sibling agent reported the checkpoint";
    EXPECT_EQ(
        Count(
            log, LogLevel::Debug,
            L"tamber::core::windows::Customization::OkToCompleteCustomization(): Universalprep Ready To Complete Customization"),
        1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Clone customization successfully completed"), 1u);
  }
  info = CustomizationPersistentInfo::Instance();
  EXPECT_EQ(Mirror(L"clone.CustomizationState"), L"success");
  EXPECT_TRUE(info->Is(Persisted::CloneCustomizationCompleted));
  EXPECT_EQ(info->Get(Persisted::PolicyState), 0u);

  EXPECT_FALSE(NextBoot().afterSnapshot) << "the operation is handed over once";
  LogCapture log;
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Clone LCM indicator: User Reboot"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): The clone OperationType"), 0u);
  EXPECT_EQ(
      Count(log, LogLevel::Debug, L"tamber::core::util::CustomizationState::SetCustomizationState(): Set guestinfo"),
      0u)
      << "a completed clone reports nothing again";
}

TEST_F(UniversalprepSimTest, EmptyOperationTypeIsWaitedForAndReadAgain) {
  ToAfterSnapshot();
  FaultPlan::Set("kdnm.operation-type-delay-ms", "120000");
  auto sibling = NextBoot();
  ASSERT_TRUE(sibling.late);
  LogCapture log;
  const uint32_t begin = platform::GetTickCount();
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): The clone OperationType is: "), 1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): After wait, the clone OperationType is: NEW_CLONE"),
            1u);
  EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"CustomizeClone(): Clone OperationType is not set in a timely manner"),
            0u);
  EXPECT_LT(platform::GetTickCount() - begin, up::kOperationTypeWaitMs) << "the write ends the wait";
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::CloneCustomizationCompleted));
}

TEST_F(UniversalprepSimTest, OperationTypeNeverWrittenOrUnknownIsLoggedAndCompletionStillRuns) {
  ToAfterSnapshot();
  FaultPlan::Set("kdnm.operation-type", "none");
  NextBoot();
  {
    LogCapture log;
    EXPECT_TRUE(ServiceStart());
    EXPECT_EQ(
        Count(
            log, LogLevel::Warn,
            kFlow +
                L"CustomizeClone(): Clone OperationType is not set in a timely manner. Please check Quorvel Agent logs"),
        1u);
    EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"CustomizeClone(): Unknown operation type (or not supported yet): "),
              1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Clone customization successfully completed"), 1u);
    EXPECT_GE(platform::GetTickCount(), up::kOperationTypeWaitMs);
  }
  EXPECT_EQ(Mirror(L"clone.CustomizationState"), L"success");
}

TEST_F(UniversalprepSimTest, UnknownOperationTypeWithoutTheCheckpointReportResetsTheStatesAndCompletes) {
  ToAfterSnapshot();
  FaultPlan::Set("kdnm.operation-type", "CLONE_FROM_THE_FUTURE");
  FaultPlan::Set("kdnm.post-snapshot-status", "skip");
  NextBoot();
  LogCapture log;
  EXPECT_TRUE(ServiceStart());
  EXPECT_EQ(Count(log, LogLevel::Warn,
                  kFlow + L"CustomizeClone(): Unknown operation type (or not supported yet): CLONE_FROM_THE_FUTURE"),
            1u);
  EXPECT_EQ(
      Count(log, LogLevel::Debug, kFlow + L"CustomizeClonePostShutdown(): Clone customization state is: snapshotting"),
      1u);
  EXPECT_EQ(
      Count(
          log, LogLevel::Warn,
          kFlow +
              L"CustomizeClonePostShutdown(): Unexpected clone customization state: snapshotting, sibling status value: 2"),
      1u);
  EXPECT_EQ(Mirror(L"clone.CustomizationState"), L"success");
  EXPECT_EQ(ServiceDword(L"NotifyHaldenStatusValue"), 4u) << "the sibling agent hears of the success";
}

TEST_F(UniversalprepSimTest, HelperThatRefusesTheCloneStopsItBeforeTheSiblingService) {
  test::SetStandInFault("helper.error", "The broker refused the clone");
  LogCapture log;
  EXPECT_FALSE(ServiceStart());
  EXPECT_EQ(
      Count(log, LogLevel::Warn, kFlow + L"CustomizeClone(): Failed to launch agent helper in service mode for clone"),
      1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kFlow + L"CustomizeClone(): Started Quorvel Agent service"), 0u);
  EXPECT_TRUE(fs::exists(helperFile_));
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::CloneShutdown)) << "the next start tries again";
}

}  // namespace
}  // namespace tamber::core::windows
