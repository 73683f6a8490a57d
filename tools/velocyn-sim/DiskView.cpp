#include "DiskView.h"

#include <cstdio>

#include "Json.h"
#include "platform/Storage.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/storage/SimStorage.h"

namespace velocyn::sim_cli {

namespace fs = std::filesystem;
namespace sim = tamber::platform::sim;

namespace {

std::string StyleName(uint32_t style) {
  return style == tamber::platform::kPartitionStyleGpt   ? "gpt"
         : style == tamber::platform::kPartitionStyleMbr ? "mbr"
                                                         : "raw";
}

std::string TypeName(const sim::SimDiskImage& image, const sim::SimPartition& partition) {
  if (image.style == tamber::platform::kPartitionStyleMbr) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", partition.mbrType);
    return text;
  }
  if (partition.type == tamber::platform::kPartitionMsftReservedGuid) return "reserved";
  if (partition.type == tamber::platform::kPartitionBasicDataGuid) return "basic data";
  return sim::NarrowUtf8(sim::GuidText(partition.type));
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

bool ParseDiskSize(const std::string& text, uint64_t* bytes) {
  if (text.empty()) return false;
  uint64_t unit = 1;
  std::string digits = text;
  switch (text.back()) {
    case 'K':
    case 'k':
      unit = 1ull << 10;
      break;
    case 'M':
    case 'm':
      unit = 1ull << 20;
      break;
    case 'G':
    case 'g':
      unit = 1ull << 30;
      break;
    case 'T':
    case 't':
      unit = 1ull << 40;
      break;
    default:
      break;
  }
  if (unit != 1) digits.pop_back();
  if (digits.empty() || digits.size() > 12 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  uint64_t value = std::stoull(digits) * unit;
  if (value < (64ull << 20) || value > (64ull << 40) || value % 512 != 0) return false;
  *bytes = value;
  return true;
}

bool ParseScsiSlot(const std::string& text, uint32_t* bus, uint32_t* target) {
  auto colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || colon > 3 || text.size() - colon > 4) {
    return false;
  }
  std::string a = text.substr(0, colon);
  std::string b = text.substr(colon + 1);
  if (a.find_first_not_of("0123456789") != std::string::npos ||
      b.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  unsigned long busValue = std::stoul(a);
  unsigned long targetValue = std::stoul(b);
  if (busValue > 255 || targetValue > 255) return false;
  *bus = static_cast<uint32_t>(busValue);
  *target = static_cast<uint32_t>(targetValue);
  return true;
}

std::string CreateDataDisk(const fs::path& image, uint64_t size) {
  std::error_code error;
  if (fs::exists(image / "disk.conf", error)) return image.string() + " already holds a disk image";
  if (fs::exists(image, error) && !fs::is_empty(image, error)) return image.string() + " exists and is not empty";
  if (!sim::CreateDiskImage(image, size)) return "cannot make a disk image in " + image.string();
  return "";
}

void PrintDiskImage(const fs::path& image, bool json, std::ostream& out) {
  sim::SimDiskImage disk;
  sim::LoadDiskImage(image, &disk);
  if (json) {
    JsonWriter writer(out);
    writer.BeginObject().Key("image").String(image.string()).Key("size").Number(disk.size);
    writer.Key("style").String(StyleName(disk.style)).Key("partitions").BeginArray();
    for (const auto& p : disk.partitions) {
      writer.BeginObject().Key("number").Number(static_cast<uint64_t>(p.number));
      writer.Key("offset").Number(static_cast<int64_t>(p.offset)).Key("length").Number(static_cast<int64_t>(p.length));
      writer.Key("type").String(TypeName(disk, p)).Key("id").String(sim::NarrowUtf8(sim::GuidText(p.id)));
      writer.Key("attributes").String(Hex(p.attributes)).Key("fileSystem").String(p.fileSystem);
      writer.Key("label").String(p.label).EndObject();
    }
    writer.EndArray().EndObject();
    out << "\n";
    return;
  }
  out << image.string() << ": " << disk.size << " bytes, " << StyleName(disk.style) << ", " << disk.partitions.size()
      << " partition(s)\n";
  for (const auto& p : disk.partitions) {
    out << "  " << p.number << ": " << TypeName(disk, p) << " at " << p.offset << ", " << p.length << " bytes, id "
        << sim::NarrowUtf8(sim::GuidText(p.id)) << ", attributes " << Hex(p.attributes);
    if (!p.fileSystem.empty()) out << ", " << p.fileSystem << " \"" << p.label << "\"";
    out << "\n";
  }
}

void PrintMachineStorage(const fs::path& machine, bool json, std::ostream& out) {
  sim::SimStorageConfig config = sim::LoadStorage(machine);
  if (json) {
    JsonWriter writer(out);
    writer.BeginObject().Key("cdrom").Bool(config.cdrom).Key("disks").BeginArray();
    for (const auto& disk : config.disks) {
      writer.BeginObject().Key("scsi").String(std::to_string(disk.bus) + ":" + std::to_string(disk.target));
      writer.Key("image").String(sim::ImagePath(machine, disk).string()).EndObject();
    }
    writer.EndArray().Key("letters").BeginObject();
    for (const auto& [letter, volume] : config.letters) {
      writer.Key(std::string(1, static_cast<char>(letter)) + ":").String(sim::NarrowUtf8(volume));
    }
    writer.EndObject().EndObject();
    out << "\n";
    return;
  }
  out << "SCSI 0:0: system disk (C:)\n";
  for (const auto& disk : config.disks) {
    out << "SCSI " << disk.bus << ":" << disk.target << ": ";
    PrintDiskImage(sim::ImagePath(machine, disk), false, out);
  }
  out << "drive letters:";
  for (const auto& [letter, volume] : config.letters) {
    out << " " << static_cast<char>(letter) << ": " << sim::NarrowUtf8(volume);
  }
  out << "\n";
}

}  // namespace velocyn::sim_cli
