// Our own service's side of the service control manager: the Win32 calls themselves.
#include "platform/ServiceHost.h"
#include "platform/win32/Win32Api.h"

#undef StartServiceCtrlDispatcher
#undef RegisterServiceCtrlHandlerEx

namespace tamber::platform {

static_assert(sizeof(WtsSessionNotification) == 8, "WTSSESSION_NOTIFICATION is two DWORDs");

namespace {
// The dispatcher wants a table of LPSERVICE_MAIN_FUNCTIONW (DWORD, LPWSTR*): same shape as ours.
ServiceMainFunction g_serviceMain = nullptr;

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
  if (g_serviceMain != nullptr) g_serviceMain(argc, argv);
}
}  // namespace

bool StartServiceCtrlDispatcher(const wchar_t* serviceName, ServiceMainFunction serviceMain) {
  g_serviceMain = serviceMain;
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(serviceName), &ServiceMainTrampoline}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) != FALSE;
}

ServiceStatusHandle RegisterServiceCtrlHandlerEx(const wchar_t* serviceName, HandlerFunctionEx handler, void* context) {
  // LPHANDLER_FUNCTION_EX is DWORD WINAPI (DWORD, DWORD, LPVOID, LPVOID); on x64 there is one calling
  // convention and DWORD is our uint32_t, so the handler passes as it is.
  return ::RegisterServiceCtrlHandlerExW(serviceName, reinterpret_cast<LPHANDLER_FUNCTION_EX>(handler), context);
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS sdk{status.serviceType,
                     status.currentState,
                     status.controlsAccepted,
                     status.win32ExitCode,
                     status.serviceSpecificExitCode,
                     status.checkPoint,
                     status.waitHint};
  return ::SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &sdk) != FALSE;
}

}  // namespace tamber::platform
