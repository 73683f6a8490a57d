// Custom action of the agent's Windows Installer package (velocyn-msi-actions.dll, deferred, system
// context, after StopServices).
//
// StopAgentService: the agent's image stays in use until its process has ended, and that is after the
// service reported SERVICE_STOPPED: the process still closes its keys and flushes its log. Windows
// Installer's StopServices waits (at most) for the stopped state, Wine's sends the stop control and
// does not wait at all; either way InstallFiles or RemoveFiles can then meet the running image, and the
// upgrade or removal ends in "reboot required" with the old image in place. This action sends the stop
// itself when the service is running (or once it has left the start-pending state, in which a stop
// control is refused), and waits, at most 30 s in all, for the stopped state and then for every process
// running the service's image to end. It never fails the installation: a service that does not stop in
// time leaves the files in use, as without it.
#include <windows.h>
// windows.h first: the others build on its types.
#include <msi.h>
#include <msiquery.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kServiceName[] = L"tlv-velocyn-ga";
constexpr ULONGLONG kTimeoutMs = 30000;
constexpr DWORD kPollMs = 100;

void LogInfo(MSIHANDLE install, const std::wstring& text) {
  MSIHANDLE record = MsiCreateRecord(0);
  if (record == 0) return;
  MsiRecordSetStringW(record, 0, (L"StopAgentService: " + text).c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

// The service's image path without quotes; "" if the configuration cannot be read.
std::wstring ImagePath(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  if (needed == 0) return {};
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, needed, &needed) || config->lpBinaryPathName == nullptr) return {};
  std::wstring path = config->lpBinaryPathName;
  if (path.size() >= 2 && path.front() == L'"') path = path.substr(1, path.find(L'"', 1) - 1);
  return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The processes whose executable is the image (same file name, and the same full path where it can be read).
std::vector<DWORD> ProcessesOf(const std::wstring& image) {
  std::vector<DWORD> found;
  std::wstring name = image.substr(image.find_last_of(L'\\') + 1);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (!SamePath(entry.szExeFile, name)) continue;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    wchar_t path[MAX_PATH * 2];
    DWORD length = MAX_PATH * 2;
    bool other = process != nullptr && QueryFullProcessImageNameW(process, 0, path, &length) && !SamePath(path, image);
    if (process != nullptr) CloseHandle(process);
    if (!other) found.push_back(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return found;
}

ULONGLONG Remaining(ULONGLONG end) {
  ULONGLONG now = GetTickCount64();
  return now < end ? end - now : 0;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall StopAgentService(MSIHANDLE install) {
  const ULONGLONG end = GetTickCount64() + kTimeoutMs;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, kServiceName,
                                                        SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)
                                         : nullptr;
  if (service == nullptr) {
    LogInfo(install, L"no service to stop (error " + std::to_wstring(GetLastError()) + L")");
    if (manager != nullptr) CloseServiceHandle(manager);
    return ERROR_SUCCESS;
  }
  const std::wstring image = ImagePath(service);

  bool stopped = false;
  bool stopSent = false;
  for (;;) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed)) {
      break;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
      stopped = true;
      break;
    }
    // A start-pending service refuses the stop control; a stop-pending one has had it already.
    if (!stopSent && status.dwCurrentState != SERVICE_START_PENDING && status.dwCurrentState != SERVICE_STOP_PENDING) {
      SERVICE_STATUS ignored{};
      stopSent = ControlService(service, SERVICE_CONTROL_STOP, &ignored) != FALSE;
      if (stopSent) LogInfo(install, L"stop control sent");
    }
    if (Remaining(end) == 0) break;
    Sleep(kPollMs);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  LogInfo(install, stopped ? L"service stopped" : L"service did not stop in time");

  // The process ends after its stopped report; until then it holds the image.
  if (!image.empty()) {
    for (DWORD processId : ProcessesOf(image)) {
      HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
      if (process == nullptr) continue;
      DWORD waited = WaitForSingleObject(process, static_cast<DWORD>(Remaining(end)));
      CloseHandle(process);
      LogInfo(install, L"process " + std::to_wstring(processId) +
                           (waited == WAIT_OBJECT_0 ? L" ended" : L" still runs: its image stays in use"));
    }
  }
  return ERROR_SUCCESS;
}
