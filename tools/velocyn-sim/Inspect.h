// What "show" tells about a machine: the agent's own view of its role, flags and status, the markers it
// left, and the machine's registry, guestinfo and logs. Inspecting never changes the machine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "RegistryView.h"
#include "platform/sim/eventlog/SimEventLog.h"
#include "platform/sim/machine/SimPower.h"

namespace velocyn::sim_cli {

struct Marker {
  std::string name;
  std::string key;  // "HKLM\..."
  RegistryValue value;
};

struct MachineReport {
  std::filesystem::path machine;
  // The agent's decisions.
  uint32_t roleCode = 0;
  std::string
      role;  // The first line of the agent's last crash report in its newest log file (default log folder), or "".
  std::string LastCrashReport(const std::filesystem::path& machine);
  // The names of the machine's crash dump files.
  std::vector<std::string> DumpFiles(const std::filesystem::path& machine);

  // "Master", "Internal template", ...
  std::string roleText;  // the agent's own text: "master", "it", ...
  uint32_t customizationTypeCode = 0;
  std::string customizationType;  // "Cloneprep", "Sysprep", "Universalprep"
  uint32_t flags = 0;
  std::string flagsText;
  std::string statusVariable;         // "<role>.CustomizationState"
  std::optional<std::string> status;  // nullopt when the variable is not set
  // What the machine holds.
  std::vector<Marker> markers;  // every persistent value that exists, in the agent's table order
  std::optional<uint32_t> siblingStatus;
  std::string siblingStatusText;
  std::optional<uint32_t> policyState;
  std::string policyStateText;
  std::optional<std::vector<std::string>> bootExecute;
  std::optional<tamber::platform::sim::PowerRequest> powerRequest;
  std::vector<RegistryKeyView> keys;  // the agent's settings, markers and service key
  std::string logFile;                // the machine's newest agent log file (Windows path), or ""
  std::vector<std::string> logTail;
  std::string lastCrash;           // the first line of the last crash report in that log file, or ""
  std::vector<std::string> dumps;  // the crash dump files in C:\ProgramData\Talvora\Quorvel\Dumps
  std::map<std::string, std::string> guestinfo;
  std::vector<std::string> hypervisorLog;
  std::vector<tamber::platform::sim::EventLogRecord> eventLog;  // the Application log's last events
};

// Throws std::runtime_error when the machine cannot be read.
MachineReport Inspect(const std::filesystem::path& machine, size_t lines);

// The first line of the agent's last crash report in its newest log file (default log folder), or "".
std::string LastCrashReport(const std::filesystem::path& machine);
// The names of the machine's crash dump files.
std::vector<std::string> DumpFiles(const std::filesystem::path& machine);

// "Master", "Internal template", "Replica", "Parent", "Clone", "Undetermined".
std::string RoleName(uint32_t code);

}  // namespace velocyn::sim_cli
