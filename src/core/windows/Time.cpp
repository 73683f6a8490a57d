#include "core/windows/Time.h"

#include <string>

#include "common/util/Util.h"
#include "core/util/Registry.h"
#include "core/util/System.h"
#include "core/util/Tunables.h"
#include "framework/log/Log.h"
#include "platform/Services.h"
#include "platform/Sync.h"

namespace tamber::core::windows {

namespace {

constexpr const wchar_t* kTimeService = L"w32time";
constexpr const wchar_t* kResyncCommand = L"w32tm /resync";
// What w32tm prints when the resynchronisation happened; its exit code says less (it is 0 when no time
// data was available too).
constexpr const char* kResyncSucceeded = "The command completed successfully.";

}  // namespace

Time::Time() : system_(util::System::Instance()), registry_(util::Registry::Instance()) {}

Time::~Time() = default;

void Time::SyncTime() {
  util::Tunables tunables(registry_);
  const uint32_t retries = tunables.Get(util::Tunable::SyncTimeRetries);
  const uint32_t delay = tunables.Get(util::Tunable::SyncTimeDelay);

  int32_t result = system_->ControlSvc(kTimeService, util::System::kControlRestart);
  if (result < 0) {
    Log(LogLevel::Debug, L"tamber::core::windows::Time::SyncTime(): Failed Restarting w32time: 0x%X",
        static_cast<uint32_t>(result));
  }
  uint32_t state = 0;
  result = system_->ControlSvc(kTimeService, util::System::kControlQueryStatus, &state);
  if (state != platform::kServiceRunning) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Time::SyncTime(): w32time service not running.  Skipping Time Sync: Status: 0x%X, HR: 0x%X",
        state, static_cast<uint32_t>(result));
    return;
  }
  for (uint32_t attempt = 0; attempt < retries; ++attempt) {
    system_->Sleep(delay);
    if (SyncTimeW32Tm()) {
      Log(LogLevel::Debug, L"tamber::core::windows::Time::SyncTime(): Time Sync With w32tm Succeeded");
      return;
    }
    Log(LogLevel::Debug, L"tamber::core::windows::Time::SyncTime(): Time Sync With w32tm Failed");
  }
}

bool Time::SyncTimeW32Tm() {
  Log(LogLevel::Debug, L"tamber::core::windows::Time::SyncTimeW32Tm(): About to Sync Time With w32tm");
  std::string output;
  if (!common::util::Util::RunScript(kResyncCommand, output, /*logOutput=*/false, platform::kInfinite)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Time::SyncTimeW32Tm(): Failed To Run Time Sync Command");
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Time::SyncTimeW32Tm(): Script Output: %S", output);
  if (output.find(kResyncSucceeded) == std::string::npos) {
    Log(LogLevel::Debug, L"tamber::core::windows::Time::SyncTimeW32Tm(): Time Sync Failed");
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Time::SyncTimeW32Tm(): Time Sync Succeeded");
  return true;
}

}  // namespace tamber::core::windows
