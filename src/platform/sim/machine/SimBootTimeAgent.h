// Stand-in for the native boot-time agent that the session manager runs before any service starts, and
// only when the session manager's BootExecute list names "System32\talvora-qx-nga.exe" (compared
// without regard to case). It does, at every boot of a simulated machine, what the service relies on
// from the real one:
//   - a forked machine (guestinfo "ngaFork" and "forked" both set) that has not been seen forked yet is
//     given its name (guestinfo "hostName", then CloneRenamed = 1 in the ga key), gets VmForked = 1 in the
//     nga key, and its status
//     "clone.CustomizationState" becomes "running"; without a valid name it is not renamed and its status
//     becomes "error"; a Sysprep clone (flag 0x80 in guestinfo "AgentCustomizationFlags") is not renamed
//     at all (setup's specialize pass and then the service name it) and becomes "running";
//   - the internal template (guestinfo "it", not forked) is given its name once and gets TemplateRenamed = 1
//     in the ga key; without a valid name it gets neither.
// Fault plan: "BootTimeAgentFails" makes the forked machine's status "error" (its name is left alone)
// and leaves the internal template unnamed, without TemplateRenamed. The golden image (GoldenImage = 1 in
// the setup key) is left alone.
// It reads guestinfo from the machine's hypervisor directly and writes the guest's registry through the
// platform seam, as a program outside the agent would.
#pragma once

#include <string>

namespace tamber::platform::sim {

struct BootTimeAgentReport {
  bool ran = false;       // a machine was booted and its BootExecute list names the boot-time agent
  std::string role;       // "clone", "it" or "" when the machine needed nothing
  std::string renamedTo;  // the name given, or empty
  bool vmForkedSet = false;
  std::string statusVariable;  // the guestinfo variable written, or empty
  std::string status;
  bool templateRenamedSet = false;
  bool cloneRenamedSet = false;
};

// A name Windows takes as a computer name: 1 to 15 letters, digits and hyphens, not all digits, no
// hyphen at either end.
bool IsValidComputerName(const std::string& name);

// Runs the stand-in on the booted machine. Boot sequences call it right after the boot starts, before
// the service.
BootTimeAgentReport RunBootTimeAgent();

// Where the stand-in keeps the computer name (ComputerName, REG_SZ).
inline constexpr const wchar_t* kComputerNameKeyPath =
    L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
inline constexpr const wchar_t* kTcpipParametersKeyPath = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

}  // namespace tamber::platform::sim
