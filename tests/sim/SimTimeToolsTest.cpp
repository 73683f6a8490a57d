// The simulated w32tm and gpupdate as the agent's command lines meet them: texts and exit codes for the
// cases the agent tells apart, the machine state they follow, and the fault plan entries that fail them.
#include <gtest/gtest.h>

#include <string>

#include "core/util/System.h"
#include "platform/Services.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/tools/SimTools.h"
#include "support/TestEnvironment.h"
#include "support/sim/ToolRun.h"

namespace tamber {
namespace {

using core::util::System;
using platform::sim::FaultPlan;
using test::RunTool;

constexpr const char* kSending = "Sending resync command to local computer\r\n";

class SimTimeToolsTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    platform::sim::RegisterBuiltinTools();
    platform::sim::SetTimeScale(1000);
  }
  void TearDown() override {
    platform::sim::SetTimeScale(1);
    test::GuestTest::TearDown();
  }
  static void StartTimeService() { ASSERT_EQ(System::Instance()->ControlSvc(L"W32Time", System::kControlStart), 0); }
};

TEST_F(SimTimeToolsTest, W32tmResyncNeedsTheTimeService) {
  auto run = RunTool(L"w32tm /resync");
  EXPECT_EQ(run.exitCode, 0x80070426u);
  EXPECT_EQ(run.output,
            std::string(kSending) + "The following error occurred: The service has not been started. (0x80070426)\r\n");
  StartTimeService();
  run = RunTool(L"C:\\Windows\\System32\\W32TM.EXE /RESYNC /nowait");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, std::string(kSending) + "The command completed successfully.\r\n");
}

TEST_F(SimTimeToolsTest, W32tmFaultsAndUnknownOptions) {
  StartTimeService();
  FaultPlan::Set("w32tmFails", "1");
  FaultPlan::Set("w32tmNoTimeData", "1");
  auto run = RunTool(L"w32tm /resync");
  EXPECT_EQ(run.exitCode, 0x800706BAu);
  EXPECT_EQ(run.output,
            std::string(kSending) + "The following error occurred: The RPC server is unavailable. (0x800706BA)\r\n");
  run = RunTool(L"w32tm /resync");
  EXPECT_EQ(run.exitCode, 0u) << "no time data is no failure of the tool";
  EXPECT_EQ(run.output, std::string(kSending) + "The computer did not resync because no time data was available.\r\n");
  EXPECT_EQ(RunTool(L"w32tm /resync").exitCode, 0u) << "both faults are used up";
  for (const wchar_t* bad : {L"w32tm", L"w32tm /query /status", L"w32tm /resync:now", L"w32tm resync"}) {
    run = RunTool(bad);
    EXPECT_EQ(run.exitCode, 0x80070057u) << ::testing::PrintToString(std::wstring(bad));
    EXPECT_EQ(run.output, "The following error occurred: The parameter is incorrect. (0x80070057)\r\n");
  }
}

TEST_F(SimTimeToolsTest, GpupdateRefreshesComputerPolicy) {
  auto run = RunTool(L"gpupdate /target:Computer /force");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, "Updating policy...\r\n\r\nComputer Policy update has completed successfully.\r\n\r\n");
  run = RunTool(L"GPUPDATE.exe /TARGET:computer /FORCE /wait:0");
  EXPECT_EQ(run.exitCode, 0u);
  run = RunTool(L"gpupdate");
  EXPECT_NE(run.output.find("User Policy update has completed successfully."), std::string::npos);
  for (const wchar_t* bad : {L"gpupdate /target:Machine", L"gpupdate /forced", L"gpupdate force"}) {
    run = RunTool(bad);
    EXPECT_EQ(run.exitCode, 1u) << ::testing::PrintToString(std::wstring(bad));
    EXPECT_EQ(run.output.rfind("ERROR: Invalid argument/option - '", 0), 0u) << run.output;
  }
}

TEST_F(SimTimeToolsTest, GpupdateFailsAsThePlanSaysOrWithoutAController) {
  FaultPlan::Set("gpupdateFails", "1");
  auto run = RunTool(L"gpupdate /target:Computer /force");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.output.find("Computer policy could not be updated successfully."), std::string::npos);
  EXPECT_EQ(RunTool(L"gpupdate /target:Computer /force").exitCode, 0u);

  // Outside a domain policy is local; a domain member needs a controller.
  FaultPlan::Set("DsGetDcNameFails", "1000");
  EXPECT_EQ(RunTool(L"gpupdate /target:Computer /force").exitCode, 0u) << "in no domain";
  auto domain = platform::sim::Machine::Directory() / "corp";
  ASSERT_EQ(platform::sim::SimDomain::Create(domain, "corp.example", {"Site-A"}, {{"dc1.corp.example", "Site-A"}}), "");
  ASSERT_EQ(platform::sim::AttachToDomain(platform::sim::Machine::Directory(), domain), "");
  run = RunTool(L"gpupdate /target:Computer /force");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.output.find("lack of network connectivity to a domain controller"), std::string::npos);
}

}  // namespace
}  // namespace tamber
