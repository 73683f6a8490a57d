#include "common/service/Service.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "common/windows/Handles.h"
#include "core/util/Tunables.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Sync.h"

namespace tamber::common::windows::service {

namespace {

constexpr int32_t kTimeoutResult = static_cast<int32_t>(0x800705B4u);
constexpr uint32_t kStopBudgetMs = 60000;
constexpr uint32_t kStopPollMs = 1000;
constexpr uint32_t kNotifyAllStates = 0x7F;
constexpr uint32_t kQueueWaitMs = 10000;

int32_t LastResult() { return HResultFromWin32(platform::GetLastError()); }

// One lock for the notification queues of every watched service in the process.
std::mutex& QueueLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

uint32_t ElapsedMs(uint64_t since) { return static_cast<uint32_t>(platform::GetTickCount64() - since); }

// Opens a service handle and reports the Win32 error of a failure.
SharedScHandle OpenHandle(const SharedScHandle& manager, const std::wstring& name, uint32_t* error) {
  platform::ScHandle handle = platform::OpenService(manager.get(), name.c_str(), platform::kServiceAllAccess);
  if (handle == nullptr) {
    *error = platform::GetLastError();
    Log(LogLevel::Error, L"OpenServiceHandle(): Unable to open handle to %ws service: 0x%X", name,
        HResultFromWin32(*error));
    return nullptr;
  }
  *error = platform::kErrorSuccess;
  return SharedScHandle(handle, ServiceHandleDeleter{});
}

}  // namespace

void ServiceHandleDeleter::operator()(platform::ScHandle handle) const {
  if (handle != nullptr) {
    uint32_t lastError = platform::GetLastError();
    platform::CloseServiceHandle(handle);
    platform::SetLastError(lastError);
  }
}

SharedScHandle OpenServiceHandle(const SharedScHandle& manager, const std::wstring& name) {
  uint32_t error = 0;
  return OpenHandle(manager, name, &error);
}

// --- the service control manager holder ----------------------------------------------------------------

OpenScmHandle::OpenScmHandle() {
  platform::ScHandle handle = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess);
  if (handle == nullptr) {
    error_ = platform::GetLastError();
    Log(LogLevel::Warn, L"OpenScmHandle(): Unable to open SCM Handle, Err: 0x%X", HResultFromWin32(error_));
    return;
  }
  handle_ = SharedScHandle(handle, ServiceHandleDeleter{});
}

std::shared_ptr<Service> OpenScmHandle::GetService(const std::wstring& name) const {
  return std::make_shared<Service>(name, handle_, OpenServiceHandle(handle_, name));
}

// --- Service ---------------------------------------------------------------------------------------------

Service::Service(std::wstring name, SharedScHandle manager, SharedScHandle handle)
    : name_(std::move(name)), manager_(std::move(manager)), handle_(std::move(handle)) {
  core::util::Tunables tunables;
  defaultRetryDelay_ = tunables.Get(core::util::Tunable::ServiceRetryDelay);
  defaultMaxRetries_ = tunables.Get(core::util::Tunable::ServiceMaxRetries);
}

Service::~Service() { StopServiceNotify(); }

Service::Parameters Service::GetServiceParameters(int32_t maxRetries, int32_t retryDelay) {
  int32_t retries = maxRetries == 0 ? static_cast<int32_t>(defaultMaxRetries_) : maxRetries;
  int32_t delay = retryDelay == 0 ? static_cast<int32_t>(defaultRetryDelay_) : retryDelay;
  if (maxRetries == -1) {
    retries = 1;  // one attempt, nothing to wait for
    delay = 0;
  }
  if (retryDelay == -1) delay = 0;
  currentMaxRetries_ = retries;
  currentRetryDelay_ = delay;
  Log(LogLevel::Debug, L"tamber::common::windows::service::Service::GetServiceParameters(): Retry Delay: %dms", delay);
  Log(LogLevel::Debug, L"tamber::common::windows::service::Service::GetServiceParameters(): Max Retries: %d", retries);
  return Parameters{retries, delay};
}

int32_t Service::StartOnce() {
  platform::ServiceStatusProcess status;
  if (!platform::QueryServiceStatusEx(handle_.get(), &status)) {
    int32_t result = LastResult();
    Log(LogLevel::Debug,
        L"tamber::common::windows::service::Service::Start(): Failed Querying %ws Service Status: 0x%X", name_, result);
    return result;
  }
  if (status.currentState == platform::kServiceRunning) {
    Log(LogLevel::Debug, L"tamber::common::windows::service::Service::Start(): %ws Service Already Running", name_);
    return 0;
  }

  uint32_t startType = 0;
  if (GetStartType(&startType) != 0 || startType != platform::kServiceAutoStart) {
    int32_t enabled = SetStartType(platform::kServiceAutoStart);
    if (enabled == 0) {
      Log(LogLevel::Debug, L"tamber::common::windows::service::Service::Start(): Enabled %ws Service", name_);
    } else {
      Log(LogLevel::Debug, L"tamber::common::windows::service::Service::Start(): Failed Enabling %ws Service: 0x%X",
          name_, enabled);
    }
  }

  if (!platform::StartService(handle_.get())) return LastResult();
  if (!platform::QueryServiceStatusEx(handle_.get(), &status)) return LastResult();

  uint64_t progressTick = platform::GetTickCount64();
  uint32_t checkPoint = status.checkPoint;
  while (status.currentState == platform::kServiceStartPending) {
    // A tenth of the wait hint, within one and ten seconds.
    uint32_t wait = std::clamp<uint32_t>(status.waitHint / 10, 1000, 10000);
    platform::Sleep(wait);
    if (!platform::QueryServiceStatusEx(handle_.get(), &status)) return LastResult();
    if (status.currentState != platform::kServiceStartPending) break;  // no longer pending: no hint applies
    if (status.checkPoint > checkPoint) {
      progressTick = platform::GetTickCount64();
      checkPoint = status.checkPoint;
    } else if (ElapsedMs(progressTick) > status.waitHint) {
      return kTimeoutResult;
    }
  }
  if (status.currentState == platform::kServiceRunning) {
    Log(LogLevel::Debug, L"tamber::common::windows::service::Service::Start(): %ws Service Is Running", name_);
  }
  return 0;
}

int32_t Service::RetryStart(Parameters parameters) {
  int32_t maxRetries = parameters.maxRetries;
  int32_t retryDelay = parameters.retryDelay;
  if (maxRetries <= 0) return 0;
  uint64_t first = platform::GetTickCount64();
  for (int32_t attempt = 1;; ++attempt) {
    int32_t result = StartOnce();
    if (result >= 0) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::service::Service::Start(): Started %ws Service In %dms, Attempt: %d", name_,
          ElapsedMs(first), attempt);
      return result;
    }
    Log(LogLevel::Debug,
        L"tamber::common::windows::service::Service::Start(): Failed Starting %ws Service In %dms, Attempt: %d, Error: 0x%X",
        name_, ElapsedMs(first), attempt, result);
    if (attempt >= maxRetries) return result;
    if (retryDelay > 0) platform::Sleep(static_cast<uint32_t>(retryDelay));
  }
}

int32_t Service::Start(int32_t maxRetries, int32_t retryDelay) {
  return RetryStart(GetServiceParameters(maxRetries, retryDelay));
}

int32_t Service::WaitForStopped(platform::ScHandle handle, uint64_t attemptStart) {
  for (;;) {
    platform::ServiceStatusProcess status;
    if (!platform::QueryServiceStatusEx(handle, &status)) return LastResult();
    if (status.currentState == platform::kServiceStopped) return 0;
    if (ElapsedMs(attemptStart) >= kStopBudgetMs) return kTimeoutResult;
    platform::Sleep(kStopPollMs);
  }
}

int32_t Service::StopOnce() {
  uint64_t attemptStart = platform::GetTickCount64();
  platform::ServiceStatusProcess status;
  if (!platform::QueryServiceStatusEx(handle_.get(), &status)) return LastResult();
  if (status.currentState == platform::kServiceStopped) {
    Log(LogLevel::Debug, L"tamber::common::windows::service::Service::Stop(): %ws Service Already Stopped", name_);
    return 0;
  }
  if (status.currentState == platform::kServiceStopPending) return WaitForStopped(handle_.get(), attemptStart);

  // Dependents that run must stop first, or the service refuses to.
  std::vector<platform::EnumServiceStatus> dependents;
  if (!platform::EnumDependentServices(handle_.get(), platform::kServiceActive, &dependents)) return LastResult();
  for (const auto& dependent : dependents) {
    uint32_t error = 0;
    SharedScHandle handle = OpenHandle(manager_, dependent.serviceName, &error);
    if (!handle) return HResultFromWin32(error);
    platform::ServiceStatus controlStatus;
    if (!platform::ControlService(handle.get(), platform::kServiceControlStop, &controlStatus)) return LastResult();
    if (int32_t result = WaitForStopped(handle.get(), attemptStart); result != 0) return result;
  }

  platform::ServiceStatus controlStatus;
  if (!platform::ControlService(handle_.get(), platform::kServiceControlStop, &controlStatus)) return LastResult();
  return WaitForStopped(handle_.get(), attemptStart);
}

int32_t Service::RetryStop(Parameters parameters) {
  int32_t maxRetries = parameters.maxRetries;
  int32_t retryDelay = parameters.retryDelay;
  if (maxRetries <= 0) return 0;
  uint64_t first = platform::GetTickCount64();
  for (int32_t attempt = 1;; ++attempt) {
    int32_t result = StopOnce();
    if (result >= 0) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::service::Service::Stop(): Stopped %ws Service In %dms, Attempt: %d", name_,
          ElapsedMs(first), attempt);
      return result;
    }
    Log(LogLevel::Debug,
        L"tamber::common::windows::service::Service::Stop(): Failed Stoping %ws Service In %dms, Attempt: %d, Error: 0x%X",
        name_, ElapsedMs(first), attempt, result);
    if (attempt >= maxRetries) return result;
    if (retryDelay > 0) platform::Sleep(static_cast<uint32_t>(retryDelay));
  }
}

int32_t Service::Stop(int32_t maxRetries, int32_t retryDelay) {
  return RetryStop(GetServiceParameters(maxRetries, retryDelay));
}

int32_t Service::Restart(int32_t maxRetries, int32_t retryDelay) {
  int32_t result = RetryStop(GetServiceParameters(maxRetries, retryDelay));
  if (result < 0) {
    Log(LogLevel::Debug, L"tamber::common::windows::service::Service::Restart(): Failed Stopping %ws Service: 0x%X",
        name_, result);
    return result;
  }
  result = Start(maxRetries, retryDelay);
  if (result < 0) {
    Log(LogLevel::Warn, L"tamber::common::windows::service::Service::Restart(): Failed Starting %ws Service: 0x%X",
        name_, result);
  }
  return result;
}

int32_t Service::QueryStatus(platform::ServiceStatus* status) {
  if (status == nullptr) return kEInvalidArg;
  if (!platform::QueryServiceStatus(handle_.get(), status)) {
    int32_t result = LastResult();
    Log(LogLevel::Warn,
        L"tamber::common::windows::service::Service::QueryStatus(): Failed Querying %ws Service Status: 0x%X", name_,
        result);
    return result;
  }
  return 0;
}

int32_t Service::GetStartType(uint32_t* startType) {
  if (startType == nullptr) return kEInvalidArg;
  platform::ServiceConfig config;
  if (!platform::QueryServiceConfig(handle_.get(), &config)) {
    int32_t result = LastResult();
    Log(LogLevel::Warn,
        L"tamber::common::windows::service::Service::GetStartType(): Failed Getting %ws Service Start Type: 0x%X",
        name_, result);
    return result;
  }
  *startType = config.startType;
  return 0;
}

int32_t Service::SetStartType(uint32_t startType) {
  if (!platform::ChangeServiceConfig(handle_.get(), platform::kServiceNoChange, startType,
                                     platform::kServiceNoChange)) {
    int32_t result = LastResult();
    Log(LogLevel::Warn,
        L"tamber::common::windows::service::Service::SetStartType(): Failed Setting %ws Service Start Type: 0x%X",
        name_, result);
    return result;
  }
  return 0;
}

// --- status watch ------------------------------------------------------------------------------------------

int32_t Service::StartServiceNotify() {
  if (notifyStarted_ != 0) return 0;  // one watch at a time
  core::util::Tunables tunables;
  maxRestarts_ = tunables.Get(core::util::Tunable::ServiceNotifyMaxRestarts);
  restartDelay_ = tunables.Get(core::util::Tunable::ServiceNotifyStartDelay);
  Log(LogLevel::Debug,
      L"tamber::common::windows::service::Service::StartServiceNotify(): Service Notify Max Restarts: %d",
      maxRestarts_);
  Log(LogLevel::Debug,
      L"tamber::common::windows::service::Service::StartServiceNotify(): Service Notify Start Delay: %dms",
      restartDelay_);

  dispatcher_ = std::make_shared<dispatcher::WaitableManagerWin32>();
  notifyEvent_ = std::make_shared<dispatcher::EventWrapperWin32>(L"QXServiceNotifyEvent", /*manualReset=*/true,
                                                                 /*initialState=*/false);
  queueEvent_ = std::make_shared<dispatcher::EventWrapperWin32>(L"QXServiceNotifyQueueEvent", /*manualReset=*/true,
                                                                /*initialState=*/false);
  notifyStarted_ = 1;
  monitorThread_ = std::thread(&Service::ServiceNotifyWorker, this);
  queueThread_ = std::thread(&Service::ServiceNotifyQueueWorker, this);
  return 0;
}

int32_t Service::SetMonitorFlags(uint32_t flags) {
  monitorFlags_ |= flags;
  return 0;
}

int32_t Service::StopServiceNotify() {
  if (notifyStarted_ == 0) return 0;
  notifyEvent_->SetEvent();
  {
    // Not made yet: the monitor thread sees the notify event before it first waits.
    std::lock_guard<std::mutex> guard(stopEventLock_);
    if (stopEvent_ != nullptr && !platform::SetEvent(stopEvent_)) {
      Log(LogLevel::Warn,
          L"tamber::common::windows::service::Service::StopServiceNotify(): Failed Setting _hStopEvent (%ws): 0x%X",
          name_, LastResult());
    }
  }
  if (monitorThread_.joinable()) monitorThread_.join();
  if (queueThread_.joinable()) queueThread_.join();
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    queue_.clear();
  }
  {
    std::lock_guard<std::mutex> guard(stopEventLock_);
    if (stopEvent_ != nullptr) platform::CloseHandle(stopEvent_);
    stopEvent_ = nullptr;
  }
  notifyStarted_ = 0;
  Log(LogLevel::Info, L"tamber::common::windows::service::Service::StopServiceNotify(): Service Notify Terminated: %ws",
      name_);
  return 0;
}

void Service::ServiceNotifyWorker() {
  int32_t result = StartMonitor();
  if (result < 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::service::Service::ServiceNotifyWorker(): StartMonitor Returned Error: 0x%X", result);
  }
}

int32_t Service::StartMonitor() {
  platform::Handle stopEvent = nullptr;
  {
    std::lock_guard<std::mutex> guard(stopEventLock_);
    stopEvent_ = platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr);
    if (stopEvent_ == nullptr) {
      int32_t result = LastResult();
      Log(LogLevel::Error,
          L"tamber::common::windows::service::Service::StartMonitor(): Failed Creating Stop Event (%ws): 0x%X", name_,
          result);
      return result;
    }
    stopEvent = stopEvent_;
  }
  notifyName_ = name_;
  notify_ = platform::ServiceNotify{};
  notify_.version = platform::kServiceNotifyStatusChange;
  notify_.notifyCallback = &Service::NotifyCallback;
  notify_.context = this;
  if (notifyEvent_->IsSignaled()) return 0;

  for (;;) {
    uint32_t error = platform::NotifyServiceStatusChange(handle_.get(), kNotifyAllStates, &notify_);
    if (error != platform::kErrorSuccess) {
      int32_t result = HResultFromWin32(error);
      Log(LogLevel::Error,
          L"tamber::common::windows::service::Service::StartMonitor(): NotifyServiceStatusChanged Failed: 0x%X",
          result);
      return result;
    }
    uint32_t wait = platform::WaitForSingleObjectEx(stopEvent, platform::kInfinite, /*alertable=*/true);
    if (wait == platform::kWaitIoCompletion) {
      if (notifyEvent_->IsSignaled()) return 0;
      continue;
    }
    // The stop event; a failed wait ends the watch rather than spinning.
    return wait == platform::kWaitFailed ? LastResult() : 0;
  }
}

void Service::NotifyCallback(void* parameter) {
  auto* notify = static_cast<platform::ServiceNotify*>(parameter);
  auto* self = static_cast<Service*>(notify->context);
  if (self == nullptr) return;
  std::lock_guard<std::mutex> guard(QueueLock());
  if (self->queue_.size() >= self->queue_.max_size()) throw std::length_error("list too long");
  self->queue_.push_back(
      QueuedNotify{notify->context, notify->notificationStatus, notify->notificationTriggered, notify->serviceStatus});
  self->queueEvent_->SetEvent();
}

void Service::HandleNotify(const QueuedNotify& notify) {
  static constexpr wchar_t kPrefix[] = L"tamber::common::windows::service::Service::ServiceNotifyQueueWorker(): ";
  if (notify.context == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::service::Service::ServiceNotifyQueueWorker(): pContext Was NULL");
    return;
  }
  if (notify.notificationStatus != platform::kErrorSuccess) {
    if (notify.notificationStatus != platform::kErrorServiceMarkedForDelete) {
      Log(LogLevel::Error,
          L"tamber::common::windows::service::Service::ServiceNotifyQueueWorker(): pNotify Contained Error (%ws): 0x%X",
          name_, HResultFromWin32(notify.notificationStatus));
    }
    return;
  }
  struct StateText {
    uint32_t bit;
    const wchar_t* text;
  };
  static constexpr StateText kStates[] = {
      {platform::kServiceNotifyRunning, L"Service Running (%ws)"},
      {platform::kServiceNotifyStopped, L"Service Stopped (%ws)"},
      {platform::kServiceNotifyContinuePending, L"Service Continue Pending (%ws)"},
      {platform::kServiceNotifyDeletePending, L"Service Delete Pending (%ws)"},
      {platform::kServiceNotifyPausePending, L"Service Pause Pending (%ws)"},
      {platform::kServiceNotifyPaused, L"Service Paused (%ws)"},
      {platform::kServiceNotifyStartPending, L"Service Start Pending (%ws)"},
      {platform::kServiceNotifyStopPending, L"Service Stop Pending (%ws)"},
  };
  for (const auto& state : kStates) {
    if ((notify.notificationTriggered & state.bit) == 0) continue;
    std::wstring format = std::wstring(kPrefix) + state.text;
    Log(LogLevel::Info, format.c_str(), name_);
  }
  if ((notify.notificationTriggered & platform::kServiceNotifyStopped) != 0 && (monitorFlags_ & kRestartOnStop) != 0 &&
      restartCount_ < maxRestarts_) {
    // The watch ending during the delay cancels the restart.
    if (platform::WaitForSingleObject(notifyEvent_->GetHandle(), restartDelay_) != platform::kWaitObject0) {
      Log(LogLevel::Info,
          L"tamber::common::windows::service::Service::ServiceNotifyQueueWorker(): Restarting %ws: Restart Count: %d",
          name_, restartCount_.load());
      Start(0, 0);
      ++restartCount_;
    }
  }
}

void Service::ServiceNotifyQueueWorker() {
  while (!notifyEvent_->IsSignaled()) {
    while (queueEvent_->IsSignaled()) {
      QueuedNotify front{};
      {
        std::lock_guard<std::mutex> guard(QueueLock());
        Log(LogLevel::Debug,
            L"tamber::common::windows::service::Service::ServiceNotifyQueueWorker(): Events In Queue: %d",
            static_cast<int32_t>(queue_.size()));
        if (queue_.empty()) {
          queueEvent_->ResetEvent();
          break;
        }
        front = queue_.front();
      }
      HandleNotify(front);
      std::lock_guard<std::mutex> guard(QueueLock());
      if (!queue_.empty()) queue_.pop_front();
    }
    // The notify event wakes it too, so that ending the watch does not wait out the ten seconds.
    platform::Handle handles[] = {queueEvent_->GetHandle(), notifyEvent_->GetHandle()};
    platform::WaitForMultipleObjects(2, handles, kQueueWaitMs);
  }
}

}  // namespace tamber::common::windows::service
