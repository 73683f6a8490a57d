// The machine's clock after it joined the domain: the Windows time service restarted, then a forced
// resynchronisation with w32tm, with retries.
#pragma once

#include "core/util/Singleton.h"

namespace tamber::core::util {
class Registry;
class System;
}  // namespace tamber::core::util

namespace tamber::core::windows {

class Time : public util::Singleton<Time> {
 public:
  virtual ~Time();

  // Restarts w32time and resynchronises, "SyncTimeRetries" attempts "SyncTimeDelay" ms apart; the outcome
  // is only logged.
  virtual void SyncTime();
  // One "w32tm /resync": true only when the tool says the command completed successfully.
  virtual bool SyncTimeW32Tm();

 protected:
  Time();

 private:
  friend class util::Singleton<Time>;

  util::System* system_;
  util::Registry* registry_;
};

}  // namespace tamber::core::windows
