// The service controls and states by the names people type and read on the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "AgentBoot.h"

namespace velocyn::sim_cli {

struct NamedControl {
  const char* name;
  uint32_t control;    // SERVICE_CONTROL_*
  uint32_t eventType;  // WTS_* for a session change, DBT_* for a device event, else 0
};

// "stop", "shutdown", "preshutdown", "pause", "continue", "interrogate", "sessionchange:logon",
// "sessionchange:logoff", "deviceevent".
std::optional<NamedControl> FindControl(const std::string& name);
// The names above, separated by ", ", for messages.
std::string ControlNames();
// "NAME@MS": a control delivered MS machine milliseconds after the boot started.
std::optional<ScheduledControl> ParseScheduledControl(const std::string& text);
// "SERVICE_RUNNING" and so on; the number for a state that has no name.
std::string ServiceStateName(uint32_t state);
// A whole decimal number without sign, blanks or trailing text.
std::optional<uint64_t> ParseCount(const std::string& text);

}  // namespace velocyn::sim_cli
