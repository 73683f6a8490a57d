// Privileges and the power controller of the simulated guest. The agent runs as the local system
// account, whose token holds every privilege the agent asks for, all disabled until adjusted.
#include "platform/sim/machine/SimPower.h"

#include <cstdlib>
#include <cwctype>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/Clock.h"
#include "platform/Power.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimBootHooks.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"

namespace tamber::platform::sim {
namespace {

const char* kRequestFile = "power.request";

struct PrivilegeName {
  const wchar_t* name;
  uint32_t luid;
};
// The LUIDs Windows assigns to these privileges.
constexpr PrivilegeName kPrivileges[] = {
    {L"SeTcbPrivilege", 7},           {L"SeSecurityPrivilege", 8},        {L"SeTakeOwnershipPrivilege", 9},
    {L"SeBackupPrivilege", 17},       {L"SeRestorePrivilege", 18},        {L"SeShutdownPrivilege", 19},
    {L"SeDebugPrivilege", 20},        {L"SeAuditPrivilege", 21},          {L"SeSystemEnvironmentPrivilege", 22},
    {L"SeChangeNotifyPrivilege", 23}, {L"SeRemoteShutdownPrivilege", 24}, {L"SeImpersonatePrivilege", 29},
};
constexpr uint32_t kShutdownPrivilegeLuid = 19;

class Token : public KernelObject {
 public:
  bool IsWaitable() const override { return false; }
};

struct PowerState {
  std::mutex mutex;
  std::set<uint32_t> enabled;  // privileges enabled in the process token this boot
  std::optional<PowerRequest> requested;
  bool modeSet = false;
  Power::EndOfBoot mode = Power::EndOfBoot::LeftToCaller;
  uint32_t graceMs = Power::kDefaultGraceMs;
  std::function<void(const PowerRequest&)> beforeStop;
};

PowerState& State() {
  static auto* state = new PowerState;
  return *state;
}

Power::EndOfBoot ModeLocked(PowerState& state) {
  if (state.modeSet) return state.mode;
  const char* machine = std::getenv("VELOCYN_SIM_MACHINE");
  return machine != nullptr && *machine != '\0' ? Power::EndOfBoot::StopProcess : Power::EndOfBoot::LeftToCaller;
}

void WriteRequest(const std::filesystem::path& dir, const PowerRequest& request) {
  auto temp = dir / (std::string(kRequestFile) + ".tmp");
  {
    std::ofstream out(temp, std::ios::trunc);
    out << "action=" << Power::ActionName(request.action) << "\n"
        << "reason=" << request.reason << "\n"
        << "force=" << (request.forceAppsClosed ? 1 : 0) << "\n"
        << "timeoutSeconds=" << request.timeoutSeconds << "\n"
        << "machineTimeMs=" << request.machineTimeMs << "\n"
        << "message=" << request.message << "\n";
  }
  std::filesystem::rename(temp, dir / kRequestFile);
}

// The process that is this boot goes down: what it still does in the grace is kept, then the hives
// are written (a shutdown flushes them) and the process ends.
void StopAfterGrace(PowerRequest request, uint32_t graceMs, std::function<void(const PowerRequest&)> beforeStop) {
  std::thread([request, graceMs, beforeStop] {
    if (beforeStop) beforeStop(request);
    Sleep(graceMs);
    Machine::Shutdown();
    std::_Exit(0);
  }).detach();
}

// Records the request and, in a process that is one boot, ends the process after the grace. 0 or the
// Win32 error of the refusal.
uint32_t RecordRequest(const PowerRequest& request, bool needPrivilege) {
  auto& state = State();
  Power::EndOfBoot mode;
  uint32_t graceMs;
  std::function<void(const PowerRequest&)> beforeStop;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    if (needPrivilege && state.enabled.count(kShutdownPrivilegeLuid) == 0) return kErrorPrivilegeNotHeld;
    if (state.requested) return kErrorShutdownInProgress;
    state.requested = request;
    mode = ModeLocked(state);
    graceMs = state.graceMs + request.timeoutSeconds * 1000;
    beforeStop = state.beforeStop;
  }
  WriteRequest(Machine::Directory(), request);
  if (mode == Power::EndOfBoot::StopProcess) StopAfterGrace(request, graceMs, beforeStop);
  return kErrorSuccess;
}

}  // namespace

bool Power::RequestFromMachine(PowerAction action, const std::string& message) {
  if (!Machine::IsBooted()) return false;
  PowerRequest request;
  request.action = action;
  request.reason = 0;
  request.machineTimeMs = GetTickCount64();
  request.message = message;
  return RecordRequest(request, /*needPrivilege=*/false) == kErrorSuccess;
}

bool SimPrivilegeLuid(const std::wstring& name, uint32_t* luid) {
  for (const auto& privilege : kPrivileges) {
    std::wstring known = privilege.name;
    if (known.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) same = std::towlower(known[i]) == std::towlower(name[i]);
    if (same) {
      *luid = privilege.luid;
      return true;
    }
  }
  return false;
}

bool SimPrivilegeEnabled(const std::wstring& name) {
  uint32_t luid = 0;
  return SimPrivilegeLuid(name, &luid) && IsPrivilegeEnabled(luid);
}

bool IsPrivilegeEnabled(uint32_t luid) {
  auto& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.enabled.count(luid) != 0;
}

void PowerBoot() {
  auto& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.enabled.clear();
  state.requested.reset();
}

std::optional<PowerRequest> Power::Requested() {
  auto& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.requested;
}

std::optional<PowerRequest> Power::Pending(const std::filesystem::path& machineDir) {
  std::ifstream in(machineDir / kRequestFile);
  if (!in) return std::nullopt;
  PowerRequest request;
  bool haveAction = false;
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (name == "action") {
      haveAction = value == "reboot" || value == "shutdown";
      request.action = value == "reboot" ? PowerAction::Reboot : PowerAction::Shutdown;
    } else if (name == "reason") {
      request.reason = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (name == "force") {
      request.forceAppsClosed = value == "1";
    } else if (name == "timeoutSeconds") {
      request.timeoutSeconds = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (name == "machineTimeMs") {
      request.machineTimeMs = std::strtoull(value.c_str(), nullptr, 10);
    } else if (name == "message") {
      request.message = value;
    }
  }
  if (!haveAction) return std::nullopt;
  return request;
}

std::optional<PowerRequest> Power::Take(const std::filesystem::path& machineDir) {
  auto request = Pending(machineDir);
  std::error_code ignored;
  std::filesystem::remove(machineDir / kRequestFile, ignored);
  return request;
}

void Power::SetEndOfBoot(EndOfBoot mode, uint32_t graceMs) {
  auto& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.modeSet = true;
  state.mode = mode;
  state.graceMs = graceMs;
}

void Power::SetBeforeStop(std::function<void(const PowerRequest&)> callback) {
  auto& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.beforeStop = std::move(callback);
}

const char* Power::ActionName(PowerAction action) { return action == PowerAction::Reboot ? "reboot" : "shutdown"; }

std::string Power::Describe(const PowerRequest& request) {
  std::ostringstream text;
  text << ActionName(request.action) << " requested at " << request.machineTimeMs << " ms, reason 0x" << std::hex
       << std::uppercase << request.reason;
  return text.str();
}

}  // namespace tamber::platform::sim

namespace tamber::platform {

bool OpenProcessToken(uint32_t desiredAccess, Handle* token) {
  (void)desiredAccess;
  if (token == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  *token = sim::InsertHandle(std::make_shared<sim::Token>());
  SetLastError(kErrorSuccess);
  return true;
}

bool LookupPrivilegeValue(const wchar_t* systemName, const wchar_t* name, Luid* luid) {
  uint32_t value = 0;
  if (systemName != nullptr && *systemName != L'\0') {
    SetLastError(kErrorInvalidParameter);  // only the local machine is simulated
    return false;
  }
  if (name == nullptr || luid == nullptr || !sim::SimPrivilegeLuid(name, &value)) {
    SetLastError(kErrorNoSuchPrivilege);
    return false;
  }
  luid->lowPart = value;
  luid->highPart = 0;
  SetLastError(kErrorSuccess);
  return true;
}

bool AdjustTokenPrivilege(Handle token, const Luid& luid, uint32_t attributes) {
  if (!sim::LookupHandleAs<sim::Token>(token)) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  bool known = false;
  for (const auto& privilege : sim::kPrivileges)
    known = known || (privilege.luid == luid.lowPart && luid.highPart == 0);
  if (!known) {
    SetLastError(kErrorNotAllAssigned);  // not held: the call still succeeds, as on Windows
    return true;
  }
  auto& state = sim::State();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (attributes & kSePrivilegeEnabled) {
    state.enabled.insert(luid.lowPart);
  } else {
    state.enabled.erase(luid.lowPart);
  }
  SetLastError(kErrorSuccess);
  return true;
}

bool InitiateSystemShutdownEx(const wchar_t* machineName, const wchar_t* message, uint32_t timeoutSeconds,
                              bool forceAppsClosed, bool rebootAfterShutdown, uint32_t reason) {
  if (machineName != nullptr && *machineName != L'\0') {
    SetLastError(kErrorInvalidParameter);  // remote machines are not simulated
    return false;
  }
  if (!sim::Machine::IsBooted()) {
    SetLastError(kErrorNotReady);
    return false;
  }
  if (auto refused = sim::FaultPlan::Get("ShutdownRefused")) {
    uint32_t error = static_cast<uint32_t>(std::strtoul(refused->c_str(), nullptr, 0));
    SetLastError(error == 0 ? kErrorAccessDenied : error);
    return false;
  }
  sim::PowerRequest request;
  request.action = rebootAfterShutdown ? sim::PowerAction::Reboot : sim::PowerAction::Shutdown;
  request.reason = reason;
  request.forceAppsClosed = forceAppsClosed;
  request.timeoutSeconds = timeoutSeconds;
  request.machineTimeMs = GetTickCount64();
  request.message = message != nullptr ? sim::NarrowUtf8(message) : std::string();
  if (uint32_t error = sim::RecordRequest(request, /*needPrivilege=*/true); error != kErrorSuccess) {
    SetLastError(error);
    return false;
  }
  SetLastError(kErrorSuccess);
  return true;
}

}  // namespace tamber::platform
