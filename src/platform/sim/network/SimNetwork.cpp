// Network adapters of the simulated guest and the IP Helper calls over them.
#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/Network.h"
#include "platform/Registry.h"
#include "platform/Types.h"
#include "platform/sim/network/SimAdapters.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"

namespace tamber::platform::sim {
namespace {

const char* kAdaptersFile = "adapters.conf";

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

namespace {

std::mutex& AdaptersLock() {
  static std::mutex lock;
  return lock;
}

std::vector<SimAdapter> LoadUnlocked(const std::filesystem::path& machineDir) {
  std::ifstream in(machineDir / kAdaptersFile, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return ParseAdapters(text.str());
}

bool IsBootedMachine(const std::filesystem::path& machineDir) {
  if (!Machine::IsBooted()) return false;
  std::error_code error;
  return std::filesystem::equivalent(machineDir, Machine::Directory(), error);
}

void SaveUnlocked(const std::filesystem::path& machineDir, const std::vector<SimAdapter>& adapters) {
  auto temp = machineDir / (std::string(kAdaptersFile) + ".tmp");
  {
    std::ofstream out(temp, std::ios::trunc | std::ios::binary);
    out << PrintAdapters(adapters);
  }
  std::filesystem::rename(temp, machineDir / kAdaptersFile);
}

}  // namespace

std::vector<SimAdapter> LoadAdapters(const std::filesystem::path& machineDir) {
  std::lock_guard<std::mutex> guard(AdaptersLock());
  return LoadUnlocked(machineDir);
}

void SaveAdapters(const std::filesystem::path& machineDir, const std::vector<SimAdapter>& adapters) {
  {
    std::lock_guard<std::mutex> guard(AdaptersLock());
    SaveUnlocked(machineDir, adapters);
  }
  if (IsBootedMachine(machineDir)) SeedInterfaceKeys(adapters);
}

std::vector<SimAdapter> UpdateAdapters(const std::filesystem::path& machineDir,
                                       const std::function<void(std::vector<SimAdapter>&)>& change) {
  std::vector<SimAdapter> adapters;
  {
    std::lock_guard<std::mutex> guard(AdaptersLock());
    adapters = LoadUnlocked(machineDir);
    change(adapters);
    SaveUnlocked(machineDir, adapters);
  }
  if (IsBootedMachine(machineDir)) SeedInterfaceKeys(adapters);
  return adapters;
}

void SeedInterfaceKeys(const std::vector<SimAdapter>& adapters) {
  for (const auto& adapter : adapters) {
    if (adapter.name.empty()) continue;
    std::wstring guid(adapter.name.begin(), adapter.name.end());
    for (const wchar_t* stack : {L"Tcpip", L"Tcpip6"}) {
      std::wstring path =
          std::wstring(L"SYSTEM\\CurrentControlSet\\services\\") + stack + L"\\Parameters\\Interfaces\\" + guid;
      HKey key = nullptr;
      if (RegCreateKeyEx(HKeyLocalMachine(), path.c_str(), 0, kKeyAllAccess, &key, nullptr) == kErrorSuccess) {
        RegCloseKey(key);
      }
    }
  }
}

// The adapters the booted machine shows, with their interface keys in place.
std::vector<SimAdapter> PresentAdapters() {
  auto adapters = LoadAdapters(Machine::Directory());
  SeedInterfaceKeys(adapters);
  std::vector<SimAdapter> present;
  for (auto& adapter : adapters) {
    if (adapter.Present()) present.push_back(std::move(adapter));
  }
  return present;
}

namespace {

// A Win32 error code set as a fault (decimal or 0x-hex), if the fault is set.
std::optional<uint32_t> FaultCode(const std::string& name) {
  auto value = FaultPlan::Get(name);
  if (!value) return std::nullopt;
  uint32_t code = 0;
  if (!ParseSettingNumber(*value, &code)) code = kErrorNotEnoughMemory;
  return code;
}

// Lays the list out in one block: records first, then socket addresses, then texts.
class ListBuilder {
 public:
  explicit ListBuilder(uint8_t* base) : base_(base) {}
  // Reserves bytes aligned to 8; with a null base it only counts.
  uint8_t* Take(size_t bytes) {
    used_ = (used_ + 7) & ~size_t{7};
    uint8_t* place = base_ == nullptr ? nullptr : base_ + used_;
    used_ += bytes;
    return place;
  }
  size_t Used() const { return used_; }
  bool Counting() const { return base_ == nullptr; }

 private:
  uint8_t* base_;
  size_t used_ = 0;
};

std::wstring Widen(const std::string& text) {
  // UTF-8 to wide text; the model's texts are mostly ASCII.
  std::wstring result;
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    uint32_t code = byte;
    size_t length = 1;
    if (byte >= 0xF0) {
      code = byte & 0x07;
      length = 4;
    } else if (byte >= 0xE0) {
      code = byte & 0x0F;
      length = 3;
    } else if (byte >= 0xC0) {
      code = byte & 0x1F;
      length = 2;
    }
    if (i + length > text.size()) {
      code = 0xFFFD;
      length = text.size() - i;
    } else {
      for (size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    result.push_back(static_cast<wchar_t>(code));
    i += length;
  }
  return result;
}

// Fills (or counts) a socket address for a textual address; false when the text is no address.
bool PutSocketAddress(ListBuilder& builder, const std::string& text, SocketAddress* target) {
  auto parsed = ParseAddress6(text);
  in6_addr six{};
  in_addr four{};
  if (inet_pton(AF_INET, text.c_str(), &four) == 1) {
    auto* place = reinterpret_cast<SockAddrIn*>(builder.Take(sizeof(SockAddrIn)));
    if (place != nullptr) {
      place->family = kAfInet;
      std::memcpy(place->address, &four, 4);
      target->sockaddr = reinterpret_cast<SockAddr*>(place);
      target->length = sizeof(SockAddrIn);
    }
    return true;
  }
  if (inet_pton(AF_INET6, parsed.address.c_str(), &six) == 1) {
    auto* place = reinterpret_cast<SockAddrIn6*>(builder.Take(sizeof(SockAddrIn6)));
    if (place != nullptr) {
      place->family = kAfInet6;
      std::memcpy(place->address, &six, 16);
      place->scopeId = parsed.scopeId;
      target->sockaddr = reinterpret_cast<SockAddr*>(place);
      target->length = sizeof(SockAddrIn6);
    }
    return true;
  }
  return false;
}

uint16_t FamilyOf(const std::string& text) { return text.find(':') != std::string::npos ? kAfInet6 : kAfInet; }

uint8_t PrefixLength(const std::string& mask) {
  in_addr bits{};
  if (inet_pton(AF_INET, mask.c_str(), &bits) != 1) return 0;
  uint8_t count = 0;
  for (int i = 0; i < 4; ++i) {
    for (uint8_t byte = reinterpret_cast<uint8_t*>(&bits)[i]; byte & 0x80; byte = static_cast<uint8_t>(byte << 1)) {
      ++count;
    }
  }
  return count;
}

wchar_t* PutText(ListBuilder& builder, const std::wstring& text) {
  auto* place = reinterpret_cast<wchar_t*>(builder.Take((text.size() + 1) * sizeof(wchar_t)));
  if (place != nullptr) std::memcpy(place, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return place;
}

char* PutNarrow(ListBuilder& builder, const std::string& text) {
  auto* place = reinterpret_cast<char*>(builder.Take(text.size() + 1));
  if (place != nullptr) std::memcpy(place, text.c_str(), text.size() + 1);
  return place;
}

// Builds the list (or with a null base counts its size).
void BuildList(ListBuilder& builder, const std::vector<SimAdapter>& adapters, uint32_t family) {
  bool wantFour = family == kAfUnspec || family == kAfInet;
  bool wantSix = family == kAfUnspec || family == kAfInet6;
  IpAdapterAddresses* previous = nullptr;
  for (const auto& adapter : adapters) {
    auto* record = reinterpret_cast<IpAdapterAddresses*>(builder.Take(sizeof(IpAdapterAddresses)));
    IpAdapterAddresses scratch{};
    IpAdapterAddresses* r = record != nullptr ? record : &scratch;
    if (previous != nullptr) previous->next = record;
    previous = record;
    r->length = sizeof(IpAdapterAddresses);
    r->ifIndex = adapter.index;
    r->ipv6IfIndex = adapter.ipv6Index;
    r->adapterName = PutNarrow(builder, adapter.name);
    r->description = PutText(builder, Widen(adapter.description));
    r->friendlyName = adapter.friendlyName.empty() ? nullptr : PutText(builder, Widen(adapter.friendlyName));
    r->dnsSuffix = PutText(builder, L"");
    size_t macLength = std::min<size_t>(adapter.physicalAddress.size(), kMaxAdapterAddressLength);
    std::memcpy(r->physicalAddress, adapter.physicalAddress.data(), macLength);
    r->physicalAddressLength = static_cast<uint32_t>(macLength);
    r->flags = adapter.Flags();
    r->mtu = 1500;
    r->ifType = adapter.type;
    r->operStatus = static_cast<int32_t>(adapter.operStatus);
    r->ipv4Metric = adapter.ipv4Metric;
    r->ipv6Metric = adapter.ipv6Metric;
    r->tunnelType = static_cast<int32_t>(adapter.tunnelType);
    r->luid = (static_cast<uint64_t>(adapter.type) << 48) | adapter.index;
    r->compartmentId = 1;
    r->connectionType = 1;

    IpAdapterUnicastAddress* lastUnicast = nullptr;
    auto addUnicast = [&](const std::string& text, uint8_t prefix) {
      auto* entry = reinterpret_cast<IpAdapterUnicastAddress*>(builder.Take(sizeof(IpAdapterUnicastAddress)));
      IpAdapterUnicastAddress entryScratch{};
      IpAdapterUnicastAddress* e = entry != nullptr ? entry : &entryScratch;
      e->length = sizeof(IpAdapterUnicastAddress);
      e->onLinkPrefixLength = prefix;
      e->validLifetime = e->preferredLifetime = e->leaseLifetime = 0xFFFFFFFF;
      e->dadState = 4;  // preferred
      PutSocketAddress(builder, text, &e->address);
      if (entry == nullptr) return;
      if (lastUnicast == nullptr) {
        r->firstUnicastAddress = entry;
      } else {
        lastUnicast->next = entry;
      }
      lastUnicast = entry;
    };
    if (wantSix && adapter.ipv6Index != 0) {
      for (const auto& ip : adapter.ipv6) {
        addUnicast(ip.scopeId == 0 ? ip.address : ip.address + "%" + std::to_string(ip.scopeId), 64);
      }
    }
    if (wantFour && adapter.index != 0) {
      for (const auto& ip : adapter.ipv4) addUnicast(ip.address, PrefixLength(ip.mask));
    }

    IpAdapterDnsServerAddress* lastDns = nullptr;
    for (const auto& dns : adapter.dnsServers) {
      uint16_t dnsFamily = FamilyOf(dns);
      if ((dnsFamily == kAfInet && !wantFour) || (dnsFamily == kAfInet6 && !wantSix)) continue;
      auto* entry = reinterpret_cast<IpAdapterDnsServerAddress*>(builder.Take(sizeof(IpAdapterDnsServerAddress)));
      IpAdapterDnsServerAddress entryScratch{};
      IpAdapterDnsServerAddress* e = entry != nullptr ? entry : &entryScratch;
      e->length = sizeof(IpAdapterDnsServerAddress);
      PutSocketAddress(builder, dns, &e->address);
      if (entry == nullptr) continue;
      if (lastDns == nullptr) {
        r->firstDnsServerAddress = entry;
      } else {
        lastDns->next = entry;
      }
      lastDns = entry;
    }

    IpAdapterGatewayAddress* lastGateway = nullptr;
    auto addGateway = [&](const std::string& text) {
      auto* entry = reinterpret_cast<IpAdapterGatewayAddress*>(builder.Take(sizeof(IpAdapterGatewayAddress)));
      IpAdapterGatewayAddress entryScratch{};
      IpAdapterGatewayAddress* e = entry != nullptr ? entry : &entryScratch;
      e->length = sizeof(IpAdapterGatewayAddress);
      PutSocketAddress(builder, text, &e->address);
      if (entry == nullptr) return;
      if (lastGateway == nullptr) {
        r->firstGatewayAddress = entry;
      } else {
        lastGateway->next = entry;
      }
      lastGateway = entry;
    };
    if (wantFour && adapter.index != 0) {
      for (const auto& gateway : adapter.gateways) addGateway(gateway);
    }
    if (wantSix && adapter.ipv6Index != 0) {
      for (const auto& gateway : adapter.gateways6) {
        addGateway(gateway.scopeId == 0 ? gateway.address : gateway.address + "%" + std::to_string(gateway.scopeId));
      }
    }
    if (!adapter.dhcpServer.empty() && adapter.dhcpEnabled) {
      PutSocketAddress(builder, adapter.dhcpServer, &r->dhcpv4Server);
    }
    if (!adapter.dhcp6Server.empty()) PutSocketAddress(builder, adapter.dhcp6Server, &r->dhcpv6Server);
  }
}

}  // namespace

}  // namespace tamber::platform::sim

namespace tamber::platform {

uint32_t GetAdaptersInfo(IpAdapterInfo* buffer, uint32_t* size) {
  if (size == nullptr) return kErrorInvalidParameter;
  if (!sim::Machine::IsBooted()) return kErrorNotSupported;
  auto adapters = sim::PresentAdapters();
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

uint32_t GetAdaptersAddresses(uint32_t family, uint32_t /*flags*/, void* reserved, IpAdapterAddresses* buffer,
                              uint32_t* size) {
  if (size == nullptr || reserved != nullptr) return kErrorInvalidParameter;
  if (family != kAfUnspec && family != kAfInet && family != kAfInet6) return kErrorInvalidParameter;
  if (!sim::Machine::IsBooted()) return kErrorNotSupported;
  if (auto code = sim::FaultCode(buffer == nullptr ? "GetAdaptersAddresses.size" : "GetAdaptersAddresses.fill")) {
    return *code;
  }
  auto adapters = sim::PresentAdapters();
  if (adapters.empty()) return kErrorNoData;
  sim::ListBuilder counter(nullptr);
  sim::BuildList(counter, adapters, family);
  const size_t needed = counter.Used();
  if (buffer == nullptr || *size < needed) {
    *size = static_cast<uint32_t>(needed);
    return kErrorBufferOverflow;
  }
  std::memset(static_cast<void*>(buffer), 0, needed);
  sim::ListBuilder builder(reinterpret_cast<uint8_t*>(buffer));
  sim::BuildList(builder, adapters, family);
  return kErrorSuccess;
}

Handle GetProcessHeap() {
  static int heap;
  return &heap;
}

void* HeapAlloc(Handle heap, uint32_t flags, size_t bytes) {
  if (heap != GetProcessHeap()) return nullptr;
  if (sim::Machine::IsBooted() && sim::FaultPlan::IsSet("HeapAlloc")) return nullptr;
  void* memory = std::malloc(bytes == 0 ? 1 : bytes);
  if (memory != nullptr && (flags & kHeapZeroMemory) != 0) std::memset(memory, 0, bytes);
  return memory;
}

bool HeapFree(Handle heap, uint32_t /*flags*/, void* memory) {
  if (heap != GetProcessHeap()) return false;
  std::free(memory);
  return true;
}

}  // namespace tamber::platform
