// A real Windows service for the Wine tier's service-control tests, registered by the test with
// "sc create ... binPath= <this program> [options]".
//   velocyn_test_service [--start-ms N] [--stop-ms N] [--exit-after-ms N]
// Reports start-pending for --start-ms, then running; a stop control reports stop-pending for --stop-ms,
// then stopped. With --exit-after-ms the running service stops by itself after that long, as a crash
// would (exit code ERROR_PROCESS_ABORTED). On other platforms the program does nothing.
#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

DWORD g_startMs = 500;
DWORD g_stopMs = 300;
DWORD g_exitAfterMs = INFINITE;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
SERVICE_STATUS g_status{};

void Report(DWORD state, DWORD exitCode, DWORD waitHint) {
  static DWORD checkPoint = 1;
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwWin32ExitCode = exitCode;
  g_status.dwWaitHint = waitHint;
  g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : checkPoint++;
  SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, NO_ERROR, g_stopMs + 2000);
      SetEvent(g_stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(L"", &Handler, nullptr);
  if (g_statusHandle == nullptr) return;
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_START_PENDING, NO_ERROR, g_startMs + 2000);
  Sleep(g_startMs);
  Report(SERVICE_RUNNING, NO_ERROR, 0);
  if (WaitForSingleObject(g_stopEvent, g_exitAfterMs) == WAIT_TIMEOUT) {
    Report(SERVICE_STOPPED, ERROR_PROCESS_ABORTED, 0);
    return;
  }
  Sleep(g_stopMs);
  Report(SERVICE_STOPPED, NO_ERROR, 0);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    DWORD value = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
    if (std::strcmp(argv[i], "--start-ms") == 0) g_startMs = value;
    if (std::strcmp(argv[i], "--stop-ms") == 0) g_stopMs = value;
    if (std::strcmp(argv[i], "--exit-after-ms") == 0) g_exitAfterMs = value;
  }
  wchar_t name[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
#else
int main() { return 0; }
#endif
