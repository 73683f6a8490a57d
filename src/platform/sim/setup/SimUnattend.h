// The answer file of the simulated Windows setup: what its specialize pass reads from an unattend.xml
// (namespace "urn:schemas-microsoft-com:unattend"), read with pugixml (SimXml.h).
//   <settings pass="specialize">
//     <component name="Microsoft-Windows-Shell-Setup"> <ComputerName>NAME or *</ComputerName>
//     <component name="Microsoft-Windows-TCPIP"> <Interfaces><Interface><Identifier>..</Identifier>
//         <Ipv4Settings><DhcpEnabled>true|false</DhcpEnabled></Ipv4Settings>
//         <UnicastIpAddresses><IpAddress>10.0.0.5/8</IpAddress>..</UnicastIpAddresses>
//         <Routes><Route><NextHopAddress>10.0.0.1</NextHopAddress></Route></Routes>
//     <component name="Microsoft-Windows-DNS-Client"> <Interfaces><Interface><Identifier>..</Identifier>
//         <DNSServerSearchOrder><IpAddress>10.0.0.2</IpAddress>..</DNSServerSearchOrder>
//     <component name="Microsoft-Windows-NetBT"> <Interfaces><Interface><Identifier>..</Identifier>
//         <NetbiosOptions>0..3</NetbiosOptions>
// An interface's Identifier names an adapter by its name (the interface alias) or by its MAC text
// ("02-54-56-01-02-03"), both compared without regard to case; setup fails the pass when an Identifier
// names no adapter of the machine, as Windows does.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tamber::platform::sim {

struct UnattendInterface {
  std::string component;  // "Microsoft-Windows-TCPIP", ...
  std::string identifier;
  std::optional<bool> dhcpEnabled;
  std::vector<std::string> unicastAddresses;  // "a.b.c.d/prefix"
  std::vector<std::string> gateways;
  std::vector<std::string> dnsServers;
  std::optional<uint32_t> netbiosOptions;
};

struct UnattendSpecialize {
  std::optional<std::string> computerName;  // "*" or absent: setup makes one up
  std::vector<UnattendInterface> interfaces;
};

// Parses the answer file's specialize pass; false with the reason in *error on a file that is no
// answer file (not XML, another root).
bool ParseUnattendSpecialize(const std::string& xml, UnattendSpecialize* out, std::string* error);

// Whether an Identifier names this adapter.
bool UnattendIdentifierMatches(const std::string& identifier, const std::string& adapterName,
                               const std::string& macText);

// Applies the pass to the booted machine: the computer name and each named interface's settings. False
// with the reason when an interface names no adapter or a setting does not parse (nothing is applied
// then). *computerName receives the name given.
bool ApplyUnattendSpecialize(const UnattendSpecialize& pass, std::string* computerName, std::string* error);

}  // namespace tamber::platform::sim
