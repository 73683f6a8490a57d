// One boot of a simulated machine with the real agent: the agent process (tlv-velocyn-ga linked with the
// simulated backend) is started as the machine's service, the way the service control manager starts it
// at boot, with this process in the manager's place: it receives the service's status reports and
// delivers service controls to it. The process is the boot: the boot-time agent stand-in runs in it
// before the service, and the boot ends when the process ends (the service stopped, a shutdown or reboot
// was carried out) or when the power is cut.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine/SimPower.h"

namespace velocyn::sim_cli {

// A control delivered to the running service at a machine time (ms since the boot started), or as soon
// as the service has reported running if that comes later.
struct ScheduledControl {
  uint64_t atMs = 0;
  uint32_t control = 0;    // SERVICE_CONTROL_* code
  uint32_t eventType = 0;  // for session changes: the WTS_* event
};

struct AgentBootOptions {
  std::filesystem::path agentExecutable;  // empty: "tlv-velocyn-ga" next to this program
  double timeScale = 1000.0;              // machine milliseconds per host millisecond
  bool timeJumps = false;                 // machine time jumps over the moments the whole guest waits
  std::optional<uint64_t> powerCutAtMs;   // machine time at which the power is cut
  std::vector<ScheduledControl> controls;
  uint64_t hostTimeoutMs = 600000;  // the boot is stopped (power cut) after this much real time
  // The sibling agent's helper stand-in (tqaprep) the guest runs at the helper's path; empty: none.
  std::filesystem::path helperProgram;
  // The hypervisor shuts the guest down through its tools (a clean shutdown of Windows) once the guestinfo
  // variable has the value, as the management side does when a clone asks for its snapshot. Empty: never.
  std::string guestShutdownVariable;
  std::string guestShutdownValue;
};

struct AgentBootResult {
  bool started = false;     // the agent process ran
  std::string error;        // why it did not, for people
  int exitCode = -1;        // the agent process's exit code
  std::string endedBy;      // "service stopped", "shutdown", "reboot", "power cut", "timed out", "crash", "exited"
  std::string crashReport;  // after a crash: the first line of the agent's crash report ("" when none)
  std::optional<tamber::platform::sim::PowerRequest> power;  // the request that ended the boot, taken
  std::vector<uint32_t> reportedStates;                      // SERVICE_* states in the order reported
  uint64_t machineTimeMs = 0;                                // length of the boot in machine time
  uint64_t hostTimeMs = 0;                                   // and in real time
  uint64_t cpuUs = 0;                                        // the agent process's CPU time, user and system
  uint64_t peakRssKiB = 0;                                   // its peak resident memory
  uint64_t toolsRealMs = 0;  // real time while host processes it started (external tools) ran
  uint64_t jumps = 0;        // machine-time jumps the guest made
  uint64_t idleRealUs = 0;   // real time the whole guest sat idle waiting for the next jump
  // Its registry calls and guestinfo round trips (none known after a power cut or a crash).
  uint64_t registryCalls = 0;
  uint64_t guestInfoCalls = 0;
  std::string powerCutAt;  // a power cut planned at a platform call: where it fell ("file-write call 12")
};

// The simulated guest that this process itself boots (to read or write a machine's registry) is one at a
// time; every in-process boot of a machine, here or in callers that boot machines on several threads,
// holds this lock.
std::mutex& InProcessMachineLock();

// Boots the machine with the agent as its service and waits for the boot to end.
AgentBootResult BootWithAgent(const std::filesystem::path& machine, const AgentBootOptions& options);

// Delivers a control to the service of a boot of the machine that is running now (from another
// process). False, with the reason in *error, when no boot of the machine runs.
bool SendServiceControl(const std::filesystem::path& machine, uint32_t control, uint32_t eventType, std::string* error);

// Cuts the power of a boot of the machine that is running now (from another process): the agent process
// is killed and only what the registry had made durable is left. False, with the reason in *error, when
// no boot of the machine runs.
bool CutPower(const std::filesystem::path& machine, std::string* error);

}  // namespace velocyn::sim_cli
