// The files of the simulated storage: disk images ("disk.conf" and the volumes' files) and the machine's
// "storage.conf". Both are name=value lines; a malformed disk.conf is refused rather than guessed at.
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/storage/SimStorage.h"

namespace tamber::platform::sim {
namespace fs = std::filesystem;
namespace {

constexpr int64_t kMiB = 1024 * 1024;

bool ParseUnsigned(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  try {
    size_t used = 0;
    unsigned long long parsed = std::stoull(text, &used, 0);
    if (used != text.size()) return false;
    *value = parsed;
    return true;
  } catch (...) {
    return false;
  }
}

std::string Hex64(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(value));
  return text;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteText(const fs::path& path, const std::string& text) {
  fs::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    if (!out.flush()) return false;
  }
  std::error_code error;
  fs::rename(temp, path, error);
  return !error;
}

std::vector<std::pair<std::string, std::string>> Lines(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line == "[partition]") {
      lines.emplace_back(line, "");
      continue;
    }
    auto equals = line.find('=');
    if (equals == std::string::npos) {
      lines.emplace_back(line, "\x01");  // marks a malformed line
      continue;
    }
    lines.emplace_back(line.substr(0, equals), line.substr(equals + 1));
  }
  return lines;
}

}  // namespace

std::wstring GuidText(const Guid& guid) {
  wchar_t text[40];
  std::swprintf(text, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.data1, guid.data2, guid.data3,
                guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4], guid.data4[5], guid.data4[6],
                guid.data4[7]);
  return text;
}

bool ParseGuid(const std::wstring& input, Guid* guid) {
  std::wstring text = input;
  if (text.size() == 38 && text.front() == L'{' && text.back() == L'}') text = text.substr(1, 36);
  if (text.size() != 36) return false;
  auto hex = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
  };
  uint8_t bytes[16];
  size_t b = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != L'-') return false;
      ++i;
      continue;
    }
    int high = hex(text[i]);
    int low = hex(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[b++] = static_cast<uint8_t>(high * 16 + low);
    i += 2;
  }
  guid->data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  guid->data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid->data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) guid->data4[i] = bytes[8 + i];
  return true;
}

std::string EncodeDiskImage(const SimDiskImage& image) {
  std::ostringstream out;
  out << "size=" << image.size << "\n";
  out << "style=" << (image.style == 0 ? "mbr" : image.style == 1 ? "gpt" : "raw") << "\n";
  out << "diskId=" << NarrowUtf8(GuidText(image.diskId)) << "\n";
  out << "signature=" << image.signature << "\n";
  out << "maxPartitions=" << image.maxPartitionCount << "\n";
  for (const auto& p : image.partitions) {
    out << "[partition]\n";
    out << "number=" << p.number << "\n";
    out << "offset=" << p.offset << "\n";
    out << "length=" << p.length << "\n";
    out << "type=" << NarrowUtf8(GuidText(p.type)) << "\n";
    out << "id=" << NarrowUtf8(GuidText(p.id)) << "\n";
    out << "attributes=" << Hex64(p.attributes) << "\n";
    out << "name=" << NarrowUtf8(p.name) << "\n";
    out << "mbrType=" << static_cast<unsigned>(p.mbrType) << "\n";
    out << "boot=" << (p.boot ? 1 : 0) << "\n";
    out << "fs=" << p.fileSystem << "\n";
    out << "label=" << p.label << "\n";
  }
  return out.str();
}

bool DecodeDiskImage(const std::string& text, SimDiskImage* image) {
  SimDiskImage result;
  SimPartition* partition = nullptr;
  for (const auto& [name, value] : Lines(text)) {
    if (value == "\x01") return false;
    uint64_t number = 0;
    if (name == "[partition]") {
      result.partitions.emplace_back();
      partition = &result.partitions.back();
      continue;
    }
    if (partition == nullptr) {
      if (name == "size") {
        if (!ParseUnsigned(value, &result.size)) return false;
      } else if (name == "style") {
        if (value == "mbr") {
          result.style = 0;
        } else if (value == "gpt") {
          result.style = 1;
        } else if (value == "raw") {
          result.style = 2;
        } else {
          return false;
        }
      } else if (name == "diskId") {
        if (!ParseGuid(WidenUtf8(value), &result.diskId)) return false;
      } else if (name == "signature") {
        if (!ParseUnsigned(value, &number) || number > 0xFFFFFFFFu) return false;
        result.signature = static_cast<uint32_t>(number);
      } else if (name == "maxPartitions") {
        if (!ParseUnsigned(value, &number) || number > 128) return false;
        result.maxPartitionCount = static_cast<uint32_t>(number);
      }
      continue;
    }
    if (name == "number") {
      if (!ParseUnsigned(value, &number) || number > 128) return false;
      partition->number = static_cast<uint32_t>(number);
    } else if (name == "offset" || name == "length") {
      if (!ParseUnsigned(value, &number) || number > static_cast<uint64_t>(INT64_MAX)) return false;
      (name == "offset" ? partition->offset : partition->length) = static_cast<int64_t>(number);
    } else if (name == "type" || name == "id") {
      if (!ParseGuid(WidenUtf8(value), name == "type" ? &partition->type : &partition->id)) return false;
    } else if (name == "attributes") {
      if (!ParseUnsigned(value, &partition->attributes)) return false;
    } else if (name == "name") {
      partition->name = WidenUtf8(value).substr(0, 35);
    } else if (name == "mbrType") {
      if (!ParseUnsigned(value, &number) || number > 0xFF) return false;
      partition->mbrType = static_cast<uint8_t>(number);
    } else if (name == "boot") {
      partition->boot = value == "1";
    } else if (name == "fs") {
      partition->fileSystem = value;
    } else if (name == "label") {
      partition->label = value;
    }
  }
  if (result.size == 0 || result.partitions.size() > 128) return false;
  for (const auto& p : result.partitions) {
    if (p.length <= 0 || p.offset < 0 ||
        static_cast<uint64_t>(p.offset) + static_cast<uint64_t>(p.length) > result.size) {
      return false;
    }
  }
  *image = std::move(result);
  return true;
}

fs::path VolumeFilesDirectory(const fs::path& imageDir, const Guid& partitionId) {
  std::wstring text = GuidText(partitionId);
  return imageDir / "volumes" / NarrowUtf8(text.substr(1, text.size() - 2));
}

fs::path VolumeSecurityFile(const fs::path& volumeFiles) {
  fs::path file = volumeFiles;
  file += ".security.txt";
  return file;
}

void EraseVolumeFiles(const fs::path& imageDir, const Guid& partitionId) {
  const fs::path files = VolumeFilesDirectory(imageDir, partitionId);
  std::error_code error;
  fs::remove_all(files, error);
  fs::remove(VolumeSecurityFile(files), error);
}

bool CreateDiskImage(const fs::path& dir, uint64_t size) {
  std::error_code error;
  if (size < 64 * static_cast<uint64_t>(kMiB) || fs::exists(dir / "disk.conf", error)) return false;
  fs::create_directories(dir / "volumes", error);
  if (error) return false;
  SimDiskImage image;
  image.size = size;
  return SaveDiskImage(dir, image);
}

bool LoadDiskImage(const fs::path& dir, SimDiskImage* image) {
  std::error_code error;
  if (!fs::is_regular_file(dir / "disk.conf", error)) return false;
  return DecodeDiskImage(ReadText(dir / "disk.conf"), image);
}

bool SaveDiskImage(const fs::path& dir, const SimDiskImage& image) {
  return WriteText(dir / "disk.conf", EncodeDiskImage(image));
}

SimStorageConfig LoadStorage(const fs::path& machineDir) {
  SimStorageConfig config;
  std::error_code error;
  fs::path path = machineDir / "storage.conf";
  if (!fs::is_regular_file(path, error)) {
    config.letters.emplace_back(L'C', L"system");
    config.letters.emplace_back(L'D', L"cdrom");
    return config;
  }
  for (const auto& [name, value] : Lines(ReadText(path))) {
    if (name == "disk") {
      auto first = value.find(':');
      auto second = first == std::string::npos ? first : value.find(':', first + 1);
      uint64_t bus = 0;
      uint64_t target = 0;
      if (second == std::string::npos || !ParseUnsigned(value.substr(0, first), &bus) ||
          !ParseUnsigned(value.substr(first + 1, second - first - 1), &target) || bus > 255 || target > 255) {
        continue;
      }
      config.disks.push_back({static_cast<uint32_t>(bus), static_cast<uint32_t>(target), value.substr(second + 1)});
    } else if (name == "cdrom") {
      config.cdrom = value != "0";
    } else if (name == "letter") {
      std::wstring wide = WidenUtf8(value);
      if (wide.size() < 3 || wide[1] != L':' || wide[0] < L'A' || wide[0] > L'Z') continue;
      config.letters.emplace_back(wide[0], wide.substr(2));
    } else if (name == "known") {
      config.known.push_back(WidenUtf8(value));
    }
  }
  return config;
}

void SaveStorage(const fs::path& machineDir, const SimStorageConfig& config) {
  std::ostringstream out;
  out << "cdrom=" << (config.cdrom ? 1 : 0) << "\n";
  for (const auto& disk : config.disks) {
    out << "disk=" << disk.bus << ":" << disk.target << ":" << disk.image.string() << "\n";
  }
  for (const auto& [letter, volume] : config.letters) {
    out << "letter=" << static_cast<char>(letter) << ":" << NarrowUtf8(volume) << "\n";
  }
  for (const auto& volume : config.known) out << "known=" << NarrowUtf8(volume) << "\n";
  WriteText(machineDir / "storage.conf", out.str());
}

fs::path ImagePath(const fs::path& machineDir, const SimScsiDisk& disk) {
  return disk.image.is_absolute() ? disk.image : machineDir / disk.image;
}

}  // namespace tamber::platform::sim
