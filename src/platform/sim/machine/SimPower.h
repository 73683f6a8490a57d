// The simulated machine's power controller. A shutdown or reboot request is recorded in the machine
// directory ("<machine>/power.request") and then ends the boot: a test that boots the machine in its
// own process sees the request and ends the boot itself; a process that is one boot of the machine is
// stopped after a short machine-time grace, as Windows stops what still runs, with the hives flushed
// (a requested shutdown is a clean end). Whoever carries the request out (boots the machine again, or
// leaves it off) takes it from the machine directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tamber::platform::sim {

enum class PowerAction { Shutdown, Reboot };

struct PowerRequest {
  PowerAction action = PowerAction::Shutdown;
  uint32_t reason = 0;
  bool forceAppsClosed = false;
  uint32_t timeoutSeconds = 0;
  uint64_t machineTimeMs = 0;  // since the boot that made the request
  std::string message;         // UTF-8
};

class Power {
 public:
  // What a request does to the process that made it.
  enum class EndOfBoot {
    LeftToCaller,  // in-process boots: the caller ends the boot when it sees the request
    StopProcess,   // one process is one boot: the process ends after the grace
  };

  // The request made during the current boot, if any.
  static std::optional<PowerRequest> Requested();
  // The request recorded in a machine directory and not yet carried out.
  static std::optional<PowerRequest> Pending(const std::filesystem::path& machineDir);
  // Removes the recorded request and returns it.
  static std::optional<PowerRequest> Take(const std::filesystem::path& machineDir);

  // Default: StopProcess when VELOCYN_SIM_MACHINE names a machine (a process that is one boot), else
  // LeftToCaller. graceMs is machine time.
  static void SetEndOfBoot(EndOfBoot mode, uint32_t graceMs = kDefaultGraceMs);
  // Runs on the stopping thread before the process ends (a service host delivers its shutdown control
  // and writes out its log there).
  static void SetBeforeStop(std::function<void(const PowerRequest&)> callback);

  // A shutdown or reboot the machine itself starts (Windows setup between its passes, the hypervisor's
  // guest shutdown through its tools): it needs no privilege of this process and ends the boot as any
  // request does. False when the machine is not booted or a request is already under way.
  static bool RequestFromMachine(PowerAction action, const std::string& message);

  static const char* ActionName(PowerAction action);
  // One line for people: "reboot requested at 1234 ms, reason 0x80020002".
  static std::string Describe(const PowerRequest& request);

  static constexpr uint32_t kDefaultGraceMs = 5000;
};

// Privilege names the simulated token knows, with the LUIDs Windows gives them.
bool SimPrivilegeLuid(const std::wstring& name, uint32_t* luid);
// Whether the process token has the privilege enabled this boot.
bool IsPrivilegeEnabled(uint32_t luid);
constexpr uint32_t kTakeOwnershipPrivilegeLuid = 9;
constexpr uint32_t kRestorePrivilegeLuid = 18;
// Whether the process token has the privilege enabled in this boot.
bool SimPrivilegeEnabled(const std::wstring& name);

}  // namespace tamber::platform::sim
