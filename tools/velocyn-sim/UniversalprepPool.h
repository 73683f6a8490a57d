// What a pool of the Universalprep flavour needs beyond the others: a golden image whose guest variables
// live in their registry mirror, with the sibling desktop agent installed (its node manager's settings,
// its helper on disk), and the roles' statuses read from that mirror, where the agent writes them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velocyn::sim_cli {

// The customization flags of the pool: none (the helper's interception names and joins each clone).
inline constexpr const char* kUniversalprepPoolFlags = "0";

// Writes the sibling agent's part of the golden image into the booted machine: the guest variables' mirror
// (flags, domain), the node manager ("Use KTQ" 0, "Server DN" naming the machine by its GUID), the
// helper executable's file and its answer file, and Windows' own setup state. Returns "" or what failed.
std::string InstallUniversalprepGolden(const std::string& domainName, const std::string& machineGuid);

// A guest variable's mirror value of a machine that is off (read in this process without changing the
// machine); nullopt when it is missing.
std::optional<std::string> ReadMirrorVariable(const std::filesystem::path& machine, const std::string& name);

}  // namespace velocyn::sim_cli
