// The wall time of whole cloning chains on this machine: the simulator customizes pools of 100 and
// 1,000 clones (fault-free) and prints the time of the whole chain and per clone boot, next to the
// machine time the boots spent. The chain's own machines (golden image, template, replica, parent) are
// part of every figure.
//   usage: chain_scale [--clones N]... [--jobs J] [--time-scale N] [--keep DIR]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Chain.h"

namespace fs = std::filesystem;
using velocyn::sim_cli::ChainOptions;
using velocyn::sim_cli::ChainResult;

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
  std::printf("%8s %12s %14s %14s %16s %8s\n", "clones", "wall ms", "ms per clone", "clone boots", "ms per boot", "ok");
  int status = 0;
  for (uint32_t clones : sizes) {
    options.clones = clones;
    options.dir = (keep.empty() ? fs::temp_directory_path() : keep) / ("chain-scale-" + std::to_string(clones));
    options.force = true;
    fs::remove_all(options.dir);
    ChainResult result = velocyn::sim_cli::RunChain(options);
    size_t boots = 0;
    for (const auto& machine : result.machines) {
      if (machine.role == "clone") boots += machine.boots.size();
    }
    std::printf("%8u %12.0f %14.1f %14zu %16.1f %8s\n", clones, result.realMs, result.realMs / clones, boots,
                boots == 0 ? 0.0 : result.realMs / static_cast<double>(boots), result.ok() ? "yes" : "NO");
    std::fflush(stdout);
    if (!result.ok()) status = 1;
    if (keep.empty()) fs::remove_all(options.dir);
  }
  return status;
}
