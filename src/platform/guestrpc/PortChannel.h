// The Talvora hypervisor's guest-to-host message channel over its I/O ports, protocol RPCI. Written
// over an injected port-I/O primitive so that the same code runs against the real ports (win32 backend,
// only after the CPUID check) and against an emulated hypervisor in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/GuestRpc.h"
#include "platform/guestrpc/TalvoraPorts.h"

namespace tamber::platform::guestrpc {

// The registers one port access reads and writes. For the block transfers the data pointer travels in
// the primitive's own pointer register, so it is not part of this set.
struct PortRegisters {
  uint32_t eax = 0;
  uint32_t ebx = 0;
  uint32_t ecx = 0;
  uint32_t edx = 0;
  uint32_t esi = 0;
  uint32_t edi = 0;
  uint32_t ebp = 0;
};

class PortIo {
 public:
  virtual ~PortIo() = default;
  // "in eax, dx": every register is input and output.
  virtual void In(PortRegisters& registers) = 0;
  // "rep outsb": ecx bytes of data to port dx (the data pointer takes the place of esi).
  virtual void OutBlock(PortRegisters& registers, const uint8_t* data) = 0;
  // "rep insb": ecx bytes from port dx into data (the data pointer takes the place of edi).
  virtual void InBlock(PortRegisters& registers, uint8_t* data) = 0;
};

// Replies larger than this are refused rather than allocated: the size comes from outside.
constexpr uint32_t kMaxReply = 1024 * 1024;

// One CPUID query: leaf in, eax, ebx, ecx, edx out.
using Cpuid = std::function<void(uint32_t leaf, uint32_t registers[4])>;

// True when CPUID shows the Talvora hypervisor: the hypervisor-present bit and Talvora's signature.
bool IsTalvoraHypervisor(const Cpuid& cpuid);

class PortChannel : public GuestRpcTransport {
 public:
  // CPUID is asked before the first port access of every exchange; unless it shows the Talvora
  // hypervisor, the exchange fails at the open step without touching a port (an "in" on the port
  // faults anywhere else).
  PortChannel(PortIo& io, Cpuid cpuid);

  GuestRpcError Exchange(std::string_view command, std::string* reply) override;

 private:
  struct Channel {
    uint16_t id = 0;
    uint32_t cookieHigh = 0;
    uint32_t cookieLow = 0;
  };
  bool Open(Channel* channel);
  bool OpenWith(uint32_t protocol, Channel* channel);
  bool Send(const Channel& channel, std::string_view message);
  bool SendOnce(const Channel& channel, std::string_view message, bool* retry);
  bool Receive(const Channel& channel, std::string* message);
  bool Close(const Channel& channel);
  // One access on the register port with the channel's cookie; returns the status word.
  uint16_t Call(const Channel& channel, uint16_t subCommand, uint32_t parameter, PortRegisters* out);

  PortIo& io_;
  Cpuid cpuid_;
};

}  // namespace tamber::platform::guestrpc
