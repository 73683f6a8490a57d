#include "platform/sim/machine/SimBootTimeAgent.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <optional>
#include <vector>

#include "platform/Registry.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"

namespace tamber::platform::sim {
namespace {

constexpr const wchar_t* kSetupKeyPath = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\setup";
constexpr const wchar_t* kGaKeyPath = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga";
constexpr const wchar_t* kNgaKeyPath = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\nga";
constexpr const wchar_t* kSessionManagerKeyPath = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* kBootExecuteEntry = L"System32\\talvora-qx-nga.exe";
constexpr const char* kFailFault = "BootTimeAgentFails";

// An open key that closes itself.
class Key {
 public:
  // Opens path, or creates it when create is set.
  Key(const wchar_t* path, bool create) {
    if (create) {
      uint32_t disposition = 0;
      RegCreateKeyEx(HKeyLocalMachine(), path, kRegOptionNonVolatile, kKeyAllAccess, &key_, &disposition);
    } else if (RegOpenKeyEx(HKeyLocalMachine(), path, 0, kKeyRead, &key_) != kErrorSuccess) {
      key_ = nullptr;
    }
  }
  ~Key() {
    if (key_ != nullptr) {
      RegFlushKey(key_);  // a native program cannot count on a clean shutdown to keep what it wrote
      RegCloseKey(key_);
    }
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  std::optional<uint32_t> ReadDword(const wchar_t* name) const {
    if (key_ == nullptr) return std::nullopt;
    uint8_t bytes[4] = {};
    uint32_t size = sizeof bytes;
    uint32_t type = 0;
    if (RegQueryValueEx(key_, name, &type, bytes, &size) != kErrorSuccess || type != kRegDword || size != 4) {
      return std::nullopt;
    }
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  }
  bool WriteDword(const wchar_t* name, uint32_t value) const {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return key_ != nullptr && RegSetValueEx(key_, name, kRegDword, bytes, sizeof bytes) == kErrorSuccess;
  }
  // The strings of a REG_MULTI_SZ value, read defensively (no terminator needed).
  std::vector<std::wstring> ReadMultiString(const wchar_t* name) const {
    std::vector<std::wstring> strings;
    if (key_ == nullptr) return strings;
    uint32_t size = 0, type = 0;
    if (RegQueryValueEx(key_, name, &type, nullptr, &size) != kErrorSuccess || type != kRegMultiSz) return strings;
    std::vector<uint8_t> bytes(size);
    if (size == 0 || RegQueryValueEx(key_, name, &type, bytes.data(), &size) != kErrorSuccess) return strings;
    std::wstring current;
    for (size_t i = 0; i + 1 < std::min<size_t>(size, bytes.size()); i += 2) {
      auto unit = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
      if (unit == L'\0') {
        if (!current.empty()) strings.push_back(current);
        current.clear();
      } else {
        current.push_back(unit);
      }
    }
    if (!current.empty()) strings.push_back(current);
    return strings;
  }
  bool WriteString(const wchar_t* name, const std::vector<uint8_t>& utf16) const {
    return key_ != nullptr &&
           RegSetValueEx(key_, name, kRegSz, utf16.data(), static_cast<uint32_t>(utf16.size())) == kErrorSuccess;
  }

 private:
  HKey key_ = nullptr;
};

// UTF-8 text as UTF-16LE registry bytes with the terminating null; bytes that are not UTF-8 become U+FFFD.
std::vector<uint8_t> Utf8ToRegistryString(const std::string& text) {
  std::vector<uint8_t> bytes;
  auto unit = [&bytes](uint32_t u) {
    bytes.push_back(static_cast<uint8_t>(u));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  };
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    uint32_t point = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      point = (point << 6) | (next & 0x3F);
    }
    if (!valid || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000)) {
      unit(0xFFFD);
      ++i;
      continue;
    }
    if (point >= 0x10000) {
      unit(0xD800 + ((point - 0x10000) >> 10));
      unit(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      unit(point);
    }
    i += length;
  }
  unit(0);
  return bytes;
}

constexpr uint32_t kSysprepFlag = 0x80;

// The management side's customization flags (decimal text); 0 when unset or not a number.
uint32_t CustomizationFlags(const guestrpc::SimHypervisor& hypervisor) {
  auto value = hypervisor.GetVariable("AgentCustomizationFlags");
  if (!value) return 0;
  uint64_t number = 0;
  for (char c : *value) {
    if (c < '0' || c > '9' || number > 0xFFFFFFFFull) return 0;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  return number > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(number);
}

bool IsStateSet(const guestrpc::SimHypervisor& hypervisor, const char* name) {
  auto value = hypervisor.GetVariable(name);
  return value && !value->empty() && (*value)[0] == '1';
}

bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

// The session manager runs the boot-time agent only when its BootExecute list names it.
bool IsRegisteredToRun() {
  for (const std::wstring& entry : Key(kSessionManagerKeyPath, /*create=*/false).ReadMultiString(L"BootExecute")) {
    if (EqualsIgnoringCase(entry, kBootExecuteEntry)) return true;
  }
  return false;
}

// Gives the machine the name the management side chose; empty when it gave none that Windows takes as a
// computer name (and then nothing is renamed).
std::string Rename(const guestrpc::SimHypervisor& hypervisor) {
  auto name = hypervisor.GetVariable("hostName");
  if (!name || !IsValidComputerName(*name)) return {};
  auto bytes = Utf8ToRegistryString(*name);
  Key(kComputerNameKeyPath, /*create=*/true).WriteString(L"ComputerName", bytes);
  Key tcpip(kTcpipParametersKeyPath, /*create=*/true);
  tcpip.WriteString(L"NV Hostname", bytes);
  tcpip.WriteString(L"Hostname", bytes);
  return *name;
}

}  // namespace

bool IsValidComputerName(const std::string& name) {
  if (name.empty() || name.size() > 15 || name.front() == '-' || name.back() == '-') return false;
  bool allDigits = true;
  for (char c : name) {
    const bool digit = c >= '0' && c <= '9';
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!digit && !letter && c != '-') return false;
    allDigits = allDigits && digit;
  }
  return !allDigits;
}

BootTimeAgentReport RunBootTimeAgent() {
  BootTimeAgentReport report;
  if (!Machine::IsBooted()) return report;
  if (!IsRegisteredToRun()) return report;
  report.ran = true;
  if (Key(kSetupKeyPath, /*create=*/false).ReadDword(L"GoldenImage") == 1u) return report;

  guestrpc::SimHypervisor hypervisor(Machine::Directory() / "hypervisor");
  const bool fails = FaultPlan::IsSet(kFailFault);
  const bool ngaFork = IsStateSet(hypervisor, "ngaFork");
  const bool forked = IsStateSet(hypervisor, "forked");
  const bool it = IsStateSet(hypervisor, "it");
  const bool replica = IsStateSet(hypervisor, "replica");

  if (ngaFork && forked) {
    Key nga(kNgaKeyPath, /*create=*/true);
    if (nga.ReadDword(L"VmForked") == 1u) return report;  // seen on an earlier boot: the service has taken over
    report.role = "clone";
    // A Sysprep clone is named by setup's specialize pass and then by the service: not here.
    const bool sysprep = (CustomizationFlags(hypervisor) & kSysprepFlag) != 0;
    if (!fails && !sysprep) report.renamedTo = Rename(hypervisor);
    // A clone that could not take its own name must not be customized under its parent's.
    const bool failed = fails || (!sysprep && report.renamedTo.empty());
    if (!failed) report.cloneRenamedSet = Key(kGaKeyPath, /*create=*/true).WriteDword(L"CloneRenamed", 1);
    report.vmForkedSet = nga.WriteDword(L"VmForked", 1);
    report.statusVariable = "clone.CustomizationState";
    report.status = failed ? "error" : "running";
    hypervisor.SetVariable(report.statusVariable, report.status);
    hypervisor.AppendLog(std::string("nga: forked machine ") + (failed ? "failed" : "ready for customization"));
    return report;
  }
  // The internal template, before and after it is prepared for forking.
  const bool isTemplate = ngaFork ? (!replica && it) : it;
  if (!isTemplate) return report;
  Key ga(kGaKeyPath, /*create=*/true);
  if (ga.ReadDword(L"TemplateRenamed") == 1u) return report;
  report.role = "it";
  if (fails) return report;
  report.renamedTo = Rename(hypervisor);
  if (report.renamedTo.empty()) return report;  // no TemplateRenamed: the service fails the template
  report.templateRenamedSet = ga.WriteDword(L"TemplateRenamed", 1);
  return report;
}

}  // namespace tamber::platform::sim
