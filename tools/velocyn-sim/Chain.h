// A whole cloning chain on simulated machines: this program plays the management side and the hypervisor
// for a pool. It makes the domain and the golden image (the agent installed as its service), boots the
// golden image once, then derives the internal template, the replica and the parent from one another's
// disks as the management side does (each with its own guestinfo), boots each until it has done its
// role's work, and forks the clones from the parent and boots each until it is customized. Clones boot
// in parallel. Afterwards every machine is checked against what its fault plan predicts, and each clone's
// "success" is checked against the machine itself (its name, its secure channel, its markers).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velocyn::sim_cli {

struct ChainMachine;

// What a machine is predicted to end in: a status, and for "error" optionally the error code.
struct ChainExpectation {
  std::string status = "success";
  std::optional<uint32_t> errorCode;
};

struct ChainOptions {
  std::filesystem::path dir;  // made by the chain; must be absent or empty (or an earlier chain with force)
  bool force = false;         // replace an earlier chain in dir
  std::string flavour = "cloneprep";
  uint32_t clones = 3;
  uint32_t jobs = 0;  // 0: the number of cores
  uint64_t seed = 1;  // names the UUIDs; the same seed makes the same pool
  // Fault plans and predictions by machine kind: "it", "replica", "parent" or "clone" (every clone).
  // A machine without a prediction is predicted to end in "success".
  std::map<std::string, std::map<std::string, std::string>> faults;
  std::map<std::string, ChainExpectation> expect;
  // Each clone gets a blank data disk of this many bytes (0: none) at SCSI 0:1, described to it as its
  // Primary persistent disk on D: with the persistent-disks flag; the images live in <dir>/disks.
  uint64_t persistentDiskBytes = 0;
  double timeScale = 1000.0;
  bool timeJumps = false;                 // --time-scale max: machine time jumps over the moments the guest waits
  std::filesystem::path agentExecutable;  // empty: tlv-velocyn-ga next to this program
  // The sibling agent's helper stand-in (tqaprep) the Universalprep machines run; empty: tqaprep next to
  // this program, or in its tests folder.
  std::filesystem::path helperProgram;
  uint32_t maxBootsPerMachine = 10;
  // A boot still running after this much machine time gets a stop control, as an administrator would
  // send one; stopAt, when set and answering, chooses another time for a boot. Longer than a boot's
  // waits in a row (a setup phase is waited for up to an hour), so that a clone whose setup is stuck
  // reaches its own time-out and reports it instead of being stopped just before.
  uint64_t stopAfterMs = 4 * 3600000ull;
  // A boot still running after this much real time is cut off and counts as "timed out".
  uint64_t hostTimeoutMs = 300000;
  std::function<std::optional<uint64_t>(const ChainMachine& machine)> stopAt;
  // Called for each machine made from another's disk, before its first boot (tests shape single
  // machines); index counts clones from 0 and is 0 for the others.
  std::function<void(const ChainMachine& machine, uint32_t index)> prepareMachine;
  // The machine time at which a boot's power is cut, asked before every boot (the boot's number is
  // machine.boots.size()); nothing for a boot that runs to its end.
  std::function<std::optional<uint64_t>(const ChainMachine& machine)> powerCutAt;
  // Called after each boot of a machine, with the boot recorded last in machine.boots.
  std::function<void(const ChainMachine& machine)> afterBoot;
  // One line per machine that finished, for people watching a long run.
  std::function<void(const std::string& line)> progress;
};

// A customization step seen in the agent's log during a boot.
struct ChainStep {
  uint64_t atMs = 0;  // machine time since the boot's first log line
  std::string level;  // "DEBUG", "ERROR", ...
  std::string text;   // the step's method and message
};

struct ChainBoot {
  std::string endedBy;  // as boot reports it: "reboot", "shutdown", "service stopped", ...
  int exitCode = -1;
  uint64_t machineTimeMs = 0;
  double startRealMs = 0;  // since the chain started
  double realMs = 0;
  std::string status;      // the role's status after the boot ("" when unset)
  std::string powerCutAt;  // a power cut planned at a platform call: where it fell
  std::vector<ChainStep> steps;
  // What the boot cost the agent process (see AgentBootResult).
  uint64_t hostTimeMs = 0;
  uint64_t cpuUs = 0;
  uint64_t peakRssKiB = 0;
  uint64_t toolsRealMs = 0;
  uint64_t jumps = 0;
  uint64_t idleRealUs = 0;
  uint64_t registryCalls = 0;
  uint64_t guestInfoCalls = 0;
};

struct ChainMachine {
  std::string name;  // "golden", "it", "replica", "parent", "clone-0001", ...
  std::string role;  // "master", "it", "replica", "parent", "clone"
  std::string hostName;
  std::filesystem::path dir;
  std::vector<ChainBoot> boots;
  std::string status;                 // final role status
  std::optional<uint32_t> errorCode;  // of an "error": the policy state it left
  std::string errorCategory;
  std::optional<uint32_t> policyState;
  uint64_t machineTimeMs = 0;
  double realMs = 0;
  // What the machine itself shows, checked for clones.
  std::string computerName;
  bool trustHolds = false;
  std::optional<uint32_t> cloneSuccessful;  // IsCloneCustomizationSuccessful
  std::string problem;                      // why the machine did not reach its prediction; "" when it did
};

struct ChainResult {
  std::string error;  // the chain could not be run at all (bad directory, missing agent)
  std::vector<ChainMachine> machines;
  double realMs = 0;
  bool ok() const;
};

ChainResult RunChain(const ChainOptions& options);

// The status that ends a role's work in a flavour ("" when the role reports none: a Sysprep parent).
std::string FlavourDoneStatus(const std::string& flavour, const std::string& role);

// Output.
void PrintChain(const ChainResult& result, std::ostream& out);
void PrintChainJson(const ChainResult& result, std::ostream& out);
// One self-contained HTML page: the pool as a table and a per-boot timeline.
void WriteChainReport(const ChainResult& result, std::ostream& out);

}  // namespace velocyn::sim_cli
