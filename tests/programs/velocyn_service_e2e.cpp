// The controller of the agent service's end-to-end run under Wine (tests/wine/service_e2e.sh): one
// program, so that the whole run is one Wine session and its service control manager stays up.
//   velocyn_service_e2e <Windows path of tlv-velocyn-ga.exe> <expected product version a.b.c.d>
// It prepares a golden image's registry, installs the agent with "sc create", lets it stop by itself
// after a short shutdown delay, checks the boot-time agent's registration and the version line of the
// log, then starts it again with a long delay and stops it with "sc stop". One line per check:
// "service-e2e: PASS <check>" or "service-e2e: FAIL <check>: <details>"; exit code 1 on any failure.
// On other platforms the program does nothing.
#ifdef _WIN32
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kServiceName[] = L"tlv-velocyn-ga";
constexpr wchar_t kAgentKey[] = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent";
constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kLogDirectory[] = L"C:\\ProgramData\\Talvora\\Quorvel\\logs\\";
// The agent's own keys under kAgentKey, as an installed golden image has them.
const wchar_t* const kAgentSubkeys[] = {
    L"ga",      L"nga",       L"External", L"AgentIntegration", L"AgentIntegration\\AV",
    L"Support", L"guestInfo", L"setup",    L"QuorvelAgent"};
const std::vector<std::wstring> kBootExecuteBefore = {L"autocheck autochk *", L"velocyn-e2e second entry"};
constexpr wchar_t kNgaEntry[] = L"System32\\talvora-qx-nga.exe";
constexpr DWORD kShortDelayMs = 4000;
constexpr DWORD kLongDelayMs = 600000;
constexpr ULONGLONG kPromptStopMs = 10000;

int g_failures = 0;

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

bool Check(bool ok, const char* what, const std::string& details = {}) {
  if (ok) {
    std::printf("service-e2e: PASS %s\n", what);
  } else {
    ++g_failures;
    std::printf("service-e2e: FAIL %s%s%s\n", what, details.empty() ? "" : ": ", details.c_str());
  }
  std::fflush(stdout);
  return ok;
}

void Note(const std::string& text) {
  std::printf("service-e2e: %s\n", text.c_str());
  std::fflush(stdout);
}

// Runs a command line with this program's console and returns its exit code (~0u if it did not run).
DWORD Run(const std::wstring& commandLine) {
  Note("run: " + Narrow(commandLine));
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return ~0u;
  }
  WaitForSingleObject(process.hProcess, 120000);
  DWORD code = ~0u;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::fflush(stdout);
  return code;
}

bool SetDword(const std::wstring& path, const wchar_t* name, DWORD value) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  LONG result = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool SetMultiString(const wchar_t* path, const wchar_t* name, const std::vector<std::wstring>& entries) {
  std::wstring data;
  for (const auto& entry : entries) data += entry + L'\0';
  data += L'\0';
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  LONG result = RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                               static_cast<DWORD>(data.size() * sizeof(wchar_t)));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

// The entries of a REG_MULTI_SZ value; false if it is missing or of another type.
bool ReadMultiString(const wchar_t* path, const wchar_t* name, std::vector<std::wstring>* entries) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path, name, RRF_RT_ANY, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_MULTI_SZ) {
    return false;
  }
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path, name, RRF_RT_ANY, &type, data.data(), &size) != ERROR_SUCCESS) {
    return false;
  }
  entries->clear();
  for (size_t i = 0; i < size / sizeof(wchar_t) && data[i] != L'\0';) {
    std::wstring entry(&data[i]);
    i += entry.size() + 1;
    entries->push_back(entry);
  }
  return true;
}

std::string Joined(const std::vector<std::wstring>& entries) {
  std::string out;
  for (const auto& entry : entries) out += (out.empty() ? "\"" : ", \"") + Narrow(entry) + "\"";
  return "[" + out + "]";
}

struct Status {
  bool ok = false;
  SERVICE_STATUS_PROCESS value{};
};

Status Query(SC_HANDLE service) {
  Status status;
  DWORD needed = 0;
  status.ok = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status.value),
                                   sizeof(status.value), &needed) != FALSE;
  return status;
}

// Polls every 50 ms until the state is reached or the time is up; remembers whether RUNNING was seen.
bool WaitForState(SC_HANDLE service, DWORD state, ULONGLONG milliseconds, bool* sawRunning, Status* last) {
  ULONGLONG end = GetTickCount64() + milliseconds;
  for (;;) {
    *last = Query(service);
    if (last->ok && last->value.dwCurrentState == SERVICE_RUNNING && sawRunning != nullptr) *sawRunning = true;
    if (last->ok && last->value.dwCurrentState == state) return true;
    if (GetTickCount64() > end) return false;
    Sleep(50);
  }
}

// The service's process ends after it reported stopped; its log is complete only then.
void WaitForProcessEnd(DWORD processId) {
  if (processId == 0) return;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return;
  WaitForSingleObject(process, 15000);
  CloseHandle(process);
}

std::string StateText(const Status& status) {
  if (!status.ok) return "query failed, error " + std::to_string(GetLastError());
  return "state " + std::to_string(status.value.dwCurrentState) + ", exit code " +
         std::to_string(status.value.dwWin32ExitCode) + ", service exit code " +
         std::to_string(status.value.dwServiceSpecificExitCode);
}

// Whether any file of the log directory holds the text (UTF-8 or UTF-16LE).
bool LogContains(const std::string& text, std::string* searched) {
  std::wstring wide(text.begin(), text.end());
  std::string utf16(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileW((std::wstring(kLogDirectory) + L"*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool hit = false;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    *searched += (searched->empty() ? "" : ", ") + Narrow(found.cFileName);
    HANDLE file =
        CreateFileW((std::wstring(kLogDirectory) + found.cFileName).c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) content.append(buffer, read);
    CloseHandle(file);
    if (content.find(text) != std::string::npos || content.find(utf16) != std::string::npos) hit = true;
  } while (!hit && FindNextFileW(find, &found));
  FindClose(find);
  return hit;
}

bool PrepareGoldenImage() {
  bool ok = true;
  for (const wchar_t* subkey : kAgentSubkeys) {
    HKEY key = nullptr;
    std::wstring path = std::wstring(kAgentKey) + L"\\" + subkey;
    ok = ok && RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr) ==
                   ERROR_SUCCESS;
    if (key != nullptr) RegCloseKey(key);
  }
  ok = ok && SetDword(std::wstring(kAgentKey) + L"\\setup", L"GoldenImage", 1);
  ok = ok && SetDword(std::wstring(kAgentKey) + L"\\ga", L"ServiceShutdownDelay", kShortDelayMs);
  ok = ok && SetMultiString(kSessionManagerKey, L"BootExecute", kBootExecuteBefore);
  return ok;
}

int RunAll(const std::wstring& agentPath, const std::string& version) {
  if (!Check(PrepareGoldenImage(), "golden image registry prepared")) return 1;

  DWORD code = Run(L"sc.exe create tlv-velocyn-ga binPath= \"" + agentPath + L"\" type= own");
  if (!Check(code == 0, "sc create", "exit code " + std::to_string(code))) return 1;

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS) : nullptr;
  if (!Check(service != nullptr, "service opened", "error " + std::to_string(GetLastError()))) return 1;

  // First boot: a golden image, stopping by itself after the short delay.
  code = Run(L"sc.exe start tlv-velocyn-ga");
  ULONGLONG started = GetTickCount64();
  Check(code == 0, "sc start (short shutdown delay)", "exit code " + std::to_string(code));
  bool sawRunning = false;
  Status last;
  bool stopped = WaitForState(service, SERVICE_STOPPED, kShortDelayMs + 60000, &sawRunning, &last);
  ULONGLONG ranMs = GetTickCount64() - started;
  Check(sawRunning, "reported RUNNING", StateText(last));
  Check(stopped, "stopped by itself", StateText(last) + " after " + std::to_string(ranMs) + " ms");
  if (stopped) {
    Check(ranMs + 500 >= kShortDelayMs, "ran for the shutdown delay",
          "stopped after " + std::to_string(ranMs) + " ms, delay " + std::to_string(kShortDelayMs) + " ms");
    Check(last.value.dwWin32ExitCode == NO_ERROR, "stopped without an error", StateText(last));
    Note("first run stopped after " + std::to_string(ranMs) + " ms");
  }
  WaitForProcessEnd(last.value.dwProcessId);

  std::vector<std::wstring> expected = kBootExecuteBefore;
  expected.push_back(kNgaEntry);
  std::vector<std::wstring> entries;
  bool read = ReadMultiString(kSessionManagerKey, L"BootExecute", &entries);
  Check(read && entries == expected, "BootExecute keeps its entries in order and ends with the boot-time agent",
        read ? "is " + Joined(entries) + ", expected " + Joined(expected) : "not readable as REG_MULTI_SZ");

  std::string line = "Velocyn Agent Product Version: " + version;
  std::string searched;
  Check(LogContains(line, &searched), "log has the product version line",
        "\"" + line + "\" not in " + Narrow(kLogDirectory) + " (files: " + searched + ")");

  // Second boot: a long delay, cut short by a stop control while the service waits.
  Check(SetDword(std::wstring(kAgentKey) + L"\\ga", L"ServiceShutdownDelay", kLongDelayMs), "long delay set");
  code = Run(L"sc.exe start tlv-velocyn-ga");
  Check(code == 0, "sc start (long shutdown delay)", "exit code " + std::to_string(code));
  sawRunning = false;
  bool running = WaitForState(service, SERVICE_RUNNING, 60000, &sawRunning, &last);
  Check(running, "running again", StateText(last));
  if (running) {
    Sleep(3000);  // into the stop-wait
    last = Query(service);
    Check(last.ok && last.value.dwCurrentState == SERVICE_RUNNING, "still running in the stop-wait", StateText(last));
    ULONGLONG stopAt = GetTickCount64();
    code = Run(L"sc.exe stop tlv-velocyn-ga");
    Check(code == 0, "sc stop", "exit code " + std::to_string(code));
    stopped = WaitForState(service, SERVICE_STOPPED, 60000, nullptr, &last);
    ULONGLONG stopMs = GetTickCount64() - stopAt;
    Check(stopped && stopMs <= kPromptStopMs, "stop control ends the stop-wait promptly",
          StateText(last) + " " + std::to_string(stopMs) + " ms after the stop");
    Note("second run stopped " + std::to_string(stopMs) + " ms after the stop control");
    WaitForProcessEnd(last.value.dwProcessId);
  }
  read = ReadMultiString(kSessionManagerKey, L"BootExecute", &entries);
  Check(read && entries == expected, "BootExecute unchanged by the second boot",
        read ? "is " + Joined(entries) : "not readable as REG_MULTI_SZ");

  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 3) {
    std::fprintf(stderr, "usage: velocyn_service_e2e <path of tlv-velocyn-ga.exe> <product version a.b.c.d>\n");
    return 2;
  }
  std::wstring agentPath = argv[1];
  std::string version = Narrow(argv[2]);
  LocalFree(argv);
  return RunAll(agentPath, version);
}
#else
int main() { return 0; }
#endif
