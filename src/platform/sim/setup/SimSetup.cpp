#include "platform/sim/setup/SimSetup.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Sync.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/machine/SimPower.h"
#include "platform/sim/services/SimServiceHost.h"
#include "platform/sim/setup/SimGuestOperations.h"
#include "platform/sim/setup/SimUnattend.h"

namespace tamber::platform::sim {
namespace {

constexpr const wchar_t* kSysprepStatusKeyPath = L"SYSTEM\\Setup\\Status\\SysprepStatus";
constexpr const wchar_t* kSetupLogFolder = L"C:\\Windows\\Panther";
// How often the setup thread looks at the guest operations and whether the services are up (host time).
constexpr uint32_t kPollHostMs = 20;
// Setup waits this long for the boot's services before it goes on without them (machine time).
constexpr uint32_t kServicesWaitMs = 600000;

// UTF-16LE registry bytes with the terminating null.
std::vector<uint8_t> RegistryString(const std::wstring& text) {
  std::vector<uint8_t> bytes;
  auto unit = [&bytes](uint32_t u) {
    bytes.push_back(static_cast<uint8_t>(u));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  };
  for (wchar_t c : text) {
    const auto point = static_cast<uint32_t>(c);
    if (point >= 0x10000) {
      unit(0xD800 + ((point - 0x10000) >> 10));
      unit(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      unit(point);
    }
  }
  unit(0);
  return bytes;
}

// A key of HKLM opened (or created) for the setup's own reads and writes; flushed on request.
class SetupKey {
 public:
  SetupKey(const wchar_t* path, bool create) {
    if (create) {
      if (RegCreateKeyEx(HKeyLocalMachine(), path, kRegOptionNonVolatile, kKeyAllAccess, &key_, nullptr) !=
          kErrorSuccess) {
        key_ = nullptr;
      }
    } else if (RegOpenKeyEx(HKeyLocalMachine(), path, 0, kKeyRead, &key_) != kErrorSuccess) {
      key_ = nullptr;
    }
  }
  ~SetupKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  SetupKey(const SetupKey&) = delete;
  SetupKey& operator=(const SetupKey&) = delete;

  bool WriteString(const wchar_t* name, const std::wstring& text) {
    auto bytes = RegistryString(text);
    return key_ != nullptr &&
           RegSetValueEx(key_, name, kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size())) == kErrorSuccess;
  }
  bool WriteDword(const wchar_t* name, uint32_t value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return key_ != nullptr && RegSetValueEx(key_, name, kRegDword, bytes, sizeof bytes) == kErrorSuccess;
  }
  std::optional<uint32_t> ReadDword(const wchar_t* name) {
    uint8_t bytes[4] = {};
    uint32_t size = sizeof bytes;
    uint32_t type = 0;
    if (key_ == nullptr || RegQueryValueEx(key_, name, &type, bytes, &size) != kErrorSuccess || type != kRegDword ||
        size != 4) {
      return std::nullopt;
    }
    return static_cast<uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24);
  }
  // A REG_SZ read without trusting its terminator.
  std::optional<std::wstring> ReadString(const wchar_t* name) {
    if (key_ == nullptr) return std::nullopt;
    uint32_t size = 0;
    uint32_t type = 0;
    if (RegQueryValueEx(key_, name, &type, nullptr, &size) != kErrorSuccess || type != kRegSz) return std::nullopt;
    std::vector<uint8_t> bytes(size);
    if (size != 0 && RegQueryValueEx(key_, name, &type, bytes.data(), &size) != kErrorSuccess) return std::nullopt;
    std::wstring text;
    for (size_t i = 0; i + 1 < std::min<size_t>(size, bytes.size()); i += 2) {
      const auto unit = static_cast<wchar_t>(bytes[i] | bytes[i + 1] << 8);
      if (unit == L'\0') break;
      text.push_back(unit);
    }
    return text;
  }
  void Flush() {
    if (key_ != nullptr) RegFlushKey(key_);
  }

 private:
  HKey key_ = nullptr;
};

std::vector<std::string> PhasesOf(const char* fault) {
  std::vector<std::string> names;
  auto value = FaultPlan::Get(fault);
  if (!value) return names;
  std::stringstream list(*value);
  for (std::string name; std::getline(list, name, ',');) {
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    names.push_back(name);
  }
  return names;
}

bool PhaseFaulted(const char* fault, SetupPhase phase) {
  for (const auto& name : PhasesOf(fault)) {
    if (name == SetupPhaseName(phase)) return true;
  }
  return false;
}

// Takes the phase's machine time; false when stop asks to end it first.
bool TakePhaseTime(uint32_t durationMs, const std::function<bool()>& stop) {
  return SleepUnlessStopped(durationMs, stop) && !stop();
}

// What a phase that hangs does: nothing, until the caller is told to stop.
void Hang(const std::function<bool()>& stop) { SleepUnlessStopped(kInfinite, stop); }

void SetMachineState(const std::wstring& imageState, const std::wstring& cmdLine, uint32_t setupType) {
  SetupKey setup(kSystemSetupKeyPath, /*create=*/true);
  setup.WriteString(kSetupCmdLineValue, cmdLine);
  setup.WriteDword(kSetupTypeValue, setupType);
  setup.Flush();
  WriteImageState(imageState);
}

// The setup work of one boot.
struct BootWork {
  std::mutex mutex;
  bool started = false;
  std::atomic<bool> stop{false};
  std::condition_variable wake;  // told when the boot's setup work is to stop
  std::thread thread;
};

BootWork& Work() {
  static auto* work = new BootWork;
  return *work;
}

std::atomic<bool> g_serviceRunning{false};
// Counts boots: work begun in one boot (a tool thread of sysprep) must not touch the next.
std::atomic<uint64_t> g_bootGeneration{0};

bool InServiceProcess() {
  const char* socket = std::getenv(kScmSocketVariable);
  return socket != nullptr && *socket != '\0';
}

// Runs the command line of SYSTEM\Setup\CmdLine as setup does, and waits for it.
void RunSetupCommand(const std::wstring& cmdLine, const std::function<bool()>& stop) {
  std::wstring command = cmdLine;
  // A relative program is found in the system folder, as setup resolves "oobe\windeploy.exe".
  const bool absolute = command.size() > 2 && (command[0] == L'"' || command[1] == L':' || command[0] == L'\\');
  if (!absolute) command = L"C:\\Windows\\System32\\" + command;
  StartupInfo startup;
  ProcessInformation info;
  if (!CreateProcess(command, /*inheritHandles=*/false, 0, startup, &info)) {
    SetupLog("specialize: the setup command " + NarrowUtf8(command) + " could not be started (error " +
                 std::to_string(GetLastError()) + ")",
             /*error=*/true);
    return;
  }
  CloseHandle(info.thread);
  SetupLog("specialize: running the setup command " + NarrowUtf8(command), /*error=*/false);
  const auto ended = [&info] { return WaitForSingleObject(info.process, 0) != kWaitTimeout; };
  if (!SleepUnlessStopped(kInfinite, [&] { return ended() || stop(); }) && !ended()) {
    TerminateProcess(info.process, 1);
  }
  uint32_t exitCode = 0;
  GetExitCodeProcess(info.process, &exitCode);
  CloseHandle(info.process);
  SetupLog("specialize: the setup command ended with exit code " + std::to_string(exitCode), exitCode != 0);
}

void RunOobe(const std::function<bool()>& stop) {
  SetupLog("oobeSystem: starting", /*error=*/false);
  WriteImageState(image_state::kUndeployable);
  if (PhaseFaulted(kSetupPhaseHangsFault, SetupPhase::Oobe)) return Hang(stop);
  if (!TakePhaseTime(SetupPhaseDurationMs(SetupPhase::Oobe), stop)) return;
  if (PhaseFaulted(kSetupPhaseFailsFault, SetupPhase::Oobe)) {
    SetupLog("oobeSystem: the pass failed", /*error=*/true);
    return;
  }
  SetMachineState(image_state::kComplete, L"", 0);
  SetupLog("oobeSystem: complete", /*error=*/false);
}

void SetupThread(uint64_t generation) {
  auto& work = Work();
  auto stop = [&work, generation] { return work.stop.load() || g_bootGeneration.load() != generation; };
  // The passes run once the boot's services are up, as Windows starts them beside its services.
  bool servicesUp = !InServiceProcess();
  const uint64_t waitEnd = GetTickCount64() + kServicesWaitMs;
  bool passStarted = false;
  std::thread pass;  // on its own thread: the guest operations go on while a pass runs
  while (!stop()) {
    RunDueGuestOperations();
    servicesUp = servicesUp || g_serviceRunning.load() || GetTickCount64() >= waitEnd;
    if (servicesUp && !passStarted) {
      passStarted = true;
      const std::wstring state = ReadImageState().value_or(L"");
      SetupKey setup(kSystemSetupKeyPath, /*create=*/false);
      const std::wstring cmdLine = setup.ReadString(kSetupCmdLineValue).value_or(L"");
      const uint32_t setupType = setup.ReadDword(kSetupTypeValue).value_or(0);
      if (state == image_state::kGeneralizeResealToOobe && setupType == 2 && !cmdLine.empty()) {
        pass = std::thread([cmdLine, stop] { RunSetupCommand(cmdLine, stop); });
      } else if (state == image_state::kSpecializeResealToOobe) {
        pass = std::thread([stop] { RunOobe(stop); });
      }
    }
    // Host time: the look costs the same at every time scale. The end of the boot wakes it at once.
    std::unique_lock<std::mutex> lock(work.mutex);
    work.wake.wait_for(lock, std::chrono::milliseconds(kPollHostMs), stop);
  }
  if (pass.joinable()) pass.join();
}

}  // namespace

const char* SetupPhaseName(SetupPhase phase) {
  switch (phase) {
    case SetupPhase::Generalize:
      return "generalize";
    case SetupPhase::Specialize:
      return "specialize";
    case SetupPhase::Oobe:
      return "oobe";
  }
  return "";
}

uint32_t SetupPhaseDurationMs(SetupPhase phase) {
  if (auto value = FaultPlan::Get(std::string("SetupPhaseMs.") + SetupPhaseName(phase))) {
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(value->c_str(), &end, 10);
    if (end != value->c_str() && *end == '\0' && parsed <= 0xFFFFFFFFul) return static_cast<uint32_t>(parsed);
  }
  // Of the order Windows takes on a small virtual machine.
  switch (phase) {
    case SetupPhase::Generalize:
      return 120000;
    case SetupPhase::Specialize:
      return 300000;
    case SetupPhase::Oobe:
      return 120000;
  }
  return 0;
}

std::optional<std::wstring> ReadImageState() {
  return SetupKey(kSetupStateKeyPath, /*create=*/false).ReadString(kImageStateValue);
}

std::wstring ReadSetupCmdLine() {
  return SetupKey(kSystemSetupKeyPath, /*create=*/false).ReadString(kSetupCmdLineValue).value_or(L"");
}

bool WriteImageState(const std::wstring& state) {
  SetupKey key(kSetupStateKeyPath, /*create=*/true);
  const bool written = key.WriteString(kImageStateValue, state);
  key.Flush();
  return written;
}

void InstallSetupState() { SetMachineState(image_state::kComplete, L"", 0); }

void SetupLog(const std::string& line, bool error) {
  const auto folder = HostPath(kSetupLogFolder);
  if (folder.empty()) return;
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  const std::string stamped = std::to_string(GetTickCount64()) + " ms, " + (error ? "Error " : "Info ") + line + "\r\n";
  std::ofstream(folder / "setupact.log", std::ios::app) << stamped;
  if (error) std::ofstream(folder / "setuperr.log", std::ios::app) << stamped;
}

uint32_t RunGeneralize(const std::wstring& answerFile, AfterGeneralize after, const std::function<bool()>& stopped,
                       std::string* message) {
  const uint64_t generation = g_bootGeneration.load();
  auto stop = [&] { return stopped() || g_bootGeneration.load() != generation || !Machine::IsBooted(); };
  const std::wstring state = ReadImageState().value_or(image_state::kComplete);
  if (state == image_state::kUndeployable) {
    *message = "Windows setup has not finished on this machine; it cannot be generalized";
    SetupLog("generalize: " + *message, /*error=*/true);
    return 1;
  }
  if (!answerFile.empty()) {
    const auto from = HostPath(answerFile);
    std::error_code error;
    if (from.empty() || !std::filesystem::is_regular_file(from, error)) {
      *message = "the answer file " + NarrowUtf8(answerFile) + " cannot be read";
      SetupLog("generalize: " + *message, /*error=*/true);
      return 1;
    }
    const auto to = HostPath(kCachedAnswerFile);
    std::filesystem::create_directories(to.parent_path(), error);
    if (!std::filesystem::equivalent(from, to, error)) {
      std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    }
    if (error) {
      *message = "the answer file could not be cached";
      SetupLog("generalize: " + *message, /*error=*/true);
      return 1;
    }
  }
  SetupLog("generalize: starting", /*error=*/false);
  WriteImageState(image_state::kUndeployable);
  if (PhaseFaulted(kSetupPhaseHangsFault, SetupPhase::Generalize)) {
    Hang(stop);
    *message = "generalize did not finish";
    return 1;
  }
  if (!TakePhaseTime(SetupPhaseDurationMs(SetupPhase::Generalize), stop)) {
    *message = "generalize was cut short";
    return 1;
  }
  if (PhaseFaulted(kSetupPhaseFailsFault, SetupPhase::Generalize)) {
    *message = "a fatal error occurred while trying to sysprep the machine";
    SetupLog("generalize: " + *message, /*error=*/true);
    return 1;
  }
  {
    SetupKey status(kSysprepStatusKeyPath, /*create=*/true);
    status.WriteDword(L"GeneralizationState", 7);
    status.WriteDword(L"CleanupState", 2);
    status.Flush();
  }
  SetMachineState(image_state::kGeneralizeResealToOobe, kWindeployCommand, 2);
  SetupLog("generalize: complete", /*error=*/false);
  if (after != AfterGeneralize::Quit) {
    Power::RequestFromMachine(after == AfterGeneralize::Reboot ? PowerAction::Reboot : PowerAction::Shutdown,
                              "sysprep");
  }
  return 0;
}

uint32_t RunSpecialize(const std::function<bool()>& stopped, std::string* message) {
  const uint64_t generation = g_bootGeneration.load();
  auto stop = [&] { return stopped() || g_bootGeneration.load() != generation || !Machine::IsBooted(); };
  if (ReadImageState().value_or(L"") != image_state::kGeneralizeResealToOobe) {
    *message = "the machine is not generalized";
    SetupLog("specialize: " + *message, /*error=*/true);
    return 1;
  }
  SetupLog("specialize: starting", /*error=*/false);
  WriteImageState(image_state::kUndeployable);
  if (PhaseFaulted(kSetupPhaseHangsFault, SetupPhase::Specialize)) {
    Hang(stop);
    *message = "specialize did not finish";
    return 1;
  }
  if (!TakePhaseTime(SetupPhaseDurationMs(SetupPhase::Specialize), stop)) {
    *message = "specialize was cut short";
    return 1;
  }
  if (PhaseFaulted(kSetupPhaseFailsFault, SetupPhase::Specialize)) {
    *message = "the specialize pass failed";
    SetupLog("specialize: " + *message, /*error=*/true);
    return 1;
  }
  std::string text;
  const auto path = HostPath(kCachedAnswerFile);
  if (!path.empty() && std::filesystem::exists(path)) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    text = content.str();
  }
  UnattendSpecialize pass;
  std::string computerName;
  std::string error;
  if (!text.empty() && !ParseUnattendSpecialize(text, &pass, &error)) {
    *message = "Windows could not parse or process the answer file for pass [specialize]: " + error;
    SetupLog("specialize: " + *message, /*error=*/true);
    return 1;
  }
  if (!ApplyUnattendSpecialize(pass, &computerName, &error)) {
    *message = "Windows could not parse or process the answer file for pass [specialize]: " + error;
    SetupLog("specialize: " + *message, /*error=*/true);
    return 1;
  }
  SetupLog("specialize: computer name " + computerName, /*error=*/false);
  WriteImageState(image_state::kSpecializeResealToOobe);
  SetupLog("specialize: complete; restarting", /*error=*/false);
  Power::RequestFromMachine(PowerAction::Reboot, "setup");
  return 0;
}

void StartSetupAtBoot() {
  auto& work = Work();
  std::lock_guard<std::mutex> guard(work.mutex);
  if (work.started || !Machine::IsBooted()) return;
  work.started = true;
  work.stop = false;
  g_serviceRunning = false;
  const uint64_t generation = ++g_bootGeneration;
  work.thread = std::thread(SetupThread, generation);
}

void StopSetupAtBoot() {
  auto& work = Work();
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(work.mutex);
    ++g_bootGeneration;
    work.stop = true;
    work.started = false;
    thread = std::move(work.thread);
  }
  work.wake.notify_all();
  NotifyKernelChange();  // a pass taking its time ends now
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
  if (thread.joinable()) thread.detach();
}

void NoteServiceRunning() { g_serviceRunning = true; }

}  // namespace tamber::platform::sim
