#include "platform/guestrpc/PortChannel.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tamber::platform::guestrpc {

using namespace talvora;

namespace {

uint16_t High(uint32_t value) { return static_cast<uint16_t>(value >> 16); }
uint32_t Word(uint16_t high, uint16_t low) { return (static_cast<uint32_t>(high) << 16) | low; }

// Sends are retried this often when the machine was saved in the middle of one.
constexpr int kCheckpointRetries = 3;

void Wipe(std::vector<uint8_t>& bytes) {
  volatile uint8_t* p = bytes.data();
  for (size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
}

}  // namespace

bool IsTalvoraHypervisor(const Cpuid& cpuid) {
  if (!cpuid) return false;
  uint32_t r[4] = {};
  cpuid(kCpuidFeatureLeaf, r);
  if ((r[2] & kHypervisorPresentBit) == 0) return false;
  cpuid(kCpuidVendorLeaf, r);
  char signature[12];
  std::memcpy(signature, &r[1], 4);
  std::memcpy(signature + 4, &r[2], 4);
  std::memcpy(signature + 8, &r[3], 4);
  return std::memcmp(signature, kSignature, sizeof(signature)) == 0;
}

PortChannel::PortChannel(PortIo& io, Cpuid cpuid) : io_(io), cpuid_(std::move(cpuid)) {}

uint16_t PortChannel::Call(const Channel& channel, uint16_t subCommand, uint32_t parameter,
                               PortRegisters* out) {
  PortRegisters r;
  r.eax = kMagic;
  r.ebx = parameter;
  r.ecx = Word(subCommand, kCommandMessage);
  r.edx = Word(channel.id, kPort);
  r.esi = channel.cookieHigh;
  r.edi = channel.cookieLow;
  io_.In(r);
  if (out != nullptr) *out = r;
  return High(r.ecx);
}

bool PortChannel::OpenWith(uint32_t protocol, Channel* channel) {
  PortRegisters r;
  Channel none;
  uint16_t status = Call(none, kOpen, protocol, &r);
  if ((status & kStatusSuccess) == 0) return false;
  channel->id = High(r.edx);
  if ((protocol & kFlagCookie) != 0) {
    channel->cookieHigh = r.esi;
    channel->cookieLow = r.edi;
  }
  return true;
}

bool PortChannel::Open(Channel* channel) {
  // Hypervisors too old to know cookies refuse the flag; they still take the plain open.
  return OpenWith(kProtocolRpci | kFlagCookie, channel) || OpenWith(kProtocolRpci, channel);
}

bool PortChannel::SendOnce(const Channel& channel, std::string_view message, bool* retry) {
  *retry = false;
  const auto size = static_cast<uint32_t>(message.size());
  uint16_t status = Call(channel, kSendSize, size, nullptr);
  if ((status & kStatusSuccess) == 0) return false;
  if (size == 0) return true;
  const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
  if ((status & kStatusHighBandwidth) != 0) {
    PortRegisters r;
    r.eax = kMagic;
    r.ebx = Word(kStatusSuccess, kBlockMessage);
    r.ecx = size;
    r.edx = Word(channel.id, kHighBandwidthPort);
    r.edi = channel.cookieLow;
    r.ebp = channel.cookieHigh;
    io_.OutBlock(r, bytes);
    uint16_t blockStatus = High(r.ebx);
    if ((blockStatus & kStatusSuccess) != 0) return true;
    *retry = (blockStatus & kStatusCheckpoint) != 0;
    return false;
  }
  for (uint32_t offset = 0; offset < size; offset += 4) {
    uint32_t chunk = 0;
    std::memcpy(&chunk, bytes + offset, std::min<uint32_t>(4, size - offset));  // little-endian, zero-padded
    status = Call(channel, kSendPayload, chunk, nullptr);
    if ((status & kStatusSuccess) == 0) {
      *retry = (status & kStatusCheckpoint) != 0;
      return false;
    }
  }
  return true;
}

bool PortChannel::Send(const Channel& channel, std::string_view message) {
  for (int attempt = 0; attempt <= kCheckpointRetries; ++attempt) {
    bool retry = false;
    if (SendOnce(channel, message, &retry)) return true;
    if (!retry) return false;
  }
  return false;
}

bool PortChannel::Receive(const Channel& channel, std::string* message) {
  message->clear();
  PortRegisters r;
  uint16_t status = Call(channel, kReceiveSize, 0, &r);
  if ((status & kStatusSuccess) == 0) return false;
  if ((status & kStatusDoReceive) == 0) return true;  // nothing to read: an empty reply
  if (High(r.edx) != kTypeSendSize) return false;
  const uint32_t size = r.ebx;
  if (size > kMaxReply) return false;
  std::vector<uint8_t> bytes(size);
  if (size > 0 && (status & kStatusHighBandwidth) != 0) {
    PortRegisters b;
    b.eax = kMagic;
    b.ebx = Word(kStatusSuccess, kBlockMessage);
    b.ecx = size;
    b.edx = Word(channel.id, kHighBandwidthPort);
    b.esi = channel.cookieHigh;
    b.ebp = channel.cookieLow;
    io_.InBlock(b, bytes.data());
    if ((High(b.ebx) & kStatusSuccess) == 0) {
      Wipe(bytes);
      return false;
    }
  } else {
    for (uint32_t offset = 0; offset < size; offset += 4) {
      status = Call(channel, kReceivePayload, kStatusSuccess, &r);
      if ((status & kStatusSuccess) == 0 || High(r.edx) != kTypeSendPayload) {
        Wipe(bytes);
        return false;
      }
      std::memcpy(bytes.data() + offset, &r.ebx, std::min<uint32_t>(4, size - offset));
    }
  }
  // Tell the hypervisor the reply arrived whole, so it can let go of it.
  status = Call(channel, kReceiveStatus, kStatusSuccess, nullptr);
  if ((status & kStatusSuccess) == 0) {
    Wipe(bytes);
    return false;
  }
  message->assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  Wipe(bytes);  // replies may carry secrets (machine password blobs)
  return true;
}

bool PortChannel::Close(const Channel& channel) {
  return (Call(channel, kClose, 0, nullptr) & kStatusSuccess) != 0;
}

GuestRpcError PortChannel::Exchange(std::string_view command, std::string* reply) {
  reply->clear();
  if (!IsTalvoraHypervisor(cpuid_)) return GuestRpcError::kOpen;
  Channel channel;
  if (!Open(&channel)) return GuestRpcError::kOpen;
  GuestRpcError error = GuestRpcError::kNone;
  if (!Send(channel, command)) {
    error = GuestRpcError::kSend;
  } else if (!Receive(channel, reply)) {
    error = GuestRpcError::kReceive;
  }
  if (!Close(channel) && error == GuestRpcError::kNone) error = GuestRpcError::kClose;
  return error;
}

}  // namespace tamber::platform::guestrpc
