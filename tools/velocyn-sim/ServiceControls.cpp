#include "ServiceControls.h"

#include <charconv>

#include "platform/ServiceHost.h"

namespace velocyn::sim_cli {
namespace {

namespace platform = tamber::platform;

// The event a device-change control carries (DBT_DEVICEARRIVAL).
constexpr uint32_t kDbtDeviceArrival = 0x8000;

constexpr NamedControl kControls[] = {
    {"stop", platform::kServiceControlStop, 0},
    {"shutdown", platform::kServiceControlShutdown, 0},
    {"preshutdown", platform::kServiceControlPreshutdown, 0},
    {"pause", platform::kServiceControlPause, 0},
    {"continue", platform::kServiceControlContinue, 0},
    {"interrogate", platform::kServiceControlInterrogate, 0},
    {"sessionchange:logon", platform::kServiceControlSessionChange, platform::kWtsSessionLogon},
    {"sessionchange:logoff", platform::kServiceControlSessionChange, platform::kWtsSessionLogoff},
    {"deviceevent", platform::kServiceControlDeviceEvent, kDbtDeviceArrival},
};

constexpr const char* kStateNames[] = {"SERVICE_STOPPED", "SERVICE_START_PENDING",    "SERVICE_STOP_PENDING",
                                       "SERVICE_RUNNING", "SERVICE_CONTINUE_PENDING", "SERVICE_PAUSE_PENDING",
                                       "SERVICE_PAUSED"};

}  // namespace

std::optional<NamedControl> FindControl(const std::string& name) {
  for (const auto& control : kControls) {
    if (name == control.name) return control;
  }
  return std::nullopt;
}

std::string ControlNames() {
  std::string names;
  for (const auto& control : kControls) {
    if (!names.empty()) names += ", ";
    names += control.name;
  }
  return names;
}

std::optional<uint64_t> ParseCount(const std::string& text) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::optional<ScheduledControl> ParseScheduledControl(const std::string& text) {
  size_t at = text.rfind('@');
  if (at == std::string::npos) return std::nullopt;
  auto control = FindControl(text.substr(0, at));
  auto time = ParseCount(text.substr(at + 1));
  if (!control || !time) return std::nullopt;
  return ScheduledControl{*time, control->control, control->eventType};
}

std::string ServiceStateName(uint32_t state) {
  if (state >= 1 && state <= std::size(kStateNames)) return kStateNames[state - 1];
  return std::to_string(state);
}

}  // namespace velocyn::sim_cli
