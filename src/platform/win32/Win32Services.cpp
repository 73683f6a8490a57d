// The service control manager: the Win32 calls themselves.
#include <cstddef>
#include <vector>

#include "platform/Services.h"
#include "platform/win32/Win32Api.h"

#undef OpenSCManager
#undef OpenService
#undef StartService
#undef EnumDependentServices
#undef QueryServiceConfig
#undef ChangeServiceConfig
#undef NotifyServiceStatusChange

namespace tamber::platform {

// The seam's records are the SDK's, byte for byte, so they pass straight through.
static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS));
static_assert(sizeof(ServiceStatusProcess) == sizeof(SERVICE_STATUS_PROCESS));
static_assert(sizeof(ServiceNotify) == sizeof(SERVICE_NOTIFYW));
static_assert(offsetof(ServiceNotify, notifyCallback) == offsetof(SERVICE_NOTIFYW, pfnNotifyCallback));
static_assert(offsetof(ServiceNotify, context) == offsetof(SERVICE_NOTIFYW, pContext));
static_assert(offsetof(ServiceNotify, notificationStatus) == offsetof(SERVICE_NOTIFYW, dwNotificationStatus));
static_assert(offsetof(ServiceNotify, serviceStatus) == offsetof(SERVICE_NOTIFYW, ServiceStatus));
static_assert(offsetof(ServiceNotify, notificationTriggered) == offsetof(SERVICE_NOTIFYW, dwNotificationTriggered));
static_assert(offsetof(ServiceNotify, serviceNames) == offsetof(SERVICE_NOTIFYW, pszServiceNames));

namespace {

SC_HANDLE ToSc(ScHandle handle) { return static_cast<SC_HANDLE>(handle); }

ServiceStatus FromSdk(const SERVICE_STATUS& status) {
  return ServiceStatus{status.dwServiceType,
                       status.dwCurrentState,
                       status.dwControlsAccepted,
                       status.dwWin32ExitCode,
                       status.dwServiceSpecificExitCode,
                       status.dwCheckPoint,
                       status.dwWaitHint};
}

}  // namespace

ScHandle OpenSCManager(const wchar_t* machineName, const wchar_t* databaseName, uint32_t desiredAccess) {
  return ::OpenSCManagerW(machineName, databaseName, desiredAccess);
}

ScHandle OpenService(ScHandle manager, const wchar_t* serviceName, uint32_t desiredAccess) {
  return ::OpenServiceW(ToSc(manager), serviceName, desiredAccess);
}

bool CloseServiceHandle(ScHandle handle) { return ::CloseServiceHandle(ToSc(handle)) != FALSE; }

bool QueryServiceStatus(ScHandle service, ServiceStatus* status) {
  SERVICE_STATUS sdk{};
  if (!::QueryServiceStatus(ToSc(service), &sdk)) return false;
  *status = FromSdk(sdk);
  return true;
}

bool QueryServiceStatusEx(ScHandle service, ServiceStatusProcess* status) {
  SERVICE_STATUS_PROCESS sdk{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(ToSc(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sdk), sizeof(sdk),
                              &needed)) {
    return false;
  }
  *status = ServiceStatusProcess{
      sdk.dwServiceType, sdk.dwCurrentState, sdk.dwControlsAccepted, sdk.dwWin32ExitCode, sdk.dwServiceSpecificExitCode,
      sdk.dwCheckPoint,  sdk.dwWaitHint,     sdk.dwProcessId,        sdk.dwServiceFlags};
  return true;
}

bool StartService(ScHandle service) { return ::StartServiceW(ToSc(service), 0, nullptr) != FALSE; }

bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status) {
  SERVICE_STATUS sdk{};
  if (!::ControlService(ToSc(service), control, &sdk)) return false;
  if (status != nullptr) *status = FromSdk(sdk);
  return true;
}

bool EnumDependentServices(ScHandle service, uint32_t serviceState, std::vector<EnumServiceStatus>* services) {
  services->clear();
  DWORD needed = 0;
  DWORD count = 0;
  // A first call without a buffer gives the size; ERROR_MORE_DATA is how it says so.
  if (::EnumDependentServicesW(ToSc(service), serviceState, nullptr, 0, &needed, &count)) return true;
  if (::GetLastError() != ERROR_MORE_DATA) return false;
  std::vector<std::byte> buffer(needed);
  auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data());
  if (!::EnumDependentServicesW(ToSc(service), serviceState, entries, needed, &needed, &count)) return false;
  for (DWORD i = 0; i < count; ++i) {
    services->push_back(EnumServiceStatus{entries[i].lpServiceName ? entries[i].lpServiceName : L"",
                                          entries[i].lpDisplayName ? entries[i].lpDisplayName : L"",
                                          FromSdk(entries[i].ServiceStatus)});
  }
  return true;
}

bool QueryServiceConfig(ScHandle service, ServiceConfig* config) {
  DWORD needed = 0;
  if (!::QueryServiceConfigW(ToSc(service), nullptr, 0, &needed) && ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  std::vector<std::byte> buffer(needed == 0 ? sizeof(QUERY_SERVICE_CONFIGW) : needed);
  auto* sdk = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(ToSc(service), sdk, static_cast<DWORD>(buffer.size()), &needed)) return false;
  config->serviceType = sdk->dwServiceType;
  config->startType = sdk->dwStartType;
  config->errorControl = sdk->dwErrorControl;
  config->binaryPathName = sdk->lpBinaryPathName ? sdk->lpBinaryPathName : L"";
  config->displayName = sdk->lpDisplayName ? sdk->lpDisplayName : L"";
  config->dependencies.clear();
  if (sdk->lpDependencies != nullptr) {
    // A double-null-terminated list, kept with its inner nulls.
    for (const wchar_t* item = sdk->lpDependencies; *item != L'\0'; item += wcslen(item) + 1) {
      config->dependencies.append(item);
      config->dependencies.push_back(L'\0');
    }
  }
  return true;
}

bool ChangeServiceConfig(ScHandle service, uint32_t serviceType, uint32_t startType, uint32_t errorControl) {
  return ::ChangeServiceConfigW(ToSc(service), serviceType, startType, errorControl, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr) != FALSE;
}

uint32_t NotifyServiceStatusChange(ScHandle service, uint32_t notifyMask, ServiceNotify* notify) {
  return ::NotifyServiceStatusChangeW(ToSc(service), notifyMask, reinterpret_cast<SERVICE_NOTIFYW*>(notify));
}

}  // namespace tamber::platform
