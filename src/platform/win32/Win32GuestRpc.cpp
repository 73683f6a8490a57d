// The hypervisor's message channel on a real Windows guest: the I/O-port interface, used only after CPUID
// has shown that the machine runs under that hypervisor (an "in" on its port anywhere else faults). When
// VELOCYN_HYPERVISOR_DIR names a directory, the commands go to the simulated hypervisor kept there, so the
// Windows build can be tested against it.
#include <windows.h>

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

#include <string>

#include "platform/GuestRpc.h"
#include "platform/guestrpc/BackdoorChannel.h"
#include "platform/guestrpc/SimHypervisor.h"

namespace tamber::platform {
namespace {

using guestrpc::BackdoorRegisters;

void Cpuid(uint32_t leaf, uint32_t out[4]) {
#if defined(_MSC_VER)
  int registers[4];
  __cpuid(registers, static_cast<int>(leaf));
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint32_t>(registers[i]);
#else
  __cpuid(leaf, out[0], out[1], out[2], out[3]);
#endif
}

#if defined(__GNUC__) && defined(__x86_64__)
constexpr bool kHavePortIo = true;

class RealPortIo : public guestrpc::PortIo {
 public:
  void In(BackdoorRegisters& r) override {
    uint64_t ax = r.eax, bx = r.ebx, cx = r.ecx, dx = r.edx, si = r.esi, di = r.edi;
    asm volatile("inl %%dx, %%eax" : "+a"(ax), "+b"(bx), "+c"(cx), "+d"(dx), "+S"(si), "+D"(di) : : "memory");
    Store(r, ax, bx, cx, dx, si, di);
  }

  // ebp carries half of the cookie; the frame pointer is saved around the transfer.
  void OutBlock(BackdoorRegisters& r, const uint8_t* data) override {
    uint64_t ax = r.eax, bx = r.ebx, cx = r.ecx, dx = r.edx, di = r.edi, bp = r.ebp;
    uint64_t si = reinterpret_cast<uint64_t>(data);
    asm volatile(
        "push %%rbp\n\t"
        "mov %[bp], %%rbp\n\t"
        "cld\n\t"
        "rep outsb\n\t"
        "mov %%rbp, %[bp]\n\t"
        "pop %%rbp"
        : "+a"(ax), "+b"(bx), "+c"(cx), "+d"(dx), "+S"(si), "+D"(di), [bp] "+r"(bp)
        :
        : "memory", "cc");
    Store(r, ax, bx, cx, dx, r.esi, di);
    r.ebp = static_cast<uint32_t>(bp);
  }

  void InBlock(BackdoorRegisters& r, uint8_t* data) override {
    uint64_t ax = r.eax, bx = r.ebx, cx = r.ecx, dx = r.edx, si = r.esi, bp = r.ebp;
    uint64_t di = reinterpret_cast<uint64_t>(data);
    asm volatile(
        "push %%rbp\n\t"
        "mov %[bp], %%rbp\n\t"
        "cld\n\t"
        "rep insb\n\t"
        "mov %%rbp, %[bp]\n\t"
        "pop %%rbp"
        : "+a"(ax), "+b"(bx), "+c"(cx), "+d"(dx), "+S"(si), "+D"(di), [bp] "+r"(bp)
        :
        : "memory", "cc");
    Store(r, ax, bx, cx, dx, si, r.edi);
    r.ebp = static_cast<uint32_t>(bp);
  }

 private:
  static void Store(BackdoorRegisters& r, uint64_t ax, uint64_t bx, uint64_t cx, uint64_t dx, uint64_t si,
                    uint64_t di) {
    r.eax = static_cast<uint32_t>(ax);
    r.ebx = static_cast<uint32_t>(bx);
    r.ecx = static_cast<uint32_t>(cx);
    r.edx = static_cast<uint32_t>(dx);
    r.esi = static_cast<uint32_t>(si);
    r.edi = static_cast<uint32_t>(di);
  }
};
#else
// Compilers without GNU inline assembly for x86-64 get no port access: the channel never opens.
constexpr bool kHavePortIo = false;

class RealPortIo : public guestrpc::PortIo {
 public:
  void In(BackdoorRegisters&) override {}
  void OutBlock(BackdoorRegisters&, const uint8_t*) override {}
  void InBlock(BackdoorRegisters&, uint8_t*) override {}
};
#endif

std::wstring HypervisorDirectory() {
  wchar_t buffer[1024];
  DWORD length = ::GetEnvironmentVariableW(L"VELOCYN_HYPERVISOR_DIR", buffer, 1024);
  if (length == 0 || length >= 1024) return {};
  return std::wstring(buffer, length);
}

class Win32Transport : public GuestRpcTransport {
 public:
  Win32Transport() : backdoor_(io_, [] { return kHavePortIo && IsRunningUnderHypervisor(); }) {}

  GuestRpcError Exchange(std::string_view command, std::string* reply) override {
    std::wstring directory = HypervisorDirectory();
    if (!directory.empty()) {
      guestrpc::SimHypervisor hypervisor{std::filesystem::path(directory)};
      *reply = hypervisor.HandleCommand(command);
      return GuestRpcError::kNone;
    }
    return backdoor_.Exchange(command, reply);
  }

 private:
  RealPortIo io_;
  guestrpc::BackdoorChannel backdoor_;
};

}  // namespace

bool IsRunningUnderHypervisor() {
  uint32_t r[4] = {};
  Cpuid(1, r);
  if ((r[2] & 0x80000000u) == 0) return false;  // the hypervisor-present bit
  Cpuid(0x40000000, r);
  // The vendor signature of the hypervisor whose message interface this is, in ebx, ecx, edx.
  return r[1] == 0x61774D56 && r[2] == 0x4D566572 && r[3] == 0x65726177;
}

GuestRpcTransport& DefaultGuestRpcTransport() {
  static auto* transport = new Win32Transport;
  return *transport;
}

}  // namespace tamber::platform
