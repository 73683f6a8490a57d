// The hypervisor's guest-to-host message channel over its I/O-port interface, protocol RPCI. Written
// over an injected port-I/O primitive so that the same code runs against the real ports (win32 backend,
// only after the CPUID check) and against an emulated hypervisor in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/GuestRpc.h"

namespace tamber::platform::guestrpc {

// The registers one port access reads and writes. For the block transfers the data pointer travels in
// the primitive's own pointer register, so it is not part of this set.
struct BackdoorRegisters {
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
  virtual void In(BackdoorRegisters& registers) = 0;
  // "rep outsb": ecx bytes of data to port dx (the data pointer takes the place of esi).
  virtual void OutBlock(BackdoorRegisters& registers, const uint8_t* data) = 0;
  // "rep insb": ecx bytes from port dx into data (the data pointer takes the place of edi).
  virtual void InBlock(BackdoorRegisters& registers, uint8_t* data) = 0;
};

// The interface's numbers, as the hypervisor defines them.
namespace backdoor {
constexpr uint32_t kMagic = 0x564D5868;
constexpr uint16_t kPort = 0x5658;               // one register exchange per access
constexpr uint16_t kHighBandwidthPort = 0x5659;  // block transfers
constexpr uint16_t kCommandMessage = 0x1E;
// Sub-commands of the message command (high word of ecx).
constexpr uint16_t kOpen = 0;
constexpr uint16_t kSendSize = 1;
constexpr uint16_t kSendPayload = 2;
constexpr uint16_t kReceiveSize = 3;
constexpr uint16_t kReceivePayload = 4;
constexpr uint16_t kReceiveStatus = 5;
constexpr uint16_t kClose = 6;
// Status bits (high word of ecx; of ebx after a block transfer).
constexpr uint16_t kStatusSuccess = 0x0001;
constexpr uint16_t kStatusDoReceive = 0x0002;
constexpr uint16_t kStatusCheckpoint = 0x0010;  // the machine was saved mid-transfer: send again
constexpr uint16_t kStatusHighBandwidth = 0x0080;
// Message types the hypervisor reports in the high word of edx while receiving.
constexpr uint16_t kTypeSendSize = 1;
constexpr uint16_t kTypeSendPayload = 2;
// Block-transfer command (low word of ebx on the high-bandwidth port).
constexpr uint16_t kBlockMessage = 0;
constexpr uint32_t kProtocolRpci = 0x49435052;  // "RPCI"
constexpr uint32_t kFlagCookie = 0x80000000;
// Replies larger than this are refused rather than allocated: the size comes from outside.
constexpr uint32_t kMaxReply = 1024 * 1024;
}  // namespace backdoor

class BackdoorChannel : public GuestRpcTransport {
 public:
  // underHypervisor is asked before the first port access of every exchange; when it says no, the
  // exchange fails at the open step without touching a port.
  BackdoorChannel(PortIo& io, std::function<bool()> underHypervisor);

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
  uint16_t Call(const Channel& channel, uint16_t subCommand, uint32_t parameter, BackdoorRegisters* out);

  PortIo& io_;
  std::function<bool()> underHypervisor_;
};

}  // namespace tamber::platform::guestrpc
