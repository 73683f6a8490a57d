#include "platform/sim/tools/SimToolSupport.h"

#include "platform/Services.h"

namespace tamber::platform::sim {

std::wstring LowerAscii(std::wstring text) {
  for (auto& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + (L'a' - L'A'));
  }
  return text;
}

bool SplitToolOption(const std::wstring& argument, std::wstring* name, std::wstring* value) {
  if (argument.size() < 2 || (argument[0] != L'/' && argument[0] != L'-')) return false;
  auto colon = argument.find(L':');
  *name = LowerAscii(argument.substr(1, colon == std::wstring::npos ? std::wstring::npos : colon - 1));
  *value = colon == std::wstring::npos ? std::wstring() : argument.substr(colon + 1);
  return !name->empty();
}

bool IsServiceRunning(const wchar_t* name) {
  ScHandle manager = OpenSCManager(nullptr, nullptr, kScManagerAllAccess);
  if (manager == nullptr) return false;
  bool running = false;
  if (ScHandle service = OpenService(manager, name, kServiceAllAccess)) {
    ServiceStatus status;
    running = QueryServiceStatus(service, &status) && status.currentState == kServiceRunning;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return running;
}

}  // namespace tamber::platform::sim
