// The simulated guest's service control manager. The service table is where Windows keeps it: the
// keys under HKLM\SYSTEM\CurrentControlSet\Services ("Type", "Start", "DependOnService", ...), so start
// types last exactly as long as the SYSTEM hive does. What runs is per boot: services with automatic
// start are running when the boot's service control manager is first reached, the others stopped.
// Transitions take machine time (start and stop pending with wait hints and advancing check points) and
// a clock thread completes them, so status-change notifications arrive while nobody asks.
//
// Faults (the machine's fault plan; service names match case-insensitively):
//   ServiceStartFails.<name>=N[:error]  the next N starts fail (default ERROR_SERVICE_REQUEST_TIMEOUT)
//   ServiceStopHangs.<name>=1           a stop leaves the service stop-pending for good
//   ServiceStopsAt.<name>=t1,t2,...     the running service stops by itself at these machine times (ms
//                                       since boot); read whenever the service control manager is opened
//   ServiceStartMs.<name>=ms            how long its start takes (default 1500 ms)
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/Services.h"
#include "platform/Sync.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/kernel/SimTimeJumps.h"
#include "platform/sim/machine/SimBootHooks.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/machine/SimPower.h"

namespace tamber::platform::sim {
namespace {

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";
constexpr uint32_t kErrorRpcServerUnavailable = 1722;
constexpr uint32_t kServiceAcceptStop = 0x1;
constexpr uint32_t kServiceAcceptShutdown = 0x4;

constexpr uint32_t kDefaultStartMs = 1500;
constexpr uint32_t kStopMs = 1000;
constexpr uint32_t kStartWaitHint = 3000;
constexpr uint32_t kStopWaitHint = 2000;
constexpr uint32_t kCheckPointMs = 500;  // a pending service reports progress this often
constexpr uint64_t kNever = UINT64_MAX;

struct DefaultService {
  const wchar_t* name;
  const wchar_t* displayName;
  uint32_t type;
  uint32_t start;
  std::vector<std::wstring> dependencies;
  const wchar_t* imagePath;
};

// The services the agent deals with, and what they depend on.
const std::vector<DefaultService>& DefaultServices() {
  static const auto* services = new std::vector<DefaultService>{
      {L"LanmanWorkstation",
       L"Workstation",
       kServiceWin32ShareProcess,
       kServiceAutoStart,
       {},
       L"%SystemRoot%\\System32\\svchost.exe -k NetworkService"},
      {L"LanmanServer",
       L"Server",
       kServiceWin32ShareProcess,
       kServiceAutoStart,
       {},
       L"%SystemRoot%\\system32\\svchost.exe -k netsvcs"},
      {L"Netlogon",
       L"Netlogon",
       kServiceWin32ShareProcess,
       kServiceDemandStart,
       {L"LanmanWorkstation", L"LanmanServer"},
       L"%systemroot%\\system32\\lsass.exe"},
      {L"Dhcp",
       L"DHCP Client",
       kServiceWin32ShareProcess,
       kServiceAutoStart,
       {},
       L"%SystemRoot%\\system32\\svchost.exe -k LocalServiceNetworkRestricted"},
      {L"WinHttpAutoProxySvc",
       L"WinHTTP Web Proxy Auto-Discovery Service",
       kServiceWin32ShareProcess,
       kServiceDemandStart,
       {L"Dhcp"},
       L"%SystemRoot%\\system32\\svchost.exe -k LocalServiceNetworkRestricted"},
      {L"W32Time",
       L"Windows Time",
       kServiceWin32ShareProcess,
       kServiceDemandStart,
       {},
       L"%SystemRoot%\\system32\\svchost.exe -k LocalService"},
      {L"kdnm",
       L"Quorvel Agent",
       kServiceWin32OwnProcess,
       kServiceDemandStart,
       {},
       L"\"C:\\Program Files\\Talvora\\Quorvel\\Agent\\bin\\kdnm.exe\""},
  };
  return *services;
}

std::wstring Fold(std::wstring text) {
  for (auto& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + (L'a' - L'A'));
  }
  return text;
}

// --- the table in the registry --------------------------------------------------------------------

struct Config {
  std::wstring name;  // as the key spells it
  uint32_t type = 0;
  uint32_t start = kServiceDemandStart;
  uint32_t errorControl = 1;
  std::wstring displayName;
  std::wstring imagePath;
  std::vector<std::wstring> dependencies;
};

std::vector<uint8_t> Utf16Bytes(const std::vector<std::wstring>& strings, bool multi) {
  std::vector<uint8_t> bytes;
  auto put = [&](uint32_t unit) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (const auto& text : strings) {
    for (wchar_t c : text) {
      auto code = static_cast<uint32_t>(c);
      if (code > 0xFFFF) {
        code -= 0x10000;
        put(0xD800 | (code >> 10));
        put(0xDC00 | (code & 0x3FF));
      } else {
        put(code);
      }
    }
    put(0);
  }
  if (multi || strings.empty()) put(0);
  return bytes;
}

std::vector<std::wstring> Utf16Strings(const std::vector<uint8_t>& bytes) {
  std::vector<std::wstring> strings;
  std::wstring current;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t unit = bytes[i] | (static_cast<uint32_t>(bytes[i + 1]) << 8);
    if (unit == 0) {
      if (current.empty()) break;
      strings.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<wchar_t>(unit));  // the names here are never outside the BMP
    }
  }
  if (!current.empty()) strings.push_back(current);
  return strings;
}

bool ReadValue(HKey key, const wchar_t* name, uint32_t* type, std::vector<uint8_t>* data) {
  uint32_t size = 0;
  if (RegQueryValueEx(key, name, type, nullptr, &size) != kErrorSuccess) return false;
  data->assign(size, 0);
  if (size == 0) return true;
  return RegQueryValueEx(key, name, type, data->data(), &size) == kErrorSuccess;
}

std::optional<uint32_t> ReadDword(HKey key, const wchar_t* name) {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (!ReadValue(key, name, &type, &data) || type != kRegDword || data.size() < 4) return std::nullopt;
  return data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
}

std::vector<std::wstring> ReadStrings(HKey key, const wchar_t* name) {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (!ReadValue(key, name, &type, &data)) return {};
  return Utf16Strings(data);
}

// A service is a key under Services with a "Type" value of a service (drivers are not simulated).
std::optional<Config> ReadConfig(const std::wstring& name) {
  if (name.empty() || name.find(L'\\') != std::wstring::npos) return std::nullopt;
  HKey key = nullptr;
  std::wstring path = std::wstring(kServicesKey) + L"\\" + name;
  if (RegOpenKeyEx(HKeyLocalMachine(), path.c_str(), 0, kKeyRead, &key) != kErrorSuccess) return std::nullopt;
  Config config;
  config.name = name;
  auto type = ReadDword(key, L"Type");
  auto start = ReadDword(key, L"Start");
  auto errorControl = ReadDword(key, L"ErrorControl");
  auto display = ReadStrings(key, L"DisplayName");
  auto image = ReadStrings(key, L"ImagePath");
  config.dependencies = ReadStrings(key, L"DependOnService");
  RegCloseKey(key);
  if (!type || (*type & (kServiceWin32OwnProcess | kServiceWin32ShareProcess)) == 0) return std::nullopt;
  config.type = *type;
  if (start) config.start = *start;
  if (errorControl) config.errorControl = *errorControl;
  config.displayName = display.empty() ? name : display.front();
  if (!image.empty()) config.imagePath = image.front();
  return config;
}

std::vector<std::wstring> ServiceKeyNames() {
  std::vector<std::wstring> names;
  HKey key = nullptr;
  if (RegOpenKeyEx(HKeyLocalMachine(), kServicesKey, 0, kKeyRead, &key) != kErrorSuccess) return names;
  std::wstring name;
  for (uint32_t i = 0; RegEnumKeyEx(key, i, &name) == kErrorSuccess; ++i) names.push_back(name);
  RegCloseKey(key);
  return names;
}

std::vector<Config> ReadAllConfigs() {
  std::vector<Config> configs;
  for (const auto& name : ServiceKeyNames()) {
    if (auto config = ReadConfig(name)) configs.push_back(std::move(*config));
  }
  return configs;
}

void WriteDword(HKey key, const wchar_t* name, uint32_t value) {
  uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 24)};
  RegSetValueEx(key, name, kRegDword, bytes, 4);
}

void WriteStrings(HKey key, const wchar_t* name, uint32_t type, const std::vector<std::wstring>& strings) {
  auto bytes = Utf16Bytes(strings, type == kRegMultiSz);
  RegSetValueEx(key, name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// A machine gets the default services the first time its service control manager is reached.
void SeedDefaults() {
  for (const auto& service : DefaultServices()) {
    if (ReadConfig(service.name)) continue;
    HKey key = nullptr;
    std::wstring path = std::wstring(kServicesKey) + L"\\" + service.name;
    if (RegCreateKeyEx(HKeyLocalMachine(), path.c_str(), kRegOptionNonVolatile, kKeyAllAccess, &key, nullptr) !=
        kErrorSuccess) {
      continue;
    }
    WriteDword(key, L"Type", service.type);
    WriteDword(key, L"Start", service.start);
    WriteDword(key, L"ErrorControl", 1);
    WriteStrings(key, L"DisplayName", kRegSz, {service.displayName});
    WriteStrings(key, L"ImagePath", kRegExpandSz, {service.imagePath});
    if (!service.dependencies.empty()) WriteStrings(key, L"DependOnService", kRegMultiSz, service.dependencies);
    RegCloseKey(key);
  }
}

// --- faults -----------------------------------------------------------------------------------------

// The plan entry "<prefix>.<service>", matched case-insensitively: its exact key and value.
std::optional<std::pair<std::string, std::string>> FindFault(const std::string& prefix, const std::wstring& service) {
  if (!Machine::IsBooted()) return std::nullopt;
  std::wstring wanted = Fold(WidenUtf8(prefix) + L"." + service);
  for (const auto& [key, value] : FaultPlan::Load(Machine::Directory())) {
    if (Fold(WidenUtf8(key)) == wanted) return std::make_pair(key, value);
  }
  return std::nullopt;
}

// Consumes one planned start failure; its error, or 0 when none is planned.
uint32_t TakeStartFailure(const std::wstring& service) {
  auto fault = FindFault("ServiceStartFails", service);
  if (!fault) return 0;
  const std::string& value = fault->second;
  char* end = nullptr;
  long count = std::strtol(value.c_str(), &end, 10);
  if (count <= 0) return 0;
  uint32_t error = kErrorServiceRequestTimeout;
  if (end != nullptr && *end == ':') error = static_cast<uint32_t>(std::strtoul(end + 1, nullptr, 0));
  std::string rest = end != nullptr ? std::string(end) : std::string();
  FaultPlan::Set(fault->first, count > 1 ? std::optional<std::string>(std::to_string(count - 1) + rest) : std::nullopt);
  return error == 0 ? kErrorServiceRequestTimeout : error;
}

std::vector<uint64_t> PlannedStops(const std::wstring& service) {
  std::vector<uint64_t> times;
  auto fault = FindFault("ServiceStopsAt", service);
  if (!fault) return times;
  size_t position = 0;
  const std::string& text = fault->second;
  while (position < text.size()) {
    size_t comma = text.find(',', position);
    std::string item = text.substr(position, comma == std::string::npos ? std::string::npos : comma - position);
    if (!item.empty()) times.push_back(std::strtoull(item.c_str(), nullptr, 10));
    if (comma == std::string::npos) break;
    position = comma + 1;
  }
  return times;
}

// --- the boot's service control manager ---------------------------------------------------------------

uint32_t NotifyBit(uint32_t state) { return state >= 1 && state <= 7 ? 1u << (state - 1) : 0; }

struct Record {
  std::wstring name;
  uint32_t type = kServiceWin32ShareProcess;
  uint32_t state = kServiceStopped;
  uint32_t exitCode = 0;
  uint32_t processId = 0;
  uint64_t sequence = 1;  // advances with every state change
  uint64_t transitionStartMs = 0;
  uint64_t transitionEndMs = 0;
  uint32_t waitHint = 0;
  std::set<uint64_t> plannedStops;  // machine times still ahead
  std::set<uint64_t> knownStops;    // every planned time seen this boot
};

class ScObject : public KernelObject {
 public:
  ScObject(bool manager, std::wstring key) : manager(manager), key(std::move(key)) {}
  bool IsWaitable() const override { return false; }
  void OnLastHandleClosed() override;

  const bool manager;
  const std::wstring key;     // folded service name
  uint64_t lastSequence = 0;  // the last state this handle's notifications reported; SCM lock
};

struct Registration {
  ScObject* object;
  uint32_t mask;
  ServiceNotify* notify;
  Handle thread;
};

struct Delivery {
  ScObject* object;  // null once its handle is closed: the callback is not run
  ServiceNotify* notify;
  Handle thread;
};

struct Scm {
  std::mutex mutex;
  std::mutex initMutex;
  std::condition_variable wake;
  uint64_t generation = 0;
  bool initialised = false;
  bool stopping = false;
  std::thread clock;
  std::atomic<uint64_t> clockWait{0};      // the clock thread's machine-time wait, told of every change
  std::map<std::wstring, Record> records;  // by folded name
  std::vector<Registration> registrations;
  std::map<uintptr_t, Delivery> deliveries;
  uintptr_t nextDelivery = 1;
  uint32_t nextProcessId = 612;
};

Scm& TheScm() {
  static auto* scm = new Scm;
  return *scm;
}

uint64_t Now() { return GetTickCount64(); }

void RunDelivery(uintptr_t id) {
  auto& scm = TheScm();
  Delivery delivery{};
  {
    std::lock_guard<std::mutex> guard(scm.mutex);
    auto it = scm.deliveries.find(id);
    if (it == scm.deliveries.end()) return;
    delivery = it->second;
    scm.deliveries.erase(it);
  }
  CloseHandle(delivery.thread);
  if (delivery.object != nullptr && delivery.notify->notifyCallback != nullptr) {
    delivery.notify->notifyCallback(delivery.notify);
  }
}

// SERVICE_STATUS out of SERVICE_STATUS_PROCESS.
ServiceStatus BriefStatus(const ServiceStatusProcess& full) {
  return ServiceStatus{
      full.serviceType, full.currentState, full.controlsAccepted, full.win32ExitCode, full.serviceSpecificExitCode,
      full.checkPoint,  full.waitHint};
}

// The record of a service handle's service, or null with ERROR_SERVICE_DOES_NOT_EXIST (it was deleted).
Record* FindRecordLocked(Scm& scm, const std::wstring& key) {
  auto it = scm.records.find(key);
  if (it != scm.records.end()) return &it->second;
  SetLastError(kErrorServiceDoesNotExist);
  return nullptr;
}

ServiceStatusProcess StatusLocked(const Record& record, uint64_t now) {
  ServiceStatusProcess status;
  status.serviceType = record.type;
  status.currentState = record.state;
  status.win32ExitCode = record.exitCode;
  bool pending = record.state == kServiceStartPending || record.state == kServiceStopPending;
  if (record.state == kServiceRunning) status.controlsAccepted = kServiceAcceptStop | kServiceAcceptShutdown;
  if (pending) {
    status.waitHint = record.waitHint;
    // A stop that hangs reports no progress.
    status.checkPoint = record.transitionEndMs == kNever
                            ? 1
                            : 1 + static_cast<uint32_t>((now - record.transitionStartMs) / kCheckPointMs);
  }
  status.processId = record.state == kServiceStopped ? 0 : record.processId;
  return status;
}

// Queues the callback of a registration on its thread (SCM lock held).
void DeliverLocked(Scm& scm, const Registration& registration, const Record& record, uint64_t now) {
  ServiceNotify* notify = registration.notify;
  notify->notificationStatus = kErrorSuccess;
  notify->serviceStatus = StatusLocked(record, now);
  notify->notificationTriggered = NotifyBit(record.state);
  registration.object->lastSequence = record.sequence;
  uintptr_t id = scm.nextDelivery++;
  scm.deliveries[id] = Delivery{registration.object, notify, registration.thread};
  if (!QueueUserApc(&RunDelivery, registration.thread, id)) {
    scm.deliveries.erase(id);
    CloseHandle(registration.thread);
  }
}

void SetStateLocked(Scm& scm, Record& record, uint32_t state, uint64_t now) {
  record.state = state;
  ++record.sequence;
  if (state == kServiceStartPending && record.processId == 0) record.processId = scm.nextProcessId += 4;
  if (state == kServiceStopped) record.processId = 0;
  auto folded = Fold(record.name);
  for (auto it = scm.registrations.begin(); it != scm.registrations.end();) {
    if (it->object->key == folded && (it->mask & NotifyBit(state)) != 0) {
      DeliverLocked(scm, *it, record, now);
      it = scm.registrations.erase(it);
    } else {
      ++it;
    }
  }
}

// Completes the transitions and planned stops that are due.
void AdvanceLocked(Scm& scm, uint64_t now) {
  for (auto& [key, record] : scm.records) {
    if ((record.state == kServiceStartPending || record.state == kServiceStopPending) &&
        record.transitionEndMs != kNever && record.transitionEndMs <= now) {
      record.waitHint = 0;
      SetStateLocked(scm, record, record.state == kServiceStartPending ? kServiceRunning : kServiceStopped, now);
    }
    while (!record.plannedStops.empty() && *record.plannedStops.begin() <= now) {
      record.plannedStops.erase(record.plannedStops.begin());
      if (record.state == kServiceRunning) {
        record.exitCode = kErrorProcessAborted;
        SetStateLocked(scm, record, kServiceStopped, now);
      }
    }
  }
}

uint64_t NextDeadlineLocked(const Scm& scm) {
  uint64_t next = kNever;
  for (const auto& [key, record] : scm.records) {
    if (record.state == kServiceStartPending || record.state == kServiceStopPending) {
      next = std::min(next, record.transitionEndMs);
    }
    if (!record.plannedStops.empty()) next = std::min(next, *record.plannedStops.begin());
  }
  return next;
}

void ClockThread(Scm* scm, uint64_t generation, std::unique_ptr<MachineTimeWait> timed) {
  std::unique_lock<std::mutex> lock(scm->mutex);
  while (!scm->stopping && scm->generation == generation) {
    AdvanceLocked(*scm, Now());
    uint64_t next = NextDeadlineLocked(*scm);
    timed->SetDeadline(next == kNever ? kNoMachineDeadline : next);
    timed->Looked();
    // Without a deadline it still looks every second (a stop is announced, but cheaply checked).
    auto wake = std::min(HostWakeFor(next == kNever ? kNoMachineDeadline : next),
                         std::chrono::steady_clock::now() + std::chrono::seconds(1));
    scm->wake.wait_until(lock, wake);
  }
  scm->clockWait = 0;
}

// Every change of a service's state or plan: the clock thread looks again before machine time moves on.
void WakeClock(Scm& scm) {
  MachineTimeWait::Changed(scm.clockWait.load());
  scm.wake.notify_all();
}

Record NewRecord(const Config& config, bool atBoot) {
  Record record;
  record.name = config.name;
  record.type = config.type;
  if (atBoot && config.start <= kServiceAutoStart) record.state = kServiceRunning;
  return record;
}

void AddPlannedStopsLocked(Record& record, const std::vector<uint64_t>& times) {
  for (uint64_t time : times) {
    if (record.knownStops.insert(time).second) record.plannedStops.insert(time);
  }
}

// The boot's table: made the first time the manager is opened, afterwards only the planned stops are
// read again. Registry and fault plan are read before the SCM lock is taken.
bool EnsureStarted() {
  auto& scm = TheScm();
  std::lock_guard<std::mutex> init(scm.initMutex);
  uint64_t generation;
  bool initialised;
  {
    std::lock_guard<std::mutex> guard(scm.mutex);
    generation = scm.generation;
    initialised = scm.initialised;
  }
  if (!initialised) SeedDefaults();
  auto configs = ReadAllConfigs();
  std::map<std::wstring, std::vector<uint64_t>> stops;
  for (const auto& config : configs) stops[Fold(config.name)] = PlannedStops(config.name);

  std::lock_guard<std::mutex> guard(scm.mutex);
  if (scm.generation != generation || scm.stopping) return false;
  for (const auto& config : configs) {
    auto key = Fold(config.name);
    auto it = scm.records.find(key);
    if (it == scm.records.end()) {
      it = scm.records.emplace(key, NewRecord(config, !scm.initialised)).first;
      if (it->second.state == kServiceRunning) it->second.processId = scm.nextProcessId += 4;
    }
    AddPlannedStopsLocked(it->second, stops[key]);
  }
  if (!scm.initialised) {
    scm.initialised = true;
    // The clock's wait is registered before its thread starts: machine time cannot jump past it meanwhile.
    auto timed = std::make_unique<sim::MachineTimeWait>(kNoMachineDeadline, sim::WakeBy::Changed, &scm.wake);
    scm.clockWait = timed->Id();
    scm.clock = std::thread(sim::ClockThread, &scm, scm.generation, std::move(timed));
  }
  WakeClock(scm);
  return true;
}

void ScObject::OnLastHandleClosed() {
  auto& scm = TheScm();
  std::vector<Handle> threads;
  {
    std::lock_guard<std::mutex> guard(scm.mutex);
    for (auto it = scm.registrations.begin(); it != scm.registrations.end();) {
      if (it->object == this) {
        threads.push_back(it->thread);
        it = scm.registrations.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [id, delivery] : scm.deliveries) {
      if (delivery.object == this) delivery.object = nullptr;
    }
  }
  for (Handle thread : threads) CloseHandle(thread);
}

std::shared_ptr<ScObject> ServiceObject(ScHandle handle) {
  auto object = LookupHandleAs<ScObject>(handle);
  if (!object || object->manager) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return object;
}

// The names this service depends on, deepest first, each once; false when one is missing.
bool DependencyChain(const std::wstring& name, std::vector<Config>* chain, std::set<std::wstring>* seen,
                     uint32_t* error) {
  auto config = ReadConfig(name);
  if (!config) {
    *error = kErrorServiceDependencyDeleted;
    return false;
  }
  if (!seen->insert(Fold(name)).second) return true;
  for (const auto& dependency : config->dependencies) {
    if (!DependencyChain(dependency, chain, seen, error)) return false;
  }
  chain->push_back(*config);
  return true;
}

// The services that depend on key, directly or not, in the order they must stop (dependents of
// dependents first).
void DependentsInStopOrder(const std::vector<Config>& configs, const std::wstring& key, std::set<std::wstring>* seen,
                           std::vector<const Config*>* order) {
  for (const auto& config : configs) {
    bool depends = std::any_of(config.dependencies.begin(), config.dependencies.end(),
                               [&](const std::wstring& dependency) { return Fold(dependency) == key; });
    if (!depends || !seen->insert(Fold(config.name)).second) continue;
    DependentsInStopOrder(configs, Fold(config.name), seen, order);
    order->push_back(&config);
  }
}

}  // namespace

void ServicesBoot() {
  auto& scm = TheScm();
  std::lock_guard<std::mutex> guard(scm.mutex);
  ++scm.generation;
  scm.initialised = false;
  scm.stopping = false;
  scm.records.clear();
  scm.registrations.clear();  // their handles went with the previous boot's kernel
  scm.deliveries.clear();
}

void ServicesEndBoot() {
  auto& scm = TheScm();
  std::thread clock;
  {
    std::lock_guard<std::mutex> guard(scm.mutex);
    scm.stopping = true;
    clock = std::move(scm.clock);
  }
  WakeClock(scm);
  if (clock.joinable()) clock.join();
}

}  // namespace tamber::platform::sim

namespace tamber::platform {

using sim::Fold;
using sim::ScObject;
using sim::TheScm;

ScHandle OpenSCManager(const wchar_t* machineName, const wchar_t* databaseName, uint32_t desiredAccess) {
  (void)databaseName;
  (void)desiredAccess;
  if (machineName != nullptr && *machineName != L'\0') {
    SetLastError(sim::kErrorRpcServerUnavailable);  // only the local machine is simulated
    return nullptr;
  }
  if (!sim::Machine::IsBooted() || !sim::EnsureStarted()) {
    SetLastError(sim::kErrorRpcServerUnavailable);
    return nullptr;
  }
  SetLastError(kErrorSuccess);
  return sim::InsertHandle(std::make_shared<ScObject>(true, L""));
}

ScHandle OpenService(ScHandle manager, const wchar_t* serviceName, uint32_t desiredAccess) {
  (void)desiredAccess;
  auto object = sim::LookupHandleAs<ScObject>(manager);
  if (!object || !object->manager) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  if (serviceName == nullptr || *serviceName == L'\0') {
    SetLastError(kErrorInvalidName);
    return nullptr;
  }
  auto config = sim::ReadConfig(serviceName);
  if (!config) {
    SetLastError(kErrorServiceDoesNotExist);
    return nullptr;
  }
  auto key = Fold(config->name);
  {
    auto& scm = TheScm();
    std::lock_guard<std::mutex> guard(scm.mutex);
    // A service made after the boot's table was: stopped until started.
    if (scm.records.find(key) == scm.records.end()) scm.records.emplace(key, sim::NewRecord(*config, false));
  }
  SetLastError(kErrorSuccess);
  return sim::InsertHandle(std::make_shared<ScObject>(false, key));
}

bool CloseServiceHandle(ScHandle handle) {
  if (!sim::LookupHandleAs<ScObject>(handle)) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return CloseHandle(handle);
}

bool QueryServiceStatusEx(ScHandle service, ServiceStatusProcess* status) {
  auto object = sim::ServiceObject(service);
  if (!object) return false;
  if (status == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  auto& scm = TheScm();
  std::lock_guard<std::mutex> guard(scm.mutex);
  sim::Record* record = sim::FindRecordLocked(scm, object->key);
  if (record == nullptr) return false;
  uint64_t now = sim::Now();
  sim::AdvanceLocked(scm, now);
  *status = sim::StatusLocked(*record, now);
  SetLastError(kErrorSuccess);
  return true;
}

bool QueryServiceStatus(ScHandle service, ServiceStatus* status) {
  ServiceStatusProcess full;
  if (status == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!QueryServiceStatusEx(service, &full)) return false;
  *status = sim::BriefStatus(full);
  return true;
}

bool StartService(ScHandle service) {
  auto object = sim::ServiceObject(service);
  if (!object) return false;
  if (sim::Power::Requested()) {
    SetLastError(kErrorShutdownInProgress);
    return false;
  }
  std::vector<sim::Config> chain;  // dependencies first, the service itself last
  std::set<std::wstring> seen;
  uint32_t error = kErrorSuccess;
  auto config = sim::ReadConfig(object->key);
  if (!config) {
    SetLastError(kErrorServiceDoesNotExist);
    return false;
  }
  if (config->start == kServiceDisabled) {
    SetLastError(kErrorServiceDisabled);
    return false;
  }
  if (!sim::DependencyChain(config->name, &chain, &seen, &error)) {
    SetLastError(error);
    return false;
  }
  auto& scm = TheScm();
  {
    std::lock_guard<std::mutex> guard(scm.mutex);
    sim::Record* record = sim::FindRecordLocked(scm, object->key);
    if (record == nullptr) return false;
    sim::AdvanceLocked(scm, sim::Now());
    if (record->state != kServiceStopped) {
      SetLastError(kErrorServiceAlreadyRunning);
      return false;
    }
  }
  if (uint32_t failure = sim::TakeStartFailure(config->name); failure != kErrorSuccess) {
    SetLastError(failure);
    return false;
  }
  uint32_t startMs = sim::kDefaultStartMs;
  if (auto slow = sim::FindFault("ServiceStartMs", config->name)) {
    startMs = static_cast<uint32_t>(std::strtoul(slow->second.c_str(), nullptr, 10));
  }

  std::lock_guard<std::mutex> guard(scm.mutex);
  uint64_t now = sim::Now();
  sim::AdvanceLocked(scm, now);
  // Dependencies start first; a service runs once everything it needs runs.
  uint64_t ready = now;
  for (const auto& link : chain) {
    bool self = Fold(link.name) == object->key;
    if (!self && link.start == kServiceDisabled) {
      SetLastError(kErrorServiceDependencyFail);
      return false;
    }
    auto& record = scm.records.try_emplace(Fold(link.name), sim::NewRecord(link, false)).first->second;
    if (self && record.state != kServiceStopped) {
      SetLastError(kErrorServiceAlreadyRunning);
      return false;
    }
    if (!self && record.state == kServiceStopPending) {
      SetLastError(kErrorServiceDependencyFail);
      return false;
    }
    if (record.state == kServiceStartPending) ready = std::max(ready, record.transitionEndMs);
    if (record.state != kServiceStopped) continue;
    record.exitCode = 0;
    record.transitionStartMs = now;
    record.transitionEndMs = ready + (self ? startMs : sim::kDefaultStartMs);
    record.waitHint = sim::kStartWaitHint;
    ready = record.transitionEndMs;
    sim::SetStateLocked(scm, record, kServiceStartPending, now);
  }
  WakeClock(scm);
  SetLastError(kErrorSuccess);
  return true;
}

bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status) {
  auto object = sim::ServiceObject(service);
  if (!object) return false;
  if (control != kServiceControlStop && control != kServiceControlInterrogate) {
    SetLastError(kErrorInvalidServiceControl);
    return false;
  }
  auto configs = sim::ReadAllConfigs();
  std::set<std::wstring> seen;
  std::vector<const sim::Config*> dependents;
  sim::DependentsInStopOrder(configs, object->key, &seen, &dependents);
  bool hangs = false;
  for (const auto& config : configs) {
    if (Fold(config.name) == object->key) hangs = sim::FindFault("ServiceStopHangs", config.name).has_value();
  }

  auto& scm = TheScm();
  std::lock_guard<std::mutex> guard(scm.mutex);
  uint64_t now = sim::Now();
  sim::AdvanceLocked(scm, now);
  sim::Record* found = sim::FindRecordLocked(scm, object->key);
  if (found == nullptr) return false;
  sim::Record& record = *found;
  auto report = [&] {
    if (status != nullptr) {
      *status = sim::BriefStatus(sim::StatusLocked(record, now));
    }
  };
  if (record.state == kServiceStopped) {
    SetLastError(kErrorServiceNotActive);
    return false;
  }
  if (control == kServiceControlInterrogate) {
    report();
    SetLastError(kErrorSuccess);
    return true;
  }
  if (record.state != kServiceRunning) {
    SetLastError(kErrorServiceCannotAcceptCtrl);
    return false;
  }
  for (const auto* dependent : dependents) {
    auto found = scm.records.find(Fold(dependent->name));
    if (found != scm.records.end() && found->second.state != kServiceStopped) {
      SetLastError(kErrorDependentServicesRunning);
      return false;
    }
  }
  record.exitCode = 0;
  record.transitionStartMs = now;
  record.transitionEndMs = hangs ? sim::kNever : now + sim::kStopMs;
  record.waitHint = sim::kStopWaitHint;
  sim::SetStateLocked(scm, record, kServiceStopPending, now);
  WakeClock(scm);
  report();
  SetLastError(kErrorSuccess);
  return true;
}

bool EnumDependentServices(ScHandle service, uint32_t serviceState, std::vector<EnumServiceStatus>* services) {
  auto object = sim::ServiceObject(service);
  if (!object) return false;
  if (services == nullptr || serviceState == 0 || serviceState > kServiceStateAll) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  services->clear();
  auto configs = sim::ReadAllConfigs();
  std::set<std::wstring> seen;
  std::vector<const sim::Config*> dependents;
  sim::DependentsInStopOrder(configs, object->key, &seen, &dependents);
  auto& scm = TheScm();
  std::lock_guard<std::mutex> guard(scm.mutex);
  uint64_t now = sim::Now();
  sim::AdvanceLocked(scm, now);
  for (const auto* dependent : dependents) {
    auto key = Fold(dependent->name);
    auto& record = scm.records.try_emplace(key, sim::NewRecord(*dependent, false)).first->second;
    bool active = record.state != kServiceStopped;
    if ((active && (serviceState & kServiceActive) == 0) || (!active && (serviceState & kServiceInactive) == 0)) {
      continue;
    }
    auto full = sim::StatusLocked(record, now);
    services->push_back(
        EnumServiceStatus{dependent->name, dependent->displayName,
                          ServiceStatus{full.serviceType, full.currentState, full.controlsAccepted, full.win32ExitCode,
                                        full.serviceSpecificExitCode, full.checkPoint, full.waitHint}});
  }
  SetLastError(kErrorSuccess);
  return true;
}

bool QueryServiceConfig(ScHandle service, ServiceConfig* config) {
  auto object = sim::ServiceObject(service);
  if (!object) return false;
  if (config == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  auto stored = sim::ReadConfig(object->key);
  if (!stored) {
    SetLastError(kErrorServiceDoesNotExist);
    return false;
  }
  config->serviceType = stored->type;
  config->startType = stored->start;
  config->errorControl = stored->errorControl;
  config->binaryPathName = stored->imagePath;
  config->displayName = stored->displayName;
  config->dependencies.clear();
  for (const auto& dependency : stored->dependencies) {
    config->dependencies += dependency;
    config->dependencies.push_back(L'\0');
  }
  SetLastError(kErrorSuccess);
  return true;
}

bool ChangeServiceConfig(ScHandle service, uint32_t serviceType, uint32_t startType, uint32_t errorControl) {
  auto object = sim::ServiceObject(service);
  if (!object) return false;
  auto stored = sim::ReadConfig(object->key);
  if (!stored) {
    SetLastError(kErrorServiceDoesNotExist);
    return false;
  }
  // Boot and system start are for drivers only.
  if (startType != kServiceNoChange && (startType > kServiceDisabled || startType < kServiceAutoStart)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  HKey key = nullptr;
  std::wstring path = std::wstring(sim::kServicesKey) + L"\\" + stored->name;
  if (uint32_t error = RegOpenKeyEx(HKeyLocalMachine(), path.c_str(), 0, kKeyAllAccess, &key); error != kErrorSuccess) {
    SetLastError(error);
    return false;
  }
  if (serviceType != kServiceNoChange) sim::WriteDword(key, L"Type", serviceType);
  if (startType != kServiceNoChange) sim::WriteDword(key, L"Start", startType);
  if (errorControl != kServiceNoChange) sim::WriteDword(key, L"ErrorControl", errorControl);
  RegCloseKey(key);
  SetLastError(kErrorSuccess);
  return true;
}

uint32_t NotifyServiceStatusChange(ScHandle service, uint32_t notifyMask, ServiceNotify* notify) {
  auto object = sim::ServiceObject(service);
  if (!object) return kErrorInvalidHandle;
  if (notify == nullptr || notify->version != kServiceNotifyStatusChange || (notifyMask & 0x7F) == 0) {
    return kErrorInvalidParameter;
  }
  Handle thread = OpenCurrentThread();
  auto& scm = TheScm();
  std::vector<Handle> replaced;
  {
    std::lock_guard<std::mutex> guard(scm.mutex);
    auto it = scm.records.find(object->key);
    if (it == scm.records.end()) {
      CloseHandle(thread);
      return kErrorServiceDoesNotExist;
    }
    uint64_t now = sim::Now();
    sim::AdvanceLocked(scm, now);
    // One outstanding request per handle: a new one takes the place of the old.
    for (auto reg = scm.registrations.begin(); reg != scm.registrations.end();) {
      if (reg->object == object.get()) {
        replaced.push_back(reg->thread);
        reg = scm.registrations.erase(reg);
      } else {
        ++reg;
      }
    }
    sim::Registration registration{object.get(), notifyMask, notify, thread};
    // A state this handle has not reported yet is reported at once.
    if (object->lastSequence != it->second.sequence && (notifyMask & sim::NotifyBit(it->second.state)) != 0) {
      sim::DeliverLocked(scm, registration, it->second, now);
    } else {
      scm.registrations.push_back(registration);
    }
  }
  for (Handle old : replaced) CloseHandle(old);
  return kErrorSuccess;
}

}  // namespace tamber::platform
