// The simulated "ipconfig": the listing, and the IPv6 lease release and renewal of one adapter (or of
// all) on the model of SimAdapters.h, printed and ended as the real tool does for those cases.
#include <algorithm>
#include <cwctype>
#include <exception>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/network/SimAdapters.h"
#include "platform/sim/network/SimIpRenewal.h"
#include "platform/sim/tools/SimTools.h"

namespace tamber::platform::sim {
namespace {

constexpr const char* kReleasedLease6 = "releasedLease6";
constexpr const char* kHeader = "\r\nWindows IP Configuration\r\n\r\n";
constexpr const char* kNoAdapterInState =
    "The operation failed as no adapter is in the state permissible for this operation.\r\n";
constexpr const char* kUsageError =
    "Error: unrecognized or incomplete command line.\r\n\r\n"
    "USAGE:\r\n    ipconfig [/allcompartments] [/? | /all | /renew [adapter] | /release [adapter] |\r\n"
    "              /renew6 [adapter] | /release6 [adapter] | /flushdns | /displaydns | /registerdns |\r\n"
    "              /showclassid adapter | /setclassid adapter [classid] |\r\n"
    "              /showclassid6 adapter | /setclassid6 adapter [classid] ]\r\n";

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

bool IsLinkLocal6(const std::string& address) {
  return address.size() >= 4 && (address.rfind("fe80", 0) == 0 || address.rfind("FE80", 0) == 0);
}

bool HasLease6(const SimAdapter& adapter) {
  for (const auto& ip : adapter.ipv6) {
    if (!IsLinkLocal6(ip.address)) return true;
  }
  return false;
}

std::string Zoned(const SimAdapter::Address6& address) {
  return address.scopeId == 0 ? address.address : address.address + "%" + std::to_string(address.scopeId);
}

// "   Label . . . . . . . . . . . . . : value": dots on odd columns up to the colon in column 37.
std::string Line(const std::string& label, const std::string& value) {
  std::string line = "   " + label;
  while (line.size() < 37) line += (line.size() % 2 == 0) ? ' ' : '.';
  return line + ": " + value + "\r\n";
}

std::string Listing(const std::vector<SimAdapter>& adapters) {
  std::ostringstream out;
  out << kHeader;
  for (const auto& adapter : adapters) {
    if (!adapter.Present()) continue;
    const char* kind = adapter.type == 71 ? "Wireless LAN adapter "
                                          : (adapter.tunnelType != 0 ? "Tunnel adapter " : "Ethernet adapter ");
    out << "\r\n" << kind << adapter.friendlyName << ":\r\n\r\n";
    if (adapter.operStatus != 1) {
      out << Line("Media State", "Media disconnected") << Line("Connection-specific DNS Suffix ", "");
      continue;
    }
    out << Line("Connection-specific DNS Suffix ", "");
    for (const auto& ip : adapter.ipv6) {
      out << Line(IsLinkLocal6(ip.address) ? "Link-local IPv6 Address" : "IPv6 Address", Zoned(ip));
    }
    for (const auto& ip : adapter.ipv4) {
      bool apipa = ip.address.rfind("169.254.", 0) == 0;
      out << Line(apipa ? "Autoconfiguration IPv4 Address" : "IPv4 Address", ip.address)
          << Line("Subnet Mask", ip.mask);
    }
    std::string gateway = adapter.gateways.empty() ? std::string() : adapter.gateways.front();
    if (!adapter.gateways6.empty()) gateway = Zoned(adapter.gateways6.front());
    out << Line("Default Gateway", gateway);
  }
  return out.str();
}

enum class Verb { Release6, Renew6 };

// The adapters the name selects (case-insensitive; no name: every adapter with IPv6 bound).
std::vector<size_t> Select(const std::vector<SimAdapter>& adapters, const std::optional<std::wstring>& name) {
  std::vector<size_t> chosen;
  for (size_t i = 0; i < adapters.size(); ++i) {
    const auto& adapter = adapters[i];
    if (!adapter.Present() || adapter.ipv6Index == 0) continue;
    if (name && Lower(WidenUtf8(adapter.friendlyName)) != Lower(*name)) continue;
    chosen.push_back(i);
  }
  return chosen;
}

uint32_t RunLeaseVerb(ToolContext& context, Verb verb, const std::optional<std::wstring>& name) {
  const auto dir = Machine::Directory();
  auto adapters = LoadAdapters(dir);
  auto chosen = Select(adapters, name);
  if (chosen.empty()) {
    context.Out(std::string(kHeader) + kNoAdapterInState);
    return 1;
  }
  const char* action = verb == Verb::Release6 ? "releasing" : "renewing";
  std::string errors;
  auto fail = [&](const SimAdapter& adapter, const char* why) {
    errors +=
        std::string("An error occurred while ") + action + " interface " + adapter.friendlyName + " : " + why + "\r\n";
  };

  if (verb == Verb::Renew6) {
    HangWhileFaultSet("ipconfig");
    uint32_t longest = 0;
    for (size_t i : chosen) longest = std::max(longest, adapters[i].renewDelayMs6);
    Sleep(AnswerDelayMs("dhcp6.answerDelayMs", longest));
  }
  const bool noAnswer = FaultPlan::IsSet("dhcp6.noAnswer");

  bool anyDone = false;
  adapters = UpdateAdapters(dir, [&](std::vector<SimAdapter>& current) {
    for (size_t i : Select(current, name)) {
      SimAdapter& adapter = current[i];
      if (adapter.operStatus != 1) {
        errors +=
            "No operation can be performed on " + adapter.friendlyName + " while it has its media disconnected.\r\n";
        continue;
      }
      if (!adapter.ipv6Managed) {  // no DHCPv6 on this interface
        fail(adapter, "The system cannot find the file specified.");
        continue;
      }
      if (verb == Verb::Release6) {
        if (!HasLease6(adapter)) {
          fail(adapter, "An address has not yet been associated with the network endpoint.");
          continue;
        }
        std::vector<SimAdapter::Address6> kept;
        for (const auto& ip : adapter.ipv6) {
          if (IsLinkLocal6(ip.address)) {
            kept.push_back(ip);
          } else if (adapter.extra.count(kReleasedLease6) == 0) {
            adapter.extra[kReleasedLease6] = ip.address;
          }
        }
        adapter.ipv6 = kept;
        adapter.dhcp6Server.clear();
        anyDone = true;
        continue;
      }
      std::string lease = adapter.leaseAddress6;
      if (lease.empty()) {
        for (const auto& ip : adapter.ipv6) {
          if (!IsLinkLocal6(ip.address)) {
            lease = ip.address;
            break;
          }
        }
      }
      if (lease.empty() && adapter.extra.count(kReleasedLease6) != 0) lease = adapter.extra[kReleasedLease6];
      if (noAnswer || adapter.noAnswer6 || lease.empty()) {
        fail(adapter, "The semaphore timeout period has expired.");
        continue;
      }
      std::vector<SimAdapter::Address6> addresses;
      addresses.push_back(ParseAddress6(lease));
      for (const auto& ip : adapter.ipv6) {
        if (IsLinkLocal6(ip.address)) addresses.push_back(ip);
      }
      adapter.ipv6 = addresses;
      adapter.extra.erase(kReleasedLease6);
      anyDone = true;
    }
  });

  if (!errors.empty()) {
    context.Out(std::string(kHeader) + errors);
    return 1;
  }
  context.Out(Listing(adapters));
  return anyDone ? 0 : 1;
}

uint32_t Ipconfig(ToolContext& context) {
  const auto& argv = context.Argv();
  if (!Machine::IsBooted()) return 1;
  if (argv.size() == 1 || (argv.size() == 2 && Lower(argv[1]) == L"/all")) {
    context.Out(Listing(LoadAdapters(Machine::Directory())));
    return 0;
  }
  std::wstring option = Lower(argv[1]);
  if (!option.empty() && option[0] == L'-') option[0] = L'/';
  if ((option == L"/release6" || option == L"/renew6") && argv.size() <= 3) {
    std::optional<std::wstring> name;
    if (argv.size() == 3) name = argv[2];
    return RunLeaseVerb(context, option == L"/release6" ? Verb::Release6 : Verb::Renew6, name);
  }
  context.Out(kUsageError);
  return 1;
}

}  // namespace

ToolFunction SimIpconfigTool() {
  return [](ToolContext& context) -> uint32_t {
    try {
      return Ipconfig(context);
    } catch (const std::exception&) {  // the machine went away under a late run
      return 1;
    }
  };
}

void RegisterSimIpconfig() { RegisterTool(L"ipconfig", SimIpconfigTool()); }

}  // namespace tamber::platform::sim
