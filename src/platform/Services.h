// Service control manager seam: controlling other services by name, with the Win32 calls' arguments,
// results, error codes and structure layouts. Configuration and dependent lists come back as values
// (the Windows backend makes the size query and the buffer call itself).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace tamber::platform {

// SC_HANDLE: not a kernel handle; close it with CloseServiceHandle.
using ScHandle = void*;

// Access rights.
constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceAllAccess = 0xF01FF;

// Service types.
constexpr uint32_t kServiceKernelDriver = 0x01;
constexpr uint32_t kServiceFileSystemDriver = 0x02;
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceWin32ShareProcess = 0x20;

// Start types.
constexpr uint32_t kServiceBootStart = 0;
constexpr uint32_t kServiceSystemStart = 1;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceDisabled = 4;
constexpr uint32_t kServiceNoChange = 0xFFFFFFFF;

// Current states.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceContinuePending = 5;
constexpr uint32_t kServicePausePending = 6;
constexpr uint32_t kServicePaused = 7;

// Controls.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlInterrogate = 4;

// EnumDependentServices states.
constexpr uint32_t kServiceActive = 1;
constexpr uint32_t kServiceInactive = 2;
constexpr uint32_t kServiceStateAll = 3;

// NotifyServiceStatusChange.
constexpr uint32_t kServiceNotifyStatusChange = 2;  // SERVICE_NOTIFY version
constexpr uint32_t kServiceNotifyStopped = 0x001;
constexpr uint32_t kServiceNotifyStartPending = 0x002;
constexpr uint32_t kServiceNotifyStopPending = 0x004;
constexpr uint32_t kServiceNotifyRunning = 0x008;
constexpr uint32_t kServiceNotifyContinuePending = 0x010;
constexpr uint32_t kServiceNotifyPausePending = 0x020;
constexpr uint32_t kServiceNotifyPaused = 0x040;
constexpr uint32_t kServiceNotifyCreated = 0x080;
constexpr uint32_t kServiceNotifyDeleted = 0x100;
constexpr uint32_t kServiceNotifyDeletePending = 0x200;

// Errors of this area.
constexpr uint32_t kErrorDependentServicesRunning = 1051;
constexpr uint32_t kErrorInvalidServiceControl = 1052;
constexpr uint32_t kErrorServiceRequestTimeout = 1053;
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorServiceDisabled = 1058;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kErrorProcessAborted = 1067;
constexpr uint32_t kErrorServiceDependencyFail = 1068;
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
constexpr uint32_t kErrorServiceDependencyDeleted = 1075;

// SERVICE_STATUS.
struct ServiceStatus {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

// SERVICE_STATUS_PROCESS (QueryServiceStatusEx with SC_STATUS_PROCESS_INFO).
struct ServiceStatusProcess {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
  uint32_t processId = 0;
  uint32_t serviceFlags = 0;
};

// QUERY_SERVICE_CONFIGW, with its strings as values.
struct ServiceConfig {
  uint32_t serviceType = 0;
  uint32_t startType = 0;
  uint32_t errorControl = 0;
  std::wstring binaryPathName;
  std::wstring dependencies;  // REG_MULTI_SZ-style: names separated by nulls
  std::wstring displayName;
};

// ENUM_SERVICE_STATUSW, with its strings as values.
struct EnumServiceStatus {
  std::wstring serviceName;
  std::wstring displayName;
  ServiceStatus serviceStatus;
};

// SERVICE_NOTIFY_2W, laid out as the SDK lays it out. The callback runs as an asynchronous procedure
// call on the thread that called NotifyServiceStatusChange, the next time it waits alertably; its
// parameter is the SERVICE_NOTIFY record itself. The record must live until the callback has run or
// the service handle is closed.
using ServiceNotifyCallback = void (*)(void* parameter);
struct ServiceNotify {
  uint32_t version = 0;
  ServiceNotifyCallback notifyCallback = nullptr;
  void* context = nullptr;
  uint32_t notificationStatus = 0;
  ServiceStatusProcess serviceStatus;
  uint32_t notificationTriggered = 0;
  wchar_t* serviceNames = nullptr;  // only for created/deleted notifications on the manager, not used here
};

ScHandle OpenSCManager(const wchar_t* machineName, const wchar_t* databaseName, uint32_t desiredAccess);
ScHandle OpenService(ScHandle manager, const wchar_t* serviceName, uint32_t desiredAccess);
bool CloseServiceHandle(ScHandle handle);

bool QueryServiceStatus(ScHandle service, ServiceStatus* status);
// QueryServiceStatusEx with SC_STATUS_PROCESS_INFO.
bool QueryServiceStatusEx(ScHandle service, ServiceStatusProcess* status);
// StartServiceW with no arguments.
bool StartService(ScHandle service);
bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status);
// EnumDependentServicesW: the dependents in the state asked for, in the order they should be stopped.
bool EnumDependentServices(ScHandle service, uint32_t serviceState, std::vector<EnumServiceStatus>* services);
bool QueryServiceConfig(ScHandle service, ServiceConfig* config);
// ChangeServiceConfigW with every string argument null (unchanged); kServiceNoChange keeps a number.
bool ChangeServiceConfig(ScHandle service, uint32_t serviceType, uint32_t startType, uint32_t errorControl);
// NotifyServiceStatusChangeW. Returns a Win32 error code (0 on success), as the Win32 call does.
uint32_t NotifyServiceStatusChange(ScHandle service, uint32_t notifyMask, ServiceNotify* notify);

}  // namespace tamber::platform
