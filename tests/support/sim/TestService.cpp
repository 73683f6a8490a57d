// Test services on the simulated guest: entries of the service table in the machine's registry.
#include "support/TestService.h"

#include <cstdint>
#include <vector>

#include "platform/Registry.h"
#include "platform/Services.h"

namespace tamber::test {
namespace {

const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services\\";

std::vector<uint8_t> Utf16(const std::wstring& text, bool multi) {
  std::vector<uint8_t> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
  }
  bytes.insert(bytes.end(), multi ? 4 : 2, 0);
  return bytes;
}

void SetDword(platform::HKey key, const wchar_t* name, uint32_t value) {
  uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 24)};
  platform::RegSetValueEx(key, name, platform::kRegDword, bytes, 4);
}

}  // namespace

TestService::TestService(std::wstring name, const std::wstring& options, const std::wstring& dependsOn)
    : name_(std::move(name)) {
  platform::HKey key = nullptr;
  uint32_t error = platform::RegCreateKeyEx(platform::HKeyLocalMachine(), (kServices + name_).c_str(), 0,
                                            platform::kKeyAllAccess, &key, nullptr);
  if (error != platform::kErrorSuccess) {
    failure_ = L"cannot create the service key: error " + std::to_wstring(error);
    return;
  }
  SetDword(key, L"Type", platform::kServiceWin32OwnProcess);
  SetDword(key, L"Start", platform::kServiceDemandStart);
  auto image = Utf16(L"C:\\velocyn_test_service.exe " + options, false);
  platform::RegSetValueEx(key, L"ImagePath", platform::kRegExpandSz, image.data(), static_cast<uint32_t>(image.size()));
  if (!dependsOn.empty()) {
    auto depends = Utf16(dependsOn, true);
    platform::RegSetValueEx(key, L"DependOnService", platform::kRegMultiSz, depends.data(),
                            static_cast<uint32_t>(depends.size()));
  }
  platform::RegCloseKey(key);
}

TestService::~TestService() {}

}  // namespace tamber::test
