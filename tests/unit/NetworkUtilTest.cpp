// The network read side on hand-built adapter records and the machine's registry: address texts
// (held against the system's own formatters where there are any), validation rules, filtering, the
// logged names, the protocol usage setting and the release-on-shutdown values. Runs in both tiers.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "common/device/IpAddressText.h"
#include "common/device/Util.h"
#include "common/util/Utf16.h"
#include "platform/Network.h"
#include "platform/Registry.h"
#include "support/SystemAddressText.h"
#include "support/TestEnvironment.h"

namespace tamber::common::windows::device {
namespace {

using framework::log::LogLevel;
using platform::IpAdapterAddresses;
using test::LogCapture;

const std::wstring kPrefix = L"tamber::common::windows::device::Util::";

// IPv6 address bytes from its eight groups.
std::vector<uint8_t> V6(std::initializer_list<uint16_t> groups) {
  std::vector<uint8_t> bytes;
  for (uint16_t group : groups) {
    bytes.push_back(static_cast<uint8_t>(group >> 8));
    bytes.push_back(static_cast<uint8_t>(group));
  }
  return bytes;
}

// One adapter record with the records and socket addresses it points to, kept alive together.
class FakeAdapter {
 public:
  FakeAdapter() {
    record.ifType = platform::kIfTypeEthernetCsmacd;
    record.operStatus = static_cast<int32_t>(platform::kIfOperStatusUp);
    record.adapterName = guid_;
    record.friendlyName = friendly_;
  }
  FakeAdapter(const FakeAdapter&) = delete;

  void AddUnicast4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    Link(unicast_, &record.firstUnicastAddress).address = Socket4(a, b, c, d);
  }
  void AddUnicast6(const std::vector<uint8_t>& bytes, uint32_t scope) {
    Link(unicast_, &record.firstUnicastAddress).address = Socket6(bytes, scope);
  }
  void AddDns4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    Link(dns_, &record.firstDnsServerAddress).address = Socket4(a, b, c, d);
  }
  void AddDns6(const std::vector<uint8_t>& bytes, uint32_t scope) {
    Link(dns_, &record.firstDnsServerAddress).address = Socket6(bytes, scope);
  }
  void AddGateway4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    Link(gateways_, &record.firstGatewayAddress).address = Socket4(a, b, c, d);
  }
  void AddGateway6(const std::vector<uint8_t>& bytes, uint32_t scope) {
    Link(gateways_, &record.firstGatewayAddress).address = Socket6(bytes, scope);
  }

  IpAdapterAddresses record{};

 private:
  template <class T, class Head>
  T& Link(std::deque<T>& store, Head** head) {
    store.emplace_back();
    T& entry = store.back();
    if (*head == nullptr) {
      *head = &entry;
    } else {
      Head* last = *head;
      while (last->next != nullptr) last = last->next;
      last->next = &entry;
    }
    return entry;
  }
  platform::SocketAddress Socket4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    v4_.emplace_back();
    auto& sockaddr = v4_.back();
    sockaddr.family = platform::kAfInet;
    sockaddr.address[0] = a;
    sockaddr.address[1] = b;
    sockaddr.address[2] = c;
    sockaddr.address[3] = d;
    return {reinterpret_cast<platform::SockAddr*>(&sockaddr), sizeof(sockaddr)};
  }
  platform::SocketAddress Socket6(const std::vector<uint8_t>& bytes, uint32_t scope) {
    v6_.emplace_back();
    auto& sockaddr = v6_.back();
    sockaddr.family = platform::kAfInet6;
    std::memcpy(sockaddr.address, bytes.data(), 16);
    sockaddr.scopeId = scope;
    return {reinterpret_cast<platform::SockAddr*>(&sockaddr), sizeof(sockaddr)};
  }

  char guid_[40] = "{11111111-2222-3333-4444-555555555555}";
  wchar_t friendly_[16] = L"Ethernet0";
  std::deque<platform::IpAdapterUnicastAddress> unicast_;
  std::deque<platform::IpAdapterDnsServerAddress> dns_;
  std::deque<platform::IpAdapterGatewayAddress> gateways_;
  std::deque<platform::SockAddrIn> v4_;
  std::deque<platform::SockAddrIn6> v6_;
};

class NetworkUtilTest : public test::GuestTest {
 protected:
  // The texts logged since the capture began, prefix removed, in order.
  static std::vector<std::wstring> Texts(const LogCapture& log) {
    std::vector<std::wstring> texts;
    for (const auto& entry : log.Entries()) {
      if (entry.text.rfind(kPrefix, 0) == 0) texts.push_back(entry.text.substr(kPrefix.size()));
    }
    return texts;
  }
  Util util;
};

TEST(IpAddressTextTest, PrintsAddressesAsWindowsDoes) {
  const uint8_t v4[] = {192, 168, 0, 255};
  EXPECT_EQ(Ipv4AddressToString(v4), L"192.168.0.255");
  struct Case {
    std::vector<uint8_t> bytes;
    uint32_t scope;
    uint16_t port;  // network order
    const wchar_t* text;
  };
  const Case cases[] = {
      {V6({0, 0, 0, 0, 0, 0, 0, 0}), 0, 0, L"::"},
      {V6({0, 0, 0, 0, 0, 0, 0, 1}), 0, 0, L"::1"},
      {V6({1, 0, 0, 0, 0, 0, 0, 0}), 0, 0, L"1::"},
      {V6({0xfe80, 0, 0, 0, 0x1c2d, 0x3e4f, 0x5a6b, 0x7c8d}), 12, 0, L"fe80::1c2d:3e4f:5a6b:7c8d%12"},
      {V6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), 0, 0, L"2001:db8::1:0:0:1"},  // equal runs: the first
      {V6({0x2001, 0, 0, 1, 0, 0, 0, 1}), 0, 0, L"2001:0:0:1::1"},          // the longest run
      {V6({1, 0, 1, 0, 1, 0, 1, 0}), 0, 0, L"1:0:1:0:1:0:1:0"},             // single zeros stay
      {V6({0x2001, 0xDB8, 0xABCD, 0x12, 0, 0, 0, 0xF}), 0, 0, L"2001:db8:abcd:12::f"},
      {V6({0, 0, 0, 0, 0, 0xffff, 0x0102, 0x0304}), 0, 0, L"::ffff:1.2.3.4"},
      {V6({0, 0, 0, 0, 0, 0, 0x0102, 0x0304}), 0, 0, L"::1.2.3.4"},
      {V6({0, 0, 0, 0, 0xffff, 0, 0x0102, 0x0304}), 0, 0, L"::ffff:0:1.2.3.4"},
      {V6({0xfe80, 0, 0, 0, 0, 0x5efe, 0x0a00, 0x0001}), 3, 0, L"fe80::5efe:10.0.0.1%3"},
      {V6({0xfe80, 0, 0, 0, 0x200, 0x5efe, 0x0a00, 0x0001}), 0, 0, L"fe80::200:5efe:10.0.0.1"},
      {V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 12, 0x5000, L"[fe80::1%12]:80"},
      {V6({0, 0, 0, 0, 0, 0xffff, 0, 0x0a01}), 0, 0, L"::ffff:0:a01"},  // upper half zero: hex
      {V6({0, 0, 0, 0, 0, 0x5efe, 0, 0}), 0, 0, L"::5efe:0.0.0.0"},     // ISATAP: always dotted
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ipv6AddressToString(c.bytes.data(), c.scope, c.port), c.text);
    std::wstring system;
    if (test::SystemIpv6AddressText(c.bytes.data(), c.scope, c.port, &system)) {
      EXPECT_EQ(Ipv6AddressToString(c.bytes.data(), c.scope, c.port), system) << "system: " << c.text;
    }
  }
}

TEST(IpAddressTextTest, MatchesTheSystemOnRandomAddresses) {
  std::wstring probe;
  const uint8_t zero[16] = {};
  if (!test::SystemIpv6AddressText(zero, 0, 0, &probe)) GTEST_SKIP() << "no system formatter on this guest";
  std::mt19937 random(20261206);
  int mismatches = 0;
  for (int i = 0; i < 20000; ++i) {
    // Mostly zero groups, so that runs, ties and the embedded IPv4 forms come up often.
    uint8_t bytes[16];
    for (int g = 0; g < 8; ++g) {
      uint32_t pick = random() % 8;
      uint16_t group = pick < 4 ? 0 : pick == 4 ? 0xffff : pick == 5 ? 0x5efe : static_cast<uint16_t>(random());
      bytes[2 * g] = static_cast<uint8_t>(group >> 8);
      bytes[2 * g + 1] = static_cast<uint8_t>(group);
    }
    uint32_t scope = random() % 3 == 0 ? random() : 0;
    uint16_t port = random() % 4 == 0 ? static_cast<uint16_t>(random()) : 0;
    std::wstring system;
    ASSERT_TRUE(test::SystemIpv6AddressText(bytes, scope, port, &system));
    if (Ipv6AddressToString(bytes, scope, port) != system) {
      ADD_FAILURE() << "ours " << ::testing::PrintToString(Ipv6AddressToString(bytes, scope, port)) << ", system "
                    << ::testing::PrintToString(system);
      if (++mismatches == 20) return;
    }
    std::wstring system4;
    ASSERT_TRUE(test::SystemIpv4AddressText(bytes + 12, &system4));
    ASSERT_EQ(Ipv4AddressToString(bytes + 12), system4);
  }
}

TEST_F(NetworkUtilTest, Ipv4ListsAreValidOnlyWhenEveryAddressIsUsable) {
  EXPECT_TRUE(util.ValidateIPv4Addresses({L"10.0.0.5"}));
  LogCapture log;
  // One APIPA address spoils a list that also holds a good one.
  EXPECT_FALSE(util.ValidateIPv4Addresses({L"10.0.0.5", L"169.254.1.1"}));
  EXPECT_EQ(Texts(log), (std::vector<std::wstring>{L"ValidateIPv4Addresses(): IPv4 Address Is Valid: 10.0.0.5",
                                                   L"ValidateIPv4Addresses(): IPv4 Local Address: 169.254.1.1",
                                                   L"ValidateIPv4Addresses(): No Valid IPv4 Addresses Found"}));
  EXPECT_FALSE(util.ValidateIPv4Addresses({}));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateIPv4Addresses(): No IPv4 Addresses To Validate"));
}

TEST_F(NetworkUtilTest, NoneFoundOrAnEmptyTextEndsTheWalkAtOnce) {
  LogCapture log;
  EXPECT_FALSE(util.ValidateIPv4Addresses({L"None Found", L"10.0.0.5"}));
  EXPECT_FALSE(util.ValidateIPv6Addresses({L"2001:db8::5", L"None Found", L"2001:db8::6"}, false));
  EXPECT_FALSE(util.ValidateIPv6Addresses({L"", L"2001:db8::7"}, false));
  EXPECT_EQ(Texts(log), (std::vector<std::wstring>{L"ValidateIPv4Addresses(): IPv4 Address Not Assigned: None Found",
                                                   L"ValidateIPv6Addresses(): IPv6 Address Is Valid: 2001:db8::5",
                                                   L"ValidateIPv6Addresses(): IPv6 Address Not Assigned: None Found",
                                                   L"ValidateIPv6Addresses(): IPv6 Addresses Is Empty"}));
}

TEST_F(NetworkUtilTest, LinkLocalOnlyIpv6IsInvalidExceptForGateways) {
  LogCapture log;
  EXPECT_FALSE(util.ValidateIPv6Addresses({L"fe80::1%12"}, /*linkLocalOnlyIsInvalid=*/true));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateIPv6Addresses(): Found Only IPv6 Link-Local Address"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateIPv6Addresses(): IPv6 Addresses Invalid"));
  EXPECT_TRUE(util.ValidateIPv6Addresses({L"fe80::1%12"}, /*linkLocalOnlyIsInvalid=*/false));
  EXPECT_TRUE(util.ValidateIPv6Addresses({L"fe80::1%12", L"2001:db8::5"}, true));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateIPv6Addresses(): IPv6 Addresses Valid"));
  // Only the lower-case prefix is link-local.
  EXPECT_TRUE(util.ValidateIPv6Addresses({L"FE80::1"}, true));

  FakeAdapter adapter;
  adapter.AddUnicast6(V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 12);
  adapter.AddGateway6(V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 12);
  EXPECT_FALSE(util.ValidateUnicastAddresses(&adapter.record, nullptr));
  EXPECT_TRUE(util.ValidateGatewayIP(&adapter.record));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateGatewayIP(): IPv6 Gateway Address[0]: fe80::1%12"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateGatewayIP(): Found Valid IPv6 Gateway Address Only"));
}

TEST_F(NetworkUtilTest, AdapterValidationFillsTheListsAndNamesWhatItFound) {
  FakeAdapter adapter;
  adapter.AddUnicast6(V6({0xfe80, 0, 0, 0, 0, 0, 0, 0x5}), 0x20000007);
  adapter.AddUnicast4(10, 0, 0, 5);
  adapter.AddUnicast6(V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0x5}), 0);
  adapter.AddDns4(10, 0, 0, 2);
  adapter.AddDns6(V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0x53}), 0);
  adapter.AddDns4(10, 0, 0, 3);
  AddressLists lists;
  lists.ipv4Unicast = {L"10.9.9.9"};  // appended to, never cleared
  LogCapture log;
  EXPECT_TRUE(util.ValidateUnicastAddresses(&adapter.record, &lists));
  EXPECT_TRUE(util.ValidateDnsAddresses(&adapter.record, &lists));
  EXPECT_EQ(lists.ipv4Unicast, (std::vector<std::wstring>{L"10.9.9.9", L"10.0.0.5"}));
  EXPECT_EQ(lists.ipv6Unicast, (std::vector<std::wstring>{L"fe80::5%536870919", L"2001:db8::5"}));
  EXPECT_EQ(lists.ipv4Dns, (std::vector<std::wstring>{L"10.0.0.2", L"10.0.0.3"}));
  EXPECT_EQ(lists.ipv6Dns, (std::vector<std::wstring>{L"2001:db8::53"}));
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"ValidateUnicastAddresses(): IPv6 Address: fe80::5%536870919, Level: 2, Zone: 7, Value: 536870919, Scope Id: 536870919"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateUnicastAddresses(): DHCP4 Address: Empty"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateUnicastAddresses(): Found Valid IPv4 and IPv6 Addresses"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateDnsAddresses(): IPv6 Dns Server Address[1]: 2001:db8::53"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateDnsAddresses(): IPv4 Dns Server Address[2]: 10.0.0.3"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateDnsAddresses(): Found Valid DNS IPv4 and IPv6 Addresses"));

  FakeAdapter bare;
  EXPECT_FALSE(util.ValidateUnicastAddresses(&bare.record, &lists));
  EXPECT_FALSE(util.ValidateDnsAddresses(&bare.record, &lists));
  EXPECT_FALSE(util.ValidateGatewayIP(&bare.record));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateUnicastAddresses(): Unicast Addresses not found"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateDnsAddresses(): Skipping Adapter Without DNS Server Address"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateGatewayIP(): Gateway Address: None Found"));

  // A DNS server list of one link-local address is no DNS server at all.
  FakeAdapter linkLocalDns;
  linkLocalDns.AddDns6(V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 4);
  EXPECT_FALSE(util.ValidateDnsAddresses(&linkLocalDns.record, nullptr));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"ValidateDnsAddresses(): Skipping adapter with No Valid DNS IP Address"));
}

TEST_F(NetworkUtilTest, FilterSkipsDownIsatapAndOtherTypesInThatOrder) {
  FakeAdapter adapter;
  EXPECT_FALSE(util.FilterAdapter(&adapter.record));
  adapter.record.ifType = platform::kIfTypeIeee80211;
  EXPECT_FALSE(util.FilterAdapter(&adapter.record));
  LogCapture log;
  adapter.record.ifType = platform::kIfTypeSoftwareLoopback;
  EXPECT_TRUE(util.FilterAdapter(&adapter.record));
  adapter.record.tunnelType = static_cast<int32_t>(platform::kTunnelTypeIsatap);
  EXPECT_TRUE(util.FilterAdapter(&adapter.record));
  adapter.record.operStatus = static_cast<int32_t>(platform::kIfOperStatusDown);
  EXPECT_TRUE(util.FilterAdapter(&adapter.record));
  EXPECT_EQ(Texts(log), (std::vector<std::wstring>{L"FilterAdapter(): Skipping Adapter With Invalid Type",
                                                   L"FilterAdapter(): Skipping Isatap Adapter",
                                                   L"FilterAdapter(): Skipping Disabled Adapter"}));
}

TEST_F(NetworkUtilTest, LogsMacAndAdapterDetailsByName) {
  FakeAdapter adapter;
  const uint8_t mac[8] = {0x02, 0x54, 0x56, 0xAB, 0x0C, 0xEF, 0x12, 0x34};
  std::memcpy(adapter.record.physicalAddress, mac, 8);
  EXPECT_EQ(util.FormatMacAddress(adapter.record.physicalAddress), L"02-54-56-ab-0c-ef");
  adapter.record.flags = 0x185 | 0x400;  // an unnamed bit is left out
  adapter.record.operStatus = 7;
  adapter.record.ifType = 53;
  adapter.record.tunnelType = 14;
  wchar_t description[] = L"Virtual Ethernet Adapter";
  adapter.record.description = description;
  LogCapture log;
  util.LogMacAddress(&adapter.record);
  util.LogAdapterInfo(&adapter.record);
  EXPECT_EQ(Texts(log), (std::vector<std::wstring>{
                            L"LogMacAddress(): Mac Address: 02:54:56:ab:0c:ef:12:34",
                            L"LogAdapterInfo(): Friendly Name: Ethernet0",
                            L"LogAdapterInfo(): Adapter Name: {11111111-2222-3333-4444-555555555555}",
                            L"LogAdapterInfo(): Description: Virtual Ethernet Adapter",
                            L"LogAdapterInfo(): Flags (0x585): IP_ADAPTER_DDNS_ENABLED | IP_ADAPTER_DHCP_ENABLED | "
                            L"IP_ADAPTER_IPV4_ENABLED | IP_ADAPTER_IPV6_ENABLED",
                            L"LogAdapterInfo(): Operational Status (0x7): IfOperStatusLowerLayerDown",
                            L"LogAdapterInfo(): IF Type (53): UNKNOWN",
                            L"LogAdapterInfo(): Tunnel Type (14): TUNNEL_TYPE_TEREDO",
                        }));
}

// The protocol usage setting in the machine's registry.
class IpProtocolUsageTest : public NetworkUtilTest {
 protected:
  static void Write(const std::wstring& text) {
    platform::HKey key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), L"Software\\Talvora\\Quorvel", 0,
                                       platform::kKeyAllAccess, &key, nullptr),
              platform::kErrorSuccess);
    auto bytes = util::ToUtf16LeBytes(text);
    EXPECT_EQ(platform::RegSetValueEx(key, L"IpProtocolUsage", platform::kRegSz, bytes.data(),
                                      static_cast<uint32_t>(bytes.size())),
              platform::kErrorSuccess);
    platform::RegCloseKey(key);
  }
};

TEST_F(IpProtocolUsageTest, ReadsTheTextCaseInsensitively) {
  LogCapture log;
  EXPECT_EQ(util.GetRegIpProtocolUsage(), IpProtocolUsage::Unknown);
  EXPECT_TRUE(log.Contains(LogLevel::Error,
                           L"GetRegIpProtocolUsage(): Failed Opening Key: Software\\Talvora\\Quorvel, 0x80070002"));
  Write(L"dual6");
  EXPECT_EQ(util.GetRegIpProtocolUsage(), IpProtocolUsage::Dual6);
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"GetRegIpProtocolUsage(): IP Protocol Usage: dual6"));
  Write(L"IPV6");
  EXPECT_EQ(util.GetRegIpProtocolUsage(), IpProtocolUsage::IPv6);
  Write(L"Dual");
  EXPECT_EQ(util.GetRegIpProtocolUsage(), IpProtocolUsage::Unknown);
  Write(L"IPv4 ");
  EXPECT_EQ(util.GetRegIpProtocolUsage(), IpProtocolUsage::Unknown);

  platform::HKey key = nullptr;
  ASSERT_EQ(platform::RegOpenKeyEx(platform::HKeyLocalMachine(), L"Software\\Talvora\\Quorvel", 0,
                                   platform::kKeyAllAccess, &key),
            platform::kErrorSuccess);
  platform::RegDeleteValue(key, L"IpProtocolUsage");
  const uint8_t dword[4] = {1, 0, 0, 0};
  platform::RegSetValueEx(key, L"IpProtocolUsage", platform::kRegDword, dword, 4);
  platform::RegCloseKey(key);
  EXPECT_EQ(util.GetRegIpProtocolUsage(), IpProtocolUsage::Unknown);
  EXPECT_TRUE(log.Contains(LogLevel::Debug,
                           L"GetRegIpProtocolUsage(): Failed to read IpProtocolUsage from Software\\Talvora\\Quorvel"));
}

TEST(IpProtocolUsageRules, IncludesEachStackAsDocumented) {
  const bool ipv4[] = {true, false, true, true, false, false};
  const bool ipv6[] = {false, true, true, true, false, false};
  for (uint32_t value = 0; value < 6; ++value) {
    EXPECT_EQ(IncludesIPv4(static_cast<IpProtocolUsage>(value)), ipv4[value]) << value;
    EXPECT_EQ(IncludesIPv6(static_cast<IpProtocolUsage>(value)), ipv6[value]) << value;
  }
  EXPECT_STREQ(IpProtocolUsageText(static_cast<IpProtocolUsage>(9)), L"Unknown");
}

TEST_F(NetworkUtilTest, ReleaseOnShutdownGoesToTheInterfaceKeyOfEachStack) {
  const std::wstring guid = L"{0D1C2B3A-4F5E-4A6B-8C7D-9E0F1A2B3C4D}";
  const std::wstring v4Path = L"SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\Interfaces\\" + guid;
  const std::wstring v6Path = L"SYSTEM\\CurrentControlSet\\services\\Tcpip6\\Parameters\\Interfaces\\" + guid;
  LogCapture log;
  EXPECT_FALSE(util.SetIPReleaseOnShutdownReg(guid, 1, IpProtocolUsage::IPv4));
  EXPECT_TRUE(
      log.Contains(LogLevel::Debug, L"SetIPReleaseOnShutdownReg(): Failed Opening Key: " + v4Path + L", 0x80070002"));
  EXPECT_FALSE(util.SetIPReleaseOnShutdownReg(L"", 1, IpProtocolUsage::IPv4));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"SetIPReleaseOnShutdownReg(): Adapter name cannot be Empty"));
  EXPECT_FALSE(util.SetIPReleaseOnShutdownReg(guid, 1, IpProtocolUsage::Dual4));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"SetIPReleaseOnShutdownReg(): Unsupported IP Version: 2"));

  for (const auto& path : {v4Path, v6Path}) {
    platform::HKey key = nullptr;
    ASSERT_EQ(
        platform::RegCreateKeyEx(platform::HKeyLocalMachine(), path.c_str(), 0, platform::kKeyAllAccess, &key, nullptr),
        platform::kErrorSuccess);
    platform::RegCloseKey(key);
  }
  EXPECT_TRUE(util.SetIPReleaseOnShutdownReg(guid, 2, IpProtocolUsage::IPv4));
  EXPECT_TRUE(util.SetIPReleaseOnShutdownReg(guid, 0, IpProtocolUsage::IPv6));
  EXPECT_TRUE(
      log.Contains(LogLevel::Debug,
                   L"SetIPReleaseOnShutdownReg(): IPv4 release on shutdown state for adapter " + guid + L" set to 2"));
  auto read = [](const std::wstring& path, const wchar_t* name) {
    platform::HKey key = nullptr;
    uint32_t value = 99;
    uint32_t size = 4;
    uint32_t type = 0;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path.c_str(), 0, platform::kKeyRead, &key) == 0) {
      platform::RegQueryValueEx(key, name, &type, reinterpret_cast<uint8_t*>(&value), &size);
      platform::RegCloseKey(key);
    }
    EXPECT_EQ(type, platform::kRegDword);
    return value;
  };
  EXPECT_EQ(read(v4Path, L"ReleaseOnShutdown"), 2u);
  EXPECT_EQ(read(v6Path, L"Dhcpv6ReleaseOnShutdown"), 0u);
  for (const auto& path : {v4Path, v6Path}) platform::RegDeleteTree(platform::HKeyLocalMachine(), path.c_str());
}

// The machine's own adapters: whatever they are, each one is listed whole and the loopback and tunnel
// interfaces never count.
TEST_F(NetworkUtilTest, ListsTheMachinesAdaptersAndKeepsOnlyConnectedEthernetOrWireless) {
  AdapterList adapters = util.GetAdapters();
  if (adapters == nullptr) GTEST_SKIP() << "this guest has no adapter";
  for (const IpAdapterAddresses* adapter = adapters.get(); adapter != nullptr; adapter = adapter->next) {
    ASSERT_NE(adapter->adapterName, nullptr);
    EXPECT_EQ(adapter->adapterName[0], '{') << adapter->adapterName;
    bool kept = !util.FilterAdapter(adapter);
    bool usable =
        adapter->operStatus == 1 && adapter->tunnelType != 13 && (adapter->ifType == 6 || adapter->ifType == 71);
    EXPECT_EQ(kept, usable) << adapter->adapterName;
    if (adapter->ifType == platform::kIfTypeSoftwareLoopback) {
      EXPECT_FALSE(kept);
    }
    for (auto* unicast = adapter->firstUnicastAddress; unicast != nullptr; unicast = unicast->next) {
      EXPECT_FALSE(Util::AddressText(unicast->address).empty());
    }
  }
  bool found = true;
  util.LogIpAddresses(&found, nullptr);  // must walk the real list without fault
}

}  // namespace
}  // namespace tamber::common::windows::device
