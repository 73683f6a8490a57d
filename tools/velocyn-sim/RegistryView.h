// Reading and writing the simulated machine's registry for the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velocyn::sim_cli {

struct RegistryValue {
  std::wstring name;
  uint32_t type = 0;
  std::string display;               // the data as a person reads it (UTF-8)
  std::optional<uint32_t> dword;     // the number of a REG_DWORD
  std::vector<std::string> strings;  // the items of a REG_MULTI_SZ
};

struct RegistryKeyView {
  std::wstring path;  // "HKLM\..."
  std::vector<RegistryValue> values;
};

// Every key at or below path (depth-first, subkeys in stored order). Empty when the key is missing.
std::vector<RegistryKeyView> ReadTree(const std::wstring& path);
// The values of one key (not of its subkeys); nullopt when the key is missing.
std::optional<std::vector<RegistryValue>> ReadValues(const std::wstring& path);
// One value of a key; nullopt when the key or the value is missing.
std::optional<RegistryValue> ReadOneValue(const std::wstring& path, const std::wstring& name);
// Strips a leading "HKLM\" or "HKEY_LOCAL_MACHINE\"; nullopt for any other root.
std::optional<std::wstring> SubKeyOfLocalMachine(const std::wstring& path);
// Writes one value, creating the key; type is "dword", "sz", "expand_sz" or "multi_sz" (items split at
// ';'). Returns the Win32 error code.
uint32_t WriteValue(const std::wstring& path, const std::wstring& name, const std::string& type,
                    const std::string& data);
// Creates the key (and its parents) when it is missing. Returns the Win32 error code.
uint32_t CreateKey(const std::wstring& path);
uint32_t DeleteValue(const std::wstring& path, const std::wstring& name);
const char* TypeName(uint32_t type);

}  // namespace velocyn::sim_cli
