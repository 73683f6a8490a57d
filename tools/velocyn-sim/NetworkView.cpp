#include "NetworkView.h"

#include <algorithm>
#include <cstdio>

#include "Json.h"
#include "platform/sim/network/SimAdapters.h"

namespace velocyn::sim_cli {
namespace {

using tamber::platform::sim::SimAdapter;

std::string MacText(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof(hex), i == 0 ? "%02x" : "-%02x", bytes[i]);
    text += hex;
  }
  return text;
}

std::string Address6Text(const SimAdapter::Address6& address) {
  return address.scopeId == 0 ? address.address : address.address + "%" + std::to_string(address.scopeId);
}

std::string StateText(const SimAdapter& adapter) {
  if (!adapter.deviceEnabled) return "device disabled";
  if (adapter.problemCode != 0) return "device problem " + std::to_string(adapter.problemCode);
  switch (adapter.operStatus) {
    case 1:
      return "up";
    case 2:
      return "down (disconnected)";
    default:
      return "operational status " + std::to_string(adapter.operStatus);
  }
}

// The position of the adapter named by text, or -1.
int Find(const std::vector<SimAdapter>& adapters, const std::string& text) {
  for (size_t i = 0; i < adapters.size(); ++i) {
    if (adapters[i].friendlyName == text || adapters[i].name == text) return static_cast<int>(i);
  }
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() < 6) {
    size_t index = std::stoul(text);
    if (index < adapters.size()) return static_cast<int>(index);
  }
  return -1;
}

// Applies every assignment to a copy; the adapter changes only if all of them parse.
std::string Apply(SimAdapter& adapter, const std::vector<std::string>& assignments) {
  SimAdapter changed = adapter;
  for (const auto& assignment : assignments) {
    auto eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0) return "expected name=value, got \"" + assignment + "\"";
    if (!tamber::platform::sim::SetAdapterValue(changed, assignment.substr(0, eq), assignment.substr(eq + 1))) {
      return "bad value in \"" + assignment + "\"";
    }
  }
  adapter = std::move(changed);
  return {};
}

}  // namespace

void PrintAdapters(const std::filesystem::path& machineDir, std::ostream& out) {
  auto adapters = tamber::platform::sim::LoadAdapters(machineDir);
  if (adapters.empty()) {
    out << "No network adapters.\n";
    return;
  }
  for (size_t i = 0; i < adapters.size(); ++i) {
    const auto& a = adapters[i];
    out << "[" << i << "] " << (a.friendlyName.empty() ? "(no friendly name)" : a.friendlyName) << "  " << a.name
        << "\n";
    out << "    " << a.description << ", type " << a.type << ", tunnel " << a.tunnelType << ", " << StateText(a)
        << "\n";
    char flags[16];
    std::snprintf(flags, sizeof(flags), "0x%X", a.Flags());
    out << "    MAC " << MacText(a.physicalAddress) << ", flags " << flags << ", IPv4 index " << a.index << " (metric "
        << a.ipv4Metric << "), IPv6 index " << a.ipv6Index << " (metric " << a.ipv6Metric << ")\n";
    for (const auto& ip : a.ipv4) out << "    IPv4 " << ip.address << (ip.mask.empty() ? "" : "/" + ip.mask) << "\n";
    for (const auto& ip : a.ipv6) out << "    IPv6 " << Address6Text(ip) << "\n";
    for (const auto& gateway : a.gateways) out << "    gateway " << gateway << "\n";
    for (const auto& gateway : a.gateways6) out << "    gateway " << Address6Text(gateway) << "\n";
    for (const auto& dns : a.dnsServers) out << "    DNS " << dns << "\n";
    out << "    DHCPv4 " << (a.dhcpEnabled ? "on" : "off");
    if (!a.dhcpServer.empty()) out << ", server " << a.dhcpServer;
    if (a.noAnswer) out << ", server does not answer";
    if (!a.leaseAddress.empty()) out << ", next lease " << a.leaseAddress;
    if (a.renewDelayMs != 0) out << ", renewal takes " << a.renewDelayMs << " ms";
    out << "\n    DHCPv6";
    if (!a.dhcp6Server.empty()) out << " server " << a.dhcp6Server;
    if (a.noAnswer6) out << ", server does not answer";
    if (!a.leaseAddress6.empty()) out << ", next lease " << a.leaseAddress6;
    if (a.renewDelayMs6 != 0) out << ", renewal takes " << a.renewDelayMs6 << " ms";
    out << "\n";
    if (!a.assignedMac.empty()) out << "    hypervisor MAC " << MacText(a.assignedMac) << " (after a restart)\n";
    if (!a.hasNetworkAddressParam) out << "    driver has no NetworkAddress parameter\n";
    for (const auto& [name, value] : a.extra) out << "    " << name << "=" << value << "\n";
  }
}

void PrintAdaptersJson(const std::filesystem::path& machineDir, std::ostream& out) {
  auto adapters = tamber::platform::sim::LoadAdapters(machineDir);
  JsonWriter json(out);
  json.BeginObject().Key("adapters").BeginArray();
  auto strings = [&json](const std::string& key, const std::vector<std::string>& items) {
    json.Key(key).BeginArray();
    for (const auto& item : items) json.String(item);
    json.EndArray();
  };
  for (size_t i = 0; i < adapters.size(); ++i) {
    const auto& a = adapters[i];
    std::vector<std::string> ipv4, ipv6, gateways6;
    for (const auto& ip : a.ipv4) ipv4.push_back(ip.mask.empty() ? ip.address : ip.address + "/" + ip.mask);
    for (const auto& ip : a.ipv6) ipv6.push_back(Address6Text(ip));
    for (const auto& gateway : a.gateways6) gateways6.push_back(Address6Text(gateway));
    json.BeginObject();
    json.Key("position").Number(static_cast<uint64_t>(i));
    json.Key("name").String(a.name);
    json.Key("friendlyName").String(a.friendlyName);
    json.Key("description").String(a.description);
    json.Key("mac").String(MacText(a.physicalAddress));
    json.Key("flags").Number(static_cast<uint64_t>(a.Flags()));
    json.Key("type").Number(static_cast<uint64_t>(a.type));
    json.Key("operStatus").Number(static_cast<uint64_t>(a.operStatus));
    json.Key("tunnelType").Number(static_cast<uint64_t>(a.tunnelType));
    json.Key("ipv4Index").Number(static_cast<uint64_t>(a.index));
    json.Key("ipv6Index").Number(static_cast<uint64_t>(a.ipv6Index));
    json.Key("ipv4Metric").Number(static_cast<uint64_t>(a.ipv4Metric));
    json.Key("ipv6Metric").Number(static_cast<uint64_t>(a.ipv6Metric));
    json.Key("dhcpEnabled").Bool(a.dhcpEnabled);
    strings("ipv4", ipv4);
    strings("ipv6", ipv6);
    strings("gateways", a.gateways);
    strings("gateways6", gateways6);
    strings("dns", a.dnsServers);
    json.Key("dhcpServer").String(a.dhcpServer);
    json.Key("dhcp6Server").String(a.dhcp6Server);
    json.Key("lease").String(a.leaseAddress);
    json.Key("renewDelayMs").Number(static_cast<uint64_t>(a.renewDelayMs));
    json.Key("noAnswer").Bool(a.noAnswer);
    json.Key("lease6").String(a.leaseAddress6);
    json.Key("renewDelayMs6").Number(static_cast<uint64_t>(a.renewDelayMs6));
    json.Key("noAnswer6").Bool(a.noAnswer6);
    json.Key("assignedMac").String(MacText(a.assignedMac));
    json.Key("enabled").Bool(a.deviceEnabled);
    json.Key("problem").Number(static_cast<uint64_t>(a.problemCode));
    json.Key("networkAddressParam").Bool(a.hasNetworkAddressParam);
    json.Key("present").Bool(a.Present());
    json.Key("extra").BeginObject();
    for (const auto& [name, value] : a.extra) json.Key(name).String(value);
    json.EndObject();
    json.EndObject();
  }
  json.EndArray().EndObject();
  out << "\n";
}

std::string SetAdapterValues(const std::filesystem::path& machineDir, const std::string& adapter,
                             const std::vector<std::string>& assignments) {
  std::string error;
  tamber::platform::sim::UpdateAdapters(machineDir, [&](std::vector<SimAdapter>& adapters) {
    int index = Find(adapters, adapter);
    if (index < 0) {
      error = "no adapter \"" + adapter + "\" (give its friendly name, GUID name or position)";
      return;
    }
    error = Apply(adapters[static_cast<size_t>(index)], assignments);
  });
  return error;
}

std::string AddAdapter(const std::filesystem::path& machineDir, const std::string& friendlyName,
                       const std::vector<std::string>& assignments) {
  std::string error;
  tamber::platform::sim::UpdateAdapters(machineDir, [&](std::vector<SimAdapter>& adapters) {
    if (!friendlyName.empty() && Find(adapters, friendlyName) >= 0) {
      error = "an adapter \"" + friendlyName + "\" exists already";
      return;
    }
    uint32_t next = 1;
    for (const auto& a : adapters) next = std::max({next, a.index + 1, a.ipv6Index + 1});
    SimAdapter adapter;
    char guid[48];
    std::snprintf(guid, sizeof(guid), "{5EC0A1D0-%04X-4000-8000-%012X}", next & 0xFFFF, next);
    adapter.name = guid;
    adapter.friendlyName = friendlyName;
    adapter.description = "Virtual Ethernet Adapter";
    adapter.physicalAddress = {0x02, 0x54, 0x56, 0x00, static_cast<uint8_t>(next >> 8), static_cast<uint8_t>(next)};
    adapter.index = next;
    adapter.ipv6Index = next;
    error = Apply(adapter, assignments);
    if (error.empty()) adapters.push_back(std::move(adapter));
  });
  return error;
}

std::string RemoveAdapter(const std::filesystem::path& machineDir, const std::string& adapter) {
  std::string error;
  tamber::platform::sim::UpdateAdapters(machineDir, [&](std::vector<SimAdapter>& adapters) {
    int index = Find(adapters, adapter);
    if (index < 0) {
      error = "no adapter \"" + adapter + "\"";
      return;
    }
    adapters.erase(adapters.begin() + index);
  });
  return error;
}

}  // namespace velocyn::sim_cli
