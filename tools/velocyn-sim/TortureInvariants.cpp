// The invariants a pool keeps whatever faults and power cuts it met, checked against the machines, the
// domain and the data disks themselves, not against what the agent says of them.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>

#include "AgentBoot.h"
#include "RegistryView.h"
#include "Torture.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/Registry.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/security/SimLsa.h"
#include "platform/sim/storage/SimStorage.h"

namespace velocyn::sim_cli {

namespace fs = std::filesystem;
namespace sim = tamber::platform::sim;
using tamber::core::util::Persisted;

namespace {

// The error codes the agent documents (0 to 33).
constexpr uint32_t kLastDocumentedError = 33;
// How a boot may end: the agent stopped as asked, or the machine went down as asked or lost power.
const std::set<std::string> kDocumentedEnds = {"service stopped", "shutdown", "reboot", "power cut"};
// The agent process's exit codes: 0, or a Win32 error when the service cannot even be reached in the registry.
const std::set<int> kDocumentedExitCodes = {0, 2, 5};

struct MachineState {
  std::string computerName;
  std::map<std::string, uint32_t> markers;  // by name, those that are set
  bool diskMounted = false;
  bool scriptsInPlace = false;
};

const std::vector<std::pair<Persisted, const char*>>& CheckedMarkers() {
  static const std::vector<std::pair<Persisted, const char*>> markers = {
      {Persisted::CloneJoinedDomain, "CloneJoinedDomain"},
      {Persisted::PersistentDisksReady, "PersistentDisksReady"},
      {Persisted::ScriptsSecured, "ScriptsSecured"},
      {Persisted::CloneCustomizationCompleted, "CloneCustomizationCompleted"},
  };
  return markers;
}

// What the machine's disk holds now, read without changing it.
MachineState ReadMachine(const fs::path& dir, bool hasDisk) {
  MachineState state;
  std::lock_guard<std::mutex> lock(InProcessMachineLock());
  sim::Machine::Boot(dir);
  for (const auto& [id, name] : CheckedMarkers()) {
    const auto& info = tamber::core::util::DescribePersisted(id);
    auto value = ReadOneValue(std::wstring(L"HKLM\\") + tamber::core::util::kRegistryKeyPaths[info.key], info.name);
    if (value && value->dword) state.markers[name] = *value->dword;
  }
  if (auto name = ReadOneValue(std::wstring(L"HKLM\\") + sim::kComputerNameKeyPath, L"ComputerName")) {
    state.computerName = name->display;
  }
  if (hasDisk) state.diskMounted = !sim::VolumeRootForLetter(L'D').empty();
  sim::Machine::PowerCut();
  // %systemroot%\temp\talvora: the guest's names are without case, the host's are not.
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir / "drive_c" / "Windows", error)) {
    std::string name = entry.path().filename().string();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const fs::path secure = entry.path() / "talvora";
    if (name == "temp" && fs::is_directory(secure, error) && !fs::is_empty(secure, error)) state.scriptsInPlace = true;
  }
  return state;
}

std::string Hex(const std::vector<uint8_t>& bytes, bool upper) {
  static const char* kDigits[] = {"0123456789abcdef", "0123456789ABCDEF"};
  std::string text;
  for (uint8_t byte : bytes) {
    text.push_back(kDigits[upper][byte >> 4]);
    text.push_back(kDigits[upper][byte & 15]);
  }
  return text;
}

// The forms a secret could take in a log line: its text (UTF-16LE or plain) and its hex digits.
void AddSecretForms(const std::vector<uint8_t>& bytes, std::set<std::string>* forms) {
  if (bytes.size() < 6) return;
  std::string narrow;
  bool utf16 = bytes.size() % 2 == 0;
  for (size_t i = 0; utf16 && i + 1 < bytes.size(); i += 2) {
    if (bytes[i + 1] != 0) utf16 = false;
    if (bytes[i] != 0) narrow.push_back(static_cast<char>(bytes[i]));
  }
  if (!utf16) narrow.assign(bytes.begin(), bytes.end());
  while (!narrow.empty() && narrow.back() == '\0') narrow.pop_back();
  const bool printable = std::all_of(narrow.begin(), narrow.end(), [](char c) { return c >= 0x21 && c < 0x7F; });
  if (printable && narrow.size() >= 6) forms->insert(narrow);
  if (bytes.size() >= 8) {
    forms->insert(Hex(bytes, false));
    forms->insert(Hex(bytes, true));
  }
}

// The agent's debug log of the machine, every file in the order written.
std::string DebugLogOf(const fs::path& machine) {
  std::vector<fs::path> files;
  std::error_code error;
  for (auto it = fs::directory_iterator(machine / "drive_c/ProgramData/Talvora/Quorvel/logs", error);
       !error && it != fs::directory_iterator(); it.increment(error)) {
    if (it->path().filename().string().rfind("debug-", 0) == 0) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  std::string text;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return text;
}

std::vector<fs::path> LogFilesOf(const fs::path& machine) {
  std::vector<fs::path> files;
  std::error_code error;
  // Every file of the agent's log folder; of the hypervisor's side, its log.
  for (const fs::path& folder : {machine / "drive_c/ProgramData/Talvora/Quorvel/logs", machine / "hypervisor"}) {
    const bool all = folder.filename() == "logs";
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (it->is_regular_file() && (all || name.find("log") != std::string::npos)) files.push_back(it->path());
    }
    error.clear();
  }
  files.push_back(machine / "run" / "agent.out");
  return files;
}

class Checker {
 public:
  Checker(const TorturePlan& plan, const ChainResult& chain, const fs::path& domainDir,
          const std::map<std::string, std::vector<std::string>>& crashReports)
      : plan_(plan), chain_(chain), crashReports_(crashReports) {
    domain_ = sim::SimDomain::Open(domainDir);
    if (domain_) {
      for (const std::string& event : domain_->Events()) {
        if (event.rfind("join ", 0) == 0) ++joins_[Upper(event.substr(5))];
      }
    }
  }

  std::vector<TortureFinding> Run() {
    CollectSecrets();
    for (const ChainMachine& machine : chain_.machines) {
      if (machine.role == "master") continue;
      // The first invariant broken on each machine; a later one often follows from it.
      for (auto check : {&Checker::CrashOrHang, &Checker::EndsDocumented, &Checker::SuccessIsTrue,
                         &Checker::MarkersHaveEffect, &Checker::NoSecretInLogs}) {
        if ((this->*check)(machine)) break;
      }
    }
    return findings_;
  }

 private:
  static std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  }

  bool Broken(Invariant invariant, const ChainMachine& machine, const std::string& detail) {
    findings_.push_back({invariant, machine.name, detail});
    return true;
  }

  // Whether the domain's account of that name holds the password the machine keeps in "$MACHINE.ACC".
  bool HoldsPassword(const ChainMachine& machine, const std::string& name) const {
    auto secret = sim::ReadLsaSecret(machine.dir, L"$MACHINE.ACC");
    auto account = domain_ ? domain_->AccountPassword(name) : std::nullopt;
    return secret && account && account->Equals(secret->data(), secret->size());
  }

  uint32_t PowerCuts(const ChainMachine& machine) const {
    return static_cast<uint32_t>(std::count_if(machine.boots.begin(), machine.boots.end(),
                                               [](const ChainBoot& boot) { return boot.endedBy == "power cut"; }));
  }

  bool CrashOrHang(const ChainMachine& machine) {
    auto crash = crashReports_.find(machine.name);
    if (crash != crashReports_.end() && !crash->second.empty()) {
      return Broken(Invariant::NoCrashOrHang, machine, "crash report: " + crash->second.front());
    }
    for (size_t i = 0; i < machine.boots.size(); ++i) {
      const ChainBoot& boot = machine.boots[i];
      const std::string which = "boot " + std::to_string(i + 1);
      if (boot.endedBy == "timed out") {
        return Broken(Invariant::NoCrashOrHang, machine, which + " did not end within its bound (hang)");
      }
      if (boot.endedBy.rfind("not started", 0) == 0) {
        return Broken(Invariant::NoCrashOrHang, machine, which + " " + boot.endedBy);
      }
      if (kDocumentedEnds.count(boot.endedBy) == 0) {
        return Broken(Invariant::NoCrashOrHang, machine,
                      which + " ended by itself (\"" + boot.endedBy + "\", exit code " + std::to_string(boot.exitCode) +
                          (boot.exitCode >= 128 ? ", a crash" : "") + ")");
      }
      if (boot.endedBy != "power cut" && kDocumentedExitCodes.count(boot.exitCode) == 0) {
        return Broken(Invariant::NoCrashOrHang, machine,
                      which + " exited with the undocumented code " + std::to_string(boot.exitCode));
      }
    }
    return false;
  }

  bool EndsDocumented(const ChainMachine& machine) {
    if (machine.status == "success" || machine.status == FlavourDoneStatus(plan_.flavour, machine.role)) return false;
    if (machine.status == "error") {
      if (!machine.errorCode) return Broken(Invariant::EndsDocumented, machine, "\"error\" without an error code");
      if (*machine.errorCode > kLastDocumentedError) {
        return Broken(Invariant::EndsDocumented, machine,
                      "\"error\" with the undocumented code " + std::to_string(*machine.errorCode));
      }
      return false;
    }
    // A Universalprep template whose helper or generalize fails reports no status by design (it stays
    // "running" and the next boot tries again); its last attempt must have ended that way.
    if (plan_.flavour == "universalprep" && machine.role == "it" && machine.status == "running") {
      const std::string log = DebugLogOf(machine.dir);
      const size_t attempt = log.rfind("Universalprep::CustomizeIT(): Template: Performing customization.");
      if (attempt != std::string::npos &&
          log.find("Customization::CustomizeVM(): Internal Template Customization Failed", attempt) !=
              std::string::npos) {
        return false;
      }
    }
    // Anything else must be a state the next boot continues; the chain gave the machine its boots, so a
    // machine that still has not ended is stuck.
    return Broken(Invariant::EndsDocumented, machine,
                  "still \"" + (machine.status.empty() ? std::string("-") : machine.status) + "\" after " +
                      std::to_string(machine.boots.size()) + " boot(s)");
  }

  bool SuccessIsTrue(const ChainMachine& machine) {
    if (machine.role != "clone") return false;
    state_ = ReadMachine(machine.dir, plan_.persistentDisk);
    if (machine.status != "success") return false;
    if (!sim::SimDomain::SameName(state_.computerName, machine.hostName)) {
      return Broken(Invariant::SuccessIsTrue, machine, "\"success\" but named \"" + state_.computerName + "\"");
    }
    if (!HoldsPassword(machine, state_.computerName)) {
      return Broken(Invariant::SuccessIsTrue, machine, "\"success\" but its secure channel does not verify");
    }
    if (state_.markers["CloneCustomizationCompleted"] != 1) {
      return Broken(Invariant::SuccessIsTrue, machine, "\"success\" without CloneCustomizationCompleted");
    }
    if (machine.cloneSuccessful != 1u) {
      return Broken(Invariant::SuccessIsTrue, machine, "\"success\" without IsCloneCustomizationSuccessful");
    }
    if (machine.policyState != 0u) {
      return Broken(Invariant::SuccessIsTrue, machine,
                    "\"success\" with PolicyState " +
                        (machine.policyState ? std::to_string(*machine.policyState) : std::string("missing")));
    }
    return false;
  }

  bool MarkersHaveEffect(const ChainMachine& machine) {
    if (machine.role != "clone") return false;
    const std::string name = Upper(machine.computerName.empty() ? machine.hostName : machine.computerName);
    if (state_.markers["CloneJoinedDomain"] == 1) {
      auto secret = sim::ReadLsaSecret(machine.dir, L"$MACHINE.ACC");
      auto account = domain_ ? domain_->AccountPassword(name) : std::nullopt;
      if (!account) {
        return Broken(Invariant::MarkersHaveEffect, machine,
                      "CloneJoinedDomain set but the domain has no account " + name);
      }
      if (!secret || !account->Equals(secret->data(), secret->size())) {
        return Broken(Invariant::MarkersHaveEffect, machine,
                      "CloneJoinedDomain set but the account " + name + " does not hold the machine's password");
      }
    }
    if (state_.markers["PersistentDisksReady"] == 1 && plan_.persistentDisk && !state_.diskMounted) {
      return Broken(Invariant::MarkersHaveEffect, machine, "PersistentDisksReady set but no volume is mounted at D:");
    }
    if (state_.markers["ScriptsSecured"] == 1 && !state_.scriptsInPlace) {
      return Broken(Invariant::MarkersHaveEffect, machine, "ScriptsSecured set but the secured copies are missing");
    }
    // A join happens once; only a power cut between the join and its marker reaching the disk excuses
    // another.
    const uint32_t joins = joins_[Upper(machine.hostName)];
    if (joins > 1 + PowerCuts(machine)) {
      return Broken(Invariant::MarkersHaveEffect, machine,
                    "joined the domain " + std::to_string(joins) + " times with " + std::to_string(PowerCuts(machine)) +
                        " power cut(s)");
    }
    if (plan_.persistentDisk) {
      for (const std::string& event : sim::DiskEvents(machine.dir.parent_path() / "disks" / machine.name)) {
        if (event.rfind("format ", 0) == 0 && event != "format files=0") {
          return Broken(Invariant::MarkersHaveEffect, machine, "a disk with data was formatted (" + event + ")");
        }
      }
    }
    return false;
  }

  bool NoSecretInLogs(const ChainMachine& machine) {
    std::set<std::string> forms = secrets_;
    for (const wchar_t* name : {L"$MACHINE.ACC", L"L$TOLM_MC_PWD", L"L$TOLM_MC_PWD_CHKSUM"}) {
      if (auto secret = sim::ReadLsaSecret(machine.dir, name)) AddSecretForms(*secret, &forms);
    }
    for (const fs::path& file : LogFilesOf(machine.dir)) {
      std::ifstream in(file, std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      for (const std::string& form : forms) {
        if (text.find(form) != std::string::npos) {
          return Broken(
              Invariant::NoSecretInLogs, machine,
              "a secret (" + std::to_string(form.size()) + " characters) stands in " + file.filename().string());
        }
      }
    }
    return false;
  }

  // Every password the domain holds is a secret in every machine's logs.
  void CollectSecrets() {
    if (!domain_) return;
    for (const std::string& account : domain_->Accounts()) {
      if (auto password = domain_->AccountPassword(account)) {
        AddSecretForms(std::vector<uint8_t>(password->data(), password->data() + password->size()), &secrets_);
      }
    }
  }

  const TorturePlan& plan_;
  const ChainResult& chain_;
  const std::map<std::string, std::vector<std::string>>& crashReports_;
  std::optional<sim::SimDomain> domain_;
  std::map<std::string, uint32_t> joins_;
  std::set<std::string> secrets_;
  MachineState state_;
  std::vector<TortureFinding> findings_;
};

}  // namespace

std::vector<TortureFinding> CheckInvariants(const TorturePlan& plan, const ChainResult& chain,
                                            const fs::path& domainDir,
                                            const std::map<std::string, std::vector<std::string>>& crashReports) {
  return Checker(plan, chain, domainDir, crashReports).Run();
}

}  // namespace velocyn::sim_cli
