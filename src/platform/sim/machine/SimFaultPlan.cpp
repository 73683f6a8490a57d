#include "platform/sim/machine/SimFaultPlan.h"

#include <chrono>
#include <fstream>
#include <mutex>

#include "platform/sim/machine/SimMachine.h"

namespace tamber::platform::sim {
namespace {

const char* kFaultFile = "faults.conf";

std::mutex& PlanLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

// The simulated areas ask for faults hundreds of times a boot: the plan read last is used for a moment
// before the file is read again. Writers in this process drop it at once; another process (the command
// line's fault command) is seen within that moment.
constexpr auto kPlanFreshFor = std::chrono::milliseconds(2);
struct CachedPlan {
  bool valid = false;
  std::filesystem::path dir;
  std::chrono::steady_clock::time_point readAt;
  std::map<std::string, std::string> plan;
};
CachedPlan& Cache() {  // guarded by PlanLock
  static auto* cache = new CachedPlan;
  return *cache;
}

}  // namespace

std::map<std::string, std::string> FaultPlan::Load(const std::filesystem::path& machineDir) {
  std::map<std::string, std::string> plan;
  std::ifstream in(machineDir / kFaultFile);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos || eq == 0 || line[0] == '#') continue;
    plan[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return plan;
}

namespace {
// Called with PlanLock held.
void WriteLocked(const std::filesystem::path& machineDir, const std::map<std::string, std::string>& plan) {
  auto temp = machineDir / (std::string(kFaultFile) + ".tmp");
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const auto& [name, value] : plan) out << name << '=' << value << '\n';
  }
  std::filesystem::rename(temp, machineDir / kFaultFile);
  Cache().valid = false;
}
}  // namespace

void FaultPlan::Save(const std::filesystem::path& machineDir, const std::map<std::string, std::string>& plan) {
  std::lock_guard<std::mutex> guard(PlanLock());
  WriteLocked(machineDir, plan);
}

std::optional<std::string> FaultPlan::Get(const std::string& name) {
  if (!Machine::IsBooted()) return std::nullopt;
  std::lock_guard<std::mutex> guard(PlanLock());
  auto& cache = Cache();
  const auto now = std::chrono::steady_clock::now();
  if (!cache.valid || now - cache.readAt >= kPlanFreshFor || cache.dir != Machine::Directory()) {
    cache.plan = Load(Machine::Directory());
    cache.dir = Machine::Directory();
    cache.readAt = now;
    cache.valid = true;
  }
  auto it = cache.plan.find(name);
  if (it == cache.plan.end()) return std::nullopt;
  return it->second;
}

void FaultPlan::Set(const std::string& name, const std::optional<std::string>& value) {
  if (!Machine::IsBooted()) return;
  std::lock_guard<std::mutex> guard(PlanLock());
  auto plan = Load(Machine::Directory());
  if (value) {
    plan[name] = *value;
  } else {
    plan.erase(name);
  }
  WriteLocked(Machine::Directory(), plan);
}

}  // namespace tamber::platform::sim
