// The wall time of whole cloning chains on this machine: the simulator customizes pools of 100 and
// 1,000 clones (fault-free) with machine time that jumps over the guest's waits (--time-scale max), and
// prints the time of the whole chain and per clone boot. Each size is run in scaled time too, side by
// side, and every machine must end the same in both (status, error code, name, number of boots). The
// chain's own machines (golden image, template, replica, parent) are part of every figure.
//   usage: chain_scale [--clones N]... [--jobs J] [--time-scale N] [--keep DIR]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Chain.h"

namespace fs = std::filesystem;
using velocyn::sim_cli::ChainOptions;
using velocyn::sim_cli::ChainResult;

namespace {

// One chain of the size in options, printed as one row.
ChainResult RunOnce(ChainOptions options, const fs::path& keep, bool timeJumps) {
  options.timeJumps = timeJumps;
  const std::string mode = timeJumps ? "max" : "scaled";
  options.dir = (keep.empty() ? fs::temp_directory_path() : keep) /
                ("chain-scale-" + std::to_string(options.clones) + "-" + mode);
  options.force = true;
  fs::remove_all(options.dir);
  ChainResult result = velocyn::sim_cli::RunChain(options);
  size_t boots = 0;
  for (const auto& machine : result.machines) {
    if (machine.role == "clone") boots += machine.boots.size();
  }
  std::printf("%8u %-7s %12.0f %14.1f %14zu %16.1f %8s\n", options.clones, mode.c_str(), result.realMs,
              result.realMs / options.clones, boots, boots == 0 ? 0.0 : result.realMs / static_cast<double>(boots),
              result.ok() ? "yes" : "NO");
  if (keep.empty()) fs::remove_all(options.dir);
  return result;
}

std::string Outcome(const velocyn::sim_cli::ChainMachine& machine) {
  return machine.status + (machine.errorCode ? " " + std::to_string(*machine.errorCode) : "") + " as " +
         machine.hostName + " after " + std::to_string(machine.boots.size()) + " boot(s)";
}

// The machines whose ends differ between the two runs, for people ("" when none).
std::string Differences(const ChainResult& scaled, const ChainResult& jumped) {
  std::map<std::string, std::string> ends;
  for (const auto& machine : scaled.machines) ends[machine.name] = Outcome(machine);
  std::string differences;
  size_t seen = 0;
  for (const auto& machine : jumped.machines) {
    auto it = ends.find(machine.name);
    const std::string outcome = Outcome(machine);
    if (it != ends.end()) ++seen;
    if (it == ends.end() || it->second != outcome) {
      differences += machine.name + ": " + outcome + " (scaled: " + (it == ends.end() ? "absent" : it->second) + "); ";
    }
  }
  if (seen != ends.size()) differences += "machines missing with --time-scale max; ";
  return differences;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> sizes;
  ChainOptions options;
  fs::path keep;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--clones")
      sizes.push_back(static_cast<uint32_t>(std::stoul(value)));
    else if (name == "--jobs")
      options.jobs = static_cast<uint32_t>(std::stoul(value));
    else if (name == "--time-scale")
      options.timeScale = std::stod(value);
    else if (name == "--keep")
      keep = value;
    else {
      std::fprintf(stderr, "usage: chain_scale [--clones N]... [--jobs J] [--time-scale N] [--keep DIR]\n");
      return 2;
    }
  }
  if (sizes.empty()) sizes = {100, 1000};
  options.agentExecutable = fs::path(argv[0]).parent_path().parent_path() / "tlv-velocyn-ga";
  std::printf("goal: 1,000 clones in under 60,000 ms of wall time with --time-scale max\n");
  std::printf("%8s %-7s %12s %14s %14s %16s %8s\n", "clones", "time", "wall ms", "ms per clone", "clone boots",
              "ms per boot", "ok");
  int status = 0;
  for (uint32_t clones : sizes) {
    options.clones = clones;
    ChainResult jumped = RunOnce(options, keep, /*timeJumps=*/true);
    ChainResult scaled = RunOnce(options, keep, /*timeJumps=*/false);
    const std::string differences = Differences(scaled, jumped);
    if (!jumped.ok() || !scaled.ok() || !differences.empty()) status = 1;
    if (!differences.empty()) std::printf("  results differ from scaled time: %s\n", differences.c_str());
    if (clones == 1000) {
      std::printf("goal: 1,000 clones in %.0f ms with --time-scale max: %s\n", jumped.realMs,
                  jumped.realMs < 60000 ? "pass" : "miss");
    }
    std::fflush(stdout);
  }
  return status;
}
