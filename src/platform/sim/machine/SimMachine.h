// The simulated Windows guest: a machine directory holding everything that lasts across a boot.
// One process runs at most one boot at a time, as on Windows; tests may boot many in turn.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tamber::platform::sim {

// Settings kept in "<machine>/machine.conf" as name=value lines.
struct MachineConfig {
  double timeScale = 1.0;       // machine milliseconds per host millisecond
  int32_t utcBiasMinutes = 0;   // UTC = local + bias, as Windows keeps it
  uint32_t lazyFlushMs = 5000;  // machine time before a dirty hive is written by itself
  uint64_t freeDiskBytes = 0;   // reported free space of C:; 0 means the host's own figure
  int64_t wallOffsetMs = 0;     // machine wall clock minus the host's
  // Torture runs: a power cut keeps a random part of the registry's unflushed changes, decided per key
  // from this seed, as a real hive can come back with part of what was not flushed. 0: it loses them all.
  uint64_t tornFlushSeed = 0;
};

class Machine {
 public:
  // Makes an empty machine directory (idempotent): hives, drive_c and the config file.
  static void Create(const std::filesystem::path& dir);
  static bool Exists(const std::filesystem::path& dir);
  // Starts a boot: loads the durable state. VELOCYN_SIM_TIME_SCALE overrides the stored scale.
  static void Boot(const std::filesystem::path& dir);
  // Boots the machine named by VELOCYN_SIM_MACHINE when nothing is booted; false if there is none.
  static bool EnsureBooted();
  // A clean end of the boot: every hive becomes durable.
  static void Shutdown();
  // A power loss: whatever was not durable is gone.
  static void PowerCut();
  static bool IsBooted();

  static const std::filesystem::path& Directory();
  static std::filesystem::path DriveRoot();  // C:\ lives here
  static MachineConfig Config();
  static void SaveConfig(const std::filesystem::path& dir, const MachineConfig& config);
  static MachineConfig LoadConfig(const std::filesystem::path& dir);
};

}  // namespace tamber::platform::sim
