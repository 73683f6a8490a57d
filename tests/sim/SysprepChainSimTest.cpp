// Whole cloning chains of the Sysprep flavour, one scenario each: the real agent process boots every
// machine, Windows setup generalizes, specializes and finishes each clone across its boots, and the
// hypervisor side takes the snapshot and powers the clone on again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Chain.h"
#include "platform/guestrpc/SimHypervisor.h"

namespace velocyn::sim_cli {
namespace {

namespace fs = std::filesystem;
using tamber::platform::guestrpc::SimHypervisor;

std::string AgentLogs(const fs::path& machine) {
  std::string text;
  for (const auto& entry : fs::directory_iterator(machine / "drive_c/ProgramData/Talvora/Quorvel/logs")) {
    if (entry.path().filename().string().rfind("debug-", 0) != 0) continue;
    std::ifstream in(entry.path());
    text += std::string(std::istreambuf_iterator<char>(in), {});
  }
  return text;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class SysprepChainSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("velocyn-sysprep-chain-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(dir_);
    options_.dir = dir_;
    options_.agentExecutable = VELOCYN_AGENT_EXECUTABLE;
    options_.flavour = "sysprep";
    options_.clones = 2;
    options_.jobs = 2;
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  static std::string Describe(const ChainResult& result) {
    std::ostringstream table;
    PrintChain(result, table);
    return table.str();
  }

  fs::path dir_;
  ChainOptions options_;
};

TEST_F(SysprepChainSimTest, ClonesAreNamedJoinedAndCompletedAfterSetupAndTheSnapshot) {
  ChainResult result = RunChain(options_);
  ASSERT_EQ(result.error, "");
  EXPECT_TRUE(result.ok()) << Describe(result);
  ASSERT_EQ(result.machines.size(), 6u);
  // The replica patched the answer file: the template's MAC text became the adapter's name.
  const std::string answer = ReadText(dir_ / "replica/drive_c/Windows/Panther/unattend.xml");
  EXPECT_NE(answer.find("<Identifier>Ethernet0</Identifier>"), std::string::npos) << answer;
  EXPECT_FALSE(fs::exists(dir_ / "replica/drive_c/Windows/Temp/talvora/SetSysprepXmlInterfaceId.ps1"));
  for (size_t i = 4; i < result.machines.size(); ++i) {
    const ChainMachine& clone = result.machines[i];
    EXPECT_EQ(clone.status, "success") << clone.name;
    EXPECT_TRUE(clone.trustHolds) << clone.name;
    ASSERT_EQ(clone.boots.size(), 4u) << Describe(result);
    EXPECT_EQ(clone.boots[0].endedBy, "reboot") << "generalize";
    EXPECT_EQ(clone.boots[1].endedBy, "reboot") << "specialize";
    EXPECT_EQ(clone.boots[2].status, "snapshotting");
    const std::string logs = AgentLogs(clone.dir);
    EXPECT_NE(logs.find("Sysprep::CustomizeClonePreShutdown(): RenameMachine Succeeded"), std::string::npos);
    EXPECT_NE(logs.find("Sysprep::CustomizeClonePostShutdown(): Trust Verification Succeeded"), std::string::npos);
    EXPECT_EQ(logs.find("resetting the states"), std::string::npos) << "the post-snapshot start found what it expects";
    // The specialize pass ran on this clone with the patched answer file.
    EXPECT_NE(ReadText(clone.dir / "drive_c/Windows/Panther/setupact.log").find("specialize: complete"),
              std::string::npos);
  }
}

TEST_F(SysprepChainSimTest, ASpecializeThatNeverEndsFailsTheCloneAfterAnHourWithError17) {
  options_.clones = 1;
  options_.faults["clone"] = {{"SetupPhaseHangs", "specialize"}};
  options_.expect["clone"] = {"error", 17u};
  options_.stopAfterMs = 3 * 3600000ull;  // the administrator waits longer than the agent does
  ChainResult result = RunChain(options_);
  ASSERT_EQ(result.error, "");
  EXPECT_TRUE(result.ok()) << Describe(result);
  const ChainMachine& clone = result.machines.back();
  EXPECT_EQ(clone.errorCode, 17u);
  EXPECT_NE(AgentLogs(clone.dir).find("Sysprep::WaitForSpecialize(): Timed out waiting for Specialize"),
            std::string::npos);
  EXPECT_GE(clone.boots.back().machineTimeMs, 3600000u);
}

TEST_F(SysprepChainSimTest, WithoutTheAnswerFilePassSpecializeFailsOnTheClonesNewMac) {
  // The replica's answer-file pass fails (its script cannot run): the answer file keeps the template's MAC
  // text, which no clone has, and Windows refuses the specialize pass on every clone.
  options_.clones = 1;
  options_.prepareMachine = [](const ChainMachine& machine, uint32_t) {
    if (machine.role != "replica") return;
    fs::remove_all(machine.dir / "drive_c/Windows/Temp");
    std::ofstream(machine.dir / "drive_c/Windows/Temp") << "a file where the agent's folder would go";
  };
  options_.expect["clone"] = {"error", 17u};
  options_.stopAfterMs = 3 * 3600000ull;
  ChainResult result = RunChain(options_);
  ASSERT_EQ(result.error, "");
  const ChainMachine& clone = result.machines.back();
  EXPECT_EQ(clone.status, "error") << Describe(result);
  EXPECT_NE(ReadText(clone.dir / "drive_c/Windows/Panther/setuperr.log").find("names no network adapter"),
            std::string::npos);
}

}  // namespace
}  // namespace velocyn::sim_cli
