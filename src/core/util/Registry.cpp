#include "core/util/Registry.h"

#include "framework/log/Log.h"
#include "platform/Registry.h"

namespace tamber::core::util {

using common::windows::kEFail;
using common::windows::registry::NewRegKey;

const std::array<const wchar_t*, regtype::kCount> kRegistryKeyPaths = {
    L"SYSTEM\\CurrentControlSet\\services\\tlv-velocyn-ga",
    L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga",
    L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\nga",
    L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\External",
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
    L"SYSTEM\\CurrentControlSet\\Services\\Netlogon\\Parameters",
    L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\AgentIntegration",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\State",
    L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\AgentIntegration\\AV",
    L"System\\CurrentControlSet\\Control\\Lsa\\CachedMachineNames",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
    L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\Support",
    L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\guestInfo",
    L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\setup",
    L"SYSTEM\\Setup",
    L"SOFTWARE\\Talvora\\Quorvel\\Agent\\Configuration",
    L"Software\\Talvora\\Quorvel\\Node Manager",
    L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\QuorvelAgent",
};

Registry::~Registry() = default;

std::shared_ptr<Registry::KeyObject> Registry::GetKeyObj(RegistryType type) {
  if (type >= regtype::kCount) {
    Log(LogLevel::Error, L"tamber::core::util::Registry::GetKeyObj(): Unknown Registry Type Specified: %d",
        static_cast<int32_t>(type));
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(cacheLock_);
  auto& cached = keys_[type];
  // A key that failed to open is cached too and never retried, as the agent has always done.
  if (!cached) cached = GetKey(platform::HKeyLocalMachine(), kRegistryKeyPaths[type], platform::kKeyReadWrite);
  return cached;
}

std::shared_ptr<Registry::KeyObject> Registry::GetKey(platform::HKey root, const std::wstring& path, uint32_t access) {
  int32_t result = 0;
  auto key = std::make_shared<KeyObject>(root, path, access, &result);
  if (result != 0) {
    CreateKey(root, path);
    key = std::make_shared<KeyObject>(root, path, access, &result);
    if (result != 0) {
      Log(LogLevel::Error, L"tamber::core::util::Registry::GetKey(): Failed Opening Key: %ws, 0x%X", path,
          static_cast<uint32_t>(result));
    }
  }
  return key;
}

int32_t Registry::CreateKey(platform::HKey root, const std::wstring& path) {
  NewRegKey key(root, path, platform::kRegOptionNonVolatile, platform::kKeyReadWrite);
  return 0;
}

int32_t Registry::GetValue(const std::wstring& name, std::vector<std::wstring>* values, RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->ReadMultiStringValue(name, values);
}

int32_t Registry::GetValue(const std::wstring& name, const uint32_t* defaultValue, uint32_t* value, RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->ReadDwordValue(name, defaultValue != nullptr ? *defaultValue : 0, value);
}

int32_t Registry::GetValue(const std::wstring& name, std::wstring* value, RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->ReadStringValue(name, value);
}

int32_t Registry::SetValue(const std::wstring& name, const uint8_t* data, uint32_t size, RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->WriteMultiStringValue(name, data, size);
}

int32_t Registry::SetValue(const std::wstring& name, uint32_t value, RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) {
    Log(LogLevel::Error,
        L"tamber::core::util::Registry::SetValue(): Failed Getting KeyObj: Value Name: %ws, Value: %d, Type: %d", name,
        static_cast<int32_t>(value), static_cast<int32_t>(type));
    return kEFail;
  }
  return key->WriteDwordValue(name, value);
}

int32_t Registry::SetValue(const std::wstring& name, const std::wstring& value, RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->WriteStringValue(name, platform::kRegSz, value);
}

int32_t Registry::FlushKey(RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->FlushKey();
}

int32_t Registry::WaitForChange(bool* armed, platform::Handle event, RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->WaitForChange(armed, event);
}

int32_t Registry::WaitForDwordValue(const std::wstring& name, uint32_t expected, uint32_t timeoutMs, bool* found,
                                    RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->WaitForDwordValue(name, expected, timeoutMs, found);
}

int32_t Registry::WaitForStringValue(const std::wstring& name, const std::wstring& expected, uint32_t timeoutMs,
                                     RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->WaitForStringValue(name, expected, timeoutMs);
}

int32_t Registry::WaitForStringValue(const std::wstring& name, const std::wstring& expected, uint32_t timeoutMs,
                                     bool* found, platform::Handle shutdownEvent, RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->WaitForStringValue(name, expected, timeoutMs, found, shutdownEvent);
}

int32_t Registry::WaitForValueExists(const std::wstring& name, uint32_t timeoutMs, RegistryType type) {
  auto key = GetKeyObj(type);
  if (!key) return kEFail;
  return key->WaitForValueExists(name, timeoutMs);
}

}  // namespace tamber::core::util
