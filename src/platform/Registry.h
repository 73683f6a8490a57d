// Registry seam: the Win32 registry calls with their arguments, results and byte layouts.
// String data is always UTF-16LE bytes with its terminating null, whatever wchar_t is.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Types.h"

namespace tamber::platform {

// Value types.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kRegQword = 11;

// Access rights.
constexpr uint32_t kKeyQueryValue = 0x0001;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyCreateSubKey = 0x0004;
constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr uint32_t kKeyNotify = 0x0010;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kKeyReadWrite = 0x2001F;
constexpr uint32_t kKeyAllAccess = 0xF003F;

// Notification filters.
constexpr uint32_t kRegNotifyChangeName = 0x1;
constexpr uint32_t kRegNotifyChangeAttributes = 0x2;
constexpr uint32_t kRegNotifyChangeLastSet = 0x4;
constexpr uint32_t kRegNotifyChangeSecurity = 0x8;

// RegCreateKeyEx dispositions and options.
constexpr uint32_t kRegOptionNonVolatile = 0;
constexpr uint32_t kRegCreatedNewKey = 1;
constexpr uint32_t kRegOpenedExistingKey = 2;

// RegRestoreKey flags.
constexpr uint32_t kRegForceRestore = 0x8;

uint32_t RegOpenKeyEx(HKey root, const wchar_t* subKey, uint32_t options, uint32_t access, HKey* result);
uint32_t RegCreateKeyEx(HKey root, const wchar_t* subKey, uint32_t options, uint32_t access, HKey* result,
                        uint32_t* disposition);
uint32_t RegCloseKey(HKey key);

// As RegQueryValueExW: type and size may be null; data null asks for the size; a buffer that is too
// small gives ERROR_MORE_DATA with *size set to what is needed. Nothing is read past *size.
uint32_t RegQueryValueEx(HKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t* size);
uint32_t RegSetValueEx(HKey key, const wchar_t* name, uint32_t type, const uint8_t* data, uint32_t size);
uint32_t RegDeleteValue(HKey key, const wchar_t* name);
// Deletes subKey of key and everything below it (RegDeleteTreeW); subKey null or empty deletes the
// key's subkeys and values but keeps the key.
uint32_t RegDeleteTree(HKey key, const wchar_t* subKey);
// Deletes subKey of key with all its subkeys and values (SHDeleteKeyW, shell light-weight API);
// ERROR_FILE_NOT_FOUND when it does not exist. The simulated registry wants subKey named (not empty).
uint32_t SHDeleteKey(HKey key, const wchar_t* subKey);
// ERROR_NO_MORE_ITEMS past the end.
uint32_t RegEnumKeyEx(HKey key, uint32_t index, std::wstring* name);
uint32_t RegEnumValue(HKey key, uint32_t index, std::wstring* name, uint32_t* type);
uint32_t RegFlushKey(HKey key);
// Arms a one-shot change notification that signals event (asynchronous form only).
uint32_t RegNotifyChangeKeyValue(HKey key, bool watchSubtree, uint32_t filter, Handle event, bool asynchronous);
// Hive save and restore (need the backup and restore privileges on Windows).
uint32_t RegSaveKey(HKey key, const wchar_t* file);
uint32_t RegRestoreKey(HKey key, const wchar_t* file, uint32_t flags);

}  // namespace tamber::platform
