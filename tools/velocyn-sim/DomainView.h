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

void PrintDomain(const std::filesystem::path& dir, std::ostream& out);
void PrintDomainJson(const std::filesystem::path& dir, std::ostream& out);

}  // namespace velocyn::sim_cli
