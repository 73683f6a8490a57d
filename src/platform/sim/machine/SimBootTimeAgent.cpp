#include "platform/sim/machine/SimBootTimeAgent.h"

#include <cstdint>
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

bool IsStateSet(const guestrpc::SimHypervisor& hypervisor, const char* name) {
  auto value = hypervisor.GetVariable(name);
  return value && !value->empty() && (*value)[0] == '1';
}

// Gives the machine the name the management side chose; nothing when it chose none.
std::string Rename(const guestrpc::SimHypervisor& hypervisor) {
  auto name = hypervisor.GetVariable("hostName");
  if (!name || name->empty()) return {};
  auto bytes = Utf8ToRegistryString(*name);
  Key(kComputerNameKeyPath, /*create=*/true).WriteString(L"ComputerName", bytes);
  Key tcpip(kTcpipParametersKeyPath, /*create=*/true);
  tcpip.WriteString(L"NV Hostname", bytes);
  tcpip.WriteString(L"Hostname", bytes);
  return *name;
}

}  // namespace

BootTimeAgentReport RunBootTimeAgent() {
  BootTimeAgentReport report;
  if (!Machine::IsBooted()) return report;
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
    if (!fails) report.renamedTo = Rename(hypervisor);
    report.vmForkedSet = nga.WriteDword(L"VmForked", 1);
    report.statusVariable = "clone.CustomizationState";
    report.status = fails ? "error" : "running";
    hypervisor.SetVariable(report.statusVariable, report.status);
    hypervisor.AppendLog(std::string("nga: forked machine ") + (fails ? "failed" : "ready for customization"));
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
  report.templateRenamedSet = ga.WriteDword(L"TemplateRenamed", 1);
  return report;
}

}  // namespace tamber::platform::sim
