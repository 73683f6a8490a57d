// One Windows service by name: retried start and stop, restart, status, start type, and a status watch
// that can restart the service when it stops. OpenScmHandle holds the service control manager handle
// and makes Service objects.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/dispatcher/Waitable.h"
#include "common/dispatcher/WaitableManager.h"
#include "platform/Services.h"

namespace tamber::common::windows::service {

// Closes a service or manager handle held by a shared owner; the last error survives.
struct ServiceHandleDeleter {
  void operator()(platform::ScHandle handle) const;
};
using SharedScHandle = std::shared_ptr<void>;  // made with ServiceHandleDeleter

// Opens the handle of a service; null on failure (logged).
SharedScHandle OpenServiceHandle(const SharedScHandle& manager, const std::wstring& name);

class Service;

class OpenScmHandle {
 public:
  // Opens the local service control manager with full access; a failure is logged and kept.
  OpenScmHandle();

  bool IsOpen() const { return handle_ != nullptr; }
  const SharedScHandle& Handle() const { return handle_; }
  // The Win32 error of the open, 0 on success.
  uint32_t Error() const { return error_; }

  // A new Service for name; its handle is null when the service could not be opened.
  std::shared_ptr<Service> GetService(const std::wstring& name) const;

 private:
  SharedScHandle handle_;
  uint32_t error_ = 0;
};

class Service : public std::enable_shared_from_this<Service> {
 public:
  // Monitor flags.
  static constexpr uint32_t kRestartOnStop = 1;

  // Reads the default retry delay and retry count from the settings.
  Service(std::wstring name, SharedScHandle manager, SharedScHandle handle);
  // Ends a running status watch first, so that no watch thread outlives the object.
  virtual ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Retried operations: maxRetries 0 = the setting, -1 = one attempt and no delay; retryDelay 0 = the
  // setting, -1 = no delay. HRESULT-style results.
  int32_t Start(int32_t maxRetries = 0, int32_t retryDelay = 0);
  int32_t Stop(int32_t maxRetries = 0, int32_t retryDelay = 0);
  int32_t Restart(int32_t maxRetries = 0, int32_t retryDelay = 0);

  int32_t QueryStatus(platform::ServiceStatus* status);
  int32_t GetStartType(uint32_t* startType);
  int32_t SetStartType(uint32_t startType);

  int32_t StartServiceNotify();
  int32_t SetMonitorFlags(uint32_t flags);
  int32_t StopServiceNotify();

  const std::wstring& Name() const { return name_; }
  bool IsOpen() const { return handle_ != nullptr; }
  uint32_t RestartCount() const { return restartCount_; }
  bool IsNotifyStarted() const { return notifyStarted_ != 0; }

 private:
  // A notification as it came in: the record is copied out at once, because the service control
  // manager may write the next one into the same record while the queue thread is still reading.
  struct QueuedNotify {
    void* context;
    uint32_t notificationStatus;
    uint32_t notificationTriggered;
    platform::ServiceStatusProcess serviceStatus;
  };

  struct Parameters {
    int32_t maxRetries;
    int32_t retryDelay;
  };
  // The values a retried operation uses (also kept as the current ones); both are logged.
  Parameters GetServiceParameters(int32_t maxRetries, int32_t retryDelay);
  int32_t RetryStart(Parameters parameters);
  int32_t RetryStop(Parameters parameters);
  int32_t StartOnce();
  int32_t StopOnce();
  // Polls every second until the service reports stopped; time-out once the attempt's budget is spent.
  int32_t WaitForStopped(platform::ScHandle handle, uint64_t attemptStart);

  void ServiceNotifyWorker();
  int32_t StartMonitor();
  void ServiceNotifyQueueWorker();
  void HandleNotify(const QueuedNotify& notify);
  static void NotifyCallback(void* parameter);

  std::wstring name_;
  SharedScHandle manager_;
  SharedScHandle handle_;
  uint32_t defaultRetryDelay_;
  uint32_t defaultMaxRetries_;
  std::atomic<int32_t> currentMaxRetries_{0};  // the queue thread's restarts run beside the caller's
  std::atomic<int32_t> currentRetryDelay_{0};

  std::atomic<uint32_t> notifyStarted_{0};
  std::atomic<uint32_t> monitorFlags_{0};
  std::atomic<uint32_t> restartCount_{0};
  uint32_t maxRestarts_ = 0;
  uint32_t restartDelay_ = 0;
  std::shared_ptr<dispatcher::EventWrapperWin32> notifyEvent_;
  std::shared_ptr<dispatcher::EventWrapperWin32> queueEvent_;
  std::shared_ptr<dispatcher::WaitableManagerWin32> dispatcher_;
  std::mutex stopEventLock_;  // the monitor thread makes the stop event while the caller may set it
  platform::Handle stopEvent_ = nullptr;
  std::thread monitorThread_;
  std::thread queueThread_;
  platform::ServiceNotify notify_{};
  std::wstring notifyName_;
  std::list<QueuedNotify> queue_;  // guarded by the process-wide queue lock
};

}  // namespace tamber::common::windows::service
