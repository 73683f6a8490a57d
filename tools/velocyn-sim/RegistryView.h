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
  std::string display;  // the data as a person reads it (UTF-8)
};

struct RegistryKeyView {
  std::wstring path;  // "HKLM\..."
  std::vector<RegistryValue> values;
};

// Every key at or below path (depth-first, subkeys in stored order). Empty when the key is missing.
std::vector<RegistryKeyView> ReadTree(const std::wstring& path);
// Strips a leading "HKLM\" or "HKEY_LOCAL_MACHINE\"; nullopt for any other root.
std::optional<std::wstring> SubKeyOfLocalMachine(const std::wstring& path);
// Writes one value, creating the key; type is "dword", "sz", "expand_sz" or "multi_sz" (items split at
// ';'). Returns the Win32 error code.
uint32_t WriteValue(const std::wstring& path, const std::wstring& name, const std::string& type,
                    const std::string& data);
uint32_t DeleteValue(const std::wstring& path, const std::wstring& name);
const char* TypeName(uint32_t type);

}  // namespace velocyn::sim_cli
