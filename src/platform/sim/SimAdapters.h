// The network adapters of the simulated guest, kept in "<machine>/adapters.conf": one "[adapter]"
// line opens each adapter, followed by name=value lines:
//   name={GUID}            description=text            mac=00:50:56:01:02:03
//   index=7                type=6                      dhcp=1
//   ip=192.168.10.5/255.255.255.0   (repeatable)       gateway=192.168.10.1 (repeatable)
//   dhcpServer=192.168.10.1
// Adapters are listed in file order. A machine without the file has no adapter.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tamber::platform::sim {

struct SimAdapter {
  struct Address {
    std::string address;
    std::string mask;
  };
  std::string name;
  std::string description;
  std::vector<uint8_t> physicalAddress;
  uint32_t index = 0;
  uint32_t type = 6;  // Ethernet
  bool dhcpEnabled = true;
  std::vector<Address> ipv4;
  std::vector<std::string> gateways;
  std::string dhcpServer;
};

std::vector<SimAdapter> LoadAdapters(const std::filesystem::path& machineDir);
void SaveAdapters(const std::filesystem::path& machineDir, const std::vector<SimAdapter>& adapters);

// "00:50:56:01:02:03" (also with '-') to bytes; false on anything else.
bool ParsePhysicalAddress(const std::string& text, std::vector<uint8_t>* bytes);

}  // namespace tamber::platform::sim
