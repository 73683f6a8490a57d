#include "platform/sim/setup/SimUnattend.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>

#include "platform/Directory.h"
#include "platform/Domain.h"
#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/network/SimAdapters.h"
#include "platform/sim/setup/SimXml.h"

namespace tamber::platform::sim {
namespace {

std::string Trimmed(std::string text) {
  const char* blanks = " \t\r\n";
  text.erase(0, text.find_first_not_of(blanks));
  const size_t end = text.find_last_not_of(blanks);
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text;
}

std::string Text(const pugi::xml_node& node) { return Trimmed(xml::Content(node)); }

std::vector<std::string> Texts(const pugi::xml_node& list, const char* element) {
  std::vector<std::string> texts;
  for (const pugi::xml_node& item : xml::Elements(list, element)) texts.push_back(Text(item));
  return texts;
}

std::string LowerAscii(std::string text) {
  for (auto& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string MacText(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < 6) return {};
  char text[18];
  std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                bytes[5]);
  return text;
}

bool ParseIpv4(const std::string& text, uint32_t* value) {
  unsigned a, b, c, d;
  char tail;
  if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail) != 4) return false;
  if (a > 255 || b > 255 || c > 255 || d > 255) return false;
  *value = a << 24 | b << 16 | c << 8 | d;
  return true;
}

std::string Ipv4Text(uint32_t value) {
  return std::to_string(value >> 24) + "." + std::to_string(value >> 16 & 0xFF) + "." +
         std::to_string(value >> 8 & 0xFF) + "." + std::to_string(value & 0xFF);
}

// "10.0.0.5/8" to the address and its mask.
bool ParseUnicast(const std::string& text, SimAdapter::Address* out) {
  const size_t slash = text.find('/');
  uint32_t address = 0;
  if (slash == std::string::npos || !ParseIpv4(text.substr(0, slash), &address)) return false;
  const std::string prefixText = text.substr(slash + 1);
  if (prefixText.empty() || prefixText.size() > 2 || prefixText.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int prefix = std::stoi(prefixText);
  if (prefix < 1 || prefix > 32) return false;
  const uint32_t mask = prefix == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
  out->address = Ipv4Text(address);
  out->mask = Ipv4Text(mask);
  return true;
}

// A name setup makes up when the answer file leaves it to setup: "WIN-" and eleven letters and digits,
// the same for the same machine directory.
std::string MadeUpComputerName() {
  std::mt19937 random(static_cast<uint32_t>(std::hash<std::string>{}(Machine::Directory().string())));
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name = "WIN-";
  while (name.size() < 15) name.push_back(alphabet[random() % 36]);
  return name;
}

UnattendInterface ReadInterface(const pugi::xml_node& node, const std::string& component) {
  UnattendInterface entry;
  entry.component = component;
  if (const pugi::xml_node id = xml::FirstElement(node, "Identifier")) entry.identifier = Text(id);
  if (const pugi::xml_node dhcp = xml::FirstElement(xml::FirstElement(node, "Ipv4Settings"), "DhcpEnabled")) {
    entry.dhcpEnabled = LowerAscii(Text(dhcp)) == "true";
  }
  entry.unicastAddresses = Texts(xml::FirstElement(node, "UnicastIpAddresses"), "IpAddress");
  for (const pugi::xml_node& route : xml::Elements(xml::FirstElement(node, "Routes"))) {
    if (const pugi::xml_node hop = xml::FirstElement(route, "NextHopAddress")) entry.gateways.push_back(Text(hop));
  }
  entry.dnsServers = Texts(xml::FirstElement(node, "DNSServerSearchOrder"), "IpAddress");
  if (const pugi::xml_node netbios = xml::FirstElement(node, "NetbiosOptions")) {
    const std::string text = Text(netbios);
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '3') entry.netbiosOptions = text[0] - '0';
  }
  return entry;
}

}  // namespace

bool ParseUnattendSpecialize(const std::string& text, UnattendSpecialize* out, std::string* error) {
  *out = {};
  // No fetch and no DTD: the file is data from the image.
  pugi::xml_document doc;
  if (!xml::Parse(text, &doc)) {
    *error = "the answer file is not well-formed XML";
    return false;
  }
  const pugi::xml_node root = xml::Root(doc);
  if (xml::LocalName(root) != "unattend") {
    *error = "the answer file has no unattend element";
    return false;
  }
  for (const pugi::xml_node& settings : xml::Elements(root, "settings")) {
    if (xml::Attribute(settings, "pass") != "specialize") continue;
    for (const pugi::xml_node& component : xml::Elements(settings, "component")) {
      const std::string name = xml::Attribute(component, "name");
      if (name == "Microsoft-Windows-Shell-Setup") {
        if (const pugi::xml_node computer = xml::FirstElement(component, "ComputerName")) {
          out->computerName = Text(computer);
        }
        continue;
      }
      if (name != "Microsoft-Windows-TCPIP" && name != "Microsoft-Windows-DNS-Client" &&
          name != "Microsoft-Windows-NetBT") {
        continue;
      }
      const pugi::xml_node interfaces = xml::FirstElement(component, "Interfaces");
      for (const pugi::xml_node& node : xml::Elements(interfaces, "Interface")) {
        out->interfaces.push_back(ReadInterface(node, name));
      }
    }
  }
  return true;
}

bool UnattendIdentifierMatches(const std::string& identifier, const std::string& adapterName,
                               const std::string& macText) {
  const std::string id = LowerAscii(identifier);
  return !id.empty() && (id == LowerAscii(adapterName) || (!macText.empty() && id == LowerAscii(macText)));
}

bool ApplyUnattendSpecialize(const UnattendSpecialize& pass, std::string* computerName, std::string* error) {
  if (!Machine::IsBooted()) {
    *error = "no machine is booted";
    return false;
  }
  std::string name = pass.computerName.value_or("*");
  if (name.empty() || name == "*") name = MadeUpComputerName();
  if (!IsValidComputerName(name)) {
    *error = "the answer file's ComputerName \"" + name + "\" is not a valid computer name";
    return false;
  }
  // Checked first, applied after: a pass that fails changes no adapter.
  std::vector<SimAdapter> adapters = LoadAdapters(Machine::Directory());
  for (const auto& entry : pass.interfaces) {
    bool found = false;
    for (const auto& adapter : adapters) {
      found =
          found || UnattendIdentifierMatches(entry.identifier, adapter.friendlyName, MacText(adapter.physicalAddress));
    }
    if (!found) {
      *error = entry.component + ": the interface \"" + entry.identifier + "\" names no network adapter";
      return false;
    }
    for (const auto& address : entry.unicastAddresses) {
      SimAdapter::Address parsed;
      if (!ParseUnicast(address, &parsed)) {
        *error = entry.component + ": the address \"" + address + "\" is not an IPv4 address with a prefix";
        return false;
      }
    }
    for (const auto& list : {entry.gateways, entry.dnsServers}) {
      for (const auto& address : list) {
        uint32_t value = 0;
        if (!ParseIpv4(address, &value)) {
          *error = entry.component + ": \"" + address + "\" is not an IPv4 address";
          return false;
        }
      }
    }
  }
  UpdateAdapters(Machine::Directory(), [&pass](std::vector<SimAdapter>& list) {
    for (auto& adapter : list) {
      for (const auto& entry : pass.interfaces) {
        if (!UnattendIdentifierMatches(entry.identifier, adapter.friendlyName, MacText(adapter.physicalAddress))) {
          continue;
        }
        if (entry.dhcpEnabled) adapter.dhcpEnabled = *entry.dhcpEnabled;
        if (!entry.unicastAddresses.empty()) {
          adapter.ipv4.clear();
          for (const auto& address : entry.unicastAddresses) {
            SimAdapter::Address parsed;
            ParseUnicast(address, &parsed);
            adapter.ipv4.push_back(parsed);
          }
        }
        if (!entry.gateways.empty()) adapter.gateways = entry.gateways;
        if (!entry.dnsServers.empty()) adapter.dnsServers = entry.dnsServers;
        if (entry.netbiosOptions) adapter.extra["netbiosOptions"] = std::to_string(*entry.netbiosOptions);
      }
    }
  });
  const uint32_t renamed = SetComputerNameExA(kComputerNamePhysicalDnsHostname, name.c_str());
  if (renamed != 0) {
    *error = "the computer name could not be set (error " + std::to_string(renamed) + ")";
    return false;
  }
  *computerName = name;
  return true;
}

}  // namespace tamber::platform::sim
