// The simulated domain for the command line: making one from the controllers and sites a user names, and
// showing it (controllers by site, computer accounts by name; never a password).
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace velocyn::sim_cli {

// What "domain create" was given: the domain's DNS name, controllers of the default site ("dc1" or
// "dc1.corp.example", comma-separated lists allowed) and sites ("Site-B" or "Site-B:dc3,dc4"; the first is
// the default site, "Default-First-Site-Name" when none is named).
struct DomainSpec {
  std::string name;
  std::vector<std::string> controllers;
  std::vector<std::string> sites;
};

struct DomainSpecError {
  bool usage = false;  // the command line is wrong (rather than the directory)
  std::string text;
};

// Makes the domain; an empty text on success.
DomainSpecError CreateDomain(const std::filesystem::path& dir, const DomainSpec& spec);

// The management side's password step for a clone: the computer account "host" in the machine's domain
// with a fresh random password, and the guest variables that carry that password to the clone
// ("machinePasswd" obfuscated with the host name and the UUID, "machinePasswdChecksum", "hostName",
// "cloneprep.clone.uuid", "primed.fqdn"). The password itself is never shown.
struct PrimeResult {
  bool usage = false;  // the command line is wrong
  std::string error;   // empty on success
  std::string domain;  // the domain's DNS name
  std::string account;
};
PrimeResult PrimeMachine(const std::filesystem::path& machine, const std::string& host, const std::string& uuid);
// The guest variables PrimeMachine writes, in order.
const std::vector<std::string>& PrimedVariables();

void PrintDomain(const std::filesystem::path& dir, std::ostream& out);
void PrintDomainJson(const std::filesystem::path& dir, std::ostream& out);

}  // namespace velocyn::sim_cli
