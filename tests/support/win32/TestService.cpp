// Test services on Windows (Wine): the program velocyn_test_service registered with the real service
// control manager, as "sc create <name> binPath= ... type= own start= demand depend= ..." registers it.
#include "support/TestService.h"

#include <windows.h>

#include <filesystem>
#include <string>

namespace tamber::test {
namespace {

std::filesystem::path TestProgramDirectory() {
  wchar_t path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  return std::filesystem::path(std::wstring(path, length)).parent_path();
}

// Stops the service if it runs and waits (at most ten seconds) until it has.
void StopAndWait(SC_HANDLE service) {
  SERVICE_STATUS status{};
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  for (int i = 0; i < 100; ++i) {
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) return;
    Sleep(100);
  }
}

}  // namespace

TestService::TestService(std::wstring name, const std::wstring& options, const std::wstring& dependsOn)
    : name_(std::move(name)) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    failure_ = L"OpenSCManager: error " + std::to_wstring(GetLastError());
    return;
  }
  std::wstring binary = L"\"" + (TestProgramDirectory() / L"velocyn_test_service.exe").wstring() + L"\" " + options;
  std::wstring depends = dependsOn;
  depends.push_back(L'\0');  // a double-null-terminated list
  SC_HANDLE service =
      CreateServiceW(manager, name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr,
                     dependsOn.empty() ? nullptr : depends.c_str(), nullptr, nullptr);
  if (service == nullptr) {
    failure_ = L"CreateService: error " + std::to_wstring(GetLastError());
    CloseServiceHandle(manager);
    return;
  }
  manager_ = manager;
  service_ = service;
}

TestService::~TestService() {
  if (service_ != nullptr) {
    auto service = static_cast<SC_HANDLE>(service_);
    StopAndWait(service);
    DeleteService(service);
    CloseServiceHandle(service);
  }
  if (manager_ != nullptr) CloseServiceHandle(static_cast<SC_HANDLE>(manager_));
}

}  // namespace tamber::test
