#include "Inspect.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <fstream>
#include <random>
#include <stdexcept>

#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/GuestInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "framework/log/LogConfig.h"
#include "framework/log/LogWriter.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"

namespace velocyn::sim_cli {

namespace fs = std::filesystem;
using namespace tamber::core::util;
using tamber::platform::sim::Machine;
using tamber::platform::sim::NarrowUtf8;

namespace {

// The keys whose whole tree "show" prints: the agent's own settings and markers, and its service key.
const wchar_t* const kShownKeys[] = {L"HKLM\\SOFTWARE\\Talvora",
                                     L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\tlv-velocyn-ga"};
// Where the agent's log writer keeps its files unless its settings name another directory.
const char* const kDefaultLogDirectory = "C:\\ProgramData\\Talvora\\Quorvel\\logs";

std::wstring LocalMachine(const wchar_t* path) { return std::wstring(L"HKLM\\") + path; }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Copies directories and regular files; whatever else a running boot keeps there (sockets, pipes)
// belongs to that boot alone.
void CopyTree(const fs::path& from, const fs::path& to, bool top) {
  fs::create_directories(to);
  for (const auto& entry : fs::directory_iterator(from)) {
    std::string name = entry.path().filename().string();
    // The guest's files are not needed to decide the role, and may be large; pipes and the running
    // boot's own files are per boot.
    if (top && (name == "drive_c" || name == "pipes" || name == "run")) continue;
    if (entry.is_directory()) {
      CopyTree(entry.path(), to / name, false);
    } else if (entry.is_regular_file()) {
      fs::copy_file(entry.path(), to / name);
    }
  }
}

// A throw-away copy of a machine's lasting state (registry, hypervisor side, settings).
class ScratchMachine {
 public:
  explicit ScratchMachine(const fs::path& original) {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
      fs::path candidate = fs::temp_directory_path() / ("velocyn-sim-show-" + std::to_string(random()));
      if (fs::create_directory(candidate)) dir_ = candidate;
    }
    if (dir_.empty())
      throw std::runtime_error("cannot make a scratch directory under " + fs::temp_directory_path().string());
    CopyTree(original, dir_, true);
    Machine::Create(dir_);
  }
  ~ScratchMachine() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  const fs::path& Directory() const { return dir_; }

 private:
  fs::path dir_;
};

// The log writer's directory from its settings: a path on C: as it stands; the default for anything
// else (environment strings are the default's own).
std::string LogDirectory() {
  std::string configured = NarrowUtf8(tamber::framework::log::ReadLogConfig().logFileDirectory);
  while (!configured.empty() && (configured.back() == '\\' || configured.back() == '/')) configured.pop_back();
  bool onC = configured.size() > 3 && Lower(configured.substr(0, 3)) == "c:\\";
  return onC && configured.find('%') == std::string::npos ? configured : kDefaultLogDirectory;
}

// The newest debug file of the agent (every line that passed the filter), else its newest main file, in
// the Windows directory logDirectory ("C:\...") of the machine; components match as NTFS matches them.
std::optional<fs::path> NewestLogFile(const fs::path& machine, const std::string& logDirectory) {
  fs::path dir = machine / "drive_c";
  size_t start = 3;
  while (start < logDirectory.size()) {
    size_t end = logDirectory.find_first_of("\\/", start);
    if (end == std::string::npos) end = logDirectory.size();
    std::string component = Lower(logDirectory.substr(start, end - start));
    start = end + 1;
    if (component.empty()) continue;
    std::error_code error;
    fs::path found;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
      if (Lower(entry.path().filename().string()) == component) found = entry.path();
    }
    if (found.empty()) return std::nullopt;
    dir = found;
  }
  for (const char* base : {"debug-", "log-"}) {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
      std::string name = Lower(entry.path().filename().string());
      if (entry.is_regular_file() && name.rfind(base, 0) == 0 && name.size() > 4 &&
          name.substr(name.size() - 4) == ".txt") {
        files.push_back(entry.path());
      }
    }
    if (!files.empty()) return *std::max_element(files.begin(), files.end());  // the names sort by time
  }
  return std::nullopt;
}

std::vector<std::string> Tail(const fs::path& file, size_t lines) {
  std::deque<std::string> tail;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (lines > 0 && std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    tail.push_back(std::move(line));
    if (tail.size() > lines) tail.pop_front();
  }
  return {tail.begin(), tail.end()};
}

const char* CustomizationTypeName(uint32_t code) {
  switch (code) {
    case customization::kCloneprep:
      return "Cloneprep";
    case customization::kSysprep:
      return "Sysprep";
    case customization::kUniversalprep:
      return "Universalprep";
    default:
      return "Undetermined";
  }
}

std::string SiblingStatusName(uint32_t value) {
  switch (value) {
    case 0:
      return "cleared";
    case NotifyHaldenAgent::kCustomizationInProgress:
      return "CustomizationInProgress";
    case NotifyHaldenAgent::kWaitForCheckpointing:
      return "WaitForCheckpointing";
    case NotifyHaldenAgent::kCustomizationPostCheckpointing:
      return "CustomizationPostCheckpointing";
    case NotifyHaldenAgent::kCustomizationSucceeded:
      return "CustomizationSucceeded";
    case NotifyHaldenAgent::kCustomizationFailed:
      return "CustomizationFailed";
    default:
      return "unknown";
  }
}

// Plain reads of the registry, made before any agent code runs in the boot.
void ReadRegistry(MachineReport* report) {
  for (const wchar_t* root : kShownKeys) {
    auto tree = ReadTree(root);
    report->keys.insert(report->keys.end(), tree.begin(), tree.end());
  }
  for (const auto& info : AllPersistedValues()) {
    std::wstring key = LocalMachine(kRegistryKeyPaths[info.key]);
    if (auto value = ReadOneValue(key, info.name)) {
      report->markers.push_back({NarrowUtf8(info.name), NarrowUtf8(key), *value});
      if (info.id == Persisted::PolicyState) report->policyState = value->dword;
    }
  }
  auto sibling = ReadOneValue(LocalMachine(kRegistryKeyPaths[regtype::kService]), NotifyHaldenAgent::kValueName);
  if (sibling && sibling->dword) {
    report->siblingStatus = sibling->dword;
    report->siblingStatusText = SiblingStatusName(*sibling->dword);
  } else {
    report->siblingStatusText = sibling ? "not a number" : "absent";
  }
  auto bootExecute = ReadOneValue(LocalMachine(kRegistryKeyPaths[regtype::kSessionManager]), L"BootExecute");
  if (bootExecute) report->bootExecute = bootExecute->strings;
}

// The agent's own decisions, made the way the service makes them at the start of a boot.
void AskTheAgent(MachineReport* report) {
  auto* machineType = MachineType::Instance();
  report->roleCode = machineType->GetMachineType();
  report->roleText = machineType->GetMachineTypeText();
  report->role = RoleName(report->roleCode);
  report->customizationTypeCode = CustomizationType::Instance()->GetCustomizationType();
  report->customizationType = CustomizationTypeName(report->customizationTypeCode);
  report->flags = CustomizationFlags::Instance()->GetCustomizationFlagsValue();
  report->flagsText = NarrowUtf8(CustomizationFlagsText(report->flags));
  GuestInfo guestInfo;
  guestInfo.BuildRoleVariableName(&report->statusVariable, nullptr, kCustomizationStateVariable);
  std::string status;
  // An empty value is no value: setting a variable to "" clears it.
  if (CustomizationState::Instance()->GetCustomizationState(&status) && !status.empty()) report->status = status;
  if (report->policyState) {
    report->policyStateText = NarrowUtf8(CustomizationState::Instance()->GetDescription(*report->policyState));
  } else {
    report->policyStateText = "absent";
  }
}

// The agent's crash report that was written last in the file: the text of its first line (after the log
// line's own prefix), or "".
std::string LastReportIn(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string last;
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find("] Program ");
    if (at == std::string::npos) continue;
    last = line.substr(at + 2);
    while (!last.empty() && (last.back() == '\r' || last.back() == '\n')) last.pop_back();
  }
  return last;
}

}  // namespace

std::string LastCrashReport(const fs::path& machine) {
  auto file = NewestLogFile(machine, kDefaultLogDirectory);
  return file ? LastReportIn(*file) : std::string();
}

std::vector<std::string> DumpFiles(const fs::path& machine) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry :
       fs::directory_iterator(machine / "drive_c" / "ProgramData" / "Talvora" / "Quorvel" / "Dumps", error)) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.size() > 4 && Lower(name.substr(name.size() - 4)) == ".dmp")
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string RoleName(uint32_t code) {
  switch (code) {
    case machine::kMaster:
      return "Master";
    case machine::kInternalTemplate:
      return "Internal template";
    case machine::kReplica:
      return "Replica";
    case machine::kParent:
      return "Parent";
    case machine::kClone:
      return "Clone";
    default:
      return "Undetermined";
  }
}

MachineReport Inspect(const fs::path& machine, size_t lines) {
  MachineReport report;
  report.machine = fs::absolute(machine);
  // A request stays in the machine until whoever carries it out takes it.
  report.powerRequest = tamber::platform::sim::Power::Pending(machine);
  std::string logDirectory;
  {
    // The agent decides the role only while the machine runs, and deciding may write (the golden image
    // remembers its MAC address), and logs. So the decision is made on a boot of a scratch copy of the
    // machine's lasting state, ended by a power cut and thrown away: "show" never changes the machine,
    // not even by a lazy flush or a log line.
    ScratchMachine scratch(machine);
    Machine::Boot(scratch.Directory());
    ReadRegistry(&report);
    logDirectory = LogDirectory();
    AskTheAgent(&report);
    tamber::framework::log::ShutdownLog();
    Machine::PowerCut();
  }
  if (auto file = NewestLogFile(machine, logDirectory)) {
    report.logFile = logDirectory + "\\" + file->filename().string();
    report.logTail = Tail(*file, lines);
    report.lastCrash = LastReportIn(*file);
  }
  report.dumps = DumpFiles(machine);
  tamber::platform::guestrpc::SimHypervisor hypervisor(machine / "hypervisor");
  report.guestinfo = hypervisor.Variables();
  report.hypervisorLog = hypervisor.LogTail(lines);
  report.eventLog = tamber::platform::sim::ReadEventLog(machine, lines);
  return report;
}

}  // namespace velocyn::sim_cli
