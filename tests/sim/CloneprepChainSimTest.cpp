// Whole cloning chains of the Cloneprep flavour, one scenario each: the real agent process boots every
// machine (golden image, internal template, replica, parent, clones) the way velocyn-sim chain does, and
// the tests look at what the machines hold afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "AgentBoot.h"
#include "Chain.h"
#include "RegistryView.h"
#include "framework/log/LogWriter.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/storage/SimStorage.h"

namespace velocyn::sim_cli {
namespace {

namespace fs = std::filesystem;
using tamber::platform::guestrpc::SimHypervisor;
using tamber::platform::sim::Machine;

constexpr const wchar_t* kGaKey = L"HKLM\\SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga";

// Writes DWORD values into a machine that is off, as an administrator's setting on its disk.
void SetDwords(const fs::path& machine, const std::wstring& key,
               const std::vector<std::pair<std::wstring, uint32_t>>& values) {
  std::lock_guard<std::mutex> lock(InProcessMachineLock());
  Machine::Boot(machine);
  for (const auto& [name, value] : values) EXPECT_EQ(WriteValue(key, name, "dword", std::to_string(value)), 0u);
  tamber::framework::log::ShutdownLog();
  Machine::Shutdown();
}

// A value of a machine that is off; nothing when it is missing.
std::optional<uint32_t> ReadDword(const fs::path& machine, const std::wstring& key, const std::wstring& name) {
  std::lock_guard<std::mutex> lock(InProcessMachineLock());
  Machine::Boot(machine);
  auto value = ReadOneValue(key, name);
  Machine::PowerCut();
  return value ? value->dword : std::nullopt;
}

// Everything the agent logged on the machine, all boots.
std::string AgentLogs(const fs::path& machine) {
  std::string text;
  for (const auto& entry : fs::directory_iterator(machine / "drive_c/ProgramData/Talvora/Quorvel/logs")) {
    if (entry.path().filename().string().rfind("debug-", 0) != 0) continue;
    std::ifstream in(entry.path());
    text += std::string(std::istreambuf_iterator<char>(in), {});
  }
  return text;
}

const ChainMachine* Find(const ChainResult& result, const std::string& name) {
  for (const auto& machine : result.machines) {
    if (machine.name == name) return &machine;
  }
  return nullptr;
}

class CloneprepChainSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ =
        fs::temp_directory_path() / ("velocyn-chain-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(dir_);
    options_.dir = dir_;
    options_.agentExecutable = VELOCYN_AGENT_EXECUTABLE;
    options_.clones = 1;
    options_.jobs = 2;
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  ChainResult Run() {
    ChainResult result = RunChain(options_);
    EXPECT_EQ(result.error, "");
    return result;
  }
  static std::string Describe(const ChainResult& result) {
    std::ostringstream table;
    PrintChain(result, table);
    return table.str();
  }

  fs::path dir_;
  ChainOptions options_;
};

TEST_F(CloneprepChainSimTest, PoolEndsWithCloneNamesTrustAndSuccess) {
  options_.clones = 3;
  ChainResult result = Run();
  ASSERT_TRUE(result.ok()) << Describe(result);
  ASSERT_EQ(result.machines.size(), 7u);
  EXPECT_EQ(Find(result, "it")->boots.size(), 2u) << "joins and reboots, then verifies and shuts down";
  EXPECT_EQ(Find(result, "it")->boots.back().endedBy, "shutdown");
  EXPECT_EQ(Find(result, "replica")->boots.size(), 2u);
  for (const char* name : {"clone-0001", "clone-0002", "clone-0003"}) {
    const ChainMachine& clone = *Find(result, name);
    EXPECT_EQ(clone.status, "success");
    EXPECT_EQ(clone.computerName, clone.hostName);
    EXPECT_TRUE(clone.trustHolds);
    EXPECT_EQ(clone.policyState, 0u);
    EXPECT_EQ(clone.cloneSuccessful, 1u);
  }
  // The template handed the fork marker to the hypervisor, and its UUID never reached a log.
  EXPECT_EQ(SimHypervisor(dir_ / "it" / "hypervisor").GetVariable("ngaFork").value_or(""), "1");
  const std::string itLog = AgentLogs(dir_ / "it");
  EXPECT_NE(itLog.find("Cloneprep::CustomizeIT(): Internal Template: ********"), std::string::npos);
  const auto uuid = SimHypervisor(dir_ / "it" / "hypervisor").GetVariable("cloneprep.clone.uuid");
  ASSERT_TRUE(uuid.has_value());
  EXPECT_EQ(itLog.find(*uuid), std::string::npos);
}

TEST_F(CloneprepChainSimTest, ReplicaWithDhcpLeftOnStillDisablesNetlogon) {
  options_.prepareMachine = [](const ChainMachine& machine, uint32_t) {
    if (machine.role == "replica") SetDwords(machine.dir, kGaKey, {{L"DisableDhcpService", 0}});
  };
  ChainResult result = Run();
  ASSERT_TRUE(result.ok()) << Describe(result);
  const fs::path replica = dir_ / "replica";
  const std::wstring services = L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\";
  EXPECT_NE(ReadDword(replica, services + L"dhcp", L"Start"), 4u) << "DHCP left alone";
  EXPECT_EQ(ReadDword(replica, services + L"netlogon", L"Start"), 4u) << "Netlogon disabled";
  EXPECT_EQ(AgentLogs(replica).find("Disabled DHCP Service"), std::string::npos);
}

TEST_F(CloneprepChainSimTest, TemplateThatTheBootTimeAgentDidNotRenameFailsWithCode32) {
  options_.faults["it"]["BootTimeAgentFails"] = "1";
  options_.expect["it"] = {"error", 32};
  ChainResult result = Run();
  ASSERT_TRUE(result.ok()) << Describe(result);
  const ChainMachine& it = *Find(result, "it");
  EXPECT_EQ(it.errorCategory, "Rename");
  EXPECT_EQ(it.boots.size(), 1u);
  EXPECT_EQ(Find(result, "replica"), nullptr) << "nothing is derived from a template that failed";
  EXPECT_NE(AgentLogs(it.dir).find("CustomizeIT(): IT Failed to set computer name in NGA. Cannot Continue"),
            std::string::npos);
}

TEST_F(CloneprepChainSimTest, CloneThatTheBootTimeAgentFailedIsRefusedWithPolicyState6) {
  options_.faults["clone"]["BootTimeAgentFails"] = "1";
  options_.expect["clone"] = {"error", std::nullopt};
  ChainResult result = Run();
  ASSERT_TRUE(result.ok()) << Describe(result);
  const ChainMachine& clone = *Find(result, "clone-0001");
  EXPECT_EQ(clone.policyState, 6u);
  EXPECT_NE(clone.cloneSuccessful, 1u);
  EXPECT_NE(AgentLogs(clone.dir).find("Clone: Customization failed in nga, cannot continue"), std::string::npos);
}

TEST_F(CloneprepChainSimTest, CloneThatSkipsTheDomainJoinDoesNotComplete) {
  options_.prepareMachine = [](const ChainMachine& machine, uint32_t) {
    if (machine.role == "clone") SetDwords(machine.dir, kGaKey, {{L"SkipCloneprepDomainJoin", 1}});
  };
  // Without its own password the clone's channel cannot hold, and no other path joins it here.
  options_.expect["clone"] = {"error", 26};
  ChainResult result = Run();
  ASSERT_TRUE(result.ok()) << Describe(result);
  const fs::path clone = dir_ / "clone-0001";
  EXPECT_NE(AgentLogs(clone).find("InitNetwork(): Clone: Skipping domain join"), std::string::npos);
  EXPECT_NE(ReadDword(clone, kGaKey, L"CloneJoinedDomain"), 1u);
  EXPECT_NE(ReadDword(clone, kGaKey, L"CloneCustomizationCompleted"), 1u);
}

TEST_F(CloneprepChainSimTest, RebootFlagRebootsTheCloneOnceAndCompletesOnTheNextStart) {
  options_.prepareMachine = [](const ChainMachine& machine, uint32_t) {
    if (machine.role == "clone") SimHypervisor(machine.dir / "hypervisor").SetVariable("AgentCustomizationFlags", "8");
  };
  ChainResult result = Run();
  ASSERT_TRUE(result.ok()) << Describe(result);
  ASSERT_NE(Find(result, "clone-0001"), nullptr) << Describe(result);
  const ChainMachine& clone = *Find(result, "clone-0001");
  ASSERT_EQ(clone.boots.size(), 2u) << Describe(result);
  EXPECT_EQ(clone.boots[0].endedBy, "reboot");
  EXPECT_EQ(clone.boots[0].status, "running");
  EXPECT_EQ(clone.boots[1].status, "success");
  // REBOOT_REQUIRED, REQUESTED and COMPLETED.
  EXPECT_EQ(SimHypervisor(clone.dir / "hypervisor").GetVariable("AgentCustomizationFlags").value_or(""), "56");
  EXPECT_NE(AgentLogs(clone.dir).find("Only a reboot was required and has completed"), std::string::npos);
}

TEST_F(CloneprepChainSimTest, FailedTrustTakesTheBoundedRebootThenJoinsWithNetJoinDomain) {
  const fs::path domain = dir_ / "domain";
  options_.prepareMachine = [domain](const ChainMachine& machine, uint32_t) {
    if (machine.role != "clone") return;
    SetDwords(machine.dir, kGaKey, {{L"MaxVerifyTrustFailedReboots", 1}, {L"MaxNetJoinDomainAttempts", 1}});
    // The account's password no longer matches what the clone was given, as after a reset on the
    // controller: the fast path cannot hold.
    auto opened = tamber::platform::sim::SimDomain::Open(domain);
    ASSERT_TRUE(opened.has_value());
    const uint8_t stale[] = {'s', 0, 't', 0, 'a', 0, 'l', 0, 'e', 0};
    ASSERT_TRUE(opened->SetAccountPassword(machine.hostName, stale, sizeof stale));
  };
  options_.maxBootsPerMachine = 6;
  ChainResult result = Run();
  ASSERT_TRUE(result.ok()) << Describe(result);
  const ChainMachine& clone = *Find(result, "clone-0001");
  ASSERT_EQ(clone.boots.size(), 3u) << Describe(result);
  EXPECT_EQ(clone.boots[0].endedBy, "reboot") << "the failed trust's reboot";
  EXPECT_EQ(clone.boots[1].endedBy, "reboot") << "the NetJoinDomain join's reboot";
  EXPECT_EQ(ReadDword(clone.dir, kGaKey, L"VerifyTrustFailedReboots"), 1u);
  EXPECT_EQ(ReadDword(clone.dir, kGaKey, L"NetJoinDomainAttempts"), 1u);
  EXPECT_EQ(ReadDword(clone.dir, kGaKey, L"CloneJoinedDomainWithNetJoinDomain"), 1u);
  const std::string log = AgentLogs(clone.dir);
  EXPECT_NE(log.find("ApplyIdentitySet(): Initiating Verify Trust Failed Reboot"), std::string::npos);
  EXPECT_NE(log.find("ApplyIdentitySet(): Clone: Skipped NetJoinDomain"), std::string::npos);
}

TEST_F(CloneprepChainSimTest, CloneWithAPersistentDiskEndsWithItMountedAndItsProfilesOnIt) {
  options_.prepareMachine = [this](const ChainMachine& machine, uint32_t) {
    if (machine.role != "clone") return;
    const fs::path image = dir_ / ("data-" + machine.name);
    std::string error;
    ASSERT_TRUE(tamber::platform::sim::CreateDiskImage(image, 10ull << 30));
    ASSERT_TRUE(tamber::platform::sim::AttachDisk(machine.dir, 0, 1, image, &error)) << error;
    SimHypervisor hypervisor(machine.dir / "hypervisor");
    ASSERT_TRUE(hypervisor.SetVariable("clone.PersistentDisks", "[mountPoint=D;usage=1;loc=0:1;]"));
    ASSERT_TRUE(hypervisor.SetVariable("AgentCustomizationFlags", "8192"));  // persistent disks
  };
  ChainResult result = Run();
  ASSERT_TRUE(result.ok()) << Describe(result);
  const fs::path clone = dir_ / "clone-0001";
  EXPECT_EQ(ReadDword(clone, kGaKey, L"PersistentDisksReady"), 1u);
  EXPECT_EQ(ReadDword(clone, kGaKey, L"ProfilesRedirected"), 1u);
  {
    std::lock_guard<std::mutex> lock(InProcessMachineLock());
    Machine::Boot(clone);
    auto directory =
        ReadOneValue(L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", L"ProfilesDirectory");
    Machine::PowerCut();
    ASSERT_TRUE(directory.has_value());
    EXPECT_EQ(directory->display, "D:\\Users");
  }
  tamber::platform::sim::SimDiskImage image;
  ASSERT_TRUE(tamber::platform::sim::LoadDiskImage(dir_ / "data-clone-0001", &image));
  EXPECT_EQ(image.style, 1u) << "GPT";
  EXPECT_EQ(image.partitions.size(), 2u) << "the reserved and the data partition";
  EXPECT_NE(AgentLogs(clone).find("PersistentDisks::InitializeDisks(): Profile List Monitor Started"),
            std::string::npos);
}

TEST_F(CloneprepChainSimTest, StopDuringTheCloneWaitsEndsThemAtOnce) {
  // Each of the clone's two pauses after a Netlogon start would last about 17 minutes; the stop comes
  // after 3 minutes and ends the pause it finds and the next one.
  options_.prepareMachine = [](const ChainMachine& machine, uint32_t) {
    if (machine.role == "clone") SetDwords(machine.dir, kGaKey, {{L"PostNetlogonStartDelay", 1000000}});
  };
  options_.stopAt = [](const ChainMachine& machine) -> std::optional<uint64_t> {
    if (machine.role == "clone" && machine.boots.empty()) return 180000;
    return std::nullopt;
  };
  ChainResult result = Run();
  ASSERT_NE(Find(result, "clone-0001"), nullptr) << Describe(result);
  const ChainMachine& clone = *Find(result, "clone-0001");
  ASSERT_GE(clone.boots.size(), 1u);
  EXPECT_EQ(clone.boots[0].endedBy, "service stopped");
  // Both pauses in full would take 2,000,000 ms; the bound leaves room for a loaded host, on which a
  // stall of a second is 1,000,000 ms of scaled machine time.
  EXPECT_LT(clone.boots[0].machineTimeMs, 2000000u) << "the stop ended the pauses";
  EXPECT_NE(clone.boots[0].status, "error") << "a stop is no failure of the customization";
  EXPECT_TRUE(result.ok()) << "the next start finished the clone\n" << Describe(result);
}

TEST_F(CloneprepChainSimTest, PowerCutDuringCloneCustomizationNeverLeavesAHalfDoneSuccess) {
  // Each clone loses power at another point of its first boot (all well before a first boot ends); the
  // next boots go on from what the registry had made durable.
  options_.clones = 4;
  options_.maxBootsPerMachine = 6;
  options_.powerCutAt = [](const ChainMachine& machine) -> std::optional<uint64_t> {
    if (machine.role != "clone" || !machine.boots.empty()) return std::nullopt;
    const uint64_t index = std::stoul(machine.name.substr(6));
    return 4000 + index * 9000;
  };
  ChainResult result = Run();
  size_t cutWhileRunning = 0;
  for (const auto& machine : result.machines) {
    if (machine.role != "clone") continue;
    ASSERT_GE(machine.boots.size(), 1u) << Describe(result);
    EXPECT_EQ(machine.boots[0].endedBy, "power cut") << Describe(result);
    if (machine.boots[0].status != "success") ++cutWhileRunning;
    if (machine.status == "error") {
      EXPECT_TRUE(machine.errorCode.has_value()) << machine.name << " failed without a documented code";
    } else {
      EXPECT_EQ(machine.problem, "") << machine.name;  // a success that is true of the machine
    }
  }
  EXPECT_GE(cutWhileRunning, 2u) << "the cuts came during the customization\n" << Describe(result);
}

}  // namespace
}  // namespace velocyn::sim_cli
