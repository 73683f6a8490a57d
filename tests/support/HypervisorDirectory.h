// Points the agent's guestinfo channel at a simulated hypervisor directory of its own for the life of the
// object (VELOCYN_HYPERVISOR_DIR), in both tiers, and puts back what was there before.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Environment.h"
#include "platform/Types.h"

namespace tamber::test {

class ScopedHypervisorDirectory {
 public:
  explicit ScopedHypervisorDirectory(const std::string& tag) {
    wchar_t previous[1024] = {};
    uint32_t length = platform::GetEnvironmentVariable(kVariable, previous, 1024);
    if (length > 0 && length < 1024) previous_ = std::wstring(previous, length);
    static int counter = 0;
    directory_ =
        std::filesystem::temp_directory_path() /
        ("velocyn-" + tag + "-" + std::to_string(platform::GetCurrentProcessId()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(directory_);
    ok_ = platform::SetEnvironmentVariable(kVariable, directory_.wstring().c_str());
  }
  ~ScopedHypervisorDirectory() {
    platform::SetEnvironmentVariable(kVariable, previous_ ? previous_->c_str() : nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  ScopedHypervisorDirectory(const ScopedHypervisorDirectory&) = delete;
  ScopedHypervisorDirectory& operator=(const ScopedHypervisorDirectory&) = delete;

  bool Ok() const { return ok_; }
  const std::filesystem::path& Path() const { return directory_; }

 private:
  static constexpr const wchar_t* kVariable = L"VELOCYN_HYPERVISOR_DIR";
  std::filesystem::path directory_;
  std::optional<std::wstring> previous_;
  bool ok_ = false;
};

}  // namespace tamber::test
