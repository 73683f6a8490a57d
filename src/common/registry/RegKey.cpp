#include "common/registry/RegKey.h"

#include <algorithm>
#include <array>

#include "common/util/Utf16.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/Sync.h"

namespace tamber::common::windows::registry {
namespace {

constexpr int32_t kTimeoutResult = HResultFromWin32(platform::kErrorTimeout);  // 0x800705B4
constexpr uint32_t kPollIntervalMs = 1000;
// A value that keeps growing between the size query and the read is given up on after this many tries.
constexpr int kReadAttempts = 3;

// Codes are logged as 32-bit hexadecimal and DWORDs as signed decimal, as the Windows printf does.
uint32_t Hex(int32_t code) { return static_cast<uint32_t>(code); }
int32_t Dec(uint32_t value) { return static_cast<int32_t>(value); }

int32_t LastErrorResult() {
  uint32_t error = platform::GetLastError();
  return error == 0 ? kEFail : HResultFromWin32(error);
}

// Reads a value of any type into a zero-filled buffer of the size the registry reports (size, when
// the caller has asked already), retrying when the value grows in between. Returns the Win32 code;
// *bytes holds exactly the bytes read.
uint32_t QueryValueBytes(platform::HKey key, const std::wstring& name, uint32_t* type, std::vector<uint8_t>* bytes,
                         const uint32_t* knownSize = nullptr) {
  uint32_t size = knownSize != nullptr ? *knownSize : 0;
  uint32_t error = knownSize != nullptr ? platform::kErrorSuccess
                                        : platform::RegQueryValueEx(key, name.c_str(), type, nullptr, &size);
  for (int attempt = 0; error == platform::kErrorSuccess && attempt < kReadAttempts; ++attempt) {
    bytes->assign(size, 0);
    uint8_t empty = 0;
    uint32_t got = size;
    error = platform::RegQueryValueEx(key, name.c_str(), type, size == 0 ? &empty : bytes->data(), &got);
    if (error == platform::kErrorMoreData) {
      size = got;
      error = platform::kErrorSuccess;
      continue;
    }
    if (error == platform::kErrorSuccess) {
      bytes->resize(std::min(got, size));
      return error;
    }
  }
  return error == platform::kErrorSuccess ? platform::kErrorMoreData : error;
}

bool IsStringType(uint32_t type) { return type == platform::kRegSz || type == platform::kRegExpandSz; }

}  // namespace

// --- RegKeyBase ------------------------------------------------------------------------------------

int32_t RegKeyBase::FlushKey() {
  int32_t result = HResultFromWin32(platform::RegFlushKey(GetKey()));
  if (result != 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::RegKeyBase::FlushKey(): Could not flush registry key. Err: 0x%X",
        Hex(result));
  }
  return result;
}

// --- ExistingRegKey --------------------------------------------------------------------------------

ExistingRegKey::ExistingRegKey(platform::HKey root, const std::wstring& path, uint32_t access, int32_t* result)
    : RegKeyBase(path) {
  int32_t opened = OpenKey(root, path, access);
  if (result != nullptr) *result = opened;
}

int32_t ExistingRegKey::OpenKey(platform::HKey root, const std::wstring& path, uint32_t access) {
  path_ = path;
  platform::HKey key = nullptr;
  int32_t result = HResultFromWin32(platform::RegOpenKeyEx(root, path.c_str(), 0, access, &key));
  if (result != 0) {
    key_.reset();
    Log(LogLevel::Error, L"tamber::common::windows::registry::ExistingRegKey::OpenKey(): Failed Opening Key: %ws, 0x%X",
        path, Hex(result));
    return result;
  }
  key_ = MakeSharedHKey(key);
  return 0;
}

int32_t ExistingRegKey::ReadDwordValue(const std::wstring& name, uint32_t defaultValue, uint32_t* value) {
  if (value == nullptr) return kEInvalidArg;
  *value = defaultValue;
  // The data lands on top of the default: a value shorter than four bytes replaces only its low bytes,
  // and nothing is ever written past the four bytes of the DWORD.
  std::array<uint8_t, 4> bytes{};
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(defaultValue >> (8 * i));
  uint32_t size = static_cast<uint32_t>(bytes.size());
  uint32_t error = platform::RegQueryValueEx(GetKey(), name.c_str(), nullptr, bytes.data(), &size);
  if (error == platform::kErrorFileNotFound) {
    Log(LogLevel::Warn, L"tamber::common::windows::registry::ExistingRegKey::ReadDwordValue(): %ws Does Not Exist",
        name);
    return HResultFromWin32(error);
  }
  if (error != platform::kErrorSuccess) {
    int32_t result = HResultFromWin32(error);
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::ReadDwordValue(): Failed Querying Value: %ws, 0x%X", name,
        Hex(result));
    return result;
  }
  *value = 0;
  for (int i = 0; i < 4; ++i) *value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  return 0;
}

int32_t ExistingRegKey::ReadStringValue(const std::wstring& name, std::wstring* value) {
  if (value == nullptr) return kEInvalidArg;
  uint32_t type = 0;
  uint32_t size = 0;
  int32_t result = HResultFromWin32(platform::RegQueryValueEx(GetKey(), name.c_str(), &type, nullptr, &size));
  if (result != 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::ReadStringValue(): Failed Getting Value Size: %ws, 0x%X",
        name, Hex(result));
    return result;
  }
  if (!IsStringType(type)) {
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::ReadStringValue(): Unexpected Type: Value Name: %ws",
        name);
    return kEInvalidArg;
  }
  std::vector<uint8_t> bytes;
  result = HResultFromWin32(QueryValueBytes(GetKey(), name, &type, &bytes, &size));
  if (result != 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::ReadStringValue(): Failed Reading Value: %ws, 0x%X", name,
        Hex(result));
    return result;
  }
  if (!IsStringType(type)) {  // rewritten with another type since the size query
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::ReadStringValue(): Unexpected Type: Value Name: %ws",
        name);
    return kEInvalidArg;
  }
  // Stored strings need not end in a null: the conversion stops at the first null or at the end.
  *value = util::FromUtf16LeBytes(bytes.data(), bytes.size());
  return 0;
}

int32_t ExistingRegKey::ReadMultiStringValue(const std::wstring& name, std::vector<std::wstring>* values) {
  if (values == nullptr) return kEInvalidArg;
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
  int32_t result = HResultFromWin32(QueryValueBytes(GetKey(), name, &type, &bytes));
  if (result != 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::ReadMultiStringValue(): Failed Reading Value: %ws, 0x%X",
        name, Hex(result));
    return result;
  }
  if (type != platform::kRegMultiSz) {
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::ReadMultiStringValue(): Unexpected Type: Value Name: %ws",
        name);
    return kEInvalidArg;
  }
  // The list ends at an empty string or at the end of the data, whichever comes first; the final nulls
  // may be missing.
  std::vector<std::wstring> strings;
  size_t offset = 0;
  while (offset + 1 < bytes.size()) {
    size_t end = offset;
    while (end + 1 < bytes.size() && (bytes[end] != 0 || bytes[end + 1] != 0)) end += 2;
    if (end == offset) break;
    strings.push_back(util::FromUtf16LeBytes(bytes.data() + offset, end - offset));
    offset = end + 2;
  }
  *values = std::move(strings);
  return 0;
}

int32_t ExistingRegKey::WriteDwordValue(const std::wstring& name, uint32_t value) {
  std::array<uint8_t, 4> bytes{};
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  int32_t result = HResultFromWin32(platform::RegSetValueEx(GetKey(), name.c_str(), platform::kRegDword, bytes.data(),
                                                            static_cast<uint32_t>(bytes.size())));
  if (result != 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::WriteDwordValue(): Failed Writing DWORD Value: %ws, 0x%X",
        name, Hex(result));
  }
  return result;
}

int32_t ExistingRegKey::WriteStringValue(const std::wstring& name, uint32_t type, const std::wstring& value) {
  auto bytes = util::ToUtf16LeBytes(value);
  int32_t result = HResultFromWin32(
      platform::RegSetValueEx(GetKey(), name.c_str(), type, bytes.data(), static_cast<uint32_t>(bytes.size())));
  if (result != 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::WriteStringValue(): Failed Writing String Value: %ws, 0x%X",
        name, Hex(result));
  }
  return result;
}

int32_t ExistingRegKey::WriteMultiStringValue(const std::wstring& name, const uint8_t* data, uint32_t size) {
  if (data == nullptr && size != 0) return kEInvalidArg;
  return HResultFromWin32(platform::RegSetValueEx(GetKey(), name.c_str(), platform::kRegMultiSz, data, size));
}

int32_t ExistingRegKey::SubKeyExists(const std::wstring& subKey, bool* exists) {
  if (exists == nullptr) return kEInvalidArg;
  int32_t result = 0;
  ExistingRegKey subkey(GetKey(), subKey, platform::kKeyRead, &result);
  if (result != 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::SubKeyExists(): Failed Opening SubKey: %ws, 0x%X", subKey,
        Hex(result));
    return result;
  }
  *exists = true;
  return 0;
}

int32_t ExistingRegKey::WaitForChange(bool* armed, platform::Handle event) {
  int32_t result = HResultFromWin32(platform::RegNotifyChangeKeyValue(
      GetKey(), /*watchSubtree=*/true, platform::kRegNotifyChangeName | platform::kRegNotifyChangeLastSet, event,
      /*asynchronous=*/true));
  if (result != 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::WaitForChange(): RegNotifyChangeKeyValue Failed: 0x%X",
        Hex(result));
    return result;
  }
  if (armed != nullptr) *armed = true;
  return 0;
}

uint32_t ExistingRegKey::ArmValueNotification(platform::Handle event) {
  // The event is manual-reset: clear a previous wake-up first, or the next wait would return at once.
  platform::ResetEvent(event);
  return platform::RegNotifyChangeKeyValue(GetKey(), /*watchSubtree=*/true, platform::kRegNotifyChangeLastSet, event,
                                           /*asynchronous=*/true);
}

int32_t ExistingRegKey::WaitForDwordValue(const std::wstring& name, uint32_t expected, uint32_t timeoutMs,
                                          bool* found) {
  if (found == nullptr) return kEInvalidArg;
  *found = false;
  UniqueHandle event(platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr));
  if (!event) {
    int32_t result = LastErrorResult();
    Log(LogLevel::Debug,
        L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): Failed creating event: 0x%X",
        Hex(result));
    return result;
  }
  int32_t result = HResultFromWin32(ArmValueNotification(event.get()));
  if (result != 0) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): RegNotifyChangeKeyValue Failed: 0x%X",
        Hex(result));
    return result;
  }
  uint32_t value = 0;
  for (;;) {
    uint32_t wait = platform::WaitForSingleObject(event.get(), timeoutMs);
    if (wait == platform::kWaitTimeout) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): Timed out waiting for DWORD: Duration: %dms, Expected Value: %d, Value: %d",
          Dec(timeoutMs), Dec(expected), Dec(value));
      return kTimeoutResult;
    }
    if (wait != platform::kWaitObject0) return LastErrorResult();  // waiting again would only spin
    result = ReadDwordValue(name, 0, &value);
    if (value == 0) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): Actual value: %d. Exiting",
          Dec(value));
      break;
    }
    if (value == expected) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): Actual value: %d Matches Expected Value: %d",
          Dec(value), Dec(expected));
      break;
    }
    Log(LogLevel::Debug,
        L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): Actual value: %d Does Not Match Expected Value: %d",
        Dec(value), Dec(expected));
    int32_t armed = HResultFromWin32(ArmValueNotification(event.get()));
    if (armed != 0) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): RegNotifyChangeKeyValue Failed: 0x%X",
          Hex(armed));
      return armed;
    }
  }
  *found = true;
  return result;
}

int32_t ExistingRegKey::WaitForStringValue(const std::wstring& name, const std::wstring& expected, uint32_t timeoutMs,
                                           bool* found, platform::Handle shutdownEvent) {
  if (found == nullptr) return kEInvalidArg;
  *found = false;
  // A wait that cannot see the agent's stop could outlast it by an hour: refuse it, as the real
  // multi-object wait refuses a null handle.
  if (shutdownEvent == nullptr) {
    int32_t result = HResultFromWin32(platform::kErrorInvalidHandle);
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): No shutdown event to wait on: 0x%X",
        Hex(result));
    return result;
  }
  UniqueHandle event(platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr));
  if (!event) {
    int32_t result = LastErrorResult();
    Log(LogLevel::Debug,
        L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): Failed creating event: 0x%X",
        Hex(result));
    return result;
  }
  int32_t result = HResultFromWin32(ArmValueNotification(event.get()));
  if (result != 0) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): RegNotifyChangeKeyValue Failed: 0x%X",
        Hex(result));
    return result;
  }
  std::wstring last;
  for (;;) {
    // The shutdown event comes first, so that it wins when both are set.
    std::array<platform::Handle, 2> handles = {shutdownEvent, event.get()};
    uint32_t wait = platform::WaitForMultipleObjects(2, handles.data(), timeoutMs);
    if (wait == platform::kWaitObject0) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): Shutdown Event Set, Exiting");
      return result;
    }
    bool timedOut = wait == platform::kWaitTimeout;
    if (!timedOut && wait != platform::kWaitObject0 + 1) return LastErrorResult();
    result = ReadStringValue(name, &last);
    if (last == expected) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): Found expected value: %ws",
          expected);
      *found = true;
      return result;
    }
    if (timedOut) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): Timed out waiting for expected REG_SZ Value %ws. Last value was %ws. Duration: %dms.",
          expected, last, Dec(timeoutMs));
      return kTimeoutResult;
    }
    Log(LogLevel::Debug,
        L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): Actual value: %ws Does Not Match Expected Value: %ws",
        last, expected);
    int32_t armed = HResultFromWin32(ArmValueNotification(event.get()));
    if (armed != 0) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): RegNotifyChangeKeyValue Failed: 0x%X",
          Hex(armed));
      return armed;
    }
  }
}

int32_t ExistingRegKey::WaitForStringValue(const std::wstring& name, const std::wstring& expected, uint32_t timeoutMs) {
  int64_t remaining = timeoutMs;
  std::wstring last;
  for (;;) {
    if (ReadStringValue(name, &last) == 0 && last == expected) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): WaitForStringValue: Found expected value: %ws=%ws",
          name, expected);
      return 0;
    }
    platform::Sleep(kPollIntervalMs);
    remaining -= kPollIntervalMs;
    if (remaining < 1) {
      Log(LogLevel::Error,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): Failed to wait for expected value: %ws=%ws. Final value is: %ws=%ws",
          name, expected, name, last);
      return kTimeoutResult;
    }
  }
}

int32_t ExistingRegKey::ValueExists(const std::wstring& name, bool* exists) {
  uint32_t error = platform::RegQueryValueEx(GetKey(), name.c_str(), nullptr, nullptr, nullptr);
  *exists = error == platform::kErrorSuccess;
  if (error == platform::kErrorSuccess || error == platform::kErrorFileNotFound) return 0;
  int32_t result = HResultFromWin32(error);
  Log(LogLevel::Error,
      L"tamber::common::windows::registry::ExistingRegKey::ValueExists(): Failed querying value: %ws, error: 0x%X. Assuming not exists",
      name, Hex(result));
  return result;
}

int32_t ExistingRegKey::WaitForValueExists(const std::wstring& name, uint32_t timeoutMs) {
  UniqueHandle event(platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr));
  if (!event) {
    int32_t result = LastErrorResult();
    Log(LogLevel::Error,
        L"tamber::common::windows::registry::ExistingRegKey::WaitForValueExists(): Failed creating event: 0x%X",
        Hex(result));
    return result;
  }
  for (;;) {
    int32_t armed = HResultFromWin32(ArmValueNotification(event.get()));
    if (armed != 0) {
      Log(LogLevel::Error,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForValueExists(): RegNotifyChangeKeyValue Failed: 0x%X",
          Hex(armed));
      return armed;
    }
    uint32_t wait = platform::WaitForSingleObject(event.get(), timeoutMs);
    if (wait == platform::kWaitTimeout) {
      Log(LogLevel::Error,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForValueExists(): Timed out waiting for value: %ws to be set",
          name);
      return kTimeoutResult;
    }
    if (wait != platform::kWaitObject0) return LastErrorResult();
    bool exists = false;
    ValueExists(name, &exists);
    if (exists) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::WaitForValueExists(): Value: %ws is just found. Exiting the wait loop",
          name);
      return 0;
    }
  }
}

// --- NewRegKey -------------------------------------------------------------------------------------

NewRegKey::NewRegKey(platform::HKey root, const std::wstring& path, uint32_t options, uint32_t access, int32_t* result)
    : RegKeyBase(path) {
  platform::HKey key = nullptr;
  uint32_t disposition = 0;
  int32_t created = HResultFromWin32(platform::RegCreateKeyEx(root, path.c_str(), options, access, &key, &disposition));
  if (created != 0) {
    Log(LogLevel::Error, L"tamber::common::windows::registry::NewRegKey::NewRegKey(): Failed Creating Key: %ws, 0x%X",
        path, Hex(created));
  } else {
    key_ = MakeSharedHKey(key);
  }
  if (result != nullptr) *result = created;
}

}  // namespace tamber::common::windows::registry
