// Guest RPC seam: the hypervisor's guest-to-host message channel, one complete exchange per command.
// The sim backend talks to the machine's simulated hypervisor; the win32 backend to the real one (or
// to a simulated one when VELOCYN_HYPERVISOR_DIR names its directory).
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

// True when CPUID says the machine runs under the hypervisor whose message channel the agent uses (the
// hypervisor-present bit and the vendor leaf). No I/O port is touched before this is true.
bool IsRunningUnderHypervisor();

}  // namespace tamber::platform
