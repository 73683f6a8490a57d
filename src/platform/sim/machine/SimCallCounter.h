// Counts of the platform calls one boot makes, for the agent's cost per boot: registry calls and
// guestinfo round trips to the hypervisor. The agent process of a boot that velocyn-sim runs writes them
// to "<machine>/run/calls.txt" when the boot ends (velocyn-sim sets kCountCallsVariable for it), and
// the simulator reads them back; other processes count but write nothing.
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
};

void CountCall(CountedCall call);
// A new boot counts afresh.
void CallCountBoot();
// At the end of a boot: the counts go to the machine's run folder when this process was asked for them.
void WriteCallCounts(const std::filesystem::path& machineDir);
// What the last boot that wrote its counts made; nothing when there are none.
std::optional<CallCounts> ReadCallCounts(const std::filesystem::path& machineDir);

}  // namespace tamber::platform::sim
