// Network adapters of the simulated guest and the IP Helper calls over them.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/Network.h"
#include "platform/Types.h"
#include "platform/sim/SimAdapters.h"
#include "platform/sim/SimMachine.h"

namespace tamber::platform::sim {
namespace {

const char* kAdaptersFile = "adapters.conf";

uint32_t ToNumber(const std::string& text) {
  try {
    return static_cast<uint32_t>(std::stoul(text));
  } catch (...) {
    return 0;
  }
}

// Copies text into a fixed field, cut to fit and always null-terminated.
template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
  size_t count = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), count);
  field[count] = '\0';
}

void FillAddress(IpAddrString* entry, const std::string& address, const std::string& mask) {
  CopyField(entry->ipAddress, address);
  CopyField(entry->ipMask, mask);
}

}  // namespace

bool ParsePhysicalAddress(const std::string& text, std::vector<uint8_t>* bytes) {
  std::vector<uint8_t> result;
  size_t i = 0;
  while (i < text.size()) {
    if (i + 2 > text.size() || !std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
      return false;
    }
    result.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    i += 2;
    if (i < text.size()) {
      if (text[i] != ':' && text[i] != '-') return false;
      if (++i == text.size()) return false;
    }
  }
  if (result.empty() || result.size() > kMaxAdapterAddressLength) return false;
  *bytes = std::move(result);
  return true;
}

std::vector<SimAdapter> LoadAdapters(const std::filesystem::path& machineDir) {
  std::vector<SimAdapter> adapters;
  std::ifstream in(machineDir / kAdaptersFile);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "[adapter]") {
      adapters.emplace_back();
      continue;
    }
    auto eq = line.find('=');
    if (adapters.empty() || eq == std::string::npos || line[0] == '#') continue;
    std::string name = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    SimAdapter& adapter = adapters.back();
    if (name == "name") {
      adapter.name = value;
    } else if (name == "description") {
      adapter.description = value;
    } else if (name == "mac") {
      ParsePhysicalAddress(value, &adapter.physicalAddress);
    } else if (name == "index") {
      adapter.index = ToNumber(value);
    } else if (name == "type") {
      adapter.type = ToNumber(value);
    } else if (name == "dhcp") {
      adapter.dhcpEnabled = value == "1";
    } else if (name == "ip") {
      auto slash = value.find('/');
      adapter.ipv4.push_back({value.substr(0, slash), slash == std::string::npos ? "" : value.substr(slash + 1)});
    } else if (name == "gateway") {
      adapter.gateways.push_back(value);
    } else if (name == "dhcpServer") {
      adapter.dhcpServer = value;
    }
  }
  return adapters;
}

void SaveAdapters(const std::filesystem::path& machineDir, const std::vector<SimAdapter>& adapters) {
  auto temp = machineDir / (std::string(kAdaptersFile) + ".tmp");
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const auto& adapter : adapters) {
      out << "[adapter]\nname=" << adapter.name << "\ndescription=" << adapter.description << "\nmac=";
      for (size_t i = 0; i < adapter.physicalAddress.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), i == 0 ? "%02X" : ":%02X", adapter.physicalAddress[i]);
        out << hex;
      }
      out << "\nindex=" << adapter.index << "\ntype=" << adapter.type << "\ndhcp=" << (adapter.dhcpEnabled ? 1 : 0)
          << "\n";
      for (const auto& ip : adapter.ipv4) out << "ip=" << ip.address << "/" << ip.mask << "\n";
      for (const auto& gateway : adapter.gateways) out << "gateway=" << gateway << "\n";
      if (!adapter.dhcpServer.empty()) out << "dhcpServer=" << adapter.dhcpServer << "\n";
    }
  }
  std::filesystem::rename(temp, machineDir / kAdaptersFile);
}

}  // namespace tamber::platform::sim

namespace tamber::platform {

uint32_t GetAdaptersInfo(IpAdapterInfo* buffer, uint32_t* size) {
  if (size == nullptr) return kErrorInvalidParameter;
  if (!sim::Machine::IsBooted()) return kErrorNotSupported;
  auto adapters = sim::LoadAdapters(sim::Machine::Directory());
  if (adapters.empty()) return kErrorNoData;

  // Each adapter's first address and gateway live in its record; further ones follow all records.
  size_t extra = 0;
  for (const auto& adapter : adapters) {
    if (adapter.ipv4.size() > 1) extra += adapter.ipv4.size() - 1;
    if (adapter.gateways.size() > 1) extra += adapter.gateways.size() - 1;
  }
  const size_t needed = adapters.size() * sizeof(IpAdapterInfo) + extra * sizeof(IpAddrString);
  if (buffer == nullptr || *size < needed) {
    *size = static_cast<uint32_t>(needed);
    return kErrorBufferOverflow;
  }
  std::memset(static_cast<void*>(buffer), 0, needed);
  auto* more = reinterpret_cast<IpAddrString*>(buffer + adapters.size());
  auto fillList = [&more](IpAddrString* head, const std::vector<std::pair<std::string, std::string>>& entries) {
    if (entries.empty()) return;
    sim::FillAddress(head, entries[0].first, entries[0].second);
    IpAddrString* last = head;
    for (size_t i = 1; i < entries.size(); ++i) {
      IpAddrString* entry = more++;
      sim::FillAddress(entry, entries[i].first, entries[i].second);
      last->next = entry;
      last = entry;
    }
  };
  for (size_t i = 0; i < adapters.size(); ++i) {
    const auto& adapter = adapters[i];
    IpAdapterInfo* info = buffer + i;
    info->next = i + 1 < adapters.size() ? buffer + i + 1 : nullptr;
    info->comboIndex = adapter.index;
    sim::CopyField(info->adapterName, adapter.name);
    sim::CopyField(info->description, adapter.description);
    info->addressLength = static_cast<uint32_t>(adapter.physicalAddress.size());
    std::memcpy(info->address, adapter.physicalAddress.data(), adapter.physicalAddress.size());
    info->index = adapter.index;
    info->type = adapter.type;
    info->dhcpEnabled = adapter.dhcpEnabled ? 1 : 0;
    std::vector<std::pair<std::string, std::string>> addresses, gateways;
    for (const auto& ip : adapter.ipv4) addresses.emplace_back(ip.address, ip.mask);
    if (addresses.empty()) addresses.emplace_back("0.0.0.0", "0.0.0.0");
    for (const auto& gateway : adapter.gateways) gateways.emplace_back(gateway, "255.255.255.255");
    if (gateways.empty()) gateways.emplace_back("0.0.0.0", "0.0.0.0");
    fillList(&info->ipAddressList, addresses);
    fillList(&info->gatewayList, gateways);
    sim::FillAddress(&info->dhcpServer, adapter.dhcpServer.empty() ? "0.0.0.0" : adapter.dhcpServer, "255.255.255.255");
    sim::FillAddress(&info->primaryWinsServer, "0.0.0.0", "0.0.0.0");
    sim::FillAddress(&info->secondaryWinsServer, "0.0.0.0", "0.0.0.0");
  }
  return kErrorSuccess;
}

}  // namespace tamber::platform
