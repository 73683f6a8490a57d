#include "DomainView.h"

#include <optional>

#include "Json.h"
#include "common/security/Encryption.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/machine/SimMachine.h"

namespace velocyn::sim_cli {

namespace fs = std::filesystem;
using tamber::platform::sim::SimDomain;
using tamber::platform::sim::SimDomainController;

namespace {

constexpr const char* kDefaultSite = "Default-First-Site-Name";

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

// "dc1" is dc1.<domain>; a name with dots is a DNS host name as it stands.
std::optional<std::string> ControllerHost(const std::string& name, const std::string& domain, std::string* error) {
  if (name.empty()) {
    *error = "an empty controller name (lists are comma-separated, without blanks)";
    return std::nullopt;
  }
  std::string host = name.find('.') == std::string::npos ? name + "." + domain : name;
  if (!SimDomain::IsDnsName(host)) {
    *error = "'" + name + "' is no controller name: letters, digits and hyphens, in dot-separated labels";
    return std::nullopt;
  }
  return host;
}

}  // namespace

DomainSpecError CreateDomain(const fs::path& dir, const DomainSpec& spec) {
  if (spec.name.empty()) return {true, "name the domain with --name (a DNS name such as corp.example)"};
  if (!SimDomain::IsDnsName(spec.name)) {
    return {true, "'" + spec.name +
                      "' is no domain name: letters, digits and hyphens in dot-separated labels of 1 "
                      "to 63 characters"};
  }
  std::vector<std::string> sites;
  for (const auto& text : spec.sites) {
    std::string site = text.substr(0, text.find(':'));
    if (!SimDomain::IsSiteName(site)) {
      return {true, "'" + site +
                        "' is no site name: 1 to 63 letters, digits and hyphens, not beginning or ending "
                        "with a hyphen"};
    }
    sites.push_back(site);
  }
  if (sites.empty()) sites.push_back(kDefaultSite);
  // The order is the locator's: --dc controllers first, so the first of them is the default site's first.
  std::vector<SimDomainController> controllers;
  std::string error;
  auto add = [&](const std::string& list, const std::string& site) {
    for (const auto& name : SplitList(list)) {
      auto host = ControllerHost(name, spec.name, &error);
      if (!host) return false;
      controllers.push_back({*host, site});
    }
    return true;
  };
  for (const auto& list : spec.controllers) {
    if (!add(list, sites.front())) return {true, error};
  }
  for (size_t i = 0; i < spec.sites.size(); ++i) {
    auto colon = spec.sites[i].find(':');
    if (colon != std::string::npos && !add(spec.sites[i].substr(colon + 1), sites[i])) return {true, error};
  }
  if (controllers.empty()) return {true, "a domain needs a controller: --dc NAME[,NAME...] or --site SITE:NAME"};
  if (std::string wrong = SimDomain::CheckNames(spec.name, sites, controllers); !wrong.empty()) return {true, wrong};
  // The names are right; what is left to go wrong is the directory.
  return {false, SimDomain::Create(dir, spec.name, sites, controllers)};
}

void PrintDomain(const fs::path& dir, std::ostream& out) {
  auto domain = SimDomain::Open(dir);
  if (!domain) return;
  out << "domain " << domain->Name() << " (" << domain->NetbiosName() << ") in " << domain->Directory().string()
      << "\n";
  out << "sites and controllers:\n";
  for (const auto& site : domain->Sites()) {
    out << "  " << site << (site == domain->DefaultSite() ? " (default)" : "") << ":";
    auto controllers = domain->ControllersInSite(site);
    if (controllers.empty()) out << " (no controller)";
    for (size_t i = 0; i < controllers.size(); ++i) out << (i == 0 ? " " : ", ") << controllers[i].host;
    out << "\n";
  }
  auto accounts = domain->Accounts();
  out << "computer accounts (" << accounts.size() << "):";
  if (accounts.empty()) out << " none";
  for (size_t i = 0; i < accounts.size(); ++i) out << (i == 0 ? " " : ", ") << accounts[i];
  out << "\n";
}

void PrintDomainJson(const fs::path& dir, std::ostream& out) {
  auto domain = SimDomain::Open(dir);
  if (!domain) return;
  JsonWriter json(out);
  json.BeginObject().Key("directory").String(domain->Directory().string());
  json.Key("name").String(domain->Name()).Key("netbiosName").String(domain->NetbiosName());
  json.Key("defaultSite").String(domain->DefaultSite());
  json.Key("sites").BeginArray();
  for (const auto& site : domain->Sites()) {
    json.BeginObject().Key("name").String(site).Key("controllers").BeginArray();
    for (const auto& controller : domain->ControllersInSite(site)) json.String(controller.host);
    json.EndArray().EndObject();
  }
  json.EndArray().Key("controllers").BeginArray();
  for (const auto& controller : domain->Controllers()) {
    json.BeginObject().Key("host").String(controller.host).Key("site").String(controller.site).EndObject();
  }
  json.EndArray().Key("accounts").BeginArray();
  for (const auto& account : domain->Accounts()) json.String(account);
  json.EndArray().EndObject();
  out << "\n";
}

namespace {

void Wipe(std::string& text) {
  volatile char* p = text.data();
  for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  text.clear();
}

void Wipe(std::vector<uint8_t>& bytes) {
  volatile uint8_t* p = bytes.data();
  for (size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
  bytes.clear();
}

// A UUID as the hypervisor hands one out: printable, no blanks, short enough to be a cipher seed.
bool IsUuidText(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

}  // namespace

const std::vector<std::string>& PrimedVariables() {
  static const std::vector<std::string> names = {"machinePasswd", "machinePasswdChecksum", "hostName",
                                                 "cloneprep.clone.uuid", "primed.fqdn"};
  return names;
}

PrimeResult PrimeMachine(const fs::path& machine, const std::string& host, const std::string& uuid) {
  namespace sim = tamber::platform::sim;
  using tamber::common::windows::Encryption;
  PrimeResult result;
  if (host.empty() || uuid.empty()) return {true, "give the clone's name and UUID: --host NAME --uuid UUID", "", ""};
  if (!sim::IsValidComputerName(host)) {
    return {true, "'" + host + "' is no computer name: 1 to 15 letters, digits and hyphens, not only digits", "", ""};
  }
  if (!IsUuidText(uuid)) return {true, "--uuid takes 1 to 64 printable characters without blanks", "", ""};
  if (!sim::Machine::Exists(machine)) return {false, "not a simulated machine: " + machine.string(), "", ""};
  auto membership = sim::LoadMembership(machine);
  if (!membership) {
    return {false, machine.string() + " is in no domain; create it with --domain DIR (see velocyn-sim domain)", "", ""};
  }
  std::string why;
  auto domain = SimDomain::Open(membership->domainDirectory, &why);
  if (!domain) return {false, "the machine's domain cannot be opened: " + why, "", ""};

  std::string password = sim::NewMachinePassword();
  std::vector<uint8_t> accountBytes = sim::PasswordBytes(password);
  char* obfuscated = nullptr;
  uint32_t obfuscatedLength = 0;
  uint8_t digest[Encryption::kDigestLength] = {};
  char* checksum = nullptr;
  uint32_t checksumLength = 0;
  bool ok = domain->SetAccountPassword(host, accountBytes.data(), accountBytes.size());
  if (!ok) result.error = "cannot write the computer account " + host;
  ok = ok && Encryption::obfuscate(host.c_str(), uuid.c_str(), reinterpret_cast<const uint8_t*>(password.data()),
                                   static_cast<uint32_t>(password.size()), &obfuscated, &obfuscatedLength);
  // The checksum is over the password's UTF-16 form, the form the clone checks.
  ok = ok && Encryption::computeHash(accountBytes.data(), static_cast<uint32_t>(accountBytes.size()), digest) ==
                 Encryption::kDigestLength;
  ok = ok && Encryption::encode(digest, Encryption::kDigestLength, &checksum, &checksumLength);
  if (ok) {
    tamber::platform::guestrpc::SimHypervisor hypervisor(machine / "hypervisor");
    const std::string values[] = {std::string(obfuscated, obfuscatedLength), std::string(checksum, checksumLength),
                                  host, uuid, domain->Name()};
    for (size_t i = 0; i < PrimedVariables().size() && ok; ++i)
      ok = hypervisor.SetVariable(PrimedVariables()[i], values[i]);
    if (!ok) result.error = "cannot write the machine's guest variables";
  } else if (result.error.empty()) {
    result.error = "cannot protect the password";
  }
  Encryption::FreeData(&obfuscated, &obfuscatedLength);
  Encryption::FreeData(&checksum, &checksumLength);
  volatile uint8_t* d = digest;
  for (size_t i = 0; i < sizeof digest; ++i) d[i] = 0;
  Wipe(password);
  Wipe(accountBytes);
  result.domain = domain->Name();
  result.account = host;
  return result;
}

}  // namespace velocyn::sim_cli
