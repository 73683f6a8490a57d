#include "platform/sim/services/SimSiblingAgent.h"

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/Registry.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/kernel/SimTimeJumps.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"

namespace tamber::platform::sim {
namespace {

constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\kdnm";
constexpr const wchar_t* kAgentServiceKey = L"SYSTEM\\CurrentControlSet\\services\\tlv-velocyn-ga";
constexpr const wchar_t* kMirrorKey = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\guestInfo";
constexpr const wchar_t* kOperationKey = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\QuorvelAgent";
constexpr const wchar_t* kConfigurationKey = L"SOFTWARE\\Talvora\\Quorvel\\Agent\\Configuration";
constexpr const wchar_t* kSiblingStatus = L"NotifyHaldenStatusValue";
constexpr uint32_t kAutoStart = 2;
constexpr uint32_t kWaitForCheckpointing = 2;
constexpr uint32_t kPostCheckpointing = 3;

std::optional<uint32_t> ReadDword(const wchar_t* path, const wchar_t* name) {
  HKey key = nullptr;
  if (RegOpenKeyEx(HKeyLocalMachine(), path, 0, kKeyRead, &key) != kErrorSuccess) return std::nullopt;
  uint8_t bytes[4] = {};
  uint32_t size = sizeof bytes;
  uint32_t type = 0;
  const uint32_t error = RegQueryValueEx(key, name, &type, bytes, &size);
  RegCloseKey(key);
  if (error != kErrorSuccess || type != kRegDword || size != 4) return std::nullopt;
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// A REG_SZ as ASCII text; empty when absent.
std::string ReadText(const wchar_t* path, const wchar_t* name) {
  HKey key = nullptr;
  if (RegOpenKeyEx(HKeyLocalMachine(), path, 0, kKeyRead, &key) != kErrorSuccess) return {};
  uint32_t size = 0;
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
  if (RegQueryValueEx(key, name, &type, nullptr, &size) == kErrorSuccess && type == kRegSz) {
    bytes.resize(size);
    if (RegQueryValueEx(key, name, &type, bytes.data(), &size) != kErrorSuccess) bytes.clear();
  }
  RegCloseKey(key);
  std::string text;
  for (size_t i = 0; i + 1 < bytes.size() && (bytes[i] != 0 || bytes[i + 1] != 0); i += 2) {
    text.push_back(bytes[i + 1] == 0 && bytes[i] < 0x80 ? static_cast<char>(bytes[i]) : '?');
  }
  return text;
}

// Writes and flushes: a service of its own cannot count on the agent's flushes.
void Write(const wchar_t* path, const wchar_t* name, uint32_t type, const std::vector<uint8_t>& data) {
  HKey key = nullptr;
  if (RegCreateKeyEx(HKeyLocalMachine(), path, kRegOptionNonVolatile, kKeyAllAccess, &key, nullptr) != kErrorSuccess) {
    return;
  }
  RegSetValueEx(key, name, type, data.data(), static_cast<uint32_t>(data.size()));
  RegFlushKey(key);
  RegCloseKey(key);
}

void WriteDword(const wchar_t* path, const wchar_t* name, uint32_t value) {
  Write(path, name, kRegDword,
        {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
         static_cast<uint8_t>(value >> 24)});
}

// ASCII text as a REG_SZ with its terminator; other bytes become '?'.
void WriteText(const wchar_t* path, const wchar_t* name, const std::string& text) {
  std::vector<uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<uint8_t>(c) : '?');
    bytes.push_back(0);
  }
  bytes.push_back(0);
  bytes.push_back(0);
  Write(path, name, kRegSz, bytes);
}

// The write that comes after a delay, ended with the boot.
struct LateWrite {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
};

LateWrite& Late() {
  static auto* late = new LateWrite;
  return *late;
}

void StartLateWrite(uint32_t delayMs, std::string operationType) {
  auto& late = Late();
  SiblingAgentEndBoot();
  std::lock_guard<std::mutex> guard(late.mutex);
  late.stop = false;
  const uint64_t deadline = MachineDeadline(delayMs);
  // Registered before the thread starts, so machine time cannot jump past the write meanwhile.
  auto timed = std::make_unique<MachineTimeWait>(deadline, WakeBy::Deadline, &late.wake);
  late.thread = std::thread([&late, deadline, operationType, timed = std::move(timed)] {
    std::unique_lock<std::mutex> lock(late.mutex);
    while (!late.stop && !MachineDeadlinePassed(deadline)) {
      timed->Looked();
      late.wake.wait_until(lock, HostWakeFor(deadline));
    }
    if (late.stop) return;
    WriteText(kOperationKey, L"OPERATION_TYPE", operationType);
  });
}

}  // namespace

void SiblingAgentEndBoot() {
  auto& late = Late();
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(late.mutex);
    late.stop = true;
    thread = std::move(late.thread);
  }
  late.wake.notify_all();
  if (thread.joinable()) thread.join();
}

SiblingAgentReport RunSiblingAgent() {
  SiblingAgentReport report;
  if (!Machine::IsBooted() || ReadDword(kServiceKey, L"Start") != kAutoStart) return report;
  report.ran = true;
  // The agent asked for the checkpoint at the end of the boot before (the hypervisor's side may have
  // noted the checkpoint since), and no operation has been handed to it yet: this boot is the clone
  // after its snapshot.
  const auto sibling = ReadDword(kAgentServiceKey, kSiblingStatus);
  if (sibling != kWaitForCheckpointing && sibling != kPostCheckpointing) return report;
  if (!ReadText(kOperationKey, L"OPERATION_TYPE").empty()) return report;
  report.afterSnapshot = true;

  if (FaultPlan::Get("kdnm.post-snapshot-status") != std::optional<std::string>("skip")) {
    WriteText(kMirrorKey, L"clone.CustomizationState", "postSnapshotting");
    WriteDword(kAgentServiceKey, kSiblingStatus, kPostCheckpointing);
    report.statusReported = true;
  }
  if (FaultPlan::Get("kdnm.machine-pwd") == std::optional<std::string>("1")) {
    WriteDword(kConfigurationKey, L"MachinePwd", 1);
  }
  const std::string operation = FaultPlan::Get("kdnm.operation-type").value_or("NEW_CLONE");
  if (operation == "none") return report;
  report.operationType = operation;
  if (auto delay = FaultPlan::Get("kdnm.operation-type-delay-ms")) {
    WriteText(kOperationKey, L"OPERATION_TYPE", "");
    StartLateWrite(static_cast<uint32_t>(std::strtoul(delay->c_str(), nullptr, 10)), operation);
    report.late = true;
    return report;
  }
  WriteText(kOperationKey, L"OPERATION_TYPE", operation);
  return report;
}

}  // namespace tamber::platform::sim
