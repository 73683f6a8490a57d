// The helper stand-in on the simulated guest: it joins the machine whose directory it is given (or
// the one VELOCYN_SIM_MACHINE names) and keeps the key vault's keys in the machine's protected
// folder.
#include <iostream>

#include "StandInHost.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"

namespace tamber::standins {

bool PrepareHost(const HostOptions& options) {
  if (options.machineDir.empty()) return platform::sim::Machine::EnsureBooted();
  if (!platform::sim::Machine::Exists(options.machineDir)) return false;
  // This process never writes the registry and never shuts the machine down: the agent's process
  // owns the boot; this one only reads what is durable and serves the channel.
  platform::sim::Machine::Boot(options.machineDir);
  return true;
}

FaultLookup HostFaults(const HostOptions&) {
  return [](const std::string& name) { return platform::sim::FaultPlan::Get(name); };
}

std::wstring HostServerDn(const HostOptions& options) {
  return options.serverDnGiven ? platform::sim::WidenUtf8(options.serverDn) : ReadServerDn();
}

std::filesystem::path HostKeyVaultFile(const HostOptions&) {
  return platform::sim::Machine::Directory() / "protected" / "keyvault.dat";
}

PoolReporter HostPoolReporter(const HostOptions&) {
  // This process does not write the machine's registry: the guest's tool around it does.
  return [](const std::wstring& poolId) { std::cout << "pool-id " << platform::sim::NarrowUtf8(poolId) << std::endl; };
}

ControllerCheck HostControllerCheck(const HostOptions&) {
  return [](const std::wstring& controller) {
    auto view = platform::sim::BootedMachineDomain();
    return !view || view->domain.FindController(platform::sim::NarrowUtf8(controller)) != nullptr;
  };
}

}  // namespace tamber::standins
