#include "Snapshot.h"

#include <mutex>

#include "AgentBoot.h"
#include "platform/Registry.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/machine/SimMachine.h"

namespace velocyn::sim_cli {

namespace fs = std::filesystem;
namespace sim = tamber::platform::sim;

namespace {

constexpr const wchar_t* kAgentServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\tlv-velocyn-ga";
constexpr const wchar_t* kSiblingStatusValue = L"NotifyHaldenStatusValue";
constexpr uint32_t kCustomizationPostCheckpointing = 3;

bool WriteSiblingStatus(uint32_t value) {
  namespace platform = tamber::platform;
  platform::HKey key = nullptr;
  if (platform::RegCreateKeyEx(platform::HKeyLocalMachine(), kAgentServiceKey, platform::kRegOptionNonVolatile,
                               platform::kKeyAllAccess, &key, nullptr) != platform::kErrorSuccess) {
    return false;
  }
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  const bool written = platform::RegSetValueEx(key, kSiblingStatusValue, platform::kRegDword, bytes, sizeof bytes) ==
                       platform::kErrorSuccess;
  platform::RegFlushKey(key);
  platform::RegCloseKey(key);
  return written;
}

}  // namespace

std::string SnapshotAndPowerCycle(const fs::path& machine, const std::string& role) {
  tamber::platform::guestrpc::SimHypervisor hypervisor(machine / "hypervisor");
  std::error_code error;
  const fs::path snapshot = machine / "hypervisor" / "snapshot";
  fs::remove_all(snapshot, error);
  fs::create_directories(snapshot, error);
  fs::copy(machine / "registry", snapshot / "registry", fs::copy_options::recursive, error);
  if (error) return "cannot take the snapshot: " + error.message();
  hypervisor.AppendLog("snapshot taken");
  if (!hypervisor.SetVariable(role + ".CustomizationState", kPostSnapshottingStatus)) {
    return "cannot set " + role + ".CustomizationState";
  }
  {
    std::lock_guard<std::mutex> lock(InProcessMachineLock());
    sim::Machine::Boot(machine);
    const bool written = WriteSiblingStatus(kCustomizationPostCheckpointing);
    sim::Machine::Shutdown();
    if (!written) return "cannot write the sibling agent's status";
  }
  hypervisor.AppendLog("powering on after the snapshot");
  return {};
}

}  // namespace velocyn::sim_cli
