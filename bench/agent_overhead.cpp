// What a boot costs the guest: whole pools of one clone are customized in the simulated guest, round
// after round, and every boot of the agent is measured by its kind (the golden image's boot, and per
// flavour the template, replica, parent and clone boots in their order): the agent process's CPU time
// (user and system) and peak resident memory as the process measures them itself, its registry calls
// and guestinfo round trips, and the real time the boot took. By default machine time jumps over the
// waits the agent is told to make (its sleeps and time-outs, the simulated tools' own time), and the
// real time of the external tools run as host processes (the helper's stand-in, scripts) is left out, as
// is the real time the whole guest sat idle until machine time jumped (what is left of a wait once it
// is jumped over: about half a millisecond each, counted by the jump arbiter; the jumps column says how
// many), so that real time is the time beyond the waits; with --time-scale N it runs at a fixed scale and the real
// time includes the scaled waits. The figures are the median and the worst of the rounds. The agent
// process of the simulated guest carries the simulated kernel too (registry, services, network, the
// simulated tools that run in it), so its CPU time and memory are an upper bound of what the agent
// itself costs; the simulator's own clock keeping for the jumps is not counted.
//   usage: agent_overhead [--rounds N] [--flavour F]... [--time-scale N|max] [--json]
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Chain.h"

namespace fs = std::filesystem;
using velocyn::sim_cli::ChainBoot;
using velocyn::sim_cli::ChainOptions;
using velocyn::sim_cli::ChainResult;

namespace {

constexpr double kCpuGoalMs = 20.0;
constexpr double kRssGoalMiB = 8.0;
constexpr double kRealGoalMs = 50.0;

struct Samples {
  std::vector<double> cpuMs, rssMiB, registry, guestInfo, jumps, idleMs, realMs;
};

struct Figure {
  double median = 0, worst = 0;
};

Figure Of(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.back()};
}

// "master", or "<flavour> <role> boot <n>".
std::string KindOf(const std::string& flavour, const std::string& role, size_t index) {
  if (role == "master") return "master";
  return flavour + " " + role + " boot " + std::to_string(index + 1);
}

void Add(Samples* samples, const ChainBoot& boot) {
  samples->cpuMs.push_back(static_cast<double>(boot.cpuUs) / 1000.0);
  samples->rssMiB.push_back(static_cast<double>(boot.peakRssKiB) / 1024.0);
  samples->registry.push_back(static_cast<double>(boot.registryCalls));
  samples->guestInfo.push_back(static_cast<double>(boot.guestInfoCalls));
  samples->jumps.push_back(static_cast<double>(boot.jumps));
  samples->idleMs.push_back(static_cast<double>(boot.idleRealUs) / 1000.0);
  // The external tools' own time (host processes the guest ran) is theirs, not the agent's; the time the
  // whole guest sat idle until machine time jumped is what is left of the waits it was told to make.
  const double waits = static_cast<double>(boot.toolsRealMs) + static_cast<double>(boot.idleRealUs) / 1000.0;
  samples->realMs.push_back(std::max(0.0, static_cast<double>(boot.hostTimeMs) - waits));
}

int Usage() {
  std::fprintf(stderr,
               "usage: agent_overhead [--rounds N] [--flavour cloneprep|sysprep|universalprep]... "
               "[--time-scale N|max] [--json]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t rounds = 20;
  std::vector<std::string> flavours;
  bool json = false;
  double timeScale = 1000.0;
  bool timeJumps = true;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--json") {
      json = true;
    } else if (i + 1 < argc && name == "--rounds") {
      rounds = static_cast<uint32_t>(std::stoul(argv[++i]));
    } else if (i + 1 < argc && name == "--flavour") {
      flavours.push_back(argv[++i]);
    } else if (i + 1 < argc && name == "--time-scale") {
      const std::string value = argv[++i];
      timeJumps = value == "max";
      if (!timeJumps) timeScale = std::stod(value);
    } else {
      return Usage();
    }
  }
  if (rounds == 0) return Usage();
  if (flavours.empty()) flavours = {"cloneprep", "sysprep", "universalprep"};
  const fs::path build = fs::absolute(argv[0]).parent_path().parent_path();

  std::map<std::string, Samples> kinds;
  std::vector<std::string> order;  // kinds as first seen
  int status = 0;
  for (const std::string& flavour : flavours) {
    for (uint32_t round = 0; round < rounds; ++round) {
      ChainOptions options;
      options.flavour = flavour;
      options.clones = 1;
      options.timeScale = timeScale;
      options.timeJumps = timeJumps;
      options.agentExecutable = build / "tlv-velocyn-ga";
      if (flavour == "universalprep") options.helperProgram = build / "tests" / "tqaprep";
      options.dir = fs::temp_directory_path() / ("agent-overhead-" + flavour);
      options.force = true;
      fs::remove_all(options.dir);
      ChainResult result = velocyn::sim_cli::RunChain(options);
      if (!result.ok()) {
        std::fprintf(stderr, "agent_overhead: a %s pool did not end as predicted%s%s\n", flavour.c_str(),
                     result.error.empty() ? "" : ": ", result.error.c_str());
        status = 1;
      }
      for (const auto& machine : result.machines) {
        for (size_t i = 0; i < machine.boots.size(); ++i) {
          // A boot that did not end by itself (cut, crashed, timed out) wrote no counts.
          if (machine.boots[i].registryCalls == 0) continue;
          const std::string kind = KindOf(flavour, machine.role, i);
          if (kinds.find(kind) == kinds.end()) order.push_back(kind);
          Add(&kinds[kind], machine.boots[i]);
        }
      }
      fs::remove_all(options.dir);
    }
  }

  double worstCpu = 0, worstRss = 0, worstReal = 0;
  for (const auto& [kind, samples] : kinds) {
    worstCpu = std::max(worstCpu, Of(samples.cpuMs).median);
    worstRss = std::max(worstRss, Of(samples.rssMiB).median);
    worstReal = std::max(worstReal, Of(samples.realMs).median);
  }
  const bool cpuPass = worstCpu < kCpuGoalMs;
  const bool rssPass = worstRss < kRssGoalMiB;
  const bool realPass = worstReal < kRealGoalMs;
  if (json) {
    std::printf(
        "{\"rounds\":%u,\"timeScale\":%g,\"timeJumps\":%s,\"goals\":{\"cpuMs\":{\"limit\":%g,\"pass\":%s},"
        "\"peakRssMiB\":{\"limit\":%g,\"pass\":%s},\"realMsBeyondWaits\":{\"limit\":%g,\"measured\":%s,\"pass\":%s}},"
        "\"kinds\":[",
        rounds, timeScale, timeJumps ? "true" : "false", kCpuGoalMs, cpuPass ? "true" : "false", kRssGoalMiB,
        rssPass ? "true" : "false", kRealGoalMs, timeJumps ? "true" : "false",
        timeJumps && realPass ? "true" : "false");
    for (size_t k = 0; k < order.size(); ++k) {
      const Samples& s = kinds[order[k]];
      auto pair = [](const char* name, const Figure& f) {
        std::printf("\"%s\":{\"median\":%.3f,\"worst\":%.3f}", name, f.median, f.worst);
      };
      std::printf("%s{\"kind\":\"%s\",\"boots\":%zu,", k ? "," : "", order[k].c_str(), s.cpuMs.size());
      pair("cpuMs", Of(s.cpuMs));
      std::printf(",");
      pair("peakRssMiB", Of(s.rssMiB));
      std::printf(",");
      pair("registryCalls", Of(s.registry));
      std::printf(",");
      pair("guestInfoRoundTrips", Of(s.guestInfo));
      std::printf(",");
      pair("jumps", Of(s.jumps));
      std::printf(",");
      pair("idleBeforeJumpsMs", Of(s.idleMs));
      std::printf(",");
      pair("realMs", Of(s.realMs));
      std::printf("}");
    }
    std::printf("]}\n");
    return status;
  }
  std::printf("goal: agent CPU per boot < %.0f ms (median of each kind): %s (highest %.1f ms)\n", kCpuGoalMs,
              cpuPass ? "pass" : "miss", worstCpu);
  std::printf("goal: peak resident memory < %.0f MiB (median of each kind): %s (highest %.1f MiB)\n", kRssGoalMiB,
              rssPass ? "pass" : "miss", worstRss);
  if (timeJumps) {
    std::printf("goal: real time beyond the mandated waits < %.0f ms (median of each kind): %s (highest %.1f ms)\n",
                kRealGoalMs, realPass ? "pass" : "miss", worstReal);
  } else {
    std::printf(
        "goal: real time beyond the mandated waits < %.0f ms: not measured (scaled time: the real time below "
        "includes the scaled waits; measure with --time-scale max)\n",
        kRealGoalMs);
  }
  std::printf("%u round(s) per flavour, time scale %g%s; median / worst\n", rounds, timeScale,
              timeJumps ? " with jumps over the waits (max)" : "");
  std::printf("%-32s %5s %17s %15s %15s %13s %13s %17s\n", "boot kind", "boots", "CPU ms", "peak RSS MiB",
              "registry calls", "guestinfo", "jumps", "real ms");
  for (const std::string& kind : order) {
    const Samples& s = kinds[kind];
    const Figure cpu = Of(s.cpuMs), rss = Of(s.rssMiB), reg = Of(s.registry), gi = Of(s.guestInfo), jumps = Of(s.jumps),
                 real = Of(s.realMs);
    std::printf("%-32s %5zu %8.1f /%7.1f %6.1f /%6.1f %7.0f /%6.0f %5.0f /%5.0f %5.0f /%5.0f %8.0f /%7.0f\n",
                kind.c_str(), s.cpuMs.size(), cpu.median, cpu.worst, rss.median, rss.worst, reg.median, reg.worst,
                gi.median, gi.worst, jumps.median, jumps.worst, real.median, real.worst);
  }
  return status;
}
