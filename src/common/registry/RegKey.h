// Owning wrappers over an open registry key: open or create, typed reads and writes, flush, and waits
// for a value that another process is expected to write. Every operation returns an HRESULT-style code
// and logs its own failures; none throws for a registry error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/windows/Handles.h"
#include "platform/Types.h"

namespace tamber::common::windows::registry {

class RegKeyBase {
 public:
  virtual ~RegKeyBase() = default;

  // RegFlushKey: makes the key's hive durable.
  int32_t FlushKey();

  // Null when the key could not be opened or created; every value operation then fails with the
  // platform's invalid-handle error.
  platform::HKey GetKey() const { return static_cast<platform::HKey>(key_.get()); }
  bool IsOpen() const { return key_ != nullptr; }
  const std::wstring& GetPath() const { return path_; }

 protected:
  RegKeyBase() = default;
  explicit RegKeyBase(std::wstring path) : path_(std::move(path)) {}

  SharedHKey key_;  // closed by HKeyDeleter when the last owner lets go
  std::wstring path_;
};

class ExistingRegKey : public RegKeyBase {
 public:
  // Opens root\path; the object exists even when the open failed (the code says so).
  ExistingRegKey(platform::HKey root, const std::wstring& path, uint32_t access, int32_t* result);

  int32_t OpenKey(platform::HKey root, const std::wstring& path, uint32_t access);

  // *value is the default first, then takes the value's data (up to 4 bytes, type not checked).
  int32_t ReadDwordValue(const std::wstring& name, uint32_t defaultValue, uint32_t* value);
  // REG_SZ or REG_EXPAND_SZ (not expanded); the text up to its first null.
  int32_t ReadStringValue(const std::wstring& name, std::wstring* value);
  // The strings of a REG_MULTI_SZ value, up to the first empty string.
  int32_t ReadMultiStringValue(const std::wstring& name, std::vector<std::wstring>* values);
  int32_t WriteDwordValue(const std::wstring& name, uint32_t value);
  // The text and its terminating null, as the given type (REG_SZ or REG_EXPAND_SZ).
  int32_t WriteStringValue(const std::wstring& name, uint32_t type, const std::wstring& value);
  // REG_MULTI_SZ bytes exactly as given: the caller builds the double-null-terminated list.
  int32_t WriteMultiStringValue(const std::wstring& name, const uint8_t* data, uint32_t size);
  int32_t SubKeyExists(const std::wstring& subKey, bool* exists);

  // Arms one asynchronous change notification (subkeys and values, whole subtree) on event.
  int32_t WaitForChange(bool* armed, platform::Handle event);
  // Until the DWORD equals expected or becomes 0 (both "found"); 0x800705B4 when a wait times out.
  int32_t WaitForDwordValue(const std::wstring& name, uint32_t expected, uint32_t timeoutMs, bool* found);
  // Until the text equals expected, the time-out passes, or shutdownEvent is set. A null shutdownEvent is
  // refused (0x80070006): a wait the agent's stop cannot end is never started.
  int32_t WaitForStringValue(const std::wstring& name, const std::wstring& expected, uint32_t timeoutMs, bool* found,
                             platform::Handle shutdownEvent);
  // Reads once a second until the text equals expected or the time-out is used up.
  int32_t WaitForStringValue(const std::wstring& name, const std::wstring& expected, uint32_t timeoutMs);
  int32_t WaitForValueExists(const std::wstring& name, uint32_t timeoutMs);

 private:
  // 0 and *exists true/false, or the failure code.
  int32_t ValueExists(const std::wstring& name, bool* exists);
  // Arms the notification the value waits use: whole subtree, value changes only.
  uint32_t ArmValueNotification(platform::Handle event);
};

class NewRegKey : public RegKeyBase {
 public:
  // Creates root\path (or opens it if it exists), with no class and default security.
  NewRegKey(platform::HKey root, const std::wstring& path, uint32_t options, uint32_t access,
            int32_t* result = nullptr);
};

}  // namespace tamber::common::windows::registry
