// IPv4 release and renewal on the simulated guest's adapters, and the system's message texts.
#include "platform/sim/network/SimIpRenewal.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/Clock.h"
#include "platform/IpRenewal.h"
#include "platform/Types.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/network/SimAdapters.h"

namespace tamber::platform::sim {
namespace {

constexpr const char* kReleasedLease = "releasedLease";  // kept on the adapter: what a renewal gives back

std::optional<uint32_t> Number(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  try {
    size_t used = 0;
    const bool hex = text->size() > 2 && (*text)[0] == '0' && ((*text)[1] == 'x' || (*text)[1] == 'X');
    unsigned long value = std::stoul(*text, &used, hex ? 16 : 10);
    if (used != text->size() || value > 0xFFFFFFFFul) return std::nullopt;
    return static_cast<uint32_t>(value);
  } catch (...) {
    return std::nullopt;
  }
}

bool IsApipa(const std::string& address) { return address.rfind("169.254.", 0) == 0; }

bool HoldsLease(const SimAdapter& adapter) {
  for (const auto& ip : adapter.ipv4) {
    if (!IsApipa(ip.address) && ip.address != "0.0.0.0" && !ip.address.empty()) return true;
  }
  return false;
}

// The adapter the index map names: a present adapter with that IPv4 interface index.
SimAdapter* FindByIndex(std::vector<SimAdapter>& adapters, uint32_t index) {
  if (index == 0) return nullptr;
  for (auto& adapter : adapters) {
    if (adapter.Present() && adapter.index == index) return &adapter;
  }
  return nullptr;
}

// The autoconfiguration address the stack picks when no server answers, stable per adapter.
SimAdapter::Address ApipaAddress(const SimAdapter& adapter) {
  uint32_t a = 0, b = 0;
  const auto& mac = adapter.physicalAddress;
  if (mac.size() >= 2) {
    a = mac[mac.size() - 2];
    b = mac[mac.size() - 1];
  }
  char text[32];
  std::snprintf(text, sizeof(text), "169.254.%u.%u", 1 + a % 254, 1 + b % 254);
  return {text, "255.255.0.0"};
}

SimAdapter::Address ParseLease(const std::string& text) {
  auto slash = text.find('/');
  if (slash == std::string::npos) return {text, "255.255.255.0"};
  return {text.substr(0, slash), text.substr(slash + 1)};
}

// UpdateAdapters that reports a machine directory gone (removed under a late call) instead of throwing.
bool TryUpdate(const std::filesystem::path& machine, const std::function<void(std::vector<SimAdapter>&)>& change) {
  try {
    UpdateAdapters(machine, change);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void HangWhileFaultSet(const std::string& call) {
  while (FaultPlan::IsSet(call + ".hang")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (auto ms = Number(FaultPlan::Get(call + ".hangMs"))) Sleep(*ms);
}

uint32_t AnswerDelayMs(const std::string& fault, uint32_t adapterDelayMs) {
  auto value = FaultPlan::Get(fault);
  if (!value || value->empty()) return adapterDelayMs;
  // A list answers successive renewals on this machine (in this process) in turn; its last entry stands for all later
  // ones.
  std::vector<std::string> entries;
  size_t begin = 0;
  for (;;) {
    size_t comma = value->find(',', begin);
    entries.push_back(value->substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  size_t turn = 0;
  {
    static std::mutex lock;
    static std::map<std::string, size_t> turns;  // of the machine last asked
    static std::string bootKey;
    std::lock_guard<std::mutex> guard(lock);
    std::string machine = Machine::Directory().string();
    if (machine != bootKey) {
      turns.clear();
      bootKey = machine;
    }
    turn = turns[fault]++;
  }
  const std::string& entry = entries[turn < entries.size() ? turn : entries.size() - 1];
  if (auto ms = Number(entry)) return *ms;
  return adapterDelayMs;
}

}  // namespace tamber::platform::sim

namespace tamber::platform {

uint32_t IpReleaseAddress(const IpAdapterIndexMap* map) {
  if (map == nullptr) return kErrorInvalidParameter;
  if (!sim::Machine::IsBooted()) return kErrorNotSupported;
  if (auto code = sim::Number(sim::FaultPlan::Get("IpReleaseAddress"))) return *code;
  uint32_t result = kErrorSuccess;
  const std::filesystem::path machine = sim::Machine::Directory();
  if (!sim::TryUpdate(machine, [&](std::vector<sim::SimAdapter>& adapters) {
        sim::SimAdapter* adapter = sim::FindByIndex(adapters, map->index);
        if (adapter == nullptr || !adapter->dhcpEnabled) {
          result = kErrorInvalidParameter;
          return;
        }
        if (!sim::HoldsLease(*adapter)) {
          result = kErrorAddressNotAssociated;
          return;
        }
        for (const auto& ip : adapter->ipv4) {
          if (!sim::IsApipa(ip.address)) {
            adapter->extra[sim::kReleasedLease] = ip.address + "/" + ip.mask;
            break;
          }
        }
        adapter->ipv4.clear();
        adapter->dhcpServer.clear();
      })) {
    return kErrorNotSupported;
  }
  return result;
}

uint32_t IpRenewAddress(const IpAdapterIndexMap* map) {
  if (map == nullptr) return kErrorInvalidParameter;
  if (!sim::Machine::IsBooted()) return kErrorNotSupported;
  const std::filesystem::path machine = sim::Machine::Directory();
  std::optional<sim::SimAdapter> found;
  {
    auto adapters = sim::LoadAdapters(machine);
    if (sim::SimAdapter* adapter = sim::FindByIndex(adapters, map->index)) found = *adapter;
  }
  if (!found || !found->dhcpEnabled) return kErrorInvalidParameter;

  sim::HangWhileFaultSet("IpRenewAddress");
  Sleep(sim::AnswerDelayMs("dhcp.answerDelayMs", found->renewDelayMs));
  if (auto code = sim::Number(sim::FaultPlan::Get("IpRenewAddress"))) return *code;
  const bool noAnswer = found->noAnswer || sim::FaultPlan::IsSet("dhcp.noAnswer");

  // A renewal that outlived its boot (the machine went down while it waited) changes nothing.
  if (!sim::Machine::IsBooted() || sim::Machine::Directory() != machine) return kErrorNotSupported;
  uint32_t result = kErrorSuccess;
  if (!sim::TryUpdate(machine, [&](std::vector<sim::SimAdapter>& adapters) {
        sim::SimAdapter* adapter = sim::FindByIndex(adapters, map->index);
        if (adapter == nullptr) {  // gone while the request was out
          result = kErrorInvalidParameter;
          return;
        }
        std::string lease = adapter->leaseAddress;
        if (lease.empty()) {
          for (const auto& ip : adapter->ipv4) {
            if (!sim::IsApipa(ip.address) && ip.address != "0.0.0.0") {
              lease = ip.address + "/" + ip.mask;
              break;
            }
          }
        }
        if (lease.empty() && adapter->extra.count(sim::kReleasedLease) != 0)
          lease = adapter->extra[sim::kReleasedLease];
        if (noAnswer || lease.empty()) {
          adapter->ipv4 = {sim::ApipaAddress(*adapter)};
          adapter->dhcpServer.clear();
          result = kErrorSemTimeout;
          return;
        }
        adapter->ipv4 = {sim::ParseLease(lease)};
        adapter->extra.erase(sim::kReleasedLease);
        result = kErrorSuccess;
      })) {
    return kErrorNotSupported;
  }
  return result;
}

std::wstring FormatSystemMessage(uint32_t code) {
  switch (code) {
    case kErrorSuccess:
      return L"The operation completed successfully.\r\n";
    case kErrorFileNotFound:
      return L"The system cannot find the file specified.\r\n";
    case kErrorAccessDenied:
      return L"Access is denied.\r\n";
    case kErrorNotEnoughMemory:
      return L"Not enough memory resources are available to process this command.\r\n";
    case kErrorGenFailure:
      return L"A device attached to the system is not functioning.\r\n";
    case kErrorNotSupported:
      return L"The request is not supported.\r\n";
    case kErrorInvalidParameter:
      return L"The parameter is incorrect.\r\n";
    case kErrorSemTimeout:
      return L"The semaphore timeout period has expired.\r\n";
    case kErrorNotFound:
      return L"Element not found.\r\n";
    case kErrorAddressNotAssociated:
      return L"An address has not yet been associated with the network endpoint.\r\n";
    case kErrorNetworkUnreachable:
      return L"The network location cannot be reached. For information about network troubleshooting, see Windows Help.\r\n";
    case kErrorTimeout:
      return L"This operation returned because the timeout period expired.\r\n";
    case kErrorDhcpAddressConflict:
      return L"The DHCP client has obtained an IP address that is already in use on the network. The local interface will be disabled until the DHCP client can obtain a new address.\r\n";
    default:
      return std::wstring();
  }
}

}  // namespace tamber::platform
