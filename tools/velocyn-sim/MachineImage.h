// What a machine holds before its first boot: a blank Windows guest, or the golden image the
// administrator prepares, with the agent installed as a service and marked as the golden image.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace velocyn::sim_cli {

// The service as the installer registers it.
inline constexpr const wchar_t* kAgentServiceKey = L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\tlv-velocyn-ga";
inline constexpr const wchar_t* kAgentImagePath =
    L"\"C:\\Program Files\\Talvora\\Quorvel\\Velocyn Agent\\tlv-velocyn-ga.exe\"";
inline constexpr const wchar_t* kAgentDisplayName = L"Talvora Quorvel Velocyn Agent";
// Windows' own entry of the session manager's boot-time programs: the disk check.
inline constexpr const wchar_t* kDefaultBootExecute = L"autocheck autochk *";

struct GoldenImageOptions {
  std::optional<uint32_t> shutdownDelayMs;  // ServiceShutdownDelay; absent: the agent's own default
  // The GoldenImage marker; without it the machine is a master image whose role guestinfo decides.
  bool goldenImageMarker = true;
};

// Turns the booted machine into a golden image: the agent's service key, every key of the agent's key
// map, the GoldenImage marker (unless the options leave it out), and a BootExecute with the disk check only. The caller
// ends the boot cleanly to make it durable. Returns "" or what failed.
std::string InstallGoldenImage(const GoldenImageOptions& options);

}  // namespace velocyn::sim_cli
