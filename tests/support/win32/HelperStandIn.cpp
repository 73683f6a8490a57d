#include "support/HelperStandIn.h"

#include <windows.h>

#include <map>

namespace tamber::test {
namespace {

const wchar_t kHelperFolder[] = L"C:\\Program Files\\Talvora\\Quorvel\\Agent\\bin";

// The stand-in reads its faults from the environment the agent hands down.
std::map<std::string, std::string>& Faults() {
  static std::map<std::string, std::string> faults;
  return faults;
}

void PublishFaults() {
  std::wstring text;
  for (const auto& [name, value] : Faults()) {
    text += std::wstring(name.begin(), name.end()) + L"=" + std::wstring(value.begin(), value.end()) + L";";
  }
  SetEnvironmentVariableW(L"VELOCYN_STANDIN_FAULTS", text.empty() ? nullptr : text.c_str());
}

}  // namespace

std::filesystem::path TestProgramPath(const std::string& name) {
  wchar_t path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  return std::filesystem::path(std::wstring(path, length)).parent_path() / (name + ".exe");
}

void InstallHelperStandIn() {
  std::filesystem::create_directories(kHelperFolder);
  std::filesystem::copy_file(TestProgramPath("tqaprep"), std::filesystem::path(kHelperFolder) / L"tqaprep.exe",
                             std::filesystem::copy_options::overwrite_existing);
}

void RemoveHelperStandIn() {
  std::error_code ignored;
  std::filesystem::remove(std::filesystem::path(kHelperFolder) / L"tqaprep.exe", ignored);
  Faults().clear();
  PublishFaults();
}

void SetStandInFault(const std::string& name, const std::string& value) {
  Faults()[name] = value;
  PublishFaults();
}

void ClearStandInFault(const std::string& name) {
  Faults().erase(name);
  PublishFaults();
}

}  // namespace tamber::test
