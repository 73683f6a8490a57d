// The Talvora hypervisor's message channel on a real Windows guest: its I/O ports, used only after CPUID
// has shown the Talvora hypervisor (an "in" on its port anywhere else faults). Only on a machine without
// it, VELOCYN_HYPERVISOR_DIR may name a simulated hypervisor's directory, so the Windows build can be
// tested against one; on a Talvora virtual machine the real channel is always used (guestinfo carries
// machine passwords).
#include <windows.h>

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

#include <string>

#include "platform/GuestRpc.h"
#include "platform/guestrpc/PortChannel.h"
#include "platform/guestrpc/SimHypervisor.h"

namespace tamber::platform {
namespace {

using guestrpc::PortRegisters;

void RealCpuid(uint32_t leaf, uint32_t out[4]) {
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
  void In(PortRegisters& r) override {
    uint64_t ax = r.eax, bx = r.ebx, cx = r.ecx, dx = r.edx, si = r.esi, di = r.edi;
    asm volatile("inl %%dx, %%eax" : "+a"(ax), "+b"(bx), "+c"(cx), "+d"(dx), "+S"(si), "+D"(di) : : "memory");
    Store(r, ax, bx, cx, dx, si, di);
  }

  // ebp carries half of the cookie; the frame pointer is saved around the transfer.
  void OutBlock(PortRegisters& r, const uint8_t* data) override {
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

  void InBlock(PortRegisters& r, uint8_t* data) override {
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
  static void Store(PortRegisters& r, uint64_t ax, uint64_t bx, uint64_t cx, uint64_t dx, uint64_t si,
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
  void In(PortRegisters&) override {}
  void OutBlock(PortRegisters&, const uint8_t*) override {}
  void InBlock(PortRegisters&, uint8_t*) override {}
};
#endif

std::wstring HypervisorDirectory() {
  wchar_t buffer[1024];
  DWORD length = ::GetEnvironmentVariableW(L"VELOCYN_HYPERVISOR_DIR", buffer, 1024);
  if (length == 0 || length >= 1024) return {};
  return std::wstring(buffer, length);
}

// Asked once: the answer cannot change while the process runs.
bool OnTalvora() {
  static const bool onTalvora = kHavePortIo && IsRunningUnderHypervisor();
  return onTalvora;
}

class Win32Transport : public GuestRpcTransport {
 public:
  Win32Transport() : ports_(io_, kHavePortIo ? guestrpc::Cpuid(RealCpuid) : guestrpc::Cpuid()) {}

  GuestRpcError Exchange(std::string_view command, std::string* reply) override {
    if (!OnTalvora()) {
      std::wstring directory = HypervisorDirectory();
      if (directory.empty()) {
        reply->clear();
        return GuestRpcError::kOpen;
      }
      guestrpc::SimHypervisor hypervisor{std::filesystem::path(directory)};
      *reply = hypervisor.HandleCommand(command);
      return GuestRpcError::kNone;
    }
    return ports_.Exchange(command, reply);
  }

 private:
  RealPortIo io_;
  guestrpc::PortChannel ports_;
};

}  // namespace

bool IsRunningUnderHypervisor() { return guestrpc::IsTalvoraHypervisor(RealCpuid); }

std::string GuestRpcChannelNote() {
  if (OnTalvora()) return {};
  std::wstring directory = HypervisorDirectory();
  if (directory.empty()) {
    return "CPUID shows no Talvora hypervisor: guestinfo and the hypervisor log are unavailable, so this "
           "machine cannot be customized";
  }
  std::string narrow;
  for (wchar_t c : directory) narrow += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
  return "CPUID shows no Talvora hypervisor: guestinfo goes to the simulated hypervisor in " + narrow +
         " (VELOCYN_HYPERVISOR_DIR)";
}

GuestRpcTransport& DefaultGuestRpcTransport() {
  static auto* transport = new Win32Transport;
  return *transport;
}

}  // namespace tamber::platform
