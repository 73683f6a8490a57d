#include "common/security/SecureRegistry.h"

#include <cstring>
#include <string>
#include <vector>

#include "common/security/SecureMemory.h"
#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "platform/Registry.h"

namespace tamber::common::windows {
namespace {

constexpr wchar_t kSecretsKey[] = L"SECURITY\\Policy\\Secrets\\";
// A secret is a registry key of its own: a key name, which has at most 255 characters and no backslash.
constexpr size_t kMaxSecretNameLength = 255;

// Error numbers of the C runtime's safe string and memory functions.
constexpr int kEinval = 22;
constexpr int kErange = 34;
constexpr int kEilseq = 42;

// The length of a text, looking at no more than limit + 1 characters.
size_t BoundedLength(const char* text, size_t limit) {
  size_t length = 0;
  while (length <= limit && text[length] != '\0') ++length;
  return length;
}

bool ValidSecretName(const wchar_t* name) {
  if (name == nullptr || name[0] == L'\0') return false;
  size_t length = 0;
  for (; length <= kMaxSecretNameLength && name[length] != L'\0'; ++length) {
    if (name[length] == L'\\') return false;
  }
  return length <= kMaxSecretNameLength;
}

// The secret's name as a counted string over its UTF-16LE bytes (kept alive with it).
struct CountedName {
  explicit CountedName(const wchar_t* name) : bytes(util::ToUtf16LeBytes(name)) {
    text.Length = static_cast<uint16_t>(bytes.size() - 2);
    text.MaximumLength = static_cast<uint16_t>(bytes.size());
    text.Buffer = bytes.data();
  }
  std::vector<uint8_t> bytes;
  platform::LsaUnicodeString text{};
};

// A value returned by the LSA: wiped and released with LsaFreeMemory whatever path is taken.
class LsaValue {
 public:
  LsaValue() = default;
  ~LsaValue() {
    if (value_ == nullptr) return;
    if (value_->Buffer != nullptr) WipeMemory(value_->Buffer, value_->Length);
    platform::LsaFreeMemory(value_);
  }
  LsaValue(const LsaValue&) = delete;
  LsaValue& operator=(const LsaValue&) = delete;

  platform::LsaUnicodeString** put() { return &value_; }
  const platform::LsaUnicodeString* get() const { return value_; }

 private:
  platform::LsaUnicodeString* value_ = nullptr;
};

// LsaStorePrivateData through a policy handle of its own; logs why it failed.
bool Store(const wchar_t* name, const platform::LsaUnicodeString& value) {
  CountedName counted(name);
  UniqueLsaHandle policy(SecureRegistry::GetPolicyHandle());
  if (!policy) {
    Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::StorePrivateData(): Failed to get policy handle");
    return false;
  }
  platform::NtStatus status = platform::LsaStorePrivateData(policy.get(), &counted.text, &value);
  policy.reset();
  if (status != platform::kStatusSuccess) {
    Log(LogLevel::Error,
        L"tamber::common::windows::SecureRegistry::StorePrivateData(): Failed to store private data to registry. NTSTATUS: 0x%X. Error: 0x%X.",
        static_cast<uint32_t>(status), platform::LsaNtStatusToWinError(status));
    return false;
  }
  return SecureRegistry::FlushSecrets();
}

// LsaRetrievePrivateData through a policy handle of its own; logs why it failed, under the name of the
// public operation that asked.
bool Retrieve(const wchar_t* name, bool forString, LsaValue* value) {
  CountedName counted(name);
  UniqueLsaHandle policy(SecureRegistry::GetPolicyHandle());
  if (!policy) {
    Log(LogLevel::Error,
        forString ? L"tamber::common::windows::SecureRegistry::RetrievePrivateString(): Failed to get policy handle"
                  : L"tamber::common::windows::SecureRegistry::RetrievePrivateData(): Failed to get policy handle");
    return false;
  }
  platform::NtStatus status = platform::LsaRetrievePrivateData(policy.get(), &counted.text, value->put());
  policy.reset();
  if (status != platform::kStatusSuccess || value->get() == nullptr) {
    Log(LogLevel::Error,
        forString
            ? L"tamber::common::windows::SecureRegistry::RetrievePrivateString(): Unable to retrieve private data from registry. NTSTATUS: 0x%X. Error: 0x%X."
            : L"tamber::common::windows::SecureRegistry::RetrievePrivateData(): Unable to retrieve private data from registry. NTSTATUS: 0x%X. Error: 0x%X.",
        static_cast<uint32_t>(status), platform::LsaNtStatusToWinError(status));
    return false;
  }
  return true;
}

void LogRetrieveDataFailed() {
  Log(LogLevel::Error,
      L"tamber::common::windows::SecureRegistry::RetrievePrivateData(): Failed to retrieve private data from registry.");
}

void LogRetrieveStringFailed() {
  Log(LogLevel::Error,
      L"tamber::common::windows::SecureRegistry::RetrievePrivateString(): Failed to retrieve private data from registry.");
}

}  // namespace

platform::LsaHandle SecureRegistry::GetPolicyHandle() {
  platform::LsaObjectAttributes attributes{};
  platform::LsaHandle policy = nullptr;
  platform::NtStatus status = platform::LsaOpenPolicy(nullptr, &attributes, platform::kPolicyAllAccess, &policy);
  if (status != platform::kStatusSuccess) {
    Log(LogLevel::Error,
        L"tamber::common::windows::SecureRegistry::GetPolicyHandle(): Failed to open LSA policy object. Error: 0x%X.",
        platform::LsaNtStatusToWinError(status));
    return nullptr;
  }
  return policy;
}

bool SecureRegistry::FlushSecrets() {
  const uint32_t error = platform::RegFlushKey(platform::HKeyLocalMachine());
  if (error != 0) {
    Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::FlushSecrets(): Failed flushing the registry: 0x%X",
        error);
    return false;
  }
  return true;
}

bool SecureRegistry::StorePrivateData(const wchar_t* name, const uint8_t* data, uint32_t length) {
  if (!ValidSecretName(name) || data == nullptr || length == 0) {
    Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::StorePrivateData(): Invalid Parameters");
    return false;
  }
  if (length > kMaxPrivateDataLength) {
    Log(LogLevel::Error,
        L"tamber::common::windows::SecureRegistry::StorePrivateData(): Private data of %u bytes is longer than the %u bytes a secret holds",
        length, kMaxPrivateDataLength);
    return false;
  }
  const auto counted = static_cast<uint16_t>(length);
  platform::LsaUnicodeString value{counted, counted, const_cast<uint8_t*>(data)};
  if (!Store(name, value)) {
    Log(LogLevel::Error,
        L"tamber::common::windows::SecureRegistry::StorePrivateData(): Failed to store private data to registry");
    return false;
  }
  return true;
}

bool SecureRegistry::StorePrivateString(const wchar_t* name, const char* text) {
  const size_t characters = text != nullptr ? BoundedLength(text, kMaxPrivateStringLength) : 0;
  if (!ValidSecretName(name) || characters == 0) {
    Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::StorePrivateString(): Invalid Parameters");
    return false;
  }
  if (characters > kMaxPrivateStringLength) {
    Log(LogLevel::Error,
        L"tamber::common::windows::SecureRegistry::StorePrivateString(): Private string of more than %u characters is longer than a secret holds",
        kMaxPrivateStringLength);
    return false;
  }
  SecureBuffer wide(2 * characters + 2);
  if (!wide.Valid()) {
    Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::StorePrivateString(): HeapAlloc for data failed");
    return false;
  }
  // As mbstowcs in the C locale: every byte becomes the character of the same value, so every narrow
  // text has a wide form and comes back from RetrievePrivateString unchanged.
  size_t converted = 0;
  for (; converted < characters && text[converted] != '\0'; ++converted) {
    wide.Data()[2 * converted] = static_cast<uint8_t>(text[converted]);
  }
  if (converted != characters) {
    Log(LogLevel::Error,
        L"tamber::common::windows::SecureRegistry::StorePrivateString(): Data conversion failed. Error: 0x%X.",
        kEinval);
    return false;
  }
  platform::LsaUnicodeString value{static_cast<uint16_t>(2 * characters), static_cast<uint16_t>(2 * characters + 2),
                                   wide.Data()};
  if (!Store(name, value)) {
    Log(LogLevel::Error,
        L"tamber::common::windows::SecureRegistry::StorePrivateString(): Failed to store private string to registry");
    return false;
  }
  return true;
}

uint32_t SecureRegistry::RetrievePrivateData(const wchar_t* name, uint8_t** data) {
  if (!ValidSecretName(name) || data == nullptr) {
    Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::RetrievePrivateData(): Invalid Parameters");
    return 0;
  }
  LsaValue value;
  if (!Retrieve(name, /*forString=*/false, &value)) {
    LogRetrieveDataFailed();
    return 0;
  }
  const platform::LsaUnicodeString& stored = *value.get();
  // As memcpy_s would refuse it: never copy more than the value holds or the buffer takes.
  if (stored.Length > stored.MaximumLength || (stored.Buffer == nullptr && stored.Length != 0)) {
    Log(LogLevel::Error,
        L"tamber::common::windows::SecureRegistry::RetrievePrivateData(): memcpy_s failed. Error: 0x%X",
        stored.Buffer == nullptr ? kEinval : kErange);
    LogRetrieveDataFailed();
    return 0;
  }
  if (stored.MaximumLength == 0) {
    Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::RetrievePrivateData(): Private data is empty");
    LogRetrieveDataFailed();
    return 0;
  }
  SecureBuffer buffer(stored.MaximumLength);
  if (!buffer.Valid()) {
    Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::RetrievePrivateData(): HeapAlloc for data failed");
    LogRetrieveDataFailed();
    return 0;
  }
  if (stored.Length != 0) std::memcpy(buffer.Data(), stored.Buffer, stored.Length);
  *data = buffer.Release();
  return stored.MaximumLength;
}

uint32_t SecureRegistry::RetrievePrivateString(const wchar_t* name, char** text) {
  if (!ValidSecretName(name) || text == nullptr) {
    Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::RetrievePrivateString(): Invalid Parameters");
    return 0;
  }
  LsaValue value;
  if (!Retrieve(name, /*forString=*/true, &value)) {
    LogRetrieveStringFailed();
    return 0;
  }
  const platform::LsaUnicodeString& stored = *value.get();
  // Whole UTF-16 units only: an odd last byte belongs to no character and is never read.
  const size_t units = stored.Buffer != nullptr ? stored.Length / 2 : 0;
  const size_t size = units + 1;
  SecureBuffer buffer(size);
  if (!buffer.Valid()) {
    Log(LogLevel::Error,
        L"tamber::common::windows::SecureRegistry::RetrievePrivateString(): HeapAlloc for data failed");
    LogRetrieveStringFailed();
    return 0;
  }
  // As wcstombs_s in the C locale: characters up to U+00FF become one byte each; the conversion ends at
  // a null character or fails at a character it cannot convert.
  int error = 0;
  size_t written = 0;
  for (; written < units; ++written) {
    const unsigned unit = stored.Buffer[2 * written] | stored.Buffer[2 * written + 1] << 8;
    if (unit == 0) break;
    if (unit > 0xFF) {
      error = kEilseq;
      break;
    }
    buffer.Data()[written] = static_cast<uint8_t>(unit);
  }
  if (error == 0) ++written;  // the terminator, already in the zero-filled buffer
  if (error != 0 || written != size) {
    Log(LogLevel::Error,
        L"tamber::common::windows::SecureRegistry::RetrievePrivateString(): wcstombs_s failed(%d). Error: 0x%X.",
        static_cast<int>(written), error);
    LogRetrieveStringFailed();
    return 0;
  }
  *text = reinterpret_cast<char*>(buffer.Release());
  return static_cast<uint32_t>(size);
}

bool SecureRegistry::DeleteKey(const wchar_t* name) {
  if (!ValidSecretName(name)) {
    // An empty name would take every secret with it, a backslash another key.
    Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::DeleteKey(): Invalid Parameters");
    return false;
  }
  const std::wstring path = std::wstring(kSecretsKey) + name;
  uint32_t error = platform::SHDeleteKey(platform::HKeyLocalMachine(), path.c_str());
  if (error == platform::kErrorSuccess) {
    Log(LogLevel::Trace, L"tamber::common::windows::SecureRegistry::DeleteKey(): Deleted key: %ws", path);
    return true;
  }
  if (error == platform::kErrorFileNotFound) {
    Log(LogLevel::Trace,
        L"tamber::common::windows::SecureRegistry::DeleteKey(): SHDeleteKeyW failed since key %ws does not exist",
        path);
    return true;
  }
  Log(LogLevel::Error, L"tamber::common::windows::SecureRegistry::DeleteKey(): SHDeleteKeyW %ws failed. Error: 0x%X.",
      path, error);
  return false;
}

void SecureRegistry::FreePrivateData(uint8_t** data, uint32_t* size) {
  if (data != nullptr) {
    FreeSecret(*data);
    *data = nullptr;
  }
  if (size != nullptr) *size = 0;
}

void SecureRegistry::FreePrivateData(char** text, uint32_t* size) {
  if (text != nullptr) {
    FreeSecret(*text);
    *text = nullptr;
  }
  if (size != nullptr) *size = 0;
}

}  // namespace tamber::common::windows
