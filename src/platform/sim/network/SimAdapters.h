// The network adapters of the simulated guest, kept in "<machine>/adapters.conf": one "[adapter]"
// line opens each adapter, followed by name=value lines ('#' starts a comment line). Adapters are listed
// in file order; a machine without the file has no adapter. An empty value of a repeatable setting
// clears it. Unknown names are kept as they stand (in
// `extra`) and written back, so an area may keep a setting of its own on an adapter.
//
// What the adapter shows (GetAdaptersAddresses, GetAdaptersInfo):
//   name={GUID}          description=text        friendly=Ethernet0      mac=02:54:56:01:02:03
//   index=7 (IPv4 interface index, 0 = IPv4 not bound)   index6=7 (IPv6 interface index, 0 = not bound)
//   type=6 (IFTYPE)      oper=1 (IF_OPER_STATUS)  tunnel=0 (TUNNEL_TYPE)
//   metric=25            metric6=25              flags=0x1C5 (default: made from the other settings)
//   dhcp=1 (DHCPv4 enabled)   managed6=1 (IPv6 managed address configuration)
//   ip=192.168.10.5/255.255.255.0 (repeatable)   ip6=fe80::1%12 (repeatable; "%N" scope id, default 0)
//   gateway=192.168.10.1 (repeatable)   gateway6=fe80::1%12 (repeatable)
//   dns=192.168.10.2 or dns=2001:db8::53 (repeatable, one ordered list of both families)
//   dhcpServer=192.168.10.1   dhcp6Server=fe80::2%12
// What DHCP does on a renewal (acted on by the IPv4/IPv6 renewal: IpRenewAddress and "ipconfig /renew6"):
//   lease=10.0.0.5/255.0.0.0   address handed out on an IPv4 renewal (empty: keep what the adapter has)
//   renewDelayMs=0             machine time an IPv4 renewal takes
//   noAnswer=1                 no DHCPv4 server answers: the renewal fails and the adapter ends up with
//                              an APIPA address (169.254.x.x)
//   lease6=2001:db8::5         address handed out on an IPv6 renewal
//   renewDelayMs6=0            machine time an IPv6 renewal takes
//   noAnswer6=1                no DHCPv6 server answers
// The device behind the adapter (acted on by the NIC restart through the device seam):
//   assignedMac=02:54:56:0a:0b:0c   hardware address the hypervisor gave the VM; the adapter takes it
//                                   only when the device is disabled and enabled again
//   enabled=1                  device enabled; a disabled device has problem 22 and no adapter record
//   problem=0                  devnode problem code (0 = none)
//   networkAddressParam=1      the driver key has "Ndi\Params\NetworkAddress"
//   driverInstance=7           number of the driver key under the network class key ("0007")
//
// Who uses what: GetAdaptersAddresses/GetAdaptersInfo (SimNetwork.cpp) read the shown fields; the
// IPv4/IPv6 renewal (IpReleaseAddress/IpRenewAddress, the ipconfig stand-in) acts on the DHCP fields and
// the addresses; the device seam acts on the device fields, physicalAddress and assignedMac. Change the
// model only through UpdateAdapters while a boot may run: it serializes every change in the process.
//
// The TCP/IP interface keys of every adapter ("Interfaces\{GUID}" under
// HKLM\SYSTEM\CurrentControlSet\services\Tcpip\Parameters and the same under Tcpip6) are seeded in the booted machine's
// registry whenever the booted machine's adapters are saved, and whenever the booted machine's adapters are listed (so
// a model written while the machine was off gets its keys before the agent can look for them).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tamber::platform::sim {

struct SimAdapter {
  struct Address {
    std::string address;
    std::string mask;
  };
  struct Address6 {
    std::string address;  // without the zone
    uint32_t scopeId = 0;
  };

  // Shown.
  std::string name;
  std::string description;
  std::string friendlyName;
  std::vector<uint8_t> physicalAddress;
  uint32_t index = 0;
  uint32_t ipv6Index = 0;
  uint32_t type = 6;        // Ethernet
  uint32_t operStatus = 1;  // up
  uint32_t tunnelType = 0;
  uint32_t ipv4Metric = 25;
  uint32_t ipv6Metric = 25;
  std::optional<uint32_t> flags;  // unset: Flags() makes them
  bool dhcpEnabled = true;
  bool ipv6Managed = false;
  std::vector<Address> ipv4;
  std::vector<Address6> ipv6;
  std::vector<std::string> gateways;  // IPv4
  std::vector<Address6> gateways6;
  std::vector<std::string> dnsServers;  // either family, textual; IPv6 may carry "%N"
  std::string dhcpServer;
  std::string dhcp6Server;  // may carry "%N"

  // DHCP behaviour.
  std::string leaseAddress;  // "a.b.c.d/mask" or "a.b.c.d"
  uint32_t renewDelayMs = 0;
  bool noAnswer = false;
  std::string leaseAddress6;
  uint32_t renewDelayMs6 = 0;
  bool noAnswer6 = false;

  // Device.
  std::vector<uint8_t> assignedMac;  // empty: none pending
  bool deviceEnabled = true;
  uint32_t problemCode = 0;
  bool hasNetworkAddressParam = true;
  std::optional<uint32_t> driverInstance;  // unset: the adapter's position in the list

  std::map<std::string, std::string> extra;

  // IP_ADAPTER_* flags: the stored ones, or DHCP (0x4) when dhcpEnabled, IPv4 (0x80) with an IPv4 index,
  // IPv6 (0x100) with an IPv6 index, managed (0x200) when ipv6Managed, plus DDNS and suffix registration.
  uint32_t Flags() const;
  // Whether the adapter shows at all (a disabled device or one with a problem has no adapter record).
  bool Present() const { return deviceEnabled && problemCode == 0; }
};

std::vector<SimAdapter> LoadAdapters(const std::filesystem::path& machineDir);
// Writes the file atomically (temporary file, then rename) under the process-wide adapters lock.
void SaveAdapters(const std::filesystem::path& machineDir, const std::vector<SimAdapter>& adapters);
// Load, change and save as one step under the process-wide adapters lock; the thread-safe way to change
// the model while a boot runs. Returns what was saved.
std::vector<SimAdapter> UpdateAdapters(const std::filesystem::path& machineDir,
                                       const std::function<void(std::vector<SimAdapter>&)>& change);
// Parses / prints the file format (for the command line and the fuzz target).
std::vector<SimAdapter> ParseAdapters(const std::string& text);
std::string PrintAdapters(const std::vector<SimAdapter>& adapters);
// Sets one name=value setting of an adapter as the file would; false for a value that does not parse
// (the adapter is unchanged then). Unknown names go to `extra`.
bool SetAdapterValue(SimAdapter& adapter, const std::string& name, const std::string& value);

// A whole decimal or 0x-hexadecimal number within 32 bits; false on anything else.
bool ParseSettingNumber(const std::string& text, uint32_t* value);
// "02:54:56:01:02:03" (also with '-') to bytes; false on anything else.
bool ParsePhysicalAddress(const std::string& text, std::vector<uint8_t>* bytes);
// "fe80::1%12" to the address and scope id; a text without '%' has scope 0.
SimAdapter::Address6 ParseAddress6(const std::string& text);

// Creates the TCP/IP interface keys of the adapters in the booted machine's registry (idempotent).
void SeedInterfaceKeys(const std::vector<SimAdapter>& adapters);

}  // namespace tamber::platform::sim
