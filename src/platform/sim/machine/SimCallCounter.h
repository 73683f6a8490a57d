// What one boot cost the agent process: its registry calls and guestinfo round trips to the hypervisor,
// and its own CPU time and peak resident memory. The agent process of a boot that velocyn-sim runs writes
// them to "<machine>/run/calls.txt" when the boot ends (velocyn-sim sets kCountCallsVariable for it), and
// the simulator reads them back; other processes count but write nothing. The process measures its own
// CPU and memory because what its parent can learn from wait4 is not its own: the CPU of the host
// processes it waited for is added in, and the peak memory is at least the parent's, whose address space
// the spawned child ran in until its exec.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace tamber::platform::sim {

enum class CountedCall { Registry, GuestInfo };

constexpr const char* kCountCallsVariable = "VELOCYN_SIM_COUNT_CALLS";
constexpr const char* kCallCountsFile = "calls.txt";  // in "<machine>/run"

struct CallCounts {
  uint64_t registry = 0;
  uint64_t guestInfo = 0;
  uint64_t cpuUs = 0;        // user + system, all threads of the process; 0 when not known
  uint64_t peakRssKiB = 0;   // the process's own high-water mark since its exec; 0 when not known
  uint64_t toolsRealUs = 0;  // real time while host processes it started (external tools) ran
  uint64_t jumps = 0;        // machine-time jumps made
  uint64_t idleRealUs = 0;   // real time the whole guest spent idle, waiting for machine time to jump
};

void CountCall(CountedCall call);
// A new boot counts afresh.
void CallCountBoot();
// At the end of a boot: the counts go to the machine's run folder when this process was asked for them.
void WriteCallCounts(const std::filesystem::path& machineDir);
// What the last boot that wrote its counts made; nothing when there are none.
std::optional<CallCounts> ReadCallCounts(const std::filesystem::path& machineDir);

}  // namespace tamber::platform::sim
