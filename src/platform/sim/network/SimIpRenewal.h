// DHCP of the simulated guest: what an IPv4 release or renewal (IpReleaseAddress, IpRenewAddress) and
// an IPv6 one ("ipconfig /release6", "ipconfig /renew6") do to the adapters of the model (SimAdapters.h).
//
// The adapter's DHCP settings say what the server does (lease, lease6, renewDelayMs[6], noAnswer[6]); the
// machine's fault plan overrides them for every adapter:
//   dhcp.noAnswer=1            no DHCPv4 server answers; the renewal fails after the renewal time and the
//                              adapter is left with an APIPA address (169.254.x.x)
//   dhcp.answerDelayMs=N       the DHCPv4 answer (or the failure) comes after N ms of machine time
//   IpRenewAddress.hang=1      IpRenewAddress does not return while the fault is set
//   IpRenewAddress.hangMs=N    IpRenewAddress takes N ms of machine time longer
//   IpReleaseAddress=code      IpReleaseAddress fails with this Win32 code
//   IpRenewAddress=code        IpRenewAddress fails with this Win32 code (after the renewal time)
//   dhcp6.noAnswer=1, dhcp6.answerDelayMs=N, ipconfig.hang=1, ipconfig.hangMs=N   the same for IPv6
#pragma once

#include <cstdint>
#include <string>

namespace tamber::platform::sim {

// Registers the simulated "ipconfig" (idempotent). It is one of the guest's built-in tools (SimTools.h);
// a test that cleared the tool registry registers it again.
void RegisterSimIpconfig();

// The hang faults of a call ("<call>.hang", "<call>.hangMs"): blocks while "<call>.hang" is set (until a
// test clears it or the machine is no longer booted), then for the machine milliseconds "<call>.hangMs" says.
void HangWhileFaultSet(const std::string& call);

// The machine time a renewal takes: the fault's value when set, else the adapter's own.
uint32_t AnswerDelayMs(const std::string& fault, uint32_t adapterDelayMs);

}  // namespace tamber::platform::sim
