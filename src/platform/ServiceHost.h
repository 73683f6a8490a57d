// Service host seam: the calls a service process makes to the service control manager about itself
// (the dispatcher, its control handler and its status reports), with the Win32 calls' arguments,
// results and error codes.
#pragma once

#include <cstdint>

#include "platform/Services.h"

namespace tamber::platform {

// SERVICE_STATUS_HANDLE: not a kernel handle and never closed.
using ServiceStatusHandle = void*;

// LPSERVICE_MAIN_FUNCTIONW and LPHANDLER_FUNCTION_EX.
using ServiceMainFunction = void (*)(uint32_t argc, wchar_t** argv);
using HandlerFunctionEx = uint32_t (*)(uint32_t control, uint32_t eventType, void* eventData, void* context);

// Controls a service receives, besides kServiceControlStop and kServiceControlInterrogate.
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kServiceControlDeviceEvent = 11;
constexpr uint32_t kServiceControlSessionChange = 14;
constexpr uint32_t kServiceControlPreshutdown = 15;

// Controls accepted.
constexpr uint32_t kServiceAcceptStop = 0x001;
constexpr uint32_t kServiceAcceptShutdown = 0x004;
constexpr uint32_t kServiceAcceptSessionChange = 0x080;
constexpr uint32_t kServiceAcceptPreshutdown = 0x100;

// Session change events (WTS_*).
constexpr uint32_t kWtsSessionLogon = 5;
constexpr uint32_t kWtsSessionLogoff = 6;

// WTSSESSION_NOTIFICATION: the event data of a session change.
struct WtsSessionNotification {
  uint32_t size = sizeof(WtsSessionNotification);
  uint32_t sessionId = 0;
};

constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;

// StartServiceCtrlDispatcherW with one service. Runs serviceMain on a thread of its own and the control
// handler on the calling thread; returns when the service has reported SERVICE_STOPPED. Fails with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was not started by the service control manager.
bool StartServiceCtrlDispatcher(const wchar_t* serviceName, ServiceMainFunction serviceMain);
// RegisterServiceCtrlHandlerExW. Null on failure (last error set).
ServiceStatusHandle RegisterServiceCtrlHandlerEx(const wchar_t* serviceName, HandlerFunctionEx handler, void* context);
// SetServiceStatus.
bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

}  // namespace tamber::platform
