// Torture runs: many small pools, each customized under a fault plan drawn from a seed (faults of the
// simulated machine, power cuts at a machine time or at a platform call, a lazy flush interval, and a
// registry that may keep only part of what it had not flushed), and after each run a check of the
// invariants that a pool must keep whatever happened to it. The same seed and run index draw the same
// plan, so a failing run is replayed from the command it prints.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Chain.h"

namespace velocyn::sim_cli {

// A power cut of one boot of a machine: at a machine time, or at the n-th call of a platform call site.
struct TortureCut {
  uint32_t boot = 0;  // counted from 0
  std::optional<uint64_t> atMs;
  std::string site;  // "registry-write", "registry-flush", "file-write", "process-start"
  uint64_t call = 0;
};

struct TorturePlan {
  uint64_t seed = 0;
  uint32_t run = 0;
  std::string flavour;  // what the chain is asked for; "mixed" draws one per run
  uint32_t clones = 2;
  bool persistentDisk = false;
  uint32_t lazyFlushMs = 5000;
  uint64_t tornFlushSeed = 0;  // 0: a power cut loses every unflushed change
  // The clones' post-customization script: a shell command line ("exit 0", "exit 7", "sleep 30"), or
  // none when empty.
  std::string script;
  // By machine name ("it", "replica", "parent", "clone-0001", ...).
  std::map<std::string, std::map<std::string, std::string>> faults;
  std::map<std::string, TortureCut> cuts;
  // One line for people.
  std::string Describe() const;
};

// The plan of run `run` of a campaign with this seed (the same arguments give the same plan).
TorturePlan DrawTorturePlan(uint64_t seed, uint32_t run, const std::string& flavour);

// The invariants, in the order they are checked; a run reports the first one broken on each machine.
enum class Invariant {
  NoCrashOrHang = 1,      // no crash report, no hang, only documented exit codes
  EndsDocumented = 2,     // final status "success" or "error" with a documented code, or a state that goes on
  SuccessIsTrue = 3,      // "success" only with name, trust, completion markers and PolicyState 0
  MarkersHaveEffect = 4,  // no marker without its effect, no once-only effect done twice
  NoSecretInLogs = 5,     // no password, checksum or secret in a log file
};
const char* InvariantName(Invariant invariant);

struct TortureFinding {
  Invariant invariant = Invariant::NoCrashOrHang;
  std::string machine;
  std::string detail;
};

struct TortureRunResult {
  TorturePlan plan;
  std::filesystem::path dir;
  std::string error;  // the run could not be set up at all
  std::vector<TortureFinding> findings;
  uint32_t boots = 0;
  uint32_t powerCuts = 0;
  double realMs = 0;
  bool ok() const { return error.empty() && findings.empty(); }
};

struct TortureOptions {
  std::filesystem::path dir;  // one subdirectory per run; runs that pass are removed unless keep
  uint32_t runs = 100;
  uint64_t seed = 1;
  std::string flavour = "cloneprep";  // whatever chain accepts, or "mixed"
  uint32_t jobs = 1;
  std::optional<uint32_t> onlyRun;  // replay one run of the campaign
  bool keep = false;
  std::filesystem::path agentExecutable;  // empty: tlv-velocyn-ga next to this program
  std::filesystem::path helperProgram;    // the helper stand-in, for universalprep runs
  double timeScale = 1000.0;
  bool timeJumps = false;           // --time-scale max: machine time jumps over the moments the guest waits
  uint64_t hostTimeoutMs = 120000;  // a boot still running after this much real time hangs
  std::function<void(const TortureRunResult& run)> progress;
  // Tests: change the plan before the run, or the pool after it and before the checks (to show that an
  // invariant catches a broken outcome).
  std::function<void(TorturePlan* plan)> adjustPlan;
  std::function<void(const TorturePlan& plan, ChainResult* chain)> afterRun;
};

struct TortureResult {
  std::string error;  // the campaign could not be run (bad directory)
  std::vector<TortureRunResult> runs;
  double realMs = 0;
  bool ok() const;
};

TortureResult RunTorture(const TortureOptions& options);
// Checks one finished pool (exposed for tests). boots holds what each boot left behind that the chain
// does not keep (crash reports), by machine name.
std::vector<TortureFinding> CheckInvariants(const TorturePlan& plan, const ChainResult& chain,
                                            const std::filesystem::path& domainDir,
                                            const std::map<std::string, std::vector<std::string>>& crashReports);

// The command that replays a run exactly.
std::string ReplayCommand(const TortureOptions& options, const TorturePlan& plan);
void PrintTorture(const TortureOptions& options, const TortureResult& result, std::ostream& out);
void PrintTortureJson(const TortureOptions& options, const TortureResult& result, std::ostream& out);

}  // namespace velocyn::sim_cli
