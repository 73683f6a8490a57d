// The agent's process-wide power and privilege services: the shutdown event every long wait includes,
// reboot and shutdown requests, logged sleeps, and one entry point for controlling another service.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "core/util/Singleton.h"
#include "platform/Types.h"

namespace tamber::core::util {

class System : public Singleton<System> {
 public:
  // ControlSvc flags: single values, never combined.
  static constexpr uint32_t kControlStart = 1;
  static constexpr uint32_t kControlStop = 2;
  static constexpr uint32_t kControlRestart = 4;
  static constexpr uint32_t kControlSetStartType = 8;
  static constexpr uint32_t kControlQueryStatus = 16;

  // Sets and closes the shutdown event, so that no wait outlives the agent.
  virtual ~System();
  // Null before Init.
  virtual platform::Handle GetShutdownEvent();
  virtual bool IsShutdownEventSet();
  virtual int32_t Reboot(uint32_t delayMs);
  virtual int32_t Shutdown(uint32_t delayMs);
  // Not interruptible.
  virtual void Sleep(uint32_t milliseconds);
  // startType is in and out: the start type kControlSetStartType sets (null: E_INVALIDARG), and the
  // current state kControlQueryStatus reports (when not null). maxRetries and retryDelay go to start, stop
  // and restart.
  virtual int32_t ControlSvc(const std::wstring& name, uint32_t flag, uint32_t* startType = nullptr,
                             int32_t maxRetries = 0, int32_t retryDelay = 0);
  virtual int32_t AdjustProcessPrivilegeForExecReboot();

  // Creates the shutdown event once (already set when SetShutdownEvent came first); later calls do
  // nothing. HRESULT-style result.
  int32_t Init();
  int32_t SetShutdownEvent();

 protected:
  System() = default;

 private:
  friend class Singleton<System>;

  int32_t RequestShutdown(uint32_t delayMs, bool reboot);

  std::mutex eventLock_;
  platform::Handle shutdownEvent_ = nullptr;
  bool stopBeforeInit_ = false;  // SetShutdownEvent came first; Init creates the event set
};

}  // namespace tamber::core::util
