// Guest RPC seam: the hypervisor's guest-to-host message channel, one complete exchange per command.
// The sim backend talks to the machine's simulated hypervisor; the win32 backend to the Talvora
// hypervisor's ports, or, only where CPUID shows no Talvora hypervisor, to a simulated one when
// VELOCYN_HYPERVISOR_DIR names its directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tamber::platform {

// Which step of an exchange failed.
enum class GuestRpcError : uint32_t { kNone = 0, kOpen, kSend, kReceive, kClose };

// A way to reach the hypervisor: takes the command text and returns the hypervisor's raw reply
// ("1 ..." or "0 ...", unchecked). Safe to call from several threads; each call uses its own channel.
class GuestRpcTransport {
 public:
  virtual ~GuestRpcTransport() = default;
  virtual GuestRpcError Exchange(std::string_view command, std::string* reply) = 0;
};

// The transport of this machine, chosen by the backend; lives until the process ends.
GuestRpcTransport& DefaultGuestRpcTransport();

// True when CPUID says the machine runs under the Talvora hypervisor (the hypervisor-present bit and
// Talvora's signature in the vendor leaf). No I/O port is touched before this is true.
bool IsRunningUnderHypervisor();

// One line for the agent's log when the default transport is not the Talvora hypervisor's channel (no
// Talvora hypervisor, or a simulated one named by VELOCYN_HYPERVISOR_DIR); empty otherwise.
std::string GuestRpcChannelNote();

}  // namespace tamber::platform
