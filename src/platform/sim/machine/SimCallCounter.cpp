#include "platform/sim/machine/SimCallCounter.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/resource.h>

#include "platform/sim/kernel/SimTimeJumps.h"

namespace tamber::platform::sim {
namespace {

std::atomic<uint64_t> g_registry{0};
std::atomic<uint64_t> g_guestInfo{0};

// Without the simulator's own clock keeping, which a real guest does not have.
uint64_t OwnCpuUs() {
  struct rusage usage {};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  const uint64_t all = static_cast<uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000u +
                       static_cast<uint64_t>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  const uint64_t clock = TimeJumpsCpuNs() / 1000;
  return all > clock ? all - clock : 0;  // 0: not known, the parent's figure is used
}

// VmHWM, unlike ru_maxrss, starts afresh at exec.
uint64_t OwnPeakRssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

}  // namespace

void CountCall(CountedCall call) {
  (call == CountedCall::Registry ? g_registry : g_guestInfo).fetch_add(1, std::memory_order_relaxed);
}

void CallCountBoot() {
  g_registry = 0;
  g_guestInfo = 0;
}

void WriteCallCounts(const std::filesystem::path& machineDir) {
  const char* asked = std::getenv(kCountCallsVariable);
  if (asked == nullptr || std::string(asked) != "1") return;
  std::ofstream(machineDir / "run" / kCallCountsFile, std::ios::trunc)
      << "registry=" << g_registry.load() << "\nguestinfo=" << g_guestInfo.load() << "\ncpu_us=" << OwnCpuUs()
      << "\npeak_rss_kib=" << OwnPeakRssKiB() << "\ntools_real_us=" << HostChildRealNs() / 1000
      << "\njumps=" << TimeJumpsMade() << "\nidle_real_us=" << TimeJumpsIdleNs() / 1000 << "\n";
}

std::optional<CallCounts> ReadCallCounts(const std::filesystem::path& machineDir) {
  std::ifstream in(machineDir / "run" / kCallCountsFile);
  if (!in) return std::nullopt;
  CallCounts counts;
  bool any = false;
  for (std::string line; std::getline(in, line);) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = line.substr(0, equals);
    if (equals + 1 >= line.size() || line[equals + 1] < '0' || line[equals + 1] > '9') continue;  // no sign
    char* end = nullptr;
    const unsigned long long value = std::strtoull(line.c_str() + equals + 1, &end, 10);
    if (end == line.c_str() + equals + 1 || *end != '\0') continue;
    if (name == "registry") counts.registry = value, any = true;
    if (name == "guestinfo") counts.guestInfo = value, any = true;
    if (name == "cpu_us") counts.cpuUs = value;
    if (name == "peak_rss_kib") counts.peakRssKiB = value;
    if (name == "tools_real_us") counts.toolsRealUs = value;
    if (name == "jumps") counts.jumps = value;
    if (name == "idle_real_us") counts.idleRealUs = value;
  }
  if (!any) return std::nullopt;
  return counts;
}

}  // namespace tamber::platform::sim
