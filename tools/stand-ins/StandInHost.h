// What the helper stand-in takes from the machine it runs on: one implementation per platform.
#pragma once

#include <filesystem>
#include <string>

#include "HelperStandIn.h"

namespace tamber::standins {

struct HostOptions {
  bool bridge = false;     // started by the simulated guest's tool (see tqaprep.cpp)
  std::string machineDir;  // the simulated machine
  std::string serverDn;    // the machine's "Server DN", when the tool passes it
  bool serverDnGiven = false;
};

// Joins the machine (the simulated guest: boots its directory in this process, read only).
bool PrepareHost(const HostOptions& options);
FaultLookup HostFaults(const HostOptions& options);
// "Server DN" of the node manager key, as this machine knows it.
std::wstring HostServerDn(const HostOptions& options);
// Where the key vault keeps its keys: the machine's protected state.
std::filesystem::path HostKeyVaultFile(const HostOptions& options);
// How the pool's ID reaches the machine's PoolID (the simulated guest's tool writes what the bridged
// program reports).
PoolReporter HostPoolReporter(const HostOptions& options);
// The controllers of the machine's domain, as this machine sees them.
ControllerCheck HostControllerCheck(const HostOptions& options);

}  // namespace tamber::standins
