// The adapters.conf format: reading and writing the settings of the simulated adapters. Kept apart
// from the machine so that it can be fuzzed on its own.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/Network.h"
#include "platform/sim/network/SimAdapters.h"

namespace tamber::platform::sim {
bool ParseSettingNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 12) return false;
  int base = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10;
  const char* digits = text.c_str() + (base == 16 ? 2 : 0);
  if (!std::isxdigit(static_cast<unsigned char>(*digits))) return false;
  char* end = nullptr;
  unsigned long long number = std::strtoull(digits, &end, base);
  if (*end != '\0' || number > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

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

SimAdapter::Address6 ParseAddress6(const std::string& text) {
  SimAdapter::Address6 result;
  auto percent = text.find('%');
  result.address = text.substr(0, percent);
  if (percent != std::string::npos && !ParseSettingNumber(text.substr(percent + 1), &result.scopeId))
    result.scopeId = 0;
  return result;
}

uint32_t SimAdapter::Flags() const {
  if (flags) return *flags;
  uint32_t value = kIpAdapterDdnsEnabled | kIpAdapterRegisterAdapterSuffix;
  if (dhcpEnabled) value |= kIpAdapterDhcpEnabled;
  if (index != 0) value |= kIpAdapterIpv4Enabled | kIpAdapterNetbiosOverTcpipEnabled;
  if (ipv6Index != 0) value |= kIpAdapterIpv6Enabled;
  if (ipv6Managed) value |= kIpAdapterIpv6ManageAddressConfig;
  return value;
}

bool SetAdapterValue(SimAdapter& adapter, const std::string& name, const std::string& value) {
  uint32_t number = 0;
  auto numeric = [&value, &number]() { return ParseSettingNumber(value, &number); };
  auto flag = [&value](bool* target) {
    if (value != "0" && value != "1") return false;
    *target = value == "1";
    return true;
  };
  if (name == "name") {
    adapter.name = value;
  } else if (name == "description") {
    adapter.description = value;
  } else if (name == "friendly") {
    adapter.friendlyName = value;
  } else if (name == "mac") {
    return ParsePhysicalAddress(value, &adapter.physicalAddress);
  } else if (name == "assignedMac") {
    if (value.empty()) {
      adapter.assignedMac.clear();
      return true;
    }
    return ParsePhysicalAddress(value, &adapter.assignedMac);
  } else if (name == "index") {
    if (!numeric()) return false;
    adapter.index = number;
  } else if (name == "index6") {
    if (!numeric()) return false;
    adapter.ipv6Index = number;
  } else if (name == "type") {
    if (!numeric()) return false;
    adapter.type = number;
  } else if (name == "oper") {
    if (!numeric()) return false;
    adapter.operStatus = number;
  } else if (name == "tunnel") {
    if (!numeric()) return false;
    adapter.tunnelType = number;
  } else if (name == "metric") {
    if (!numeric()) return false;
    adapter.ipv4Metric = number;
  } else if (name == "metric6") {
    if (!numeric()) return false;
    adapter.ipv6Metric = number;
  } else if (name == "flags") {
    if (value.empty()) {
      adapter.flags.reset();
      return true;
    }
    if (!numeric()) return false;
    adapter.flags = number;
  } else if (name == "dhcp") {
    return flag(&adapter.dhcpEnabled);
  } else if (name == "managed6") {
    return flag(&adapter.ipv6Managed);
  } else if (value.empty() && name == "ip") {  // an empty value clears a repeatable setting
    adapter.ipv4.clear();
  } else if (value.empty() && name == "ip6") {
    adapter.ipv6.clear();
  } else if (value.empty() && name == "gateway") {
    adapter.gateways.clear();
  } else if (value.empty() && name == "gateway6") {
    adapter.gateways6.clear();
  } else if (value.empty() && name == "dns") {
    adapter.dnsServers.clear();
  } else if (name == "ip") {
    auto slash = value.find('/');
    adapter.ipv4.push_back({value.substr(0, slash), slash == std::string::npos ? "" : value.substr(slash + 1)});
  } else if (name == "ip6" || name == "gateway6") {
    auto address = ParseAddress6(value);
    if (address.address.empty()) return false;  // a zone alone is no address
    (name == "ip6" ? adapter.ipv6 : adapter.gateways6).push_back(address);
  } else if (name == "gateway") {
    adapter.gateways.push_back(value);
  } else if (name == "dns") {
    adapter.dnsServers.push_back(value);
  } else if (name == "dhcpServer") {
    adapter.dhcpServer = value;
  } else if (name == "dhcp6Server") {
    adapter.dhcp6Server = value;
  } else if (name == "lease") {
    adapter.leaseAddress = value;
  } else if (name == "renewDelayMs") {
    if (!numeric()) return false;
    adapter.renewDelayMs = number;
  } else if (name == "noAnswer") {
    return flag(&adapter.noAnswer);
  } else if (name == "lease6") {
    adapter.leaseAddress6 = value;
  } else if (name == "renewDelayMs6") {
    if (!numeric()) return false;
    adapter.renewDelayMs6 = number;
  } else if (name == "noAnswer6") {
    return flag(&adapter.noAnswer6);
  } else if (name == "enabled") {
    return flag(&adapter.deviceEnabled);
  } else if (name == "problem") {
    if (!numeric()) return false;
    adapter.problemCode = number;
  } else if (name == "networkAddressParam") {
    return flag(&adapter.hasNetworkAddressParam);
  } else if (name == "driverInstance") {
    if (value.empty()) {
      adapter.driverInstance.reset();
      return true;
    }
    if (!numeric()) return false;
    adapter.driverInstance = number;
  } else {
    if (name.empty()) return false;
    adapter.extra[name] = value;
  }
  return true;
}

std::vector<SimAdapter> ParseAdapters(const std::string& text) {
  std::vector<SimAdapter> adapters;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "[adapter]") {
      adapters.emplace_back();
      continue;
    }
    auto eq = line.find('=');
    if (adapters.empty() || eq == std::string::npos || line[0] == '#') continue;
    // A control character (a lone carriage return, a null) has no place in a setting and would not
    // survive being written back: such a line is not a setting.
    if (std::any_of(line.begin(), line.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
      continue;
    }
    SetAdapterValue(adapters.back(), line.substr(0, eq), line.substr(eq + 1));
  }
  return adapters;
}

std::string PrintAdapters(const std::vector<SimAdapter>& adapters) {
  std::ostringstream out;
  auto mac = [&out](const char* key, const std::vector<uint8_t>& bytes) {
    out << key << "=";
    for (size_t i = 0; i < bytes.size(); ++i) {
      char hex[4];
      std::snprintf(hex, sizeof(hex), i == 0 ? "%02X" : ":%02X", bytes[i]);
      out << hex;
    }
    out << "\n";
  };
  auto address6 = [](const SimAdapter::Address6& address) {
    return address.scopeId == 0 ? address.address : address.address + "%" + std::to_string(address.scopeId);
  };
  for (const auto& adapter : adapters) {
    out << "[adapter]\nname=" << adapter.name << "\ndescription=" << adapter.description << "\n";
    if (!adapter.friendlyName.empty()) out << "friendly=" << adapter.friendlyName << "\n";
    mac("mac", adapter.physicalAddress);
    out << "index=" << adapter.index << "\ntype=" << adapter.type << "\ndhcp=" << (adapter.dhcpEnabled ? 1 : 0)
        << "\nindex6=" << adapter.ipv6Index << "\noper=" << adapter.operStatus << "\ntunnel=" << adapter.tunnelType
        << "\nmetric=" << adapter.ipv4Metric << "\nmetric6=" << adapter.ipv6Metric
        << "\nmanaged6=" << (adapter.ipv6Managed ? 1 : 0) << "\n";
    if (adapter.flags) out << "flags=" << *adapter.flags << "\n";
    for (const auto& ip : adapter.ipv4) out << "ip=" << ip.address << "/" << ip.mask << "\n";
    for (const auto& ip : adapter.ipv6) out << "ip6=" << address6(ip) << "\n";
    for (const auto& gateway : adapter.gateways) out << "gateway=" << gateway << "\n";
    for (const auto& gateway : adapter.gateways6) out << "gateway6=" << address6(gateway) << "\n";
    for (const auto& dns : adapter.dnsServers) out << "dns=" << dns << "\n";
    if (!adapter.dhcpServer.empty()) out << "dhcpServer=" << adapter.dhcpServer << "\n";
    if (!adapter.dhcp6Server.empty()) out << "dhcp6Server=" << adapter.dhcp6Server << "\n";
    if (!adapter.leaseAddress.empty()) out << "lease=" << adapter.leaseAddress << "\n";
    out << "renewDelayMs=" << adapter.renewDelayMs << "\nnoAnswer=" << (adapter.noAnswer ? 1 : 0) << "\n";
    if (!adapter.leaseAddress6.empty()) out << "lease6=" << adapter.leaseAddress6 << "\n";
    out << "renewDelayMs6=" << adapter.renewDelayMs6 << "\nnoAnswer6=" << (adapter.noAnswer6 ? 1 : 0) << "\n";
    if (!adapter.assignedMac.empty()) mac("assignedMac", adapter.assignedMac);
    out << "enabled=" << (adapter.deviceEnabled ? 1 : 0) << "\nproblem=" << adapter.problemCode
        << "\nnetworkAddressParam=" << (adapter.hasNetworkAddressParam ? 1 : 0) << "\n";
    if (adapter.driverInstance) out << "driverInstance=" << *adapter.driverInstance << "\n";
    for (const auto& [name, value] : adapter.extra) out << name << "=" << value << "\n";
  }
  return out.str();
}

}  // namespace tamber::platform::sim
