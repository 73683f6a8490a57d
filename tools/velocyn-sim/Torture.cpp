#include "Torture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "Json.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPowerCut.h"

namespace velocyn::sim_cli {

namespace fs = std::filesystem;
namespace sim = tamber::platform::sim;
using Clock = std::chrono::steady_clock;
using tamber::platform::guestrpc::SimHypervisor;

namespace {

using Random = std::mt19937_64;

uint64_t Below(Random& random, uint64_t bound) { return bound == 0 ? 0 : random() % bound; }
uint64_t Between(Random& random, uint64_t low, uint64_t high) { return low + Below(random, high - low + 1); }
bool Chance(Random& random, uint32_t percent) { return Below(random, 100) < percent; }

// Every fault the simulated machine offers that a customization meets, with a drawn value. Counted
// faults take a small count, so that a step fails and a retry or the next boot may get through.
struct FaultKind {
  const char* name;
  bool needsDisk;  // only where the clone has a persistent disk
  std::string (*value)(Random& random);
};

std::string Count(Random& random) { return std::to_string(Between(random, 1, 3)); }
std::string One(Random&) { return "1"; }

const std::vector<FaultKind>& FaultKinds() {
  static const std::vector<FaultKind> kinds = {
      {"ServiceStartFails.netlogon", false, [](Random& r) { return Count(r); }},
      {"ServiceStartFails.dhcp", false, [](Random& r) { return Count(r); }},
      {"ServiceStartFails.w32time", false, [](Random& r) { return Count(r) + ":1053"; }},
      {"ServiceStartMs.netlogon", false, [](Random& r) { return std::to_string(Between(r, 2000, 90000)); }},
      {"dhcp.noAnswer", false, One},
      {"dhcp.answerDelayMs", false, [](Random& r) { return std::to_string(Between(r, 1000, 200000)); }},
      {"dhcp6.noAnswer", false, One},
      {"IpRenewAddress.hangMs", false, [](Random& r) { return std::to_string(Between(r, 1000, 200000)); }},
      {"NetJoinDomain.errors", false,
       [](Random& r) { return std::string(Chance(r, 50) ? "53" : "1355") + "*" + std::to_string(Between(r, 1, 4)); }},
      {"NetLogonControlFails", false, [](Random& r) { return Count(r); }},
      {"nltestChangePwdFails", false, [](Random& r) { return Count(r); }},
      {"DsGetDcNameFails", false, [](Random& r) { return Count(r); }},
      {"DsGetSiteNameFails", false, [](Random& r) { return Count(r); }},
      {"LsaStoreFails", false,
       [](Random& r) { return std::string(Chance(r, 50) ? "0xC0000001" : "0xC0000001@$MACHINE.ACC"); }},
      {"w32tmFails", false, [](Random& r) { return Count(r); }},
      {"w32tmNoTimeData", false, [](Random& r) { return Count(r); }},
      {"gpupdateFails", false, [](Random& r) { return Count(r); }},
      {"BootTimeAgentFails", false, One},
      {"NicDisableFails", false, [](Random&) { return std::string("31"); }},
      {"NicEnableNeedsReboot", false, One},
      {"DiskMissing", true, [](Random& r) { return std::string("0:1") + (Chance(r, 50) ? "@1" : ""); }},
      {"DiskLayoutWriteFails", true, [](Random&) { return std::string("1117"); }},
      {"FormatFails", true, [](Random&) { return std::string("4"); }},
      {"MountPointFails", true, [](Random&) { return std::string("5"); }},
      {"VolumesNotReady", true, [](Random&) { return std::string("21"); }},
      {"VolumeNeedsRestart", true, One},
  };
  return kinds;
}

constexpr const char* kCutSites[] = {"registry-write", "registry-flush", "file-write", "process-start"};
// How many calls of each site a customizing boot makes, roughly: a cut is drawn within that range.
constexpr uint64_t kCutSiteCalls[] = {400, 12, 300, 12};

std::string RunName(uint32_t run) {
  char name[32];
  std::snprintf(name, sizeof name, "run-%06u", run);
  return name;
}

std::string CloneName(uint32_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "clone-%04u", index + 1);
  return name;
}

void DrawMachine(Random& random, const std::string& machine, bool disk, uint32_t faultPercent, TorturePlan* plan) {
  if (Chance(random, faultPercent)) {
    const auto& kinds = FaultKinds();
    const uint64_t count = Between(random, 1, 2);
    for (uint64_t i = 0; i < count; ++i) {
      const FaultKind& kind = kinds[Below(random, kinds.size())];
      if (kind.needsDisk && !disk) continue;
      plan->faults[machine][kind.name] = kind.value(random);
    }
  }
  if (Chance(random, 60)) {
    TortureCut cut;
    cut.boot = static_cast<uint32_t>(Chance(random, 75) ? 0 : Between(random, 1, 2));
    if (Chance(random, 40)) {
      cut.atMs = Between(random, 500, 60000);
    } else {
      const uint64_t site = Below(random, 4);
      cut.site = kCutSites[site];
      cut.call = Between(random, 1, kCutSiteCalls[site]);
    }
    plan->cuts[machine] = cut;
  }
}

}  // namespace

std::string TorturePlan::Describe() const {
  std::ostringstream text;
  text << "seed " << seed << " run " << run << ": " << flavour << ", " << clones << " clone(s)"
       << (persistentDisk ? " with persistent disks" : "") << ", lazy flush " << lazyFlushMs << " ms, "
       << (tornFlushSeed != 0 ? "torn registry" : "registry loses all unflushed")
       << (script.empty() ? "" : ", post-customization script \"" + script + "\"") << ";";
  for (const auto& [machine, faults] : this->faults) {
    text << " " << machine << "{";
    bool first = true;
    for (const auto& [name, value] : faults) {
      text << (first ? "" : ",") << name << "=" << value;
      first = false;
    }
    text << "}";
  }
  for (const auto& [machine, cut] : cuts) {
    text << " " << machine << ":cut(boot " << cut.boot + 1 << ", ";
    if (cut.atMs) {
      text << *cut.atMs << " ms)";
    } else {
      text << cut.site << " call " << cut.call << ")";
    }
  }
  return text.str();
}

TorturePlan DrawTorturePlan(uint64_t seed, uint32_t run, const std::string& flavour) {
  // One generator per run, from the seed and the run index alone: a run is drawn the same whatever ran
  // before it or beside it.
  std::seed_seq sequence{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32), run, 0x70727475u};
  Random random(sequence);
  TorturePlan plan;
  plan.seed = seed;
  plan.run = run;
  plan.flavour = flavour;
  if (flavour == "mixed") {
    static const char* kFlavours[] = {"cloneprep", "sysprep", "universalprep"};
    plan.flavour = kFlavours[Below(random, 3)];
  }
  plan.clones = static_cast<uint32_t>(Between(random, 1, 3));
  plan.persistentDisk = Chance(random, 40);
  static const uint32_t kLazyFlush[] = {200, 1000, 5000, 30000};
  plan.lazyFlushMs = kLazyFlush[Below(random, 4)];
  plan.tornFlushSeed = Chance(random, 50) ? (random() | 1) : 0;
  static const char* kScripts[] = {"exit 0", "exit 0", "exit 7", "sleep 30"};
  if (Chance(random, 30)) plan.script = kScripts[Below(random, 4)];
  // The template, replica and parent take faults in a share of runs; clones in every run.
  if (Chance(random, 30)) {
    for (const char* machine : {"it", "replica", "parent"}) DrawMachine(random, machine, false, 40, &plan);
  }
  for (uint32_t i = 0; i < plan.clones; ++i) DrawMachine(random, CloneName(i), plan.persistentDisk, 70, &plan);
  return plan;
}

const char* InvariantName(Invariant invariant) {
  switch (invariant) {
    case Invariant::NoCrashOrHang:
      return "1 no crash, hang or undocumented exit";
    case Invariant::EndsDocumented:
      return "2 ends in a documented state";
    case Invariant::SuccessIsTrue:
      return "3 success only when true";
    case Invariant::MarkersHaveEffect:
      return "4 no marker without its effect, no effect twice";
    case Invariant::NoSecretInLogs:
      return "5 no secret in a log";
  }
  return "?";
}

bool TortureResult::ok() const {
  return error.empty() && std::all_of(runs.begin(), runs.end(), [](const TortureRunResult& run) { return run.ok(); });
}

std::string ReplayCommand(const TortureOptions& options, const TorturePlan& plan) {
  return "velocyn-sim torture " + options.dir.string() + " --seed " + std::to_string(plan.seed) + " --flavour " +
         options.flavour + " --run " + std::to_string(plan.run);
}

namespace {

// What a boot's own output shows of a crash: a sanitizer's report, an uncaught exception, an assertion.
std::vector<std::string> CrashLines(const fs::path& machine) {
  static const char* kSigns[] = {"AddressSanitizer", "runtime error:", "terminate called", "Assertion",
                                 "LeakSanitizer"};
  std::vector<std::string> lines;
  std::ifstream in(machine / "run" / "agent.out");
  for (std::string line; std::getline(in, line);) {
    for (const char* sign : kSigns) {
      if (line.find(sign) != std::string::npos) {
        lines.push_back(line.substr(0, 300));
        break;
      }
    }
  }
  return lines;
}

// The administrator's post-customization script on the clone's disk, named in its guestinfo. The
// simulated guest runs it as a host program.
void AddScript(const fs::path& machine, const std::string& command) {
  const fs::path folder = machine / "drive_c" / "scripts";
  fs::create_directories(folder);
  std::ofstream(folder / "post.sh") << "#!/bin/sh\n" << command << "\n";
  fs::permissions(folder / "post.sh", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  SimHypervisor(machine / "hypervisor").SetVariable("scripts.PostCustomization", "C:\\scripts\\post.sh");
}

TortureRunResult RunOne(const TortureOptions& options, uint32_t index) {
  const auto begun = Clock::now();
  TortureRunResult run;
  run.plan = DrawTorturePlan(options.seed, index, options.flavour);
  if (options.adjustPlan) options.adjustPlan(&run.plan);
  run.dir = options.dir / RunName(index);
  std::error_code error;
  fs::remove_all(run.dir, error);

  const TorturePlan& plan = run.plan;
  ChainOptions chain;
  chain.dir = run.dir;
  chain.flavour = plan.flavour;
  chain.clones = plan.clones;
  chain.jobs = 1;
  chain.seed = options.seed * 1000003u + index;
  chain.persistentDiskBytes = plan.persistentDisk ? (64ull << 20) : 0;
  chain.timeScale = options.timeScale;
  chain.timeJumps = options.timeJumps;
  chain.agentExecutable = options.agentExecutable;
  chain.helperProgram = options.helperProgram;
  chain.hostTimeoutMs = options.hostTimeoutMs;
  chain.maxBootsPerMachine = 8;
  chain.prepareMachine = [&plan](const ChainMachine& machine, uint32_t) {
    sim::MachineConfig config = sim::Machine::LoadConfig(machine.dir);
    config.lazyFlushMs = plan.lazyFlushMs;
    config.tornFlushSeed = plan.tornFlushSeed;
    sim::Machine::SaveConfig(machine.dir, config);
    auto faults = plan.faults.find(machine.name);
    if (faults != plan.faults.end()) sim::FaultPlan::Save(machine.dir, faults->second);
    if (machine.role == "clone" && !plan.script.empty()) AddScript(machine.dir, plan.script);
  };
  chain.powerCutAt = [&plan](const ChainMachine& machine) -> std::optional<uint64_t> {
    auto cut = plan.cuts.find(machine.name);
    if (cut == plan.cuts.end() || cut->second.boot != machine.boots.size()) return std::nullopt;
    if (cut->second.atMs) return cut->second.atMs;
    // A cut at a platform call is armed in the fault plan for this boot.
    auto faults = sim::FaultPlan::Load(machine.dir);
    faults[sim::kPowerCutAtCallFault] = cut->second.site + ":" + std::to_string(cut->second.call);
    sim::FaultPlan::Save(machine.dir, faults);
    return std::nullopt;
  };
  std::mutex crashLock;
  std::map<std::string, std::vector<std::string>> crashes;
  chain.afterBoot = [&](const ChainMachine& machine) {
    // A planned cut at a call that this boot never reached is not carried over to the next one.
    auto faults = sim::FaultPlan::Load(machine.dir);
    if (faults.erase(sim::kPowerCutAtCallFault) != 0) sim::FaultPlan::Save(machine.dir, faults);
    auto lines = CrashLines(machine.dir);
    if (lines.empty()) return;
    std::lock_guard<std::mutex> lock(crashLock);
    auto& kept = crashes[machine.name];
    kept.insert(kept.end(), lines.begin(), lines.end());
  };

  ChainResult result = RunChain(chain);
  if (!result.error.empty()) {
    run.error = result.error;
  } else {
    if (options.afterRun) options.afterRun(plan, &result);
    run.findings = CheckInvariants(plan, result, run.dir / "domain", crashes);
  }
  for (const auto& machine : result.machines) {
    run.boots += static_cast<uint32_t>(machine.boots.size());
    for (const auto& boot : machine.boots) run.powerCuts += boot.endedBy == "power cut" ? 1 : 0;
  }
  if (run.ok() && !options.keep) {
    fs::remove_all(run.dir, error);
  } else if (!run.ok()) {
    // What broke stays beside the machines it broke on.
    std::ofstream note(run.dir / "torture.txt");
    note << plan.Describe() << "\n";
    if (!run.error.empty()) note << "could not run: " << run.error << "\n";
    for (const auto& finding : run.findings) {
      note << "broken: invariant " << InvariantName(finding.invariant) << " on " << finding.machine << ": "
           << finding.detail << "\n";
    }
    note << "replay: " << ReplayCommand(options, plan) << "\n";
  }
  run.realMs = std::chrono::duration<double, std::milli>(Clock::now() - begun).count();
  return run;
}

}  // namespace

TortureResult RunTorture(const TortureOptions& options) {
  const auto begun = Clock::now();
  TortureResult result;
  std::error_code error;
  if (fs::exists(options.dir) && !fs::is_directory(options.dir)) {
    result.error = options.dir.string() + " is not a directory; name a new or empty one";
    return result;
  }
  if (fs::exists(options.dir / "machine.conf") || fs::exists(options.dir / "chain.conf")) {
    result.error = options.dir.string() + " holds a machine or a chain; name a new or empty directory";
    return result;
  }
  fs::create_directories(options.dir, error);
  if (error) {
    result.error = "cannot make " + options.dir.string() + ": " + error.message();
    return result;
  }
  std::vector<uint32_t> indexes;
  if (options.onlyRun) {
    indexes.push_back(*options.onlyRun);
  } else {
    for (uint32_t i = 0; i < options.runs; ++i) indexes.push_back(i);
  }
  result.runs.resize(indexes.size());
  std::atomic<size_t> next{0};
  std::atomic<bool> cannotRun{false};
  std::mutex progressLock;
  auto worker = [&] {
    for (size_t i = next++; i < indexes.size() && !cannotRun; i = next++) {
      result.runs[i] = RunOne(options, indexes[i]);
      // A pool that cannot even be made (a flavour this build lacks, no agent) fails every run alike.
      if (!result.runs[i].error.empty()) cannotRun = true;
      if (options.progress) {
        std::lock_guard<std::mutex> lock(progressLock);
        options.progress(result.runs[i]);
      }
    }
  };
  const uint32_t jobs = std::max(1u, std::min<uint32_t>(options.jobs, static_cast<uint32_t>(indexes.size())));
  std::vector<std::thread> threads;
  for (uint32_t j = 0; j < jobs; ++j) threads.emplace_back(worker);
  for (auto& thread : threads) thread.join();
  std::erase_if(result.runs, [](const TortureRunResult& run) { return run.dir.empty(); });  // never started
  result.realMs = std::chrono::duration<double, std::milli>(Clock::now() - begun).count();
  return result;
}

void PrintTorture(const TortureOptions& options, const TortureResult& result, std::ostream& out) {
  if (!result.error.empty()) {
    out << "torture: " << result.error << "\n";
    return;
  }
  std::map<std::string, uint32_t> broken;
  uint32_t failed = 0, boots = 0, cuts = 0;
  for (const auto& run : result.runs) {
    boots += run.boots;
    cuts += run.powerCuts;
    if (run.ok()) continue;
    ++failed;
    out << "FAILED " << run.plan.Describe() << "\n";
    if (!run.error.empty()) out << "  could not run: " << run.error << "\n";
    for (const auto& finding : run.findings) {
      out << "  broken: invariant " << InvariantName(finding.invariant) << " on " << finding.machine << ": "
          << finding.detail << "\n";
      ++broken[InvariantName(finding.invariant)];
    }
    out << "  kept in " << run.dir.string() << "\n  replay: " << ReplayCommand(options, run.plan) << "\n";
  }
  out << result.runs.size() << " run(s) with seed " << options.seed << " (" << options.flavour
      << "): " << result.runs.size() - failed << " passed, " << failed << " failed; " << boots << " boots, " << cuts
      << " power cuts, " << static_cast<uint64_t>(result.realMs / 1000) << " s\n";
  for (const auto& [name, count] : broken) out << "  invariant " << name << ": broken in " << count << " place(s)\n";
}

void PrintTortureJson(const TortureOptions& options, const TortureResult& result, std::ostream& out) {
  JsonWriter json(out);
  json.BeginObject();
  if (!result.error.empty()) json.Key("error").String(result.error);
  json.Key("seed").Number(options.seed).Key("flavour").String(options.flavour);
  json.Key("ok").Bool(result.ok());
  json.Key("realMs").Number(static_cast<uint64_t>(result.realMs));
  json.Key("runs").BeginArray();
  for (const auto& run : result.runs) {
    json.BeginObject();
    json.Key("run").Number(static_cast<uint64_t>(run.plan.run)).Key("flavour").String(run.plan.flavour);
    json.Key("plan").String(run.plan.Describe()).Key("ok").Bool(run.ok());
    json.Key("boots")
        .Number(static_cast<uint64_t>(run.boots))
        .Key("powerCuts")
        .Number(static_cast<uint64_t>(run.powerCuts));
    if (!run.error.empty()) json.Key("error").String(run.error);
    json.Key("broken").BeginArray();
    for (const auto& finding : run.findings) {
      json.BeginObject()
          .Key("invariant")
          .Number(static_cast<uint64_t>(finding.invariant))
          .Key("machine")
          .String(finding.machine)
          .Key("detail")
          .String(finding.detail)
          .EndObject();
    }
    json.EndArray();
    if (!run.ok()) json.Key("replay").String(ReplayCommand(options, run.plan));
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  out << "\n";
}

}  // namespace velocyn::sim_cli
