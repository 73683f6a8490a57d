// The machine's fault plan: named faults that the simulated areas and stand-ins consult. Kept in
// "<machine>/faults.conf" as name=value lines so that a test or the command line can set them before a
// boot; a test may also change them while a boot runs.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace tamber::platform::sim {

class FaultPlan {
 public:
  // The value of a fault of the booted machine, if set.
  static std::optional<std::string> Get(const std::string& name);
  static bool IsSet(const std::string& name) { return Get(name).has_value(); }
  // Sets (or with nullopt clears) a fault of the booted machine, and stores the plan.
  static void Set(const std::string& name, const std::optional<std::string>& value);

  // The plan of a machine that is not booted (command line, test set-up).
  static std::map<std::string, std::string> Load(const std::filesystem::path& machineDir);
  static void Save(const std::filesystem::path& machineDir, const std::map<std::string, std::string>& plan);
};

}  // namespace tamber::platform::sim
