#include "platform/sim/machine/SimFaultPlan.h"

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

void FaultPlan::Save(const std::filesystem::path& machineDir, const std::map<std::string, std::string>& plan) {
  auto temp = machineDir / (std::string(kFaultFile) + ".tmp");
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const auto& [name, value] : plan) out << name << '=' << value << '\n';
  }
  std::filesystem::rename(temp, machineDir / kFaultFile);
}

std::optional<std::string> FaultPlan::Get(const std::string& name) {
  if (!Machine::IsBooted()) return std::nullopt;
  std::lock_guard<std::mutex> guard(PlanLock());
  auto plan = Load(Machine::Directory());
  auto it = plan.find(name);
  if (it == plan.end()) return std::nullopt;
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
  Save(Machine::Directory(), plan);
}

}  // namespace tamber::platform::sim
