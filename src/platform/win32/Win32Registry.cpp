// Registry seam on the real registry. String data is UTF-16LE on Windows already, so bytes pass
// through untouched.
#include "platform/Registry.h"

#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Out.h"

// shlwapi.h after windows.h.
#include <shlwapi.h>
#undef SHDeleteKey

namespace tamber::platform {

using win32::Out;
using win32::ToBool;
using win32::ToHkey;

namespace {

// Longest names the registry allows, for keys whose information cannot be queried (a handle opened
// only for enumeration).
constexpr DWORD kMaxKeyNameLength = 255;
constexpr DWORD kMaxValueNameLength = 16383;

// Length of the longest subkey name (subKeys) or value name, without the null.
DWORD LongestName(HKEY key, bool subKeys) {
  DWORD longestSubKey = 0;
  DWORD longestValue = 0;
  LSTATUS status = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &longestSubKey, nullptr, nullptr,
                                      &longestValue, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return subKeys ? kMaxKeyNameLength : kMaxValueNameLength;
  return subKeys ? longestSubKey : longestValue;
}

// Runs an enumeration call with a buffer sized for the longest name; a name that grew in between
// the two calls gives ERROR_MORE_DATA, and the call is repeated with the limit.
template <class Enumerate>
uint32_t EnumerateName(HKEY key, bool subKeys, std::wstring* name, Enumerate enumerate) {
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD capacity = LongestName(key, subKeys) + 1;
  for (;;) {
    std::wstring buffer(capacity, L'\0');
    DWORD length = capacity;
    LSTATUS status = enumerate(buffer.data(), &length);
    DWORD limit = (subKeys ? kMaxKeyNameLength : kMaxValueNameLength) + 1;
    if (status == ERROR_MORE_DATA && capacity < limit) {
      capacity = limit;
      continue;
    }
    if (status == ERROR_SUCCESS) {
      buffer.resize(length);
      *name = std::move(buffer);
    }
    return static_cast<uint32_t>(status);
  }
}

}  // namespace

uint32_t RegOpenKeyEx(HKey root, const wchar_t* subKey, uint32_t options, uint32_t access, HKey* result) {
  Out<HKEY, HKey> key(result);
  return ::RegOpenKeyExW(ToHkey(root), subKey, options, access, key.get());
}

uint32_t RegCreateKeyEx(HKey root, const wchar_t* subKey, uint32_t options, uint32_t access, HKey* result,
                        uint32_t* disposition) {
  Out<HKEY, HKey> key(result);
  Out<DWORD, uint32_t> created(disposition);
  return ::RegCreateKeyExW(ToHkey(root), subKey, 0, nullptr, options, access, nullptr, key.get(), created.get());
}

uint32_t RegCloseKey(HKey key) { return ::RegCloseKey(ToHkey(key)); }

uint32_t RegQueryValueEx(HKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t* size) {
  Out<DWORD, uint32_t> valueType(type);
  Out<DWORD, uint32_t> valueSize(size);
  return ::RegQueryValueExW(ToHkey(key), name, nullptr, valueType.get(), data, valueSize.get());
}

uint32_t RegSetValueEx(HKey key, const wchar_t* name, uint32_t type, const uint8_t* data, uint32_t size) {
  return ::RegSetValueExW(ToHkey(key), name, 0, type, data, size);
}

uint32_t RegDeleteValue(HKey key, const wchar_t* name) { return ::RegDeleteValueW(ToHkey(key), name); }

uint32_t SHDeleteKey(HKey key, const wchar_t* subKey) { return ::SHDeleteKeyW(ToHkey(key), subKey); }

uint32_t RegDeleteTree(HKey key, const wchar_t* subKey) {
  // RegDeleteTreeW keeps the key itself only for a null subkey; the seam gives "" the same meaning.
  return ::RegDeleteTreeW(ToHkey(key), subKey != nullptr && *subKey != L'\0' ? subKey : nullptr);
}

uint32_t RegEnumKeyEx(HKey key, uint32_t index, std::wstring* name) {
  return EnumerateName(ToHkey(key), /*subKeys=*/true, name, [&](wchar_t* buffer, DWORD* length) {
    return ::RegEnumKeyExW(ToHkey(key), index, buffer, length, nullptr, nullptr, nullptr, nullptr);
  });
}

uint32_t RegEnumValue(HKey key, uint32_t index, std::wstring* name, uint32_t* type) {
  Out<DWORD, uint32_t> valueType(type);
  return EnumerateName(ToHkey(key), /*subKeys=*/false, name, [&](wchar_t* buffer, DWORD* length) {
    return ::RegEnumValueW(ToHkey(key), index, buffer, length, nullptr, valueType.get(), nullptr, nullptr);
  });
}

uint32_t RegFlushKey(HKey key) { return ::RegFlushKey(ToHkey(key)); }

uint32_t RegNotifyChangeKeyValue(HKey key, bool watchSubtree, uint32_t filter, Handle event, bool asynchronous) {
  return ::RegNotifyChangeKeyValue(ToHkey(key), ToBool(watchSubtree), filter, event, ToBool(asynchronous));
}

uint32_t RegSaveKey(HKey key, const wchar_t* file) { return ::RegSaveKeyW(ToHkey(key), file, nullptr); }

uint32_t RegRestoreKey(HKey key, const wchar_t* file, uint32_t flags) {
  return ::RegRestoreKeyW(ToHkey(key), file, flags);
}

}  // namespace tamber::platform
