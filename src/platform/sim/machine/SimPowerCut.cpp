#include "platform/sim/machine/SimPowerCut.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>

#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/services/SimServiceHost.h"

namespace tamber::platform::sim {
namespace {

constexpr const char* kSiteNames[] = {"registry-write", "registry-flush", "file-write", "process-start"};

// The plan is read once per boot: counting must not cost a file read per call. Nothing here takes the
// machine's own lock, as a boot's own areas write the registry while it is held.
struct CutState {
  std::mutex mutex;
  std::filesystem::path dir;
  std::optional<PowerCutSite> site;
  uint64_t at = 0;
  uint64_t count = 0;
};

CutState& State() {
  static auto* state = new CutState;
  return *state;
}

// Only a process that is one boot can lose its power in the middle of a call; a test that boots
// machines in its own process ends its boots itself.
bool IsBootProcess() {
  const char* boot = std::getenv(kBootVariable);
  return boot != nullptr && std::string(boot) == "1";
}

}  // namespace

const char* PowerCutSiteName(PowerCutSite site) { return kSiteNames[static_cast<int>(site)]; }

std::optional<PowerCutSite> ParsePowerCutSite(const std::string& name) {
  for (int i = 0; i < 4; ++i) {
    if (name == kSiteNames[i]) return static_cast<PowerCutSite>(i);
  }
  return std::nullopt;
}

void PowerCutBoot(const std::filesystem::path& machineDir) {
  auto& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.dir = machineDir;
  state.site.reset();
  state.count = 0;
  if (!IsBootProcess()) return;
  auto plan = FaultPlan::Load(machineDir);
  auto value = plan.find(kPowerCutAtCallFault);
  if (value == plan.end()) return;
  const auto colon = value->second.find(':');
  auto parsed = ParsePowerCutSite(value->second.substr(0, colon));
  const uint64_t at = colon == std::string::npos ? 0 : std::strtoull(value->second.c_str() + colon + 1, nullptr, 10);
  if (parsed && at > 0) {
    state.site = parsed;
    state.at = at;
  }
}

void PowerCutPoint(PowerCutSite site) {
  auto& state = State();
  std::unique_lock<std::mutex> guard(state.mutex);
  if (state.site != site || ++state.count < state.at) return;
  // The cut: once, and noted where the boot's runner finds it. The lock stays held, so no other thread
  // of this boot gets any further.
  auto plan = FaultPlan::Load(state.dir);
  plan.erase(kPowerCutAtCallFault);
  FaultPlan::Save(state.dir, plan);
  std::error_code error;
  std::filesystem::create_directories(state.dir / "run", error);
  std::ofstream(state.dir / "run" / kPowerCutFile) << PowerCutSiteName(site) << " call " << state.at << "\n";
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);
}

std::optional<std::string> TakePowerCutNote(const std::filesystem::path& machineDir) {
  const auto file = machineDir / "run" / kPowerCutFile;
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  in.close();
  std::error_code error;
  std::filesystem::remove(file, error);
  return line;
}

}  // namespace tamber::platform::sim
