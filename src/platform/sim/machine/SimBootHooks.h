// What each simulated area does when a boot starts or ends. Called by Machine only.
#pragma once

#include <filesystem>

#include "platform/sim/machine/SimMachine.h"

namespace tamber::platform::sim {

void RegistryBoot(const std::filesystem::path& machineDir, const MachineConfig& config);
// clean: flush every hive; otherwise drop the dirty layers.
void RegistryEndBoot(bool clean);
// A new boot: no power request yet, privileges disabled, services as the boot starts them.
void PowerBoot();
void ServicesBoot();
// Before the registry goes: the service control manager stops its clock.
void ServicesEndBoot();
// Netlogon starts afresh: no controller is pinned any more.
void DomainBoot(const std::filesystem::path& machineDir);
// Storage: DOS device definitions are gone, the disks are listed afresh.
void StorageBoot();

}  // namespace tamber::platform::sim
