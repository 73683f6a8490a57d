// The network read side against simulated adapters: what the adapter list holds, what counts as a
// working network, the adapter count from the hypervisor, the polls and their machine-time pauses, the
// release-on-shutdown walk, and the adapter model itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#include "NetworkView.h"
#include "common/device/Util.h"
#include "core/util/Registry.h"
#include "platform/Clock.h"
#include "platform/Network.h"
#include "platform/Registry.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/network/SimAdapters.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimMachine.h"
#include "support/TestEnvironment.h"

namespace tamber::common::windows::device {
namespace {

using framework::log::LogLevel;
using platform::IpAdapterAddresses;
using platform::sim::Machine;
using platform::sim::SimAdapter;
using test::LogCapture;

const std::wstring kPrefix = L"tamber::common::windows::device::Util::";

SimAdapter Ethernet(const std::string& friendly, uint8_t last) {
  SimAdapter adapter;
  adapter.name = "{6F1A2B3C-0000-4000-8000-0000000000" + std::to_string(10 + last) + "}";
  adapter.description = "Virtual Ethernet Adapter #" + std::to_string(last);
  adapter.friendlyName = friendly;
  adapter.physicalAddress = {0x02, 0x54, 0x56, 0x01, 0x02, last};
  adapter.index = last;
  adapter.ipv6Index = last;
  adapter.ipv4 = {{"10.0.0." + std::to_string(last), "255.255.255.0"}};
  adapter.gateways = {"10.0.0.1"};
  adapter.dnsServers = {"10.0.0.2"};
  adapter.dhcpServer = "10.0.0.1";
  return adapter;
}

class NetworkUtilSimTest : public test::GuestTest {
 protected:
  static void Save(const std::vector<SimAdapter>& adapters) {
    platform::sim::SaveAdapters(Machine::Directory(), adapters);
  }
  static platform::guestrpc::SimHypervisor Hypervisor() {
    return platform::guestrpc::SimHypervisor(Machine::Directory() / "hypervisor");
  }
  static size_t CountStarting(const LogCapture& log, const std::wstring& start) {
    size_t count = 0;
    for (const auto& entry : log.Entries()) count += entry.text.rfind(kPrefix + start, 0) == 0 ? 1 : 0;
    return count;
  }
  static bool Has(const LogCapture& log, const std::wstring& text, LogLevel level = LogLevel::Debug) {
    for (const auto& entry : log.Entries()) {
      if (entry.level == level && entry.text == kPrefix + text) return true;
    }
    return false;
  }
  static uint32_t ReadDword(const std::wstring& path, const wchar_t* name) {
    platform::HKey key = nullptr;
    uint32_t value = 0xFFFFFFFF;
    uint32_t size = 4;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path.c_str(), 0, platform::kKeyRead, &key) == 0) {
      platform::RegQueryValueEx(key, name, nullptr, reinterpret_cast<uint8_t*>(&value), &size);
      platform::RegCloseKey(key);
    }
    return value;
  }
  Util util;
};

TEST_F(NetworkUtilSimTest, AdapterListHoldsTheModelAsWindowsLaysItOut) {
  SimAdapter first = Ethernet("Ethernet0", 5);
  first.ipv4.push_back({"10.0.0.6", "255.255.0.0"});
  first.ipv6 = {{"fe80::250:56ff:fe01:205", 5}, {"2001:db8::5", 0}};
  first.gateways6 = {{"fe80::1", 5}};
  first.dnsServers = {"2001:db8::53", "10.0.0.2"};
  first.dhcp6Server = "fe80::2%5";
  first.ipv6Managed = true;
  first.ipv4Metric = 15;
  first.ipv6Metric = 35;
  SimAdapter disabled = Ethernet("Ethernet1", 6);
  disabled.deviceEnabled = false;
  SimAdapter plain = Ethernet("", 7);
  plain.ipv6Index = 0;
  plain.dhcpEnabled = false;
  plain.dhcpServer.clear();
  Save({first, disabled, plain});

  uint32_t size = 0;
  ASSERT_EQ(platform::GetAdaptersAddresses(0, 0x90, nullptr, nullptr, &size), platform::kErrorBufferOverflow);
  std::vector<uint64_t> small((size - 8) / 8);
  uint32_t smallSize = static_cast<uint32_t>(small.size() * 8);
  EXPECT_EQ(
      platform::GetAdaptersAddresses(0, 0x90, nullptr, reinterpret_cast<IpAdapterAddresses*>(small.data()), &smallSize),
      platform::kErrorBufferOverflow);
  EXPECT_EQ(smallSize, size);

  AdapterList list = util.GetAdapters();
  ASSERT_NE(list, nullptr);
  const IpAdapterAddresses* a = list.get();
  EXPECT_STREQ(a->adapterName, first.name.c_str());
  EXPECT_EQ(std::wstring(a->friendlyName), L"Ethernet0");
  EXPECT_EQ(std::wstring(a->description), L"Virtual Ethernet Adapter #5");
  EXPECT_EQ(util.FormatMacAddress(a->physicalAddress), L"02-54-56-01-02-05");
  EXPECT_EQ(a->physicalAddressLength, 6u);
  EXPECT_EQ(a->flags, 0x3C7u);  // DDNS, suffix, DHCP, NetBIOS, IPv4, IPv6, managed
  EXPECT_EQ(a->ifIndex, 5u);
  EXPECT_EQ(a->ipv6IfIndex, 5u);
  EXPECT_EQ(a->ipv4Metric, 15u);
  EXPECT_EQ(a->ipv6Metric, 35u);
  std::vector<std::wstring> unicast, dns, gateways;
  for (auto* u = a->firstUnicastAddress; u != nullptr; u = u->next) unicast.push_back(Util::AddressText(u->address));
  for (auto* d = a->firstDnsServerAddress; d != nullptr; d = d->next) dns.push_back(Util::AddressText(d->address));
  for (auto* g = a->firstGatewayAddress; g != nullptr; g = g->next) gateways.push_back(Util::AddressText(g->address));
  EXPECT_EQ(unicast,
            (std::vector<std::wstring>{L"fe80::250:56ff:fe01:205%5", L"2001:db8::5", L"10.0.0.5", L"10.0.0.6"}));
  EXPECT_EQ(a->firstUnicastAddress->next->next->next->onLinkPrefixLength, 16);
  EXPECT_EQ(dns, (std::vector<std::wstring>{L"2001:db8::53", L"10.0.0.2"}));
  EXPECT_EQ(gateways, (std::vector<std::wstring>{L"10.0.0.1", L"fe80::1%5"}));
  EXPECT_EQ(Util::AddressText(a->dhcpv4Server), L"10.0.0.1");
  EXPECT_EQ(Util::AddressText(a->dhcpv6Server), L"fe80::2%5");

  // The disabled device has no record; the next one has no IPv6 binding and no DHCP.
  const IpAdapterAddresses* b = a->next;
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->ifIndex, 7u);
  EXPECT_EQ(b->friendlyName, nullptr);
  EXPECT_EQ(b->flags, 0xC3u);
  EXPECT_EQ(b->dhcpv4Server.sockaddr, nullptr);
  EXPECT_EQ(b->next, nullptr);

  // One family only.
  ASSERT_EQ(platform::GetAdaptersAddresses(platform::kAfInet, 0x90, nullptr, nullptr, &size),
            platform::kErrorBufferOverflow);
  std::vector<uint64_t> buffer(size / 8 + 1);
  ASSERT_EQ(platform::GetAdaptersAddresses(platform::kAfInet, 0x90, nullptr,
                                           reinterpret_cast<IpAdapterAddresses*>(buffer.data()), &size),
            platform::kErrorSuccess);
  auto* onlyFour = reinterpret_cast<IpAdapterAddresses*>(buffer.data());
  size_t count = 0;
  for (auto* u = onlyFour->firstUnicastAddress; u != nullptr; u = u->next, ++count) {
    EXPECT_EQ(u->address.sockaddr->family, platform::kAfInet);
  }
  EXPECT_EQ(count, 2u);
}

TEST_F(NetworkUtilSimTest, GetAdaptersFailsSoftlyAndFreesWhatItTook) {
  LogCapture log;
  EXPECT_EQ(util.GetAdapters(), nullptr);  // no adapter at all
  EXPECT_TRUE(Has(log, L"GetAdapters(): Failed allocating buffer"));
  EXPECT_FALSE(util.LogIpAddresses(nullptr, nullptr));
  EXPECT_TRUE(Has(log, L"LogIpAddresses(): Failed To Get Adapters"));

  Save({Ethernet("Ethernet0", 5)});
  platform::sim::FaultPlan::Set("HeapAlloc", "1");
  EXPECT_EQ(util.GetAdapters(), nullptr);
  EXPECT_EQ(CountStarting(log, L"GetAdapters(): Failed allocating buffer"), 3u);
  platform::sim::FaultPlan::Set("HeapAlloc", std::nullopt);
  platform::sim::FaultPlan::Set("GetAdaptersAddresses.fill", "8");
  EXPECT_EQ(util.GetAdapters(), nullptr);
  EXPECT_TRUE(Has(log, L"GetAdapters(): GetAdaptersAddresses Failed: 0x8"));
  platform::sim::FaultPlan::Set("GetAdaptersAddresses.fill", std::nullopt);
  EXPECT_NE(util.GetAdapters(), nullptr);
}

TEST_F(NetworkUtilSimTest, WorkingNetworkNeedsAKeptAdapterWithUnicastAndDns) {
  SimAdapter good = Ethernet("Ethernet0", 5);
  good.ipv6 = {{"fe80::5", 5}};
  Save({good});
  AddressLists lists;
  bool found = false;
  EXPECT_TRUE(util.LogIpAddresses(&found, &lists));
  EXPECT_TRUE(found);
  EXPECT_EQ(lists.ipv4Unicast, std::vector<std::wstring>{L"10.0.0.5"});
  EXPECT_EQ(lists.ipv6Unicast, std::vector<std::wstring>{L"fe80::5%5"});
  EXPECT_EQ(lists.ipv4Dns, std::vector<std::wstring>{L"10.0.0.2"});

  // An APIPA address beside the good one spoils the adapter.
  good.ipv4.push_back({"169.254.1.1", "255.255.0.0"});
  Save({good});
  LogCapture log;
  EXPECT_FALSE(util.LogIpAddresses(&found, nullptr));
  EXPECT_FALSE(found);
  EXPECT_TRUE(Has(log, L"ValidateUnicastAddresses(): No Valid IP Address Found For This Adapter"));
  EXPECT_TRUE(Has(log, L"LogIpAddresses(): Skipping adapter with No Valid Unicast IP Address"));
  EXPECT_TRUE(Has(log, L"ValidateGatewayIP(): Found Valid IPv4 Gateway Address Only"));

  // Without a DNS server the address alone is not enough.
  good.ipv4.pop_back();
  good.dnsServers.clear();
  Save({good});
  EXPECT_FALSE(util.LogIpAddresses(nullptr, nullptr));
  EXPECT_TRUE(Has(log, L"LogIpAddresses(): Skipping adapter with No Valid Dns Server Address"));
}

TEST_F(NetworkUtilSimTest, DisconnectedIsatapAndLoopbackNeverCount) {
  SimAdapter down = Ethernet("Ethernet0", 5);
  down.operStatus = platform::kIfOperStatusDown;
  SimAdapter isatap = Ethernet("isatap.{X}", 6);
  isatap.type = platform::kIfTypeTunnel;
  isatap.tunnelType = platform::kTunnelTypeIsatap;
  SimAdapter loopback = Ethernet("Loopback Pseudo-Interface 1", 7);
  loopback.type = platform::kIfTypeSoftwareLoopback;
  Save({down, isatap, loopback});
  Hypervisor().SetVariable("snapshot.nic.count", "0");
  LogCapture log;
  EXPECT_FALSE(util.LogIpAddresses(nullptr, nullptr));
  EXPECT_EQ(CountStarting(log, L"LogIpAddresses(): Friendly Name: "), 3u);
  EXPECT_TRUE(Has(log, L"FilterAdapter(): Skipping Disabled Adapter"));
  EXPECT_TRUE(Has(log, L"FilterAdapter(): Skipping Isatap Adapter"));
  EXPECT_TRUE(Has(log, L"FilterAdapter(): Skipping Adapter With Invalid Type"));
  EXPECT_EQ(CountStarting(log, L"ValidateUnicastAddresses()"), 0u);
  MacToNameMap map;
  EXPECT_TRUE(util.GetValidAdapterInfo(map));  // a count of 0 is met by no adapter
  EXPECT_TRUE(map.empty());
  EXPECT_FALSE(util.SetIpReleaseOnShutdownState(1, IpProtocolUsage::Dual4));
  EXPECT_TRUE(Has(log, L"SetIpReleaseOnShutdownState(): Adapters: 3, Succeeded: 0, Failed: 0, Skipped: 3"));
}

TEST_F(NetworkUtilSimTest, AllAdaptersAreVisitedAfterASuccess) {
  SimAdapter first = Ethernet("Ethernet0", 5);
  SimAdapter second = Ethernet("", 6);
  second.ipv4 = {{"169.254.3.4", "255.255.0.0"}};
  Save({first, second});
  LogCapture log;
  EXPECT_TRUE(util.LogIpAddresses(nullptr, nullptr));
  EXPECT_TRUE(Has(log, L"LogIpAddresses(): Friendly Name: Unknown"));
  EXPECT_TRUE(Has(log, L"ValidateIPv4Addresses(): IPv4 Local Address: 169.254.3.4"));
}

TEST_F(NetworkUtilSimTest, NicCountComesFromTheHypervisorAndDegradesToOne) {
  LogCapture log;
  EXPECT_EQ(util.GetNetworkAdapterCount(), 1);  // absent
  EXPECT_TRUE(Has(log, L"GetNetworkAdapterCount(): Network Adapter Count: 1"));
  EXPECT_EQ(CountStarting(log, L"GetNetworkAdapterCount(): Failed"), 0u);
  const std::pair<const char*, int32_t> cases[] = {{"2", 2}, {"  3 nics", 3}, {"x", 1}, {"99999999999", 1}, {"", 1}};
  for (const auto& [text, count] : cases) {
    ASSERT_TRUE(Hypervisor().SetVariable("snapshot.nic.count", text));
    EXPECT_EQ(util.GetNetworkAdapterCount(), count) << text;
  }
  EXPECT_TRUE(
      Has(log, L"GetNetworkAdapterCount(): Failed to parse nic count \"x\". Exception: stoi. Defaulting to single nic.",
          LogLevel::Warn));
  EXPECT_EQ(CountStarting(log, L"GetNetworkAdapterCount(): Failed to parse nic count"), 3u);
}

TEST_F(NetworkUtilSimTest, AdapterInfoMapsMacsAndKeepsTheLaterNameOfADuplicate) {
  SimAdapter first = Ethernet("Ethernet0", 5);
  SimAdapter twin = Ethernet("Ethernet1", 6);
  twin.physicalAddress = first.physicalAddress;
  SimAdapter down = Ethernet("Ethernet2", 7);
  down.operStatus = platform::kIfOperStatusDown;
  Save({first, twin, down});
  LogCapture log;
  MacToNameMap map{{L"stale", L"entry"}};
  EXPECT_TRUE(util.GetValidAdapterInfo(map));
  EXPECT_EQ(map, (MacToNameMap{{L"02-54-56-01-02-05", L"Ethernet1"}}));
  EXPECT_TRUE(Has(log, L"GetValidAdapterInfo(): Found Adapter \"Ethernet0\" with MAC: 02-54-56-01-02-05"));
  EXPECT_TRUE(Has(log, L"GetValidAdapterInfo(): Attempt 1 to get adapter info"));

  // Two are expected but the twins make one entry: six attempts, a pause after each.
  Hypervisor().SetVariable("snapshot.nic.count", "2");
  platform::sim::SetTimeScale(1000);
  uint64_t start = platform::GetTickCount64();
  EXPECT_FALSE(util.GetValidAdapterInfo(map));
  EXPECT_GE(platform::GetTickCount64() - start, 15000u);
  EXPECT_TRUE(Has(log, L"GetValidAdapterInfo(): Attempt 6 to get adapter info"));
  EXPECT_FALSE(Has(log, L"GetValidAdapterInfo(): Attempt 7 to get adapter info"));
}

TEST_F(NetworkUtilSimTest, AdapterInfoWaitsForALateAdapter) {
  Save({Ethernet("Ethernet0", 5)});
  Hypervisor().SetVariable("snapshot.nic.count", "2");
  platform::sim::SetTimeScale(5);
  std::thread late([] {
    platform::Sleep(3750);  // between the second and the third attempt
    platform::sim::UpdateAdapters(
        Machine::Directory(), [](std::vector<SimAdapter>& adapters) { adapters.push_back(Ethernet("Ethernet1", 6)); });
  });
  LogCapture log;
  MacToNameMap map;
  bool found = util.GetValidAdapterInfo(map);
  late.join();
  EXPECT_TRUE(found);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_TRUE(Has(log, L"GetValidAdapterInfo(): Attempt 3 to get adapter info"));
  EXPECT_FALSE(Has(log, L"GetValidAdapterInfo(): Attempt 4 to get adapter info"));
}

TEST_F(NetworkUtilSimTest, PollingForAnAddressFollowsTheRetrySetting) {
  auto* registry = core::util::Registry::Instance();
  platform::sim::SetTimeScale(1000);
  ASSERT_GE(registry->SetValue(L"PollingIpRetries", 0u, core::util::regtype::kService), 0);
  LogCapture log;
  uint64_t start = platform::GetTickCount64();
  EXPECT_FALSE(util.isIpAddressAvailable());
  EXPECT_GE(platform::GetTickCount64() - start, 1000u);
  EXPECT_TRUE(Has(log, L"isIpAddressAvailable(): Polling IP Max Retries: 0"));
  EXPECT_TRUE(Has(log, L"isIpAddressAvailable(): Polling IP Delay: 1000ms"));
  EXPECT_EQ(CountStarting(log, L"LogIpAddresses()"), 0u);

  ASSERT_GE(registry->SetValue(L"PollingIpRetries", 3u, core::util::regtype::kService), 0);
  SimAdapter apipa = Ethernet("Ethernet0", 5);
  apipa.ipv4 = {{"169.254.7.7", "255.255.0.0"}};
  Save({apipa});
  EXPECT_FALSE(util.isIpAddressAvailable());
  EXPECT_TRUE(Has(log, L"isIpAddressAvailable(): LogIpAddresses Failed: Iteration 3"));
  EXPECT_FALSE(Has(log, L"isIpAddressAvailable(): LogIpAddresses Failed: Iteration 4"));

  // The lease arrives during the second pause (a loaded host may make it a pause later).
  platform::sim::SetTimeScale(5);
  std::thread lease([] {
    platform::Sleep(1500);
    platform::sim::UpdateAdapters(Machine::Directory(), [](std::vector<SimAdapter>& adapters) {
      adapters[0].ipv4 = {{"10.0.0.5", "255.255.255.0"}};
    });
  });
  bool available = util.isIpAddressAvailable();
  lease.join();
  EXPECT_TRUE(available);
  EXPECT_EQ(CountStarting(log, L"isIpAddressAvailable(): LogIpAddresses Failed: Iteration 1"), 2u);
  EXPECT_TRUE(Has(log, L"isIpAddressAvailable(): Got IP Address: Iteration: 2") ||
              Has(log, L"isIpAddressAvailable(): Got IP Address: Iteration: 3"));
}

TEST_F(NetworkUtilSimTest, ReleaseOnShutdownWritesEachEligibleStack) {
  const std::wstring tcpip = L"SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\Interfaces\\";
  const std::wstring tcpip6 = L"SYSTEM\\CurrentControlSet\\services\\Tcpip6\\Parameters\\Interfaces\\";
  SimAdapter dual = Ethernet("Ethernet0", 5);
  dual.ipv6Managed = true;
  SimAdapter noDhcp = Ethernet("Ethernet1", 6);
  noDhcp.dhcpEnabled = false;
  SimAdapter down = Ethernet("Ethernet2", 7);
  down.operStatus = platform::kIfOperStatusDown;
  Save({dual, noDhcp, down});
  const std::wstring dualGuid(dual.name.begin(), dual.name.end());
  const std::wstring noDhcpGuid(noDhcp.name.begin(), noDhcp.name.end());

  LogCapture log;
  EXPECT_FALSE(util.SetIpReleaseOnShutdownState(3, IpProtocolUsage::Dual4));
  EXPECT_TRUE(Has(log, L"SetIpReleaseOnShutdownState(): Invalid IP release state : 3"));
  EXPECT_EQ(ReadDword(tcpip + dualGuid, L"ReleaseOnShutdown"), 0xFFFFFFFFu);

  EXPECT_TRUE(util.SetIpReleaseOnShutdownState(2, IpProtocolUsage::Dual4));
  EXPECT_TRUE(Has(log, L"SetIpReleaseOnShutdownState(): Adapters: 3, Succeeded: 2, Failed: 0, Skipped: 1"));
  EXPECT_TRUE(Has(log, L"SetIpReleaseOnShutdownState(): Setting IP release state for adapter " + dualGuid + L" to 2",
                  LogLevel::Info));
  EXPECT_EQ(ReadDword(tcpip + dualGuid, L"ReleaseOnShutdown"), 2u);
  EXPECT_EQ(ReadDword(tcpip6 + dualGuid, L"Dhcpv6ReleaseOnShutdown"), 2u);
  EXPECT_EQ(ReadDword(tcpip + noDhcpGuid, L"ReleaseOnShutdown"), 0xFFFFFFFFu);

  // IPv4 alone leaves the IPv6 value as it was.
  EXPECT_TRUE(util.SetIpReleaseOnShutdownState(1, IpProtocolUsage::IPv4));
  EXPECT_EQ(ReadDword(tcpip + dualGuid, L"ReleaseOnShutdown"), 1u);
  EXPECT_EQ(ReadDword(tcpip6 + dualGuid, L"Dhcpv6ReleaseOnShutdown"), 2u);

  // A write that cannot be made counts as failed (here: an adapter without a GUID name).
  SimAdapter nameless = dual;
  nameless.name.clear();
  Save({nameless, noDhcp, down});
  EXPECT_FALSE(util.SetIpReleaseOnShutdownState(0, IpProtocolUsage::Dual6));
  EXPECT_TRUE(Has(log, L"SetIpReleaseOnShutdownState(): Adapters: 3, Succeeded: 0, Failed: 2, Skipped: 1"));
  EXPECT_TRUE(Has(log, L"SetIPReleaseOnShutdownReg(): Adapter name cannot be Empty"));
  // The adapter without DHCP is neither succeeded, failed nor skipped.
  Save({noDhcp});
  EXPECT_FALSE(util.SetIpReleaseOnShutdownState(0, IpProtocolUsage::IPv4));
  EXPECT_TRUE(Has(log, L"SetIpReleaseOnShutdownState(): Adapters: 1, Succeeded: 0, Failed: 0, Skipped: 0"));
}

TEST_F(NetworkUtilSimTest, InterfaceKeysExistForAModelWrittenWhileTheMachineWasOff) {
  auto dir = Machine::Directory();
  Machine::Shutdown();
  platform::sim::SaveAdapters(dir, {Ethernet("Ethernet0", 5)});
  Machine::Boot(dir);
  const std::wstring guid = L"{6F1A2B3C-0000-4000-8000-000000000015}";
  EXPECT_TRUE(util.SetIpReleaseOnShutdownState(1, IpProtocolUsage::IPv4));
  EXPECT_EQ(
      ReadDword(L"SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\Interfaces\\" + guid, L"ReleaseOnShutdown"),
      1u);
}

TEST(SimAdapterModelTest, FileFormatRoundTripsAndKeepsOldAndUnknownSettings) {
  auto adapters = platform::sim::ParseAdapters(
      "# old-style adapter\n[adapter]\nname={A}\ndescription=Old\nmac=02-54-56-AA-BB-CC\nindex=3\ntype=6\n"
      "dhcp=0\nip=10.1.2.3/255.0.0.0\ngateway=10.0.0.1\ndhcpServer=10.0.0.9\n"
      "[adapter]\nname={B}\nip6=fe80::1%7\nip6=2001:db8::1\ndns=::1\nflags=0x104\nnoAnswer=1\nassignedMac=02:00:00:00:00:01\n"
      "problem=22\ndriverInstance=0012\nsomeoneElses=value=with=equals\nindex=oops\nmac=zz\r\n");
  ASSERT_EQ(adapters.size(), 2u);
  EXPECT_EQ(adapters[0].physicalAddress, (std::vector<uint8_t>{0x02, 0x54, 0x56, 0xAA, 0xBB, 0xCC}));
  EXPECT_FALSE(adapters[0].dhcpEnabled);
  EXPECT_EQ(adapters[0].Flags(), 0xC3u);
  EXPECT_EQ(adapters[1].ipv6[0].scopeId, 7u);
  EXPECT_EQ(adapters[1].ipv6[0].address, "fe80::1");
  EXPECT_EQ(adapters[1].Flags(), 0x104u);
  EXPECT_TRUE(adapters[1].noAnswer);
  EXPECT_FALSE(adapters[1].Present());
  EXPECT_EQ(adapters[1].driverInstance, 12u);
  EXPECT_EQ(adapters[1].index, 0u);  // a bad number leaves the setting alone
  EXPECT_TRUE(adapters[1].physicalAddress.empty());
  EXPECT_EQ(adapters[1].extra.at("someoneElses"), "value=with=equals");
  auto again = platform::sim::ParseAdapters(platform::sim::PrintAdapters(adapters));
  EXPECT_EQ(platform::sim::PrintAdapters(again), platform::sim::PrintAdapters(adapters));
  SimAdapter adapter;
  EXPECT_FALSE(platform::sim::SetAdapterValue(adapter, "oper", "-1"));
  EXPECT_FALSE(platform::sim::SetAdapterValue(adapter, "enabled", "yes"));
  EXPECT_TRUE(platform::sim::SetAdapterValue(adapter, "oper", "2"));
  EXPECT_EQ(adapter.operStatus, 2u);
}

TEST_F(NetworkUtilSimTest, ConcurrentUpdatesAreNeverLost) {
  Save({Ethernet("Ethernet0", 5)});
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 20; ++i) {
        platform::sim::UpdateAdapters(Machine::Directory(),
                                      [](std::vector<SimAdapter>& adapters) { adapters[0].renewDelayMs += 1; });
      }
    });
  }
  std::atomic<bool> reading{true};
  std::thread reader([&reading] {
    while (reading) {
      auto adapters = platform::sim::LoadAdapters(Machine::Directory());
      EXPECT_EQ(adapters.size(), 1u);
    }
  });
  for (auto& thread : threads) thread.join();
  reading = false;
  reader.join();
  EXPECT_EQ(platform::sim::LoadAdapters(Machine::Directory())[0].renewDelayMs, 120u);
}

}  // namespace
}  // namespace tamber::common::windows::device

namespace velocyn::sim_cli {
namespace {

class NetworkViewTest : public tamber::test::GuestTest {};

TEST_F(NetworkViewTest, CommandLineChangesAdaptersWholeOrNotAtAll) {
  auto dir = tamber::platform::sim::Machine::Directory();
  EXPECT_EQ(AddAdapter(dir, "Ethernet0", {"ip=10.0.0.5/255.0.0.0", "dns=10.0.0.2"}), "");
  EXPECT_EQ(AddAdapter(dir, "Ethernet1", {"oper=2"}), "");
  EXPECT_NE(AddAdapter(dir, "Ethernet0", {}), "");          // the name is taken
  EXPECT_NE(AddAdapter(dir, "Ethernet2", {"type=x"}), "");  // nothing is added
  EXPECT_NE(SetAdapterValues(dir, "Ethernet0", {"noAnswer=1", "renewDelayMs=-5"}), "");
  auto adapters = tamber::platform::sim::LoadAdapters(dir);
  ASSERT_EQ(adapters.size(), 2u);
  EXPECT_FALSE(adapters[0].noAnswer);  // the good half of a bad command was not applied
  EXPECT_NE(adapters[0].name, adapters[1].name);
  EXPECT_NE(adapters[0].physicalAddress, adapters[1].physicalAddress);

  EXPECT_EQ(SetAdapterValues(dir, adapters[1].name, {"oper=1", "ip=", "ip=10.0.0.6/255.0.0.0"}), "");
  EXPECT_EQ(SetAdapterValues(dir, "0", {"noAnswer=1", "lease=169.254.9.9"}), "");
  EXPECT_NE(SetAdapterValues(dir, "7", {"noAnswer=1"}), "");
  adapters = tamber::platform::sim::LoadAdapters(dir);
  EXPECT_TRUE(adapters[0].noAnswer);
  EXPECT_EQ(adapters[1].operStatus, 1u);
  ASSERT_EQ(adapters[1].ipv4.size(), 1u);
  EXPECT_EQ(adapters[1].ipv4[0].address, "10.0.0.6");

  std::ostringstream text, json;
  PrintAdapters(dir, text);
  PrintAdaptersJson(dir, json);
  EXPECT_NE(text.str().find("[1] Ethernet1"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("server does not answer, next lease 169.254.9.9"), std::string::npos) << text.str();
  EXPECT_NE(json.str().find("\"friendlyName\":\"Ethernet0\""), std::string::npos) << json.str();
  EXPECT_EQ(RemoveAdapter(dir, "Ethernet0"), "");
  EXPECT_EQ(tamber::platform::sim::LoadAdapters(dir).size(), 1u);
}

}  // namespace
}  // namespace velocyn::sim_cli
