// The LSA of the simulated guest: policy handles, and private data stored in the SECURITY hive through
// the simulated registry (see SimLsa.h).
#include "platform/sim/security/SimLsa.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/Lsa.h"
#include "platform/Registry.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/registry/SimHiveFile.h"

namespace tamber::platform::sim {
namespace {

constexpr NtStatus kRpcServerUnavailable = static_cast<NtStatus>(0xC0020017u);
constexpr size_t kMaxSecretNameLength = 255;  // a registry key name
constexpr wchar_t kCurrentValue[] = L"CurrVal";
constexpr wchar_t kOldValue[] = L"OldVal";

struct Policy {
  uint32_t access;
};

// A value handed out by LsaRetrievePrivateData: the counted string and the bytes it points at.
struct Retrieved {
  LsaUnicodeString text{};
  std::vector<uint8_t> bytes;
};

struct LsaState {
  std::mutex mutex;
  std::map<void*, std::unique_ptr<Policy>> policies;
  std::map<void*, std::unique_ptr<Retrieved>> retrieved;  // by the address of text
};

LsaState& State() {
  static auto* state = new LsaState;  // outlives every thread that might still call in
  return *state;
}

bool PolicyAccess(LsaHandle handle, uint32_t* access) {
  auto& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  auto found = st.policies.find(handle);
  if (found == st.policies.end()) return false;
  *access = found->second->access;
  return true;
}

NtStatus StatusOfRegistryError(uint32_t error) {
  switch (error) {
    case kErrorSuccess:
      return kStatusSuccess;
    case kErrorFileNotFound:
      return kStatusObjectNameNotFound;
    case kErrorAccessDenied:
      return kStatusAccessDenied;
    case kErrorNotEnoughMemory:
      return kStatusNoMemory;
    default:
      return kStatusInternalError;
  }
}

// The secret's name from a counted UTF-16LE string: a registry key name of its own.
NtStatus SecretName(const LsaUnicodeString* keyName, std::wstring* name) {
  if (keyName == nullptr || keyName->Buffer == nullptr || keyName->Length == 0 || keyName->Length % 2 != 0 ||
      keyName->Length > keyName->MaximumLength) {
    return kStatusInvalidParameter;
  }
  name->clear();
  for (uint32_t i = 0; i + 1 < keyName->Length; i += 2) {
    const auto unit = static_cast<wchar_t>(keyName->Buffer[i] | keyName->Buffer[i + 1] << 8);
    if (unit == L'\0' || unit == L'\\') return kStatusObjectNameInvalid;
    name->push_back(unit);
  }
  return name->size() <= kMaxSecretNameLength ? kStatusSuccess : kStatusObjectNameInvalid;
}

std::wstring SecretPath(const std::wstring& name) { return std::wstring(kLsaSecretsKey) + L"\\" + name; }

// The default value of HKLM\path, or the registry's error.
uint32_t ReadDefaultValue(const std::wstring& path, std::vector<uint8_t>* bytes) {
  HKey key = nullptr;
  uint32_t error = RegOpenKeyEx(HKeyLocalMachine(), path.c_str(), 0, kKeyQueryValue, &key);
  if (error != kErrorSuccess) return error;
  uint32_t size = 0;
  error = RegQueryValueEx(key, L"", nullptr, nullptr, &size);
  if (error == kErrorSuccess) {
    bytes->assign(size, 0);
    error = RegQueryValueEx(key, L"", nullptr, bytes->data(), &size);
    bytes->resize(size);
  }
  RegCloseKey(key);
  return error;
}

uint32_t WriteDefaultValue(const std::wstring& path, const uint8_t* data, uint32_t size) {
  HKey key = nullptr;
  uint32_t error =
      RegCreateKeyEx(HKeyLocalMachine(), path.c_str(), kRegOptionNonVolatile, kKeyAllAccess, &key, nullptr);
  if (error != kErrorSuccess) return error;
  error = RegSetValueEx(key, L"", kRegNone, data, size);
  RegCloseKey(key);
  return error;
}

// Stores a value as the LSA does: the current value becomes the old one.
NtStatus StoreSecret(const std::wstring& name, const uint8_t* data, uint32_t size, bool mayCreate) {
  const std::wstring path = SecretPath(name);
  std::vector<uint8_t> previous;
  uint32_t error = ReadDefaultValue(path + L"\\" + kCurrentValue, &previous);
  if (error == kErrorFileNotFound) {
    if (!mayCreate) return kStatusAccessDenied;
  } else if (error != kErrorSuccess) {
    return StatusOfRegistryError(error);
  } else {
    error = WriteDefaultValue(path + L"\\" + kOldValue, previous.data(), static_cast<uint32_t>(previous.size()));
    if (error != kErrorSuccess) return StatusOfRegistryError(error);
  }
  return StatusOfRegistryError(WriteDefaultValue(path + L"\\" + kCurrentValue, data, size));
}

// The planned store failure for this secret, if any.
std::optional<NtStatus> PlannedStoreFailure(const std::wstring& name) {
  auto value = FaultPlan::Get(kLsaStoreFailsFault);
  if (!value) return std::nullopt;
  std::string code = *value;
  auto at = code.find('@');
  if (at != std::string::npos) {
    std::wstring target = WidenUtf8(code.substr(at + 1));
    if (hive::FoldName(target) != hive::FoldName(name)) return std::nullopt;
    code.resize(at);
  }
  char* end = nullptr;
  unsigned long status = std::strtoul(code.c_str(), &end, 0);
  if (end == code.c_str() || status == 0) return kStatusUnsuccessful;
  return static_cast<NtStatus>(static_cast<uint32_t>(status));
}

const hive::Key* FindSubkey(const hive::Key& key, const std::wstring& name) {
  const auto folded = hive::FoldName(name);
  for (const auto& subkey : key.subkeys) {
    if (hive::FoldName(subkey.name) == folded) return &subkey;
  }
  return nullptr;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadLsaSecret(const std::wstring& name) {
  if (!Machine::IsBooted() || name.empty() || name.find(L'\\') != std::wstring::npos) return std::nullopt;
  std::vector<uint8_t> bytes;
  if (ReadDefaultValue(SecretPath(name) + L"\\" + kCurrentValue, &bytes) != kErrorSuccess) return std::nullopt;
  return bytes;
}

std::optional<std::vector<uint8_t>> ReadLsaSecret(const std::filesystem::path& machineDir, const std::wstring& name) {
  std::vector<uint8_t> file;
  hive::Key root;
  if (!hive::ReadWholeFile(machineDir / "registry" / "SECURITY.hive", &file) ||
      !hive::Decode(file.data(), file.size(), hive::FileKind::Hive, &root)) {
    return std::nullopt;
  }
  const hive::Key* key = &root;
  for (const std::wstring& part :
       {std::wstring(L"Policy"), std::wstring(L"Secrets"), name, std::wstring(kCurrentValue)}) {
    key = FindSubkey(*key, part);
    if (key == nullptr) return std::nullopt;
  }
  for (const auto& value : key->values) {
    if (value.name.empty()) return value.data;
  }
  return std::nullopt;
}

bool WriteLsaSecret(const std::wstring& name, const std::vector<uint8_t>& value) {
  if (!Machine::IsBooted() || name.empty() || name.find(L'\\') != std::wstring::npos ||
      value.size() > kLsaMaxStringBytes) {
    return false;
  }
  return StoreSecret(name, value.data(), static_cast<uint32_t>(value.size()), /*mayCreate=*/true) == kStatusSuccess;
}

}  // namespace tamber::platform::sim

namespace tamber::platform {

NtStatus LsaOpenPolicy(const LsaUnicodeString* systemName, const LsaObjectAttributes* objectAttributes,
                       uint32_t desiredAccess, LsaHandle* policy) {
  if (objectAttributes == nullptr || policy == nullptr) return kStatusInvalidParameter;
  // Only the local system's policy is simulated.
  if (systemName != nullptr && systemName->Length != 0) return sim::kRpcServerUnavailable;
  auto created = std::make_unique<sim::Policy>(sim::Policy{desiredAccess});
  auto& st = sim::State();
  std::lock_guard<std::mutex> lock(st.mutex);
  void* handle = created.get();
  st.policies.emplace(handle, std::move(created));
  *policy = handle;
  return kStatusSuccess;
}

NtStatus LsaClose(LsaHandle handle) {
  auto& st = sim::State();
  std::lock_guard<std::mutex> lock(st.mutex);
  return st.policies.erase(handle) == 1 ? kStatusSuccess : kStatusInvalidHandle;
}

NtStatus LsaStorePrivateData(LsaHandle policy, const LsaUnicodeString* keyName, const LsaUnicodeString* privateData) {
  uint32_t access = 0;
  if (!sim::PolicyAccess(policy, &access)) return kStatusInvalidHandle;
  std::wstring name;
  NtStatus status = sim::SecretName(keyName, &name);
  if (!NtSuccess(status)) return status;
  if (privateData != nullptr && (privateData->Length > privateData->MaximumLength ||
                                 (privateData->Buffer == nullptr && privateData->Length != 0))) {
    return kStatusInvalidParameter;
  }
  if (auto failure = sim::PlannedStoreFailure(name)) return *failure;
  if (privateData == nullptr) {
    return sim::StatusOfRegistryError(SHDeleteKey(HKeyLocalMachine(), sim::SecretPath(name).c_str()));
  }
  return sim::StoreSecret(name, privateData->Buffer, privateData->Length,
                          /*mayCreate=*/(access & kPolicyCreateSecret) != 0);
}

NtStatus LsaRetrievePrivateData(LsaHandle policy, const LsaUnicodeString* keyName, LsaUnicodeString** privateData) {
  uint32_t access = 0;
  if (!sim::PolicyAccess(policy, &access)) return kStatusInvalidHandle;
  if (privateData == nullptr) return kStatusInvalidParameter;
  if ((access & kPolicyGetPrivateInformation) == 0) return kStatusAccessDenied;
  std::wstring name;
  NtStatus status = sim::SecretName(keyName, &name);
  if (!NtSuccess(status)) return status;
  auto retrieved = std::make_unique<sim::Retrieved>();
  uint32_t error = sim::ReadDefaultValue(sim::SecretPath(name) + L"\\" + sim::kCurrentValue, &retrieved->bytes);
  if (error != kErrorSuccess) return sim::StatusOfRegistryError(error);
  if (retrieved->bytes.size() > kLsaMaxStringBytes) return kStatusInternalError;
  // Only the value's length is kept, so both lengths are that length.
  const auto length = static_cast<uint16_t>(retrieved->bytes.size());
  retrieved->text.Length = length;
  retrieved->text.MaximumLength = length;
  retrieved->text.Buffer = length != 0 ? retrieved->bytes.data() : nullptr;
  auto& st = sim::State();
  std::lock_guard<std::mutex> lock(st.mutex);
  LsaUnicodeString* handedOut = &retrieved->text;
  st.retrieved.emplace(handedOut, std::move(retrieved));
  *privateData = handedOut;
  return kStatusSuccess;
}

NtStatus LsaFreeMemory(void* buffer) {
  if (buffer == nullptr) return kStatusSuccess;
  std::unique_ptr<sim::Retrieved> freed;
  {
    auto& st = sim::State();
    std::lock_guard<std::mutex> lock(st.mutex);
    auto found = st.retrieved.find(buffer);
    if (found == st.retrieved.end()) return kStatusInvalidParameter;  // not ours, or freed already
    freed = std::move(found->second);
    st.retrieved.erase(found);
  }
  volatile uint8_t* bytes = freed->bytes.data();
  for (size_t i = 0; i < freed->bytes.size(); ++i) bytes[i] = 0;
  return kStatusSuccess;
}

uint32_t LsaNtStatusToWinError(NtStatus status) {
  struct Mapping {
    uint32_t status;
    uint32_t error;
  };
  static const Mapping kMappings[] = {
      {0x00000000u, kErrorSuccess},
      {0xC0000001u, 31},  // ERROR_GEN_FAILURE
      {0xC0000002u, kErrorInvalidFunction},
      {0xC0000008u, kErrorInvalidHandle},
      {0xC000000Du, kErrorInvalidParameter},
      {0xC0000017u, kErrorNotEnoughMemory},
      {0xC0000022u, kErrorAccessDenied},
      {0xC0000023u, kErrorInsufficientBuffer},
      {0xC0000033u, kErrorInvalidName},
      {0xC0000034u, kErrorFileNotFound},
      {0xC000009Au, 1450},  // ERROR_NO_SYSTEM_RESOURCES
      {0xC00000BBu, kErrorNotSupported},
      {0xC00000E5u, 1359},  // ERROR_INTERNAL_ERROR
      {0xC0000206u, 1784},  // ERROR_INVALID_USER_BUFFER
      {0xC0020017u, 1722},  // RPC_S_SERVER_UNAVAILABLE
  };
  for (const auto& mapping : kMappings) {
    if (mapping.status == static_cast<uint32_t>(status)) return mapping.error;
  }
  return 317;  // ERROR_MR_MID_NOT_FOUND
}

}  // namespace tamber::platform
