#include "platform/sim/setup/SimGuestOperations.h"

#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/setup/SimSetup.h"

namespace tamber::platform::sim {
namespace {

constexpr const char* kQueueFile = "guestops.conf";

std::mutex& QueueLock() {
  static std::mutex lock;
  return lock;
}

std::filesystem::path QueuePath(const std::filesystem::path& machineDir) {
  return machineDir / "hypervisor" / kQueueFile;
}

bool Storable(const std::string& field) { return field.find_first_of("\t\r\n") == std::string::npos; }

std::vector<GuestOperation> Load(const std::filesystem::path& machineDir) {
  std::vector<GuestOperation> operations;
  std::ifstream in(QueuePath(machineDir));
  for (std::string line; std::getline(in, line);) {
    const size_t first = line.find('\t');
    const size_t second = first == std::string::npos ? std::string::npos : line.find('\t', first + 1);
    if (second == std::string::npos) continue;  // not one of ours: left out
    operations.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1), line.substr(second + 1)});
  }
  return operations;
}

bool Store(const std::filesystem::path& machineDir, const std::vector<GuestOperation>& operations) {
  std::error_code error;
  std::filesystem::create_directories(machineDir / "hypervisor", error);
  const auto temp = QueuePath(machineDir).string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const auto& operation : operations) {
      out << operation.whenVariable << '\t' << operation.whenValue << '\t' << operation.commandLine << '\n';
    }
    if (!out) return false;
  }
  std::filesystem::rename(temp, QueuePath(machineDir), error);
  return !error;
}

// Starts the program as the hypervisor tools do: no window, no handles, not waited for here (the
// process runs on, its end is noted by nobody but the guest).
bool Start(const std::string& commandLine, std::string* outcome) {
  StartupInfo startup;
  ProcessInformation info;
  if (!CreateProcess(WidenUtf8(commandLine), /*inheritHandles=*/false, 0, startup, &info)) {
    *outcome = "could not be started (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  CloseHandle(info.thread);
  CloseHandle(info.process);
  *outcome = "started";
  return true;
}

}  // namespace

bool QueueGuestOperation(const std::filesystem::path& machineDir, const GuestOperation& operation) {
  if (!Storable(operation.whenVariable) || !Storable(operation.whenValue) || !Storable(operation.commandLine) ||
      operation.commandLine.empty()) {
    return false;
  }
  std::lock_guard<std::mutex> guard(QueueLock());
  auto operations = Load(machineDir);
  operations.push_back(operation);
  return Store(machineDir, operations);
}

std::vector<GuestOperation> PendingGuestOperations(const std::filesystem::path& machineDir) {
  std::lock_guard<std::mutex> guard(QueueLock());
  return Load(machineDir);
}

int RunDueGuestOperations() {
  if (!Machine::IsBooted()) return 0;
  const std::filesystem::path machineDir = Machine::Directory();
  guestrpc::SimHypervisor hypervisor(machineDir / "hypervisor");
  std::vector<GuestOperation> due;
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    auto operations = Load(machineDir);
    if (operations.empty()) return 0;
    std::vector<GuestOperation> waiting;
    for (auto& operation : operations) {
      const bool holds = operation.whenVariable.empty() ||
                         hypervisor.GetVariable(operation.whenVariable).value_or("") == operation.whenValue;
      (holds ? due : waiting).push_back(std::move(operation));
    }
    if (due.empty()) return 0;
    Store(machineDir, waiting);
  }
  for (const auto& operation : due) {
    std::string outcome;
    Start(operation.commandLine, &outcome);
    hypervisor.AppendLog("guest operation \"" + operation.commandLine + "\" " + outcome);
  }
  return static_cast<int>(due.size());
}

std::string SysprepGeneralizeCommandLine() {
  return NarrowUtf8(kSysprepProgram) + " /generalize /oobe /reboot /quiet /unattend:" + NarrowUtf8(kCachedAnswerFile);
}

}  // namespace tamber::platform::sim
