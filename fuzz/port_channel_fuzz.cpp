// Fuzzes the guest side of the hypervisor's port channel against a hostile hypervisor: every register
// the hypervisor hands back on a port access, and every byte of a block transfer, comes from the input.
// An exchange must end (no endless retry on "saved mid-transfer"), never read or write past a buffer,
// and never take a reply larger than the channel's limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/guestrpc/PortChannel.h"

namespace {

using namespace tamber::platform::guestrpc;

class HostileHypervisor : public PortIo {
 public:
  HostileHypervisor(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  void In(PortRegisters& r) override {
    if (++accesses_ > kMaxAccesses) std::abort();  // the channel must give up on its own
    r.eax = Next();
    r.ebx = Next();
    r.ecx = Next();
    r.edx = Next();
    r.esi = Next();
    r.edi = Next();
  }
  void OutBlock(PortRegisters& r, const uint8_t* data) override {
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < r.ecx; ++i) sink = sink ^ data[i];  // the whole block must be readable
    r.ebx = Next();
  }
  void InBlock(PortRegisters& r, uint8_t* data) override {
    for (uint32_t i = 0; i < r.ecx; ++i) data[i] = Byte();  // as many bytes as the guest asked for
    r.ebx = Next();
  }

 private:
  static constexpr int kMaxAccesses = 1 << 16;
  uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
  uint32_t Next() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t{Byte()} << (8 * i);
    return value;
  }
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
  int accesses_ = 0;
};

void Talvora(uint32_t leaf, uint32_t registers[4]) {
  std::memset(registers, 0, 4 * sizeof(uint32_t));
  if (leaf == talvora::kCpuidFeatureLeaf) registers[2] = talvora::kHypervisorPresentBit;
  if (leaf == talvora::kCpuidVendorLeaf) std::memcpy(&registers[1], talvora::kSignature, 12);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the command's length, so that sends of every size are reached.
  std::string command(data[0], 'c');
  HostileHypervisor hypervisor(data + 1, size - 1);
  PortChannel channel(hypervisor, Talvora);
  std::string reply;
  if (channel.Exchange(command, &reply) == tamber::platform::GuestRpcError::kNone && reply.size() > kMaxReply) {
    std::abort();
  }
  return 0;
}
