#include "platform/sim/domain/SimDomain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

#include "platform/Registry.h"
#include "platform/sim/machine/SimBootHooks.h"
#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"

namespace tamber::platform::sim {
namespace fs = std::filesystem;

namespace {

constexpr const char* kDomainFile = "domain.conf";
constexpr const char* kAccountsFolder = "accounts";
constexpr const char* kMembershipFile = "membership.conf";
constexpr size_t kMaxDnsName = 253;
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxAccountName = 15;

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), Fold);
  return text;
}

bool IsLetterOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool IsLabel(const std::string& label) {
  if (label.empty() || label.size() > kMaxLabel) return false;
  if (label.front() == '-' || label.back() == '-') return false;
  return std::all_of(label.begin(), label.end(), [](char c) { return IsLetterOrDigit(c) || c == '-'; });
}

std::string GuidText(const Guid& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.data1, guid.data2,
                guid.data3, guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4], guid.data4[5],
                guid.data4[6], guid.data4[7]);
  return text;
}

std::optional<Guid> ParseGuid(const std::string& text) {
  unsigned int d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  char tail = 0;
  if (std::sscanf(text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7], &tail) != 11) {
    return std::nullopt;
  }
  Guid guid{d1, static_cast<uint16_t>(d2), static_cast<uint16_t>(d3), {}};
  for (int i = 0; i < 8; ++i) guid.data4[i] = static_cast<uint8_t>(b[i]);
  return guid;
}

Guid NewGuid() {
  std::random_device random;
  Guid guid{random(), static_cast<uint16_t>(random()), static_cast<uint16_t>((random() & 0x0FFF) | 0x4000), {}};
  for (auto& byte : guid.data4) byte = static_cast<uint8_t>(random());
  guid.data4[0] = static_cast<uint8_t>((guid.data4[0] & 0x3F) | 0x80);
  return guid;
}

// Writes bytes to path in one step: a file of its own first, made durable, then renamed over the old one.
bool WriteAtomically(const fs::path& path, const uint8_t* data, size_t size, mode_t mode) {
  fs::path temporary = path;
  temporary += ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  bool ok = true;
  while (done < size) {
    ssize_t count = ::write(fd, data + done, size - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(count);
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself lasts once the folder is written out.
  int folder = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

bool WriteTextAtomically(const fs::path& path, const std::string& text) {
  return WriteAtomically(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0644);
}

std::vector<std::pair<std::string, std::string>> ReadSettings(const fs::path& file) {
  std::vector<std::pair<std::string, std::string>> settings;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos || eq == 0) continue;
    settings.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return settings;
}

std::mutex& FaultLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

}  // namespace

// ---- SecretBytes ---------------------------------------------------------------------------------

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    Wipe();
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
  }
  return *this;
}

void SecretBytes::Wipe() {
  volatile uint8_t* bytes = bytes_.data();
  for (size_t i = 0; i < bytes_.size(); ++i) bytes[i] = 0;
  bytes_.clear();
}

bool SecretBytes::Equals(const uint8_t* data, size_t size) const {
  if (size != bytes_.size()) return false;
  uint8_t difference = 0;
  for (size_t i = 0; i < size; ++i) difference |= static_cast<uint8_t>(bytes_[i] ^ data[i]);
  return difference == 0;
}

// ---- names ---------------------------------------------------------------------------------------

bool SimDomain::IsDnsName(const std::string& name) {
  if (name.empty() || name.size() > kMaxDnsName) return false;
  size_t start = 0;
  for (;;) {
    size_t dot = name.find('.', start);
    if (!IsLabel(name.substr(start, dot == std::string::npos ? std::string::npos : dot - start))) return false;
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

bool SimDomain::IsSiteName(const std::string& name) { return IsLabel(name); }

bool SimDomain::IsAccountName(const std::string& name) {
  if (name.empty() || name.size() > kMaxAccountName) return false;
  bool allDigits = true;
  for (char c : name) {
    if (!IsLetterOrDigit(c) && c != '-') return false;
    if (c < '0' || c > '9') allDigits = false;
  }
  return !allDigits;
}

bool SimDomain::SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

// ---- the domain ----------------------------------------------------------------------------------

std::string SimDomain::CheckNames(const std::string& name, const std::vector<std::string>& sites,
                                  const std::vector<SimDomainController>& controllers) {
  if (!IsDnsName(name)) {
    return "'" + name + "' is no domain name: letters, digits and hyphens in labels of 1 to 63 characters, " +
           "separated by dots";
  }
  if (sites.empty()) return "a domain needs a site";
  std::set<std::string> seenSites;
  for (const auto& site : sites) {
    if (!IsSiteName(site)) {
      return "'" + site + "' is no site name: 1 to 63 letters, digits and hyphens, not beginning or ending with one";
    }
    if (!seenSites.insert(Upper(site)).second) return "site " + site + " is named twice";
  }
  if (controllers.empty()) return "a domain needs a domain controller";
  std::set<std::string> seenHosts;
  std::set<std::string> seenLabels;
  for (const auto& controller : controllers) {
    if (!IsDnsName(controller.host)) return "'" + controller.host + "' is no controller host name";
    if (!seenHosts.insert(Upper(controller.host)).second) return "controller " + controller.host + " is named twice";
    // A controller is also found by its first label, so two may not share one.
    if (!seenLabels.insert(Upper(controller.host.substr(0, controller.host.find('.')))).second) {
      return "controllers " + controller.host + " and another share the name " +
             controller.host.substr(0, controller.host.find('.'));
    }
    if (seenSites.count(Upper(controller.site)) == 0) {
      return "controller " + controller.host + " is in site " + controller.site + ", which the domain does not have";
    }
  }
  return "";
}

std::string SimDomain::Create(const fs::path& dir, const std::string& name, const std::vector<std::string>& sites,
                              const std::vector<SimDomainController>& controllers) {
  if (std::string wrong = CheckNames(name, sites, controllers); !wrong.empty()) return wrong;
  std::error_code error;
  if (Exists(dir)) return dir.string() + " already holds a domain";
  if (fs::exists(dir, error) && !fs::is_empty(dir, error)) {
    return dir.string() + " holds something else; name a new or empty directory";
  }
  fs::create_directories(dir / kAccountsFolder, error);
  if (error) return "cannot make " + dir.string() + ": " + error.message();

  std::ostringstream text;
  text << "name=" << name << "\n"
       << "guid=" << GuidText(NewGuid()) << "\n";
  for (const auto& site : sites) text << "site=" << site << "\n";
  for (const auto& controller : controllers) {
    std::string site = controller.site;
    for (const auto& known : sites) {
      if (SameName(known, site)) site = known;
    }
    text << "dc=" << controller.host << " " << site << "\n";
  }
  if (!WriteTextAtomically(dir / kDomainFile, text.str())) return "cannot write " + (dir / kDomainFile).string();
  return "";
}

bool SimDomain::Exists(const fs::path& dir) {
  std::error_code error;
  return fs::is_regular_file(dir / kDomainFile, error);
}

std::optional<SimDomain> SimDomain::Open(const fs::path& dir, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<SimDomain> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  if (!Exists(dir)) return fail(dir.string() + " holds no domain");
  SimDomain domain;
  domain.dir_ = fs::absolute(dir).lexically_normal();
  bool haveGuid = false;
  for (const auto& [key, value] : ReadSettings(dir / kDomainFile)) {
    if (key == "name") {
      domain.name_ = value;
    } else if (key == "guid") {
      auto guid = ParseGuid(value);
      if (!guid) return fail("damaged domain file: guid " + value);
      domain.guid_ = *guid;
      haveGuid = true;
    } else if (key == "site") {
      if (!IsSiteName(value)) return fail("damaged domain file: site " + value);
      domain.sites_.push_back(value);
    } else if (key == "dc") {
      auto blank = value.find(' ');
      SimDomainController controller{value.substr(0, blank), blank == std::string::npos ? "" : value.substr(blank + 1)};
      if (!IsDnsName(controller.host) || !IsSiteName(controller.site)) return fail("damaged domain file: dc " + value);
      domain.controllers_.push_back(controller);
    }
  }
  if (!IsDnsName(domain.name_) || domain.sites_.empty() || !haveGuid) return fail("damaged domain file");
  return domain;
}

std::string SimDomain::NetbiosName() const { return Upper(name_.substr(0, name_.find('.'))); }

std::optional<std::string> SimDomain::FindSite(const std::string& site) const {
  for (const auto& known : sites_) {
    if (SameName(known, site)) return known;
  }
  return std::nullopt;
}

std::vector<SimDomainController> SimDomain::ControllersInSite(const std::string& site) const {
  std::vector<SimDomainController> found;
  for (const auto& controller : controllers_) {
    if (SameName(controller.site, site)) found.push_back(controller);
  }
  return found;
}

const SimDomainController* SimDomain::FindController(const std::string& name) const {
  for (const auto& controller : controllers_) {
    if (SameName(controller.host, name) || SameName(controller.host.substr(0, controller.host.find('.')), name)) {
      return &controller;
    }
  }
  return nullptr;
}

bool SimDomain::IsNamed(const std::string& name) const {
  return SameName(name, name_) || SameName(name, NetbiosName());
}

// ---- accounts ------------------------------------------------------------------------------------

fs::path SimDomain::AccountFile(const std::string& machineName) const {
  return dir_ / kAccountsFolder / Upper(machineName);
}

std::vector<std::string> SimDomain::Accounts() const {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(dir_ / kAccountsFolder, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (it->is_regular_file() && IsAccountName(name) && name == Upper(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool SimDomain::HasAccount(const std::string& machineName) const {
  std::error_code error;
  return IsAccountName(machineName) && fs::is_regular_file(AccountFile(machineName), error);
}

std::optional<SecretBytes> SimDomain::AccountPassword(const std::string& machineName) const {
  if (!HasAccount(machineName)) return std::nullopt;
  std::ifstream in(AccountFile(machineName), std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  SecretBytes password(bytes.data(), bytes.size());
  volatile uint8_t* plain = bytes.data();
  for (size_t i = 0; i < bytes.size(); ++i) plain[i] = 0;
  return password;
}

void SimDomain::RecordEvent(const std::string& line) const {
  // One short write in append mode: lines of machines that join at the same time do not mix.
  std::ofstream(dir_ / "events.log", std::ios::app) << line + "\n";
}

std::vector<std::string> SimDomain::Events() const {
  std::vector<std::string> events;
  std::ifstream in(dir_ / "events.log");
  for (std::string line; std::getline(in, line);) events.push_back(line);
  return events;
}

bool SimDomain::SetAccountPassword(const std::string& machineName, const uint8_t* password, size_t size) const {
  if (!IsAccountName(machineName) || (password == nullptr && size != 0)) return false;
  std::error_code error;
  fs::create_directories(dir_ / kAccountsFolder, error);
  static const uint8_t kNothing = 0;
  return WriteAtomically(AccountFile(machineName), size == 0 ? &kNothing : password, size, 0600);
}

bool SimDomain::DeleteAccount(const std::string& machineName) const {
  std::error_code error;
  return IsAccountName(machineName) && fs::remove(AccountFile(machineName), error);
}

// ---- membership ----------------------------------------------------------------------------------

std::optional<SimMembership> LoadMembership(const fs::path& machineDir) {
  std::error_code error;
  if (!fs::is_regular_file(machineDir / kMembershipFile, error)) return std::nullopt;
  SimMembership membership;
  for (const auto& [key, value] : ReadSettings(machineDir / kMembershipFile)) {
    if (key == "domain") membership.domainDirectory = value;
    if (key == "site") membership.site = value;
    if (key == "pinnedDc") membership.pinnedDc = value;
  }
  if (membership.domainDirectory.empty()) return std::nullopt;
  return membership;
}

void SaveMembership(const fs::path& machineDir, const SimMembership& membership) {
  std::ostringstream text;
  text << "domain=" << membership.domainDirectory.string() << "\n";
  if (!membership.site.empty()) text << "site=" << membership.site << "\n";
  if (!membership.pinnedDc.empty()) text << "pinnedDc=" << membership.pinnedDc << "\n";
  if (!WriteTextAtomically(machineDir / kMembershipFile, text.str())) {
    throw std::runtime_error("cannot write " + (machineDir / kMembershipFile).string());
  }
}

std::string AttachToDomain(const fs::path& machineDir, const fs::path& domainDir, const std::string& site) {
  std::string error;
  auto domain = SimDomain::Open(domainDir, &error);
  if (!domain) return error;
  SimMembership membership;
  membership.domainDirectory = domain->Directory();
  if (!site.empty()) {
    auto known = domain->FindSite(site);
    if (!known) return "domain " + domain->Name() + " has no site " + site;
    membership.site = *known;
  }
  SaveMembership(machineDir, membership);
  return "";
}

void DetachFromDomain(const fs::path& machineDir) {
  std::error_code error;
  fs::remove(machineDir / kMembershipFile, error);
}

std::optional<SimDomainView> BootedMachineDomain() {
  if (!Machine::IsBooted()) return std::nullopt;
  auto membership = LoadMembership(Machine::Directory());
  if (!membership) return std::nullopt;
  auto domain = SimDomain::Open(membership->domainDirectory);
  if (!domain) return std::nullopt;
  std::string site = domain->DefaultSite();
  if (!membership->site.empty()) {
    // A site the domain no longer has leaves the machine in the default site.
    if (auto known = domain->FindSite(membership->site)) site = *known;
  }
  return SimDomainView{std::move(*domain), std::move(*membership), site};
}

const SimDomainController* CurrentController(const SimDomainView& view) {
  if (!view.membership.pinnedDc.empty()) {
    if (const auto* pinned = view.domain.FindController(view.membership.pinnedDc)) return pinned;
  }
  for (const auto& controller : view.domain.Controllers()) {
    if (SimDomain::SameName(controller.site, view.site)) return &controller;
  }
  return view.domain.Controllers().empty() ? nullptr : &view.domain.Controllers().front();
}

bool PinController(const std::string& name) {
  auto view = BootedMachineDomain();
  if (!view) return false;
  const auto* controller = view->domain.FindController(name);
  if (controller == nullptr) return false;
  view->membership.pinnedDc = controller->host;
  SaveMembership(Machine::Directory(), view->membership);
  return true;
}

void UnpinController() {
  if (!Machine::IsBooted()) return;
  auto membership = LoadMembership(Machine::Directory());
  if (!membership || membership->pinnedDc.empty()) return;
  membership->pinnedDc.clear();
  SaveMembership(Machine::Directory(), *membership);
}

void DomainBoot(const fs::path& machineDir) {
  // Netlogon starts afresh: the secure channel goes to whichever controller the locator finds.
  auto membership = LoadMembership(machineDir);
  if (!membership || membership->pinnedDc.empty()) return;
  membership->pinnedDc.clear();
  SaveMembership(machineDir, *membership);
}

std::string BootedComputerName() {
  if (!Machine::IsBooted()) return {};
  HKey key = nullptr;
  if (RegOpenKeyEx(HKeyLocalMachine(), kComputerNameKeyPath, 0, kKeyRead, &key) != kErrorSuccess) return {};
  uint8_t bytes[64] = {};
  uint32_t size = sizeof bytes;
  uint32_t type = 0;
  uint32_t result = RegQueryValueEx(key, L"ComputerName", &type, bytes, &size);
  RegCloseKey(key);
  if (result != kErrorSuccess || type != kRegSz) return {};
  std::string name;
  for (uint32_t i = 0; i + 1 < size; i += 2) {
    uint32_t unit = bytes[i] | (bytes[i + 1] << 8);
    if (unit == 0) break;
    name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return name;
}

std::optional<uint32_t> TakeCountedFault(const std::string& name, uint32_t defaultError) {
  std::lock_guard<std::mutex> guard(FaultLock());
  auto value = FaultPlan::Get(name);
  if (!value) return std::nullopt;
  char* end = nullptr;
  long count = std::strtol(value->c_str(), &end, 0);
  if (count <= 0) return std::nullopt;
  uint32_t error = defaultError;
  std::string rest = end != nullptr ? std::string(end) : std::string();
  if (!rest.empty() && rest[0] == ':') {
    uint32_t parsed = static_cast<uint32_t>(std::strtoul(rest.c_str() + 1, nullptr, 0));
    if (parsed != 0) error = parsed;
  }
  FaultPlan::Set(name, count > 1 ? std::optional<std::string>(std::to_string(count - 1) + rest) : std::nullopt);
  return error;
}

std::optional<uint32_t> TakeListedFault(const std::string& name) {
  std::lock_guard<std::mutex> guard(FaultLock());
  auto value = FaultPlan::Get(name);
  if (!value) return std::nullopt;
  std::string list = *value;
  auto comma = list.find(',');
  std::string first = list.substr(0, comma);
  std::string rest = comma == std::string::npos ? std::string() : list.substr(comma + 1);
  char* end = nullptr;
  const unsigned long error = std::strtoul(first.c_str(), &end, 0);
  long count = 1;
  if (end != nullptr && *end == '*') count = std::strtol(end + 1, nullptr, 10);
  if (error == 0 || count <= 0) {  // a damaged entry is dropped, not applied
    FaultPlan::Set(name, rest.empty() ? std::nullopt : std::optional<std::string>(rest));
    return std::nullopt;
  }
  if (count > 1) {
    rest = first.substr(0, first.find('*')) + "*" + std::to_string(count - 1) + (rest.empty() ? "" : "," + rest);
  }
  FaultPlan::Set(name, rest.empty() ? std::nullopt : std::optional<std::string>(rest));
  return static_cast<uint32_t>(error);
}

}  // namespace tamber::platform::sim
