#include "platform/sim/machine/SimMachine.h"

#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/services/SimServiceHost.h"
#include "platform/sim/services/SimSiblingAgent.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/kernel/SimTimeJumps.h"
#include "platform/sim/machine/SimBootHooks.h"
#include "platform/sim/machine/SimCallCounter.h"
#include "platform/sim/machine/SimPowerCut.h"
#include "platform/sim/setup/SimSetup.h"

namespace tamber::platform::sim {
namespace {

struct BootState {
  std::mutex mutex;
  bool booted = false;
  std::filesystem::path dir;
  MachineConfig config;
};

BootState& State() {
  static auto* state = new BootState;
  return *state;
}

const char* kConfigFile = "machine.conf";

void EndBoot(bool clean) {
  // Before the boot's lock: setup's threads look at the machine while they end.
  StopSetupAtBoot();
  // Before the boot's lock: the sibling agent's pending write takes the registry, which asks for it.
  SiblingAgentEndBoot();
  StopTimeJumps();
  auto& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (!state.booted) return;
  ServicesEndBoot();
  WriteCallCounts(state.dir);
  RegistryEndBoot(clean);
  ResetKernel();
  state.booted = false;
}

}  // namespace

void Machine::SaveConfig(const std::filesystem::path& dir, const MachineConfig& config) {
  std::ofstream out(dir / kConfigFile, std::ios::trunc);
  out << "timeScale=" << config.timeScale << "\n"
      << "utcBiasMinutes=" << config.utcBiasMinutes << "\n"
      << "lazyFlushMs=" << config.lazyFlushMs << "\n"
      << "freeDiskBytes=" << config.freeDiskBytes << "\n"
      << "wallOffsetMs=" << config.wallOffsetMs << "\n";
  if (config.tornFlushSeed != 0) out << "tornFlushSeed=" << config.tornFlushSeed << "\n";
}

MachineConfig Machine::LoadConfig(const std::filesystem::path& dir) {
  MachineConfig config;
  std::ifstream in(dir / kConfigFile);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = line.substr(0, eq);
    std::istringstream value(line.substr(eq + 1));
    if (name == "timeScale") value >> config.timeScale;
    if (name == "utcBiasMinutes") value >> config.utcBiasMinutes;
    if (name == "lazyFlushMs") value >> config.lazyFlushMs;
    if (name == "freeDiskBytes") value >> config.freeDiskBytes;
    if (name == "wallOffsetMs") value >> config.wallOffsetMs;
    if (name == "tornFlushSeed") value >> config.tornFlushSeed;
  }
  return config;
}

void Machine::Create(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir / "registry");
  std::filesystem::create_directories(dir / "drive_c" / "Windows" / "System32");
  std::filesystem::create_directories(dir / "drive_c" / "Windows" / "Temp");
  std::filesystem::create_directories(dir / "drive_c" / "ProgramData");
  std::filesystem::create_directories(dir / "hypervisor");
  if (!std::filesystem::exists(dir / kConfigFile)) SaveConfig(dir, MachineConfig{});
}

bool Machine::Exists(const std::filesystem::path& dir) { return std::filesystem::exists(dir / kConfigFile); }

void Machine::Boot(const std::filesystem::path& dir) {
  if (!Exists(dir)) throw std::runtime_error("not a simulated machine: " + dir.string());
  EndBoot(/*clean=*/false);
  auto& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.dir = std::filesystem::absolute(dir);
  state.config = LoadConfig(dir);
  if (const char* scale = std::getenv("VELOCYN_SIM_TIME_SCALE")) {
    double value = std::atof(scale);
    if (value > 0) state.config.timeScale = value;
  }
  PowerCutBoot(state.dir);
  CallCountBoot();
  SetTimeScale(state.config.timeScale);
  ResetBootClock(0);
  // Before the simulated services start: their timers are machine-time waits too.
  if (const char* jumps = std::getenv(kTimeJumpsVariable); jumps != nullptr && std::string(jumps) == "1") {
    StartTimeJumps(state.dir / "run" / kJumpedTimeFile);
  }
  ResetWallClock(state.config.wallOffsetMs);
  RegistryBoot(state.dir, state.config);
  PowerBoot();
  ServicesBoot();
  DomainBoot(state.dir);
  StorageBoot();
  state.booted = true;
}

bool Machine::EnsureBooted() {
  if (IsBooted()) return true;
  const char* dir = std::getenv("VELOCYN_SIM_MACHINE");
  if (dir == nullptr || !Exists(dir)) return false;
  Boot(dir);
  // A process started as a boot of the machine: the boot-time agent runs before any service.
  const char* boot = std::getenv(kBootVariable);
  if (boot != nullptr && std::string(boot) == "1") {
    RunBootTimeAgent();
    StartSetupAtBoot();
    RunSiblingAgent();  // services that start automatically come before the agent's own start
  }
  return true;
}

void Machine::Shutdown() { EndBoot(/*clean=*/true); }
void Machine::PowerCut() { EndBoot(/*clean=*/false); }

bool Machine::IsBooted() {
  auto& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.booted;
}

const std::filesystem::path& Machine::Directory() { return State().dir; }
std::filesystem::path Machine::DriveRoot() { return State().dir / "drive_c"; }
MachineConfig Machine::Config() { return State().config; }

}  // namespace tamber::platform::sim
