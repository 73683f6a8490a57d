// The controller of the Windows Installer package's end-to-end run under Wine (tests/wine/msi_e2e.sh):
// one program, so that the whole run is one Wine session and its service control manager stays up.
//   velocyn_msi_e2e <first.msi> <its version> <second.msi> <its version, a higher build>
// It installs the first package silently and checks what it made (image, service, registry, folders);
// runs the agent as a service, with settings and markers written as an administrator and a customized
// clone would have them; upgrades to the second package and checks that the image was replaced and the
// settings and markers kept; removes the package while the service runs and checks that the service and
// the image are gone while logs, keys and markers stay; and installs it again over those markers.
// One line per check: "msi-e2e: PASS <check>" or "msi-e2e: FAIL <check>: <details>"; exit code 1 on any
// failure. On other platforms the program does nothing.
#ifdef _WIN32
#include <windows.h>
// windows.h first: the others build on its types.
#include <msi.h>
#include <winver.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kServiceName[] = L"tlv-velocyn-ga";
constexpr wchar_t kDisplayName[] = L"Talvora Quorvel Velocyn Agent";
constexpr wchar_t kUpgradeCode[] = L"{CE2CAB0F-D543-4920-A7DC-DCBD7077DC6F}";
constexpr wchar_t kInstallDir[] = L"C:\\Program Files\\Talvora\\Quorvel\\Velocyn Agent";
constexpr wchar_t kImage[] = L"C:\\Program Files\\Talvora\\Quorvel\\Velocyn Agent\\tlv-velocyn-ga.exe";
constexpr wchar_t kLogDir[] = L"C:\\ProgramData\\Talvora\\Quorvel\\logs";
constexpr wchar_t kDumpDir[] = L"C:\\ProgramData\\Talvora\\Quorvel\\Dumps";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\tlv-velocyn-ga";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\Talvora\\Quorvel";
constexpr wchar_t kGaKey[] = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga";
constexpr wchar_t kNgaKey[] = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\nga";
constexpr wchar_t kSetupKey[] = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\setup";
// Under SOFTWARE\Talvora\Quorvel: the product's keys the agent opens (some without creating them) and
// the agent's own key map.
const wchar_t* const kInstalledKeys[] = {L"",
                                         L"\\Log",
                                         L"\\Dump",
                                         L"\\Velocyn Agent",
                                         L"\\Velocyn Agent\\ga",
                                         L"\\Velocyn Agent\\nga",
                                         L"\\Velocyn Agent\\External",
                                         L"\\Velocyn Agent\\AgentIntegration",
                                         L"\\Velocyn Agent\\AgentIntegration\\AV",
                                         L"\\Velocyn Agent\\Support",
                                         L"\\Velocyn Agent\\guestInfo",
                                         L"\\Velocyn Agent\\setup",
                                         L"\\Velocyn Agent\\QuorvelAgent"};
constexpr wchar_t kDefaultNlFlag[] = L"0x2fffffff";
constexpr wchar_t kAdminNlFlag[] = L"0x2000ffff";
constexpr DWORD kAdminRenewIpRetries = 7;

int g_failures = 0;

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

bool Check(bool ok, const std::string& what, const std::string& details = {}) {
  if (ok) {
    std::printf("msi-e2e: PASS %s\n", what.c_str());
  } else {
    ++g_failures;
    std::printf("msi-e2e: FAIL %s%s%s\n", what.c_str(), details.empty() ? "" : ": ", details.c_str());
  }
  std::fflush(stdout);
  return ok;
}

void Note(const std::string& text) {
  std::printf("msi-e2e: %s\n", text.c_str());
  std::fflush(stdout);
}

// Runs a command line with this program's console; its exit code, ~0u if it did not run or finish.
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
  DWORD code = ~0u;
  if (WaitForSingleObject(process.hProcess, 180000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

// Each run logs verbosely to its own file in C:\msi-e2e (tests/wine/msi_e2e.sh shows it on a failure).
DWORD Msiexec(const wchar_t* option, const std::wstring& package, const wchar_t* step) {
  CreateDirectoryW(L"C:\\msi-e2e", nullptr);
  return Run(std::wstring(L"msiexec.exe ") + option + L" \"" + package + L"\" /qn /l*v C:\\msi-e2e\\" + step + L".log");
}

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The number of values in a key; -1 if it cannot be opened.
long ValueCount(const std::wstring& path) {
  HKEY key = nullptr;
  DWORD values = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
  LONG result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                                 nullptr, nullptr);
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? static_cast<long>(values) : -1;
}

// A value's bytes if it has one of the types; empty otherwise.
std::vector<BYTE> ReadValue(const std::wstring& path, const wchar_t* name, DWORD types) {
  DWORD size = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, types | RRF_NOEXPAND, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  std::vector<BYTE> data(size);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, types | RRF_NOEXPAND, nullptr, data.data(), &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  data.resize(size);
  return data;
}

// A REG_SZ or REG_EXPAND_SZ; "<missing>" if there is none.
std::wstring ReadText(const std::wstring& path, const wchar_t* name) {
  std::vector<BYTE> data = ReadValue(path, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ);
  if (data.empty()) return L"<missing>";
  return std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
}

// A REG_DWORD; ~0u if there is none.
DWORD ReadDword(const std::wstring& path, const wchar_t* name) {
  std::vector<BYTE> data = ReadValue(path, name, RRF_RT_REG_DWORD);
  DWORD number = ~0u;
  if (data.size() == sizeof(number)) memcpy(&number, data.data(), sizeof(number));
  return number;
}

// Writes a value, making its key if needed.
bool WriteValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, size_t size) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, type, data, static_cast<DWORD>(size)) == ERROR_SUCCESS;
}

bool WriteDword(const std::wstring& path, const wchar_t* name, DWORD number) {
  return WriteValue(path, name, REG_DWORD, &number, sizeof(number));
}

bool IsDirectory(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The file version of an image's version resource as a.b.c.d, "" if it has none.
std::string FileVersion(const wchar_t* path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return {};
  std::vector<BYTE> block(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(path, 0, size, block.data()) ||
      !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr) {
    return {};
  }
  return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(info->dwFileVersionLS)) + "." + std::to_string(LOWORD(info->dwFileVersionLS));
}

size_t FilesIn(const std::wstring& directory) {
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  size_t count = 0;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ++count;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return count;
}

std::string ProductVersion(const wchar_t* product) {
  wchar_t version[64] = {};
  DWORD length = 64;
  if (MsiGetProductInfoW(product, L"VersionString", version, &length) != ERROR_SUCCESS) return "?";
  return Narrow(version);
}

// The versions of the installed products named as the agent, found by enumerating every product.
std::vector<std::string> InstalledVersions() {
  std::vector<std::string> versions;
  wchar_t product[39];
  for (DWORD i = 0; MsiEnumProductsW(i, product) == ERROR_SUCCESS; ++i) {
    wchar_t name[256] = {};
    DWORD length = 256;
    if (MsiGetProductInfoW(product, L"ProductName", name, &length) == ERROR_SUCCESS &&
        std::wstring(name) == kDisplayName) {
      versions.push_back(ProductVersion(product));
    }
  }
  return versions;
}

// The versions of the installed products found by the agent's upgrade code, as the next upgrade finds them.
std::vector<std::string> RelatedVersions() {
  std::vector<std::string> versions;
  wchar_t product[39];
  for (DWORD i = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, i, product) == ERROR_SUCCESS; ++i) {
    versions.push_back(ProductVersion(product));
  }
  return versions;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return "[" + out + "]";
}

// Whether the image path names the installed image (a quoted path counts the same).
bool ImagePathIsInstalledImage(std::wstring path) {
  if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') path = path.substr(1, path.size() - 2);
  return CompareStringOrdinal(path.c_str(), -1, kImage, -1, TRUE) == CSTR_EQUAL;
}

// SERVICE_FAILURE_ACTIONS as the service key keeps it: reset period, two 32-bit pointer slots, the action
// count, the array's offset, then the actions (type, delay). Every action must be a restart.
bool FailureActionsRestart(const std::vector<BYTE>& data, std::string* details) {
  auto dword = [&](size_t at) {
    DWORD number = 0;
    memcpy(&number, data.data() + at, sizeof(number));
    return number;
  };
  *details = std::to_string(data.size()) + " bytes";
  if (data.size() < 20) return false;
  DWORD count = dword(12);
  *details = "reset " + std::to_string(dword(0)) + " s, " + std::to_string(count) + " actions";
  if (count == 0 || data.size() < 20 + 8 * static_cast<size_t>(count)) return false;
  bool restarts = dword(0) > 0;
  for (DWORD i = 0; i < count; ++i) {
    *details += ", " + std::to_string(dword(20 + 8 * i)) + "/" + std::to_string(dword(24 + 8 * i)) + " ms";
    restarts = restarts && dword(20 + 8 * i) == SC_ACTION_RESTART && dword(24 + 8 * i) > 0;
  }
  return restarts;
}

// The service's state now (0 if it cannot be opened: the error is in *error) and its process.
DWORD ServiceState(DWORD* error, DWORD* processId = nullptr) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS) : nullptr;
  *error = service == nullptr ? GetLastError() : 0;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  bool ok = service != nullptr && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                                       reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  if (processId != nullptr) *processId = ok ? status.dwProcessId : 0;
  return ok ? status.dwCurrentState : 0;
}

// Starts the service and waits for RUNNING. No handle stays open: removal must be able to delete it.
bool StartAndWaitRunning(DWORD* processId, std::string* details) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, kServiceName, SERVICE_START) : nullptr;
  bool started = service != nullptr && StartServiceW(service, 0, nullptr);
  *details = started ? "" : "StartService failed, error " + std::to_string(GetLastError());
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  DWORD error = 0;
  DWORD state = 0;
  for (ULONGLONG end = GetTickCount64() + 60000; started && GetTickCount64() < end; Sleep(50)) {
    state = ServiceState(&error, processId);
    if (state == SERVICE_RUNNING) return true;
  }
  if (started) *details = "state " + std::to_string(state) + ", error " + std::to_string(error);
  return false;
}

bool ProcessEnded(DWORD processId, DWORD milliseconds) {
  if (processId == 0) return true;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return true;
  bool ended = WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

// The service as the package registers it, read from its key.
void CheckServiceKey(const std::string& when) {
  std::wstring imagePath = ReadText(kServiceKey, L"ImagePath");
  Check(ImagePathIsInstalledImage(imagePath), when + ": ImagePath names the installed image", Narrow(imagePath));
  DWORD type = ReadDword(kServiceKey, L"Type");
  Check(type == SERVICE_WIN32_OWN_PROCESS, when + ": Type own process (16)", std::to_string(type));
  DWORD start = ReadDword(kServiceKey, L"Start");
  Check(start == SERVICE_AUTO_START, when + ": Start automatic (2)", std::to_string(start));
  std::wstring account = ReadText(kServiceKey, L"ObjectName");
  Check(account == L"LocalSystem", when + ": ObjectName LocalSystem", Narrow(account));
  std::wstring display = ReadText(kServiceKey, L"DisplayName");
  Check(display == kDisplayName, when + ": DisplayName", Narrow(display));
  std::wstring description = ReadText(kServiceKey, L"Description");
  Check(!description.empty() && description != L"<missing>", when + ": Description", Narrow(description));
  std::string details;
  Check(FailureActionsRestart(ReadValue(kServiceKey, L"FailureActions", RRF_RT_REG_BINARY), &details),
        when + ": FailureActions restart the service", details);
}

bool Installed(const std::string& version, const std::string& when) {
  std::string image = FileVersion(kImage);
  Check(image == version, when + ": the image is installed, version " + version,
        image.empty() ? "no image or no version resource at " + Narrow(kImage) : "version " + image);
  CheckServiceKey(when);
  std::vector<std::string> products = InstalledVersions();
  Check(products == std::vector<std::string>{version}, when + ": one product installed, version " + version,
        "installed " + Joined(products));
  std::vector<std::string> related = RelatedVersions();
  return Check(related == std::vector<std::string>{version}, when + ": the upgrade code finds it",
               "found " + Joined(related));
}

// The installed keys that are missing, joined; empty if none is.
std::string MissingKeys() {
  std::string missing;
  for (const wchar_t* key : kInstalledKeys) {
    if (!KeyExists(std::wstring(kProductKey) + key)) missing += (missing.empty() ? "" : ", ") + Narrow(key);
  }
  return missing;
}

bool MarkersKept(const std::string& when) {
  DWORD completed = ReadDword(kGaKey, L"CloneCustomizationCompleted");
  DWORD rebooted = ReadDword(kNgaKey, L"CloneRebooted");
  DWORD golden = ReadDword(kSetupKey, L"GoldenImage");
  return Check(completed == 1 && rebooted == 1 && golden == 1,
               when + ": markers kept (ga CloneCustomizationCompleted, nga CloneRebooted, setup GoldenImage)",
               "values " + std::to_string(completed) + ", " + std::to_string(rebooted) + ", " + std::to_string(golden));
}

int RunAll(const std::wstring& first, const std::string& firstVersion, const std::wstring& second,
           const std::string& secondVersion) {
  // 1. A fresh installation.
  DWORD code = Msiexec(L"/i", first, L"install");
  if (!Check(code == 0, "msiexec /i " + firstVersion + " /qn", "exit code " + std::to_string(code))) return 1;
  Installed(firstVersion, "install");
  std::wstring nlFlag = ReadText(kServiceKey, L"NlFlag");
  Check(nlFlag == kDefaultNlFlag, "install: NlFlag holds its default", Narrow(nlFlag));
  std::string missing = MissingKeys();
  Check(missing.empty(), "install: the agent's registry keys exist", "missing " + missing);
  long gaValues = ValueCount(kGaKey);
  long ngaValues = ValueCount(kNgaKey);
  Check(gaValues == 0 && ngaValues == 0, "install: no marker written (ga and nga hold no values)",
        std::to_string(gaValues) + " and " + std::to_string(ngaValues) + " values");
  Check(IsDirectory(kLogDir) && IsDirectory(kDumpDir), "install: the log and dump folders exist");
  DWORD error = 0;
  DWORD state = ServiceState(&error);
  Check(state == SERVICE_STOPPED, "install: the service is not started (it starts with the next boot)",
        "state " + std::to_string(state) + ", error " + std::to_string(error));

  // 2. The agent runs; an administrator's settings and a customized clone's markers are in place.
  bool written = WriteDword(kSetupKey, L"GoldenImage", 1) && WriteDword(kGaKey, L"ServiceShutdownDelay", 600000) &&
                 WriteDword(kGaKey, L"CloneCustomizationCompleted", 1) && WriteDword(kNgaKey, L"CloneRebooted", 1) &&
                 WriteDword(kServiceKey, L"RenewIPRetries", kAdminRenewIpRetries) &&
                 WriteValue(kServiceKey, L"NlFlag", REG_SZ, kAdminNlFlag, sizeof(kAdminNlFlag));
  if (!Check(written, "settings and markers written")) return 1;
  DWORD processId = 0;
  std::string details;
  Check(StartAndWaitRunning(&processId, &details), "the installed service starts and runs", details);

  // 3. A major upgrade to a higher build while the service runs.
  code = Msiexec(L"/i", second, L"upgrade");
  if (!Check(code == 0, "msiexec /i " + secondVersion + " /qn (upgrade)", "exit code " + std::to_string(code))) {
    return 1;
  }
  Check(ProcessEnded(processId, 30000), "upgrade: the running service was stopped",
        "process " + std::to_string(processId) + " still runs");
  Installed(secondVersion, "upgrade");
  DWORD retries = ReadDword(kServiceKey, L"RenewIPRetries");
  nlFlag = ReadText(kServiceKey, L"NlFlag");
  Check(retries == kAdminRenewIpRetries && nlFlag == kAdminNlFlag,
        "upgrade: the settings in the service key are kept (RenewIPRetries, NlFlag)",
        std::to_string(retries) + ", " + Narrow(nlFlag));
  MarkersKept("upgrade");

  // 4. Removal while the service runs.
  Check(StartAndWaitRunning(&processId, &details), "the upgraded service starts and runs", details);
  size_t logs = FilesIn(kLogDir);
  Check(logs > 0, "the agent wrote its log", Narrow(kLogDir) + " is empty");
  code = Msiexec(L"/x", second, L"removal");
  Check(code == 0, "msiexec /x /qn (removal)", "exit code " + std::to_string(code));
  Check(ProcessEnded(processId, 30000), "removal: the running service was stopped",
        "process " + std::to_string(processId) + " still runs");
  // The service control manager deletes the key once the last handle to the service is closed.
  ULONGLONG end = GetTickCount64() + 10000;
  while ((ServiceState(&error) != 0 || KeyExists(kServiceKey)) && GetTickCount64() < end) Sleep(100);
  state = ServiceState(&error);
  Check(state == 0 && error == ERROR_SERVICE_DOES_NOT_EXIST && !KeyExists(kServiceKey),
        "removal: the service and its key are gone",
        "state " + std::to_string(state) + ", error " + std::to_string(error) +
            (KeyExists(kServiceKey) ? ", key still there" : ""));
  Check(!IsFile(kImage) && !IsDirectory(kInstallDir), "removal: the image and its folder are gone");
  Check(FilesIn(kLogDir) >= logs && IsDirectory(kDumpDir), "removal: the logs and the dump folder stay",
        std::to_string(FilesIn(kLogDir)) + " log files");
  missing = MissingKeys();
  Check(missing.empty(), "removal: the agent's registry keys stay", "missing " + missing);
  MarkersKept("removal");
  std::vector<std::string> products = InstalledVersions();
  std::vector<std::string> related = RelatedVersions();
  Check(products.empty() && related.empty(), "removal: no product installed",
        "installed " + Joined(products) + ", by upgrade code " + Joined(related));

  // 5. A reinstallation over the markers of a customized clone keeps them.
  code = Msiexec(L"/i", second, L"reinstall");
  Check(code == 0, "msiexec /i " + secondVersion + " /qn (reinstall)", "exit code " + std::to_string(code));
  Installed(secondVersion, "reinstall");
  MarkersKept("reinstall");
  nlFlag = ReadText(kServiceKey, L"NlFlag");
  Check(nlFlag == kDefaultNlFlag, "reinstall: NlFlag holds its default again (the service key went with the service)",
        Narrow(nlFlag));
  return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 5) {
    std::fprintf(stderr, "usage: velocyn_msi_e2e <first.msi> <its version> <second.msi> <its version>\n");
    return 2;
  }
  std::wstring first = argv[1];
  std::string firstVersion = Narrow(argv[2]);
  std::wstring second = argv[3];
  std::string secondVersion = Narrow(argv[4]);
  LocalFree(argv);
  return RunAll(first, firstVersion, second, secondVersion);
}
#else
int main() { return 0; }
#endif
