#include "RegistryView.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cwctype>

#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "platform/Registry.h"
#include "platform/sim/machine/SimPaths.h"

namespace velocyn::sim_cli {

using namespace tamber;
using common::windows::UniqueHKey;
using platform::sim::NarrowUtf8;
using platform::sim::WidenUtf8;

namespace {

std::string Hex(const std::vector<uint8_t>& data) {
  std::string hex;
  for (uint8_t byte : data) {
    char two[4];
    std::snprintf(two, sizeof two, "%02x", byte);
    hex += two;
  }
  return hex;
}

// The data as the command line shows it; a value too short for its type is shown as bytes.
RegistryValue MakeValue(const std::wstring& name, uint32_t type, const std::vector<uint8_t>& data) {
  RegistryValue value{name.empty() ? L"(Default)" : name, type, {}};
  switch (type) {
    case platform::kRegDword:
      if (data.size() >= 4) {
        uint32_t v = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
        char text[32];
        std::snprintf(text, sizeof text, "%u (0x%X)", v, v);
        value.display = text;
        value.dword = v;
        return value;
      }
      break;
    case platform::kRegSz:
    case platform::kRegExpandSz:
      value.display = NarrowUtf8(common::util::FromUtf16LeBytes(data.data(), data.size()));
      return value;
    case platform::kRegMultiSz: {
      size_t offset = 0;
      while (offset + 1 < data.size()) {
        auto item = common::util::FromUtf16LeBytes(data.data() + offset, data.size() - offset);
        if (item.empty()) break;
        value.strings.push_back(NarrowUtf8(item));
        offset += (item.size() + 1) * 2;
      }
      for (const auto& item : value.strings) value.display += (value.display.empty() ? "" : "; ") + item;
      return value;
    }
    default:
      break;
  }
  value.display = Hex(data);
  return value;
}

std::vector<RegistryValue> ReadKeyValues(platform::HKey key) {
  std::vector<RegistryValue> values;
  std::wstring name;
  uint32_t type = 0;
  for (uint32_t i = 0; platform::RegEnumValue(key, i, &name, &type) == platform::kErrorSuccess; ++i) {
    uint32_t size = 0;
    platform::RegQueryValueEx(key, name.c_str(), nullptr, nullptr, &size);
    std::vector<uint8_t> data(size);
    platform::RegQueryValueEx(key, name.c_str(), &type, data.data(), &size);
    data.resize(std::min<size_t>(size, data.size()));
    values.push_back(MakeValue(name, type, data));
  }
  return values;
}

void ReadKey(platform::HKey key, const std::wstring& path, std::vector<RegistryKeyView>* out) {
  out->push_back({path, ReadKeyValues(key)});
  std::wstring name;
  for (uint32_t i = 0; platform::RegEnumKeyEx(key, i, &name) == platform::kErrorSuccess; ++i) {
    UniqueHKey child;
    if (platform::RegOpenKeyEx(key, name.c_str(), 0, platform::kKeyRead, child.put()) == platform::kErrorSuccess) {
      ReadKey(child.get(), path + L"\\" + name, out);
    }
  }
}

}  // namespace

std::optional<std::wstring> SubKeyOfLocalMachine(const std::wstring& path) {
  for (const wchar_t* prefix : {L"HKLM\\", L"HKEY_LOCAL_MACHINE\\"}) {
    std::wstring p = prefix;
    if (path.size() > p.size() && std::equal(p.begin(), p.end(), path.begin(), [](wchar_t a, wchar_t b) {
          return std::towupper(a) == std::towupper(b);
        })) {
      return path.substr(p.size());
    }
  }
  return std::nullopt;
}

std::vector<RegistryKeyView> ReadTree(const std::wstring& path) {
  std::vector<RegistryKeyView> out;
  auto sub = SubKeyOfLocalMachine(path);
  if (!sub) return out;
  UniqueHKey key;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), sub->c_str(), 0, platform::kKeyRead, key.put()) ==
      platform::kErrorSuccess) {
    ReadKey(key.get(), L"HKLM\\" + *sub, &out);
  }
  return out;
}

std::optional<std::vector<RegistryValue>> ReadValues(const std::wstring& path) {
  auto sub = SubKeyOfLocalMachine(path);
  if (!sub) return std::nullopt;
  UniqueHKey key;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), sub->c_str(), 0, platform::kKeyRead, key.put()) !=
      platform::kErrorSuccess) {
    return std::nullopt;
  }
  return ReadKeyValues(key.get());
}

std::optional<RegistryValue> ReadOneValue(const std::wstring& path, const std::wstring& name) {
  auto values = ReadValues(path);
  if (!values) return std::nullopt;
  for (auto& value : *values) {
    if (value.name.size() == name.size() &&
        std::equal(name.begin(), name.end(), value.name.begin(),
                   [](wchar_t a, wchar_t b) { return std::towupper(a) == std::towupper(b); })) {
      return std::move(value);
    }
  }
  return std::nullopt;
}

uint32_t WriteValue(const std::wstring& path, const std::wstring& name, const std::string& type,
                    const std::string& data) {
  auto sub = SubKeyOfLocalMachine(path);
  if (!sub) return platform::kErrorInvalidParameter;
  std::vector<uint8_t> bytes;
  uint32_t regType = 0;
  if (type == "dword") {
    uint32_t value = 0;
    int base = data.rfind("0x", 0) == 0 ? 16 : 10;
    const char* begin = data.c_str() + (base == 16 ? 2 : 0);
    auto [end, error] = std::from_chars(begin, data.c_str() + data.size(), value, base);
    if (error != std::errc() || end != data.c_str() + data.size() || begin == end) {
      return platform::kErrorInvalidData;
    }
    regType = platform::kRegDword;
    bytes = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
             static_cast<uint8_t>(value >> 24)};
  } else if (type == "sz" || type == "expand_sz") {
    regType = type == "sz" ? platform::kRegSz : platform::kRegExpandSz;
    bytes = common::util::ToUtf16LeBytes(WidenUtf8(data));
  } else if (type == "multi_sz") {
    regType = platform::kRegMultiSz;
    size_t start = 0;
    while (start <= data.size()) {
      size_t end = data.find(';', start);
      if (end == std::string::npos) end = data.size();
      if (end > start) {
        auto item = common::util::ToUtf16LeBytes(WidenUtf8(data.substr(start, end - start)));
        bytes.insert(bytes.end(), item.begin(), item.end());
      }
      start = end + 1;
    }
    bytes.push_back(0);
    bytes.push_back(0);
  } else {
    return platform::kErrorInvalidParameter;
  }
  UniqueHKey key;
  uint32_t error = platform::RegCreateKeyEx(platform::HKeyLocalMachine(), sub->c_str(), 0, platform::kKeyReadWrite,
                                            key.put(), nullptr);
  if (error != platform::kErrorSuccess) return error;
  return platform::RegSetValueEx(key.get(), name.c_str(), regType, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

uint32_t CreateKey(const std::wstring& path) {
  auto sub = SubKeyOfLocalMachine(path);
  if (!sub) return platform::kErrorInvalidParameter;
  UniqueHKey key;
  return platform::RegCreateKeyEx(platform::HKeyLocalMachine(), sub->c_str(), platform::kRegOptionNonVolatile,
                                  platform::kKeyReadWrite, key.put(), nullptr);
}

uint32_t DeleteValue(const std::wstring& path, const std::wstring& name) {
  auto sub = SubKeyOfLocalMachine(path);
  if (!sub) return platform::kErrorInvalidParameter;
  UniqueHKey key;
  uint32_t error =
      platform::RegOpenKeyEx(platform::HKeyLocalMachine(), sub->c_str(), 0, platform::kKeyReadWrite, key.put());
  return error != platform::kErrorSuccess ? error : platform::RegDeleteValue(key.get(), name.c_str());
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case platform::kRegSz:
      return "REG_SZ";
    case platform::kRegExpandSz:
      return "REG_EXPAND_SZ";
    case platform::kRegBinary:
      return "REG_BINARY";
    case platform::kRegDword:
      return "REG_DWORD";
    case platform::kRegMultiSz:
      return "REG_MULTI_SZ";
    case platform::kRegQword:
      return "REG_QWORD";
    default:
      return "REG_NONE";
  }
}

}  // namespace velocyn::sim_cli
