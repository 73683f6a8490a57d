// How verbosely the Netlogon service logs: its debug flags ("DbFlag" under the service's parameters),
// brought to the setting the agent wants ("NlFlag" in the agent's service key) with nltest.
#pragma once

#include <string>
#include <string_view>

#include "core/util/Singleton.h"

namespace tamber::core::util {
class Registry;
}  // namespace tamber::core::util

namespace tamber::core::windows {

class Netlogon : public util::Singleton<Netlogon> {
 public:
  virtual ~Netlogon();

  // Runs "Nltest /DBFlag:<flags>"; flags that are no hex number are refused and nothing runs.
  virtual bool SetNLFlags(const std::wstring& flags);
  // The Netlogon service's current "DbFlag" text; empty when it has none.
  virtual std::wstring GetNLFlags();
  // Sets the wanted flags unless they are set already ("0x0" when NLFlagsDisabled is not 0).
  virtual bool EnableNlLogging();

  // A hex number as nltest reads one: at most eight hex digits, "0x" in front or not.
  static bool IsValidFlagsText(std::wstring_view flags);

 protected:
  Netlogon();

 private:
  friend class util::Singleton<Netlogon>;

  util::Registry* registry_;
};

}  // namespace tamber::core::windows
