// The simulated machine's network adapters for the command line: listing them, and setting what an
// adapter shows or how its DHCP server and device behave (the names of adapters.conf, see SimAdapters.h).
// Works on a machine directory whether or not the machine is booted.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace velocyn::sim_cli {

// One block per adapter, as a person reads it.
void PrintAdapters(const std::filesystem::path& machineDir, std::ostream& out);
// {"adapters":[{...}]} with every setting of each adapter.
void PrintAdaptersJson(const std::filesystem::path& machineDir, std::ostream& out);
// Applies "name=value" settings to the adapter whose friendly name, GUID name or list position (0-based)
// is `adapter`. Empty on success, else what went wrong (nothing is changed then).
std::string SetAdapterValues(const std::filesystem::path& machineDir, const std::string& adapter,
                             const std::vector<std::string>& assignments);
// Adds an Ethernet adapter with the given friendly name, a fresh GUID name and MAC and the next interface
// indexes, then applies the settings. Empty on success, else what went wrong.
std::string AddAdapter(const std::filesystem::path& machineDir, const std::string& friendlyName,
                       const std::vector<std::string>& assignments);
// Removes the adapter (same selection as SetAdapterValues). Empty on success, else what went wrong.
std::string RemoveAdapter(const std::filesystem::path& machineDir, const std::string& adapter);

}  // namespace velocyn::sim_cli
