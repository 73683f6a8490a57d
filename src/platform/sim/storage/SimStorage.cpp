// The storage of the simulated guest at run time: the volumes of the attached disks, the mount manager's
// drive letters, DOS device definitions, the disk control codes on an open disk, and the storage seam.
#include "platform/sim/storage/SimStorage.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>

#include "platform/Files.h"
#include "platform/Storage.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimBootHooks.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"

namespace tamber::platform::sim {
namespace fs = std::filesystem;
namespace {

constexpr int64_t kMiB = 1024 * 1024;
constexpr uint64_t kSystemDiskSize = 64ull * 1024 * 1024 * 1024;
constexpr const wchar_t* kSystemVolume = L"{6b0e59d3-2a41-4c17-8e5f-93d2c07a4b18}";
constexpr const wchar_t* kCdromVolume = L"{c4a7f210-9e3b-4d58-b6a1-57e0d8c31f92}";
constexpr const wchar_t* kSystemVolumeDevice = L"\\Device\\HarddiskVolume2";
constexpr const wchar_t* kCdromDevice = L"\\Device\\CdRom0";
constexpr const wchar_t* kDiskInterfaceSuffix = L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const wchar_t* kVolumeInterfaceSuffix = L"#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const wchar_t* kDiskPathPrefix = L"\\\\?\\scsi#disk&ven_talvora&prod_virtual_disk#5&0&0&0";
constexpr DevInst kSystemDiskDevInst = kFirstStorageDevInst;
constexpr DevInst kSystemVolumeDevInst = kFirstStorageDevInst + 0xF01;
constexpr DevInst kCdromDevInst = kFirstStorageDevInst + 0xF02;
constexpr DevInst kFirstDataVolumeDevInst = kFirstStorageDevInst + 0x1000;

struct RuntimeState {
  std::recursive_mutex mutex;
  std::map<std::wstring, std::vector<std::wstring>> dosDevices;  // name (upper case) -> definitions, newest last
  uint64_t diskListings = 0;
  std::string diskMissingFault;
};

RuntimeState& Runtime() {
  static auto* state = new RuntimeState;
  return *state;
}

enum class VolumeKind { System, Cdrom, Data };

struct Volume {
  VolumeKind kind = VolumeKind::Data;
  std::wstring guid;  // "{...}"
  std::wstring device;
  DevInst devInst = 0;
  size_t slot = 0;  // data volumes: index into the configuration's disks
  fs::path image;
  SimPartition partition;
};

wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

std::wstring UpperText(std::wstring text) {
  for (auto& c : text) c = Upper(c);
  return text;
}

uint32_t ErrorOf(const std::string& text, uint32_t fallback) {
  try {
    return static_cast<uint32_t>(std::stoul(text, nullptr, 0));
  } catch (...) {
    return fallback;
  }
}

SimDiskImage SystemDiskImage() {
  SimDiskImage image;
  image.size = kSystemDiskSize;
  image.style = kPartitionStyleGpt;
  image.maxPartitionCount = 128;
  ParseGuid(L"{0d9a3c51-7be4-4f02-a6c8-1e25f04b7d93}", &image.diskId);
  SimPartition reserved;
  reserved.number = 1;
  reserved.offset = kMiB;
  reserved.length = 15 * kMiB;
  reserved.type = kPartitionMsftReservedGuid;
  ParseGuid(L"{2e61b0a4-58c3-4d9f-91e7-c3a05d82f416}", &reserved.id);
  reserved.name = L"Microsoft reserved partition";
  SimPartition data;
  data.number = 2;
  data.offset = 16 * kMiB;
  data.length = static_cast<int64_t>(kSystemDiskSize) - 18 * kMiB;
  data.type = kPartitionBasicDataGuid;
  ParseGuid(kSystemVolume, &data.id);
  data.name = L"Basic data partition";
  data.fileSystem = "NTFS";
  image.partitions = {reserved, data};
  return image;
}

bool IsDataPartition(const SimDiskImage& image, const SimPartition& partition) {
  if (image.style == kPartitionStyleGpt) return partition.type == kPartitionBasicDataGuid;
  if (image.style == kPartitionStyleMbr) {
    return partition.mbrType != kPartitionEntryUnused && partition.mbrType != kPartitionExtended &&
           partition.mbrType != kPartitionXint13Extended;
  }
  return false;
}

// Whether the disk in a slot is there, given how often the disk class has been listed in this boot.
bool SlotPresentLocked(const SimScsiDisk& disk) {
  auto& runtime = Runtime();
  auto fault = FaultPlan::Get("DiskMissing");
  if (!fault) return true;
  if (*fault != runtime.diskMissingFault) {
    runtime.diskMissingFault = *fault;
    runtime.diskListings = 0;
  }
  std::string where = *fault;
  uint64_t after = 0;
  auto at = where.find('@');
  if (at != std::string::npos) {
    after = ErrorOf(where.substr(at + 1), 0);
    where = where.substr(0, at);
  }
  if (where != std::to_string(disk.bus) + ":" + std::to_string(disk.target)) return true;
  return runtime.diskListings <= after && after != 0;
}

std::vector<Volume> VolumesLocked(const SimStorageConfig& config) {
  std::vector<Volume> volumes;
  Volume system;
  system.kind = VolumeKind::System;
  system.guid = kSystemVolume;
  system.device = kSystemVolumeDevice;
  system.devInst = kSystemVolumeDevInst;
  system.partition = SystemDiskImage().partitions[1];
  volumes.push_back(system);
  if (config.cdrom) {
    Volume cdrom;
    cdrom.kind = VolumeKind::Cdrom;
    cdrom.guid = kCdromVolume;
    cdrom.device = kCdromDevice;
    cdrom.devInst = kCdromDevInst;
    volumes.push_back(cdrom);
  }
  const fs::path& machineDir = Machine::Directory();
  for (size_t slot = 0; slot < config.disks.size(); ++slot) {
    if (!SlotPresentLocked(config.disks[slot])) continue;
    SimDiskImage image;
    fs::path path = ImagePath(machineDir, config.disks[slot]);
    if (!LoadDiskImage(path, &image)) continue;
    uint32_t ordinal = 0;
    for (const auto& partition : image.partitions) {
      if (!IsDataPartition(image, partition)) continue;
      Volume volume;
      volume.kind = VolumeKind::Data;
      volume.guid = GuidText(partition.id);
      volume.device = L"\\Device\\HarddiskVolume" + std::to_wstring(3 + slot * 8 + ordinal++);
      volume.devInst = static_cast<DevInst>(kFirstDataVolumeDevInst + slot * 0x100 + partition.number);
      volume.slot = slot;
      volume.image = path;
      volume.partition = partition;
      volumes.push_back(volume);
    }
  }
  return volumes;
}

const Volume* FindVolume(const std::vector<Volume>& volumes, const std::wstring& guid) {
  std::wstring wanted = UpperText(guid);
  for (const auto& volume : volumes) {
    if (UpperText(volume.guid) == wanted) return &volume;
  }
  return nullptr;
}

// The letter's volume, present now; null when the letter leads nowhere.
const Volume* VolumeAtLetterLocked(const SimStorageConfig& config, const std::vector<Volume>& volumes, wchar_t letter) {
  letter = Upper(letter);
  for (const auto& [mapped, guid] : config.letters) {
    if (mapped != letter) continue;
    if (guid == L"system") return FindVolume(volumes, kSystemVolume);
    if (guid == L"cdrom") return FindVolume(volumes, kCdromVolume);
    return FindVolume(volumes, guid);
  }
  return nullptr;
}

std::wstring LetterGuid(const std::wstring& stored) {
  if (stored == L"system") return kSystemVolume;
  if (stored == L"cdrom") return kCdromVolume;
  return stored;
}

std::optional<wchar_t> LetterOfLocked(const SimStorageConfig& config, const std::wstring& guid) {
  std::wstring wanted = UpperText(guid);
  for (const auto& [letter, stored] : config.letters) {
    if (UpperText(LetterGuid(stored)) == wanted) return letter;
  }
  return std::nullopt;
}

bool LetterTaken(const SimStorageConfig& config, wchar_t letter) {
  for (const auto& [mapped, guid] : config.letters) {
    if (mapped == letter) return true;
  }
  return false;
}

// A volume that arrives gets the first free letter from C upward, once, unless its partition says not to.
void ArriveLocked(SimStorageConfig* config, const SimDiskImage& image, const SimPartition& partition) {
  if (!IsDataPartition(image, partition)) return;
  std::wstring guid = GuidText(partition.id);
  if (std::find(config->known.begin(), config->known.end(), guid) != config->known.end()) return;
  config->known.push_back(guid);
  if (image.style == kPartitionStyleGpt && (partition.attributes & kGptBasicDataAttributeNoDriveLetter) != 0) return;
  for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
    if (!LetterTaken(*config, letter)) {
      config->letters.emplace_back(letter, guid);
      return;
    }
  }
}

void ForgetLocked(SimStorageConfig* config, const Guid& id) {
  std::wstring guid = UpperText(GuidText(id));
  std::erase_if(config->letters, [&](const auto& entry) { return UpperText(entry.second) == guid; });
  std::erase_if(config->known, [&](const std::wstring& known) { return UpperText(known) == guid; });
}

// "\\?\Volume{GUID}\" -> "{GUID}"; empty when the text is not a volume name.
std::wstring VolumeGuidOfName(const wchar_t* name, bool trailingBackslash) {
  if (name == nullptr) return {};
  std::wstring text = name;
  const std::wstring prefix = L"\\\\?\\Volume";
  if (text.size() < prefix.size() || UpperText(text.substr(0, prefix.size())) != UpperText(prefix)) return {};
  text = text.substr(prefix.size());
  if (trailingBackslash) {
    if (text.empty() || text.back() != L'\\') return {};
    text.pop_back();
  }
  Guid guid{};
  if (!ParseGuid(text, &guid) || text.size() != 38) return {};
  return text;
}

// "E:\" (or "E:" when allowed) -> 'E'; 0 when the text is not a drive root.
wchar_t LetterOfRoot(const wchar_t* root, bool needBackslash) {
  if (root == nullptr) return 0;
  std::wstring text = root;
  wchar_t letter = text.empty() ? 0 : Upper(text[0]);
  if (letter < L'A' || letter > L'Z' || text.size() < 2 || text[1] != L':') return 0;
  if (text.size() == 2) return needBackslash ? 0 : letter;
  if (text.size() == 3 && text[2] == L'\\') return letter;
  return 0;
}

// Copies text and its null into a buffer of bufferLength characters; false when it does not fit.
bool CopyOut(const std::wstring& text, wchar_t* buffer, uint32_t bufferLength) {
  if (buffer == nullptr || text.size() + 1 > bufferLength) return false;
  std::wmemcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

class DiskObject : public KernelObject {
 public:
  DiskObject(uint32_t diskBus, uint32_t diskTarget, uint32_t openAccess)
      : bus(diskBus), target(diskTarget), access(openAccess) {}
  bool IsWaitable() const override { return false; }
  uint32_t bus;
  uint32_t target;
  uint32_t access;
};

class FindVolumeObject : public KernelObject {
 public:
  bool IsWaitable() const override { return false; }
  std::vector<std::wstring> names;
  size_t next = 0;
};

// The image of the disk at a slot of the booted machine; the system disk is bus 0 target 0.
struct OpenedDisk {
  bool system = false;
  fs::path image;
  SimDiskImage disk;
};

bool OpenSlotLocked(uint32_t bus, uint32_t target, OpenedDisk* opened) {
  if (bus == 0 && target == 0) {
    opened->system = true;
    opened->disk = SystemDiskImage();
    return true;
  }
  auto config = LoadStorage(Machine::Directory());
  for (const auto& disk : config.disks) {
    if (disk.bus != bus || disk.target != target) continue;
    if (!SlotPresentLocked(disk)) return false;
    opened->image = ImagePath(Machine::Directory(), disk);
    return LoadDiskImage(opened->image, &opened->disk);
  }
  return false;
}

void EncodeLayout(const SimDiskImage& disk, std::vector<uint8_t>* out) {
  const uint32_t count = static_cast<uint32_t>(disk.partitions.size());
  // An MBR table always reports its four primary slots, used or not.
  const uint32_t entries = disk.style == kPartitionStyleGpt   ? count
                           : disk.style == kPartitionStyleMbr ? std::max<uint32_t>(count, 4)
                                                              : 0;
  out->assign(DriveLayoutSize(std::max<uint32_t>(entries, 1)), 0);
  auto* layout = reinterpret_cast<DriveLayoutInformationEx*>(out->data());
  layout->partitionStyle = disk.style;
  layout->partitionCount = entries;
  if (disk.style == kPartitionStyleGpt) {
    // The usable area of a GPT disk of 512-byte sectors: after the first 34 sectors, before the last 33.
    layout->gpt.diskId = disk.diskId;
    layout->gpt.startingUsableOffset = 17408;
    layout->gpt.usableLength = static_cast<int64_t>(disk.size) - 17408 - 16896;
    layout->gpt.maxPartitionCount = disk.maxPartitionCount == 0 ? 128 : disk.maxPartitionCount;
  } else if (disk.style == kPartitionStyleMbr) {
    layout->mbr.signature = disk.signature;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const SimPartition& p = disk.partitions[i];
    PartitionInformationEx& entry = layout->partitionEntry[i];
    entry.partitionStyle = disk.style;
    entry.startingOffset = p.offset;
    entry.partitionLength = p.length;
    entry.partitionNumber = p.number;
    if (disk.style == kPartitionStyleGpt) {
      entry.gpt.partitionType = p.type;
      entry.gpt.partitionId = p.id;
      entry.gpt.attributes = p.attributes;
      for (size_t c = 0; c < p.name.size() && c < 35; ++c) entry.gpt.name[c] = static_cast<char16_t>(p.name[c]);
    } else {
      entry.mbr.partitionType = p.mbrType;
      entry.mbr.bootIndicator = p.boot ? 1 : 0;
      entry.mbr.recognizedPartition = IsDataPartition(disk, p) ? 1 : 0;
      entry.mbr.hiddenSectors = static_cast<uint32_t>(p.offset / 512);
      entry.mbr.partitionId = p.id;
    }
  }
}

// IOCTL_DISK_SET_DRIVE_LAYOUT_EX: the new table, checked as the partition manager checks it. A partition
// that keeps its id, place and size keeps its volume and files; any other is a new, raw volume.
uint32_t SetLayoutLocked(OpenedDisk* opened, const uint8_t* in, uint32_t inSize) {
  if (in == nullptr || inSize < DriveLayoutSize(0)) return kErrorInvalidParameter;
  DriveLayoutInformationEx header;
  std::memcpy(&header, in, DriveLayoutSize(0));
  if (header.partitionCount > 128 || inSize < DriveLayoutSize(header.partitionCount)) return kErrorInvalidParameter;
  SimDiskImage& disk = opened->disk;
  if (header.partitionStyle != disk.style) return kErrorInvalidParameter;
  std::vector<SimPartition> partitions;
  for (uint32_t i = 0; i < header.partitionCount; ++i) {
    PartitionInformationEx entry;
    std::memcpy(&entry, in + DriveLayoutSize(0) + i * sizeof(PartitionInformationEx), sizeof entry);
    if (entry.partitionLength == 0) continue;
    if (disk.style == kPartitionStyleGpt && entry.gpt.partitionType == kPartitionEntryUnusedGuid) continue;
    if (disk.style == kPartitionStyleMbr && entry.mbr.partitionType == kPartitionEntryUnused) continue;
    if (entry.startingOffset < 0 || entry.partitionLength < 0 ||
        static_cast<uint64_t>(entry.startingOffset) + static_cast<uint64_t>(entry.partitionLength) > disk.size ||
        entry.startingOffset % 512 != 0 || entry.partitionLength % 512 != 0) {
      return kErrorInvalidParameter;
    }
    SimPartition p;
    p.number = static_cast<uint32_t>(partitions.size() + 1);
    p.offset = entry.startingOffset;
    p.length = entry.partitionLength;
    if (disk.style == kPartitionStyleGpt) {
      if (entry.startingOffset < 17408 ||
          static_cast<uint64_t>(entry.startingOffset + entry.partitionLength) > disk.size - 16896) {
        return kErrorInvalidParameter;
      }
      p.type = entry.gpt.partitionType;
      p.id = entry.gpt.partitionId;
      p.attributes = entry.gpt.attributes;
      for (size_t c = 0; c < 36 && entry.gpt.name[c] != 0; ++c)
        p.name.push_back(static_cast<wchar_t>(entry.gpt.name[c]));
    } else {
      p.mbrType = entry.mbr.partitionType;
      p.boot = entry.mbr.bootIndicator != 0;
      p.id = entry.mbr.partitionId;
    }
    for (const auto& other : partitions) {
      if (p.offset < other.offset + other.length && other.offset < p.offset + p.length) return kErrorInvalidParameter;
      if (other.id == p.id && !(p.id == kPartitionEntryUnusedGuid)) return kErrorInvalidParameter;
    }
    for (const auto& old : disk.partitions) {
      if (old.id == p.id && old.offset == p.offset && old.length == p.length) {
        p.fileSystem = old.fileSystem;
        p.label = old.label;
      }
    }
    partitions.push_back(p);
  }
  auto config = LoadStorage(Machine::Directory());
  for (const auto& old : disk.partitions) {
    bool kept = std::any_of(partitions.begin(), partitions.end(), [&](const SimPartition& p) {
      return p.id == old.id && !p.fileSystem.empty() == !old.fileSystem.empty() && p.offset == old.offset;
    });
    if (!kept) {
      ForgetLocked(&config, old.id);
      EraseVolumeFiles(opened->image, old.id);
    }
  }
  disk.partitions = partitions;
  if (!SaveDiskImage(opened->image, disk)) return kErrorWriteFault;
  for (const auto& p : disk.partitions) ArriveLocked(&config, disk, p);
  SaveStorage(Machine::Directory(), config);
  return kErrorSuccess;
}

uint32_t CreateDiskLocked(OpenedDisk* opened, const uint8_t* in, uint32_t inSize) {
  if (in == nullptr || inSize < sizeof(CreateDisk)) return kErrorInvalidParameter;
  CreateDisk request;
  std::memcpy(&request, in, sizeof request);
  if (request.partitionStyle != kPartitionStyleGpt && request.partitionStyle != kPartitionStyleMbr) {
    return kErrorInvalidParameter;
  }
  auto config = LoadStorage(Machine::Directory());
  for (const auto& old : opened->disk.partitions) {
    ForgetLocked(&config, old.id);
    EraseVolumeFiles(opened->image, old.id);
  }
  SaveStorage(Machine::Directory(), config);
  opened->disk.partitions.clear();
  opened->disk.style = request.partitionStyle;
  if (request.partitionStyle == kPartitionStyleGpt) {
    opened->disk.diskId = request.gpt.diskId;
    opened->disk.maxPartitionCount = std::max<uint32_t>(request.gpt.maxPartitionCount, 128);
  } else {
    opened->disk.signature = request.mbr.signature;
  }
  return SaveDiskImage(opened->image, opened->disk) ? kErrorSuccess : kErrorWriteFault;
}

}  // namespace

void StorageBoot() {
  auto& runtime = Runtime();
  std::lock_guard<std::recursive_mutex> lock(runtime.mutex);
  runtime.dosDevices.clear();
  runtime.diskListings = 0;
  runtime.diskMissingFault.clear();
}

bool AttachDisk(const fs::path& machineDir, uint32_t bus, uint32_t target, const fs::path& image, std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  if (bus == 0 && target == 0) {
    *error = "SCSI 0:0 holds the system disk";
    return false;
  }
  auto config = LoadStorage(machineDir);
  for (const auto& disk : config.disks) {
    if (disk.bus == bus && disk.target == target) {
      *error = "SCSI " + std::to_string(bus) + ":" + std::to_string(target) + " already holds a disk";
      return false;
    }
    std::error_code fsError;
    if (fs::equivalent(ImagePath(machineDir, disk), image, fsError)) {
      *error = "this disk is already attached at SCSI " + std::to_string(disk.bus) + ":" + std::to_string(disk.target);
      return false;
    }
  }
  SimDiskImage disk;
  if (!LoadDiskImage(image, &disk)) {
    *error = "no disk image at " + image.string();
    return false;
  }
  config.disks.push_back({bus, target, fs::absolute(image)});
  for (const auto& partition : disk.partitions) ArriveLocked(&config, disk, partition);
  SaveStorage(machineDir, config);
  return true;
}

bool DetachDisk(const fs::path& machineDir, uint32_t bus, uint32_t target, std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto config = LoadStorage(machineDir);
  auto it = std::find_if(config.disks.begin(), config.disks.end(),
                         [&](const SimScsiDisk& disk) { return disk.bus == bus && disk.target == target; });
  if (it == config.disks.end()) {
    *error = "no disk at SCSI " + std::to_string(bus) + ":" + std::to_string(target);
    return false;
  }
  SimDiskImage disk;
  if (LoadDiskImage(ImagePath(machineDir, *it), &disk)) {
    for (const auto& partition : disk.partitions) ForgetLocked(&config, partition.id);
  }
  config.disks.erase(it);
  SaveStorage(machineDir, config);
  return true;
}

fs::path VolumeRootForLetter(wchar_t letter) {
  if (!Machine::IsBooted()) return {};
  if (Upper(letter) == L'C') return Machine::DriveRoot();
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto config = LoadStorage(Machine::Directory());
  auto volumes = VolumesLocked(config);
  const Volume* volume = VolumeAtLetterLocked(config, volumes, letter);
  if (volume == nullptr || volume->kind != VolumeKind::Data || volume->partition.fileSystem.empty()) return {};
  fs::path root = VolumeFilesDirectory(volume->image, volume->partition.id);
  std::error_code error;
  fs::create_directories(root, error);
  return root;
}

std::vector<std::string> DiskEvents(const fs::path& image) {
  fs::path file = image;
  file += ".events";
  std::vector<std::string> events;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) events.push_back(line);
  return events;
}

bool FormatVolume(wchar_t letter, const std::string& label, std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto config = LoadStorage(Machine::Directory());
  auto volumes = VolumesLocked(config);
  const Volume* volume = VolumeAtLetterLocked(config, volumes, letter);
  if (volume == nullptr) {
    *error = "The system cannot find the drive specified.";
    return false;
  }
  if (volume->kind != VolumeKind::Data) {
    *error = "Cannot format this volume: it is in use or it is not a disk volume.";
    return false;
  }
  SimDiskImage image;
  if (!LoadDiskImage(volume->image, &image)) {
    *error = "The device is not ready.";
    return false;
  }
  for (auto& partition : image.partitions) {
    if (!(partition.id == volume->partition.id)) continue;
    partition.fileSystem = "NTFS";
    partition.label = label.substr(0, 32);
  }
  std::error_code fsError;
  const fs::path files = VolumeFilesDirectory(volume->image, volume->partition.id);
  size_t lost = 0;
  for (auto it = fs::recursive_directory_iterator(files, fsError); !fsError && it != fs::recursive_directory_iterator();
       it.increment(fsError)) {
    if (it->is_regular_file()) ++lost;
  }
  fsError.clear();
  {
    fs::path events = volume->image;
    events += ".events";
    std::ofstream(events, std::ios::app) << "format files=" + std::to_string(lost) + "\n";
  }
  EraseVolumeFiles(volume->image, volume->partition.id);
  fs::create_directories(files, fsError);
  if (!SaveDiskImage(volume->image, image)) {
    *error = "The device is not ready.";
    return false;
  }
  return true;
}

namespace {

// A listing of the disk class by the device installer counts for the missing-disk fault; a look-up of
// one device's properties does not.
std::vector<SimStorageDevice> DevicesLocked(const Guid& interfaceClass, bool countListing) {
  std::vector<SimStorageDevice> devices;
  if (!Machine::IsBooted()) return devices;
  auto& runtime = Runtime();
  auto config = LoadStorage(Machine::Directory());
  if (interfaceClass == kGuidDevInterfaceDisk) {
    SlotPresentLocked({});  // notices a changed fault before counting
    if (countListing) ++runtime.diskListings;
    auto add = [&](DevInst devInst, uint32_t bus, uint32_t target) {
      wchar_t slot[8];
      std::swprintf(slot, 8, L"%02x%02x00", bus, target);
      SimStorageDevice device;
      device.devInst = devInst;
      device.interfacePath = std::wstring(kDiskPathPrefix) + slot + kDiskInterfaceSuffix;
      device.deviceId = L"SCSI\\DISK&VEN_TALVORA&PROD_VIRTUAL_DISK\\5&0&0&0" + UpperText(slot);
      device.location = L"Bus Number " + std::to_wstring(bus) + L", Target Id " + std::to_wstring(target) + L", LUN 0";
      device.physicalName = L"\\Device\\0000002" + std::to_wstring(devInst - kFirstStorageDevInst);
      devices.push_back(device);
    };
    add(kSystemDiskDevInst, 0, 0);
    for (size_t slot = 0; slot < config.disks.size(); ++slot) {
      if (!SlotPresentLocked(config.disks[slot])) continue;
      add(static_cast<DevInst>(kSystemDiskDevInst + 1 + slot), config.disks[slot].bus, config.disks[slot].target);
    }
    return devices;
  }
  if (interfaceClass == kGuidDevInterfaceVolume) {
    bool restart = FaultPlan::IsSet("VolumeNeedsRestart");
    for (const auto& volume : VolumesLocked(config)) {
      if (volume.kind == VolumeKind::Cdrom) continue;  // a CD-ROM is no volume-class device
      SimStorageDevice device;
      device.devInst = volume.devInst;
      device.interfacePath = L"\\\\?\\STORAGE#Volume#" + volume.guid + kVolumeInterfaceSuffix;
      device.deviceId = L"STORAGE\\VOLUME\\" + UpperText(volume.guid);
      device.physicalName = volume.device;
      device.needsRestart = restart && volume.kind == VolumeKind::Data;
      devices.push_back(device);
    }
  }
  return devices;
}

}  // namespace

std::vector<SimStorageDevice> StorageDevices(const Guid& interfaceClass) {
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  return DevicesLocked(interfaceClass, /*countListing=*/true);
}

std::optional<SimStorageDevice> StorageDeviceByDevInst(DevInst devInst) {
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  for (const Guid* kind : {&kGuidDevInterfaceDisk, &kGuidDevInterfaceVolume}) {
    for (auto& device : DevicesLocked(*kind, /*countListing=*/false)) {
      if (device.devInst == devInst) return device;
    }
  }
  return std::nullopt;
}

std::optional<SimStorageDevice> StorageDeviceById(const std::wstring& deviceId) {
  std::wstring wanted = UpperText(deviceId);
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  for (const Guid* kind : {&kGuidDevInterfaceDisk, &kGuidDevInterfaceVolume}) {
    for (auto& device : DevicesLocked(*kind, /*countListing=*/false)) {
      if (UpperText(device.deviceId) == wanted) return device;
    }
  }
  return std::nullopt;
}

bool IsDiskDevicePath(const wchar_t* path) {
  if (path == nullptr) return false;
  std::wstring prefix = UpperText(kDiskPathPrefix);
  std::wstring text = UpperText(path);
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

Handle OpenDiskDevice(const wchar_t* path, uint32_t access) {
  std::wstring text = UpperText(path);
  std::wstring expected = UpperText(kDiskPathPrefix);
  std::wstring suffix = UpperText(kDiskInterfaceSuffix);
  if (text.size() != expected.size() + 6 + suffix.size() ||
      text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0) {
    SetLastError(kErrorFileNotFound);
    return InvalidHandleValue();
  }
  std::wstring slot = text.substr(expected.size(), 6);
  uint32_t bus = 0;
  uint32_t target = 0;
  try {
    bus = static_cast<uint32_t>(std::stoul(slot.substr(0, 2), nullptr, 16));
    target = static_cast<uint32_t>(std::stoul(slot.substr(2, 2), nullptr, 16));
  } catch (...) {
    SetLastError(kErrorFileNotFound);
    return InvalidHandleValue();
  }
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  OpenedDisk opened;
  if (!OpenSlotLocked(bus, target, &opened)) {
    SetLastError(kErrorFileNotFound);
    return InvalidHandleValue();
  }
  return InsertHandle(std::make_shared<DiskObject>(bus, target, access));
}

}  // namespace tamber::platform::sim

namespace tamber::platform {

using sim::Runtime;

bool DeviceIoControl(Handle device, uint32_t ioControlCode, const void* inBuffer, uint32_t inBufferSize,
                     void* outBuffer, uint32_t outBufferSize, uint32_t* bytesReturned) {
  auto disk = sim::LookupHandleAs<sim::DiskObject>(device);
  if (!disk) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  sim::OpenedDisk opened;
  if (!sim::OpenSlotLocked(disk->bus, disk->target, &opened)) {
    SetLastError(kErrorNotReady);  // the disk left its slot while it was open
    return false;
  }
  auto reply = [&](const void* data, uint32_t size) {
    if (outBuffer == nullptr || outBufferSize < size) {
      SetLastError(kErrorInsufficientBuffer);
      return false;
    }
    std::memcpy(outBuffer, data, size);
    if (bytesReturned != nullptr) *bytesReturned = size;
    return true;
  };
  const bool canWrite = (disk->access & kGenericWrite) != 0;
  auto writeFault = [&]() -> std::optional<uint32_t> {
    if (auto fault = sim::FaultPlan::Get("DiskLayoutWriteFails")) return sim::ErrorOf(*fault, kErrorIoDevice);
    if (!canWrite) return kErrorAccessDenied;
    if (opened.system) return kErrorAccessDenied;  // the system disk's table is not the agent's to change
    return std::nullopt;
  };
  if (bytesReturned != nullptr) *bytesReturned = 0;
  switch (ioControlCode) {
    case kIoctlDiskGetDriveGeometryEx: {
      DiskGeometryEx geometry{};
      geometry.geometry.bytesPerSector = 512;
      geometry.geometry.sectorsPerTrack = 63;
      geometry.geometry.tracksPerCylinder = 255;
      geometry.geometry.mediaType = kMediaFixedMedia;
      geometry.geometry.cylinders = static_cast<int64_t>(opened.disk.size / (512ull * 63 * 255));
      geometry.diskSize = static_cast<int64_t>(opened.disk.size);
      return reply(&geometry, offsetof(DiskGeometryEx, data));
    }
    case kIoctlDiskGetLengthInfo: {
      GetLengthInformation length{static_cast<int64_t>(opened.disk.size)};
      return reply(&length, sizeof length);
    }
    case kIoctlDiskGetDriveLayoutEx: {
      std::vector<uint8_t> layout;
      sim::EncodeLayout(opened.disk, &layout);
      return reply(layout.data(), static_cast<uint32_t>(layout.size()));
    }
    case kIoctlDiskCreateDisk:
    case kIoctlDiskSetDriveLayoutEx: {
      if (auto error = writeFault()) {
        SetLastError(*error);
        return false;
      }
      uint32_t error = ioControlCode == kIoctlDiskCreateDisk
                           ? sim::CreateDiskLocked(&opened, static_cast<const uint8_t*>(inBuffer), inBufferSize)
                           : sim::SetLayoutLocked(&opened, static_cast<const uint8_t*>(inBuffer), inBufferSize);
      SetLastError(error);
      return error == kErrorSuccess;
    }
    case kIoctlDiskUpdateProperties:
      return true;
    case kIoctlDiskAreVolumesReady:
      if (auto fault = sim::FaultPlan::Get("VolumesNotReady")) {
        SetLastError(sim::ErrorOf(*fault, kErrorNotReady));
        return false;
      }
      return true;
    default:
      SetLastError(kErrorInvalidFunction);
      return false;
  }
}

bool GetVolumePathNamesForVolumeNameW(const wchar_t* volumeName, wchar_t* buffer, uint32_t bufferLength,
                                      uint32_t* returnLength) {
  std::wstring guid = sim::VolumeGuidOfName(volumeName, true);
  if (guid.empty()) {
    SetLastError(kErrorInvalidName);
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto config = sim::LoadStorage(sim::Machine::Directory());
  auto volumes = sim::VolumesLocked(config);
  if (sim::FindVolume(volumes, guid) == nullptr) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  std::wstring list;
  if (auto letter = sim::LetterOfLocked(config, guid)) list += std::wstring(1, *letter) + L":\\" + L'\0';
  list += L'\0';
  if (returnLength != nullptr) *returnLength = static_cast<uint32_t>(list.size());
  if (buffer == nullptr || bufferLength < list.size()) {
    SetLastError(kErrorMoreData);
    return false;
  }
  std::wmemcpy(buffer, list.data(), list.size());
  return true;
}

bool GetVolumeNameForVolumeMountPointW(const wchar_t* mountPoint, wchar_t* volumeName, uint32_t bufferLength) {
  wchar_t letter = sim::LetterOfRoot(mountPoint, true);
  if (letter == 0) {
    SetLastError(kErrorInvalidName);
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto config = sim::LoadStorage(sim::Machine::Directory());
  auto volumes = sim::VolumesLocked(config);
  const sim::Volume* volume = sim::VolumeAtLetterLocked(config, volumes, letter);
  if (volume == nullptr) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  if (!sim::CopyOut(L"\\\\?\\Volume" + volume->guid + L"\\", volumeName, bufferLength)) {
    SetLastError(206);  // ERROR_FILENAME_EXCED_RANGE
    return false;
  }
  return true;
}

bool SetVolumeMountPointW(const wchar_t* mountPoint, const wchar_t* volumeName) {
  wchar_t letter = sim::LetterOfRoot(mountPoint, true);
  std::wstring guid = sim::VolumeGuidOfName(volumeName, true);
  if (letter == 0) {
    // Only drive letters are simulated; a folder mount point is refused rather than half-made.
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (guid.empty()) {
    SetLastError(kErrorInvalidName);
    return false;
  }
  if (auto fault = sim::FaultPlan::Get("MountPointFails")) {
    SetLastError(sim::ErrorOf(*fault, kErrorInvalidParameter));
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto config = sim::LoadStorage(sim::Machine::Directory());
  auto volumes = sim::VolumesLocked(config);
  const sim::Volume* volume = sim::FindVolume(volumes, guid);
  if (volume == nullptr) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  if (sim::LetterTaken(config, letter) || Runtime().dosDevices.count(std::wstring(1, letter) + L":") != 0) {
    SetLastError(kErrorDirNotEmpty);  // the letter is in use
    return false;
  }
  if (sim::LetterOfLocked(config, guid)) {
    SetLastError(kErrorInvalidParameter);  // a volume has at most one drive letter
    return false;
  }
  std::wstring stored = volume->kind == sim::VolumeKind::System  ? L"system"
                        : volume->kind == sim::VolumeKind::Cdrom ? L"cdrom"
                                                                 : volume->guid;
  config.letters.emplace_back(letter, stored);
  sim::SaveStorage(sim::Machine::Directory(), config);
  return true;
}

bool DeleteVolumeMountPointW(const wchar_t* mountPoint) {
  wchar_t letter = sim::LetterOfRoot(mountPoint, true);
  if (letter == 0) {
    SetLastError(kErrorNotAReparsePoint);
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto config = sim::LoadStorage(sim::Machine::Directory());
  auto it = std::find_if(config.letters.begin(), config.letters.end(),
                         [&](const auto& entry) { return entry.first == letter; });
  if (it == config.letters.end()) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  if (it->second == L"system") {
    SetLastError(kErrorAccessDenied);  // the system volume keeps its letter
    return false;
  }
  config.letters.erase(it);
  sim::SaveStorage(sim::Machine::Directory(), config);
  return true;
}

Handle FindFirstVolumeW(wchar_t* volumeName, uint32_t bufferLength) {
  auto find = std::make_shared<sim::FindVolumeObject>();
  {
    std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
    auto config = sim::LoadStorage(sim::Machine::Directory());
    for (const auto& volume : sim::VolumesLocked(config)) find->names.push_back(L"\\\\?\\Volume" + volume.guid + L"\\");
  }
  if (!sim::CopyOut(find->names[0], volumeName, bufferLength)) {
    SetLastError(kErrorMoreData);
    return InvalidHandleValue();
  }
  find->next = 1;
  return sim::InsertHandle(find);
}

bool FindNextVolumeW(Handle findVolume, wchar_t* volumeName, uint32_t bufferLength) {
  auto find = sim::LookupHandleAs<sim::FindVolumeObject>(findVolume);
  if (!find) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (find->next >= find->names.size()) {
    SetLastError(kErrorNoMoreFiles);
    return false;
  }
  if (!sim::CopyOut(find->names[find->next], volumeName, bufferLength)) {
    SetLastError(kErrorMoreData);
    return false;
  }
  ++find->next;
  return true;
}

bool FindVolumeClose(Handle findVolume) {
  if (!sim::LookupHandleAs<sim::FindVolumeObject>(findVolume)) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return CloseHandle(findVolume);
}

bool GetVolumeInformationW(const wchar_t* rootPathName, wchar_t* volumeName, uint32_t volumeNameSize,
                           uint32_t* serialNumber, uint32_t* maximumComponentLength, uint32_t* fileSystemFlags,
                           wchar_t* fileSystemName, uint32_t fileSystemNameSize) {
  wchar_t letter = sim::LetterOfRoot(rootPathName, true);
  if (letter == 0) {
    SetLastError(kErrorDirNotRoot);
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto config = sim::LoadStorage(sim::Machine::Directory());
  auto volumes = sim::VolumesLocked(config);
  const sim::Volume* volume = sim::VolumeAtLetterLocked(config, volumes, letter);
  if (volume == nullptr) {
    SetLastError(kErrorPathNotFound);
    return false;
  }
  if (volume->kind == sim::VolumeKind::Cdrom) {
    SetLastError(kErrorNotReady);  // no disc in the drive
    return false;
  }
  if (volume->partition.fileSystem.empty()) {
    SetLastError(kErrorUnrecognizedVolume);
    return false;
  }
  if ((volumeName != nullptr && !sim::CopyOut(sim::WidenUtf8(volume->partition.label), volumeName, volumeNameSize)) ||
      (fileSystemName != nullptr &&
       !sim::CopyOut(sim::WidenUtf8(volume->partition.fileSystem), fileSystemName, fileSystemNameSize))) {
    SetLastError(kErrorBadLength);
    return false;
  }
  if (serialNumber != nullptr) *serialNumber = volume->partition.id.data1;
  if (maximumComponentLength != nullptr) *maximumComponentLength = 255;
  if (fileSystemFlags != nullptr) *fileSystemFlags = 0x00000006;  // case-preserved, Unicode names
  return true;
}

bool DefineDosDeviceW(uint32_t flags, const wchar_t* deviceName, const wchar_t* targetPath) {
  if (deviceName == nullptr || *deviceName == L'\0') {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::wstring name = sim::UpperText(deviceName);
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto& devices = Runtime().dosDevices;
  if ((flags & kDddRemoveDefinition) != 0) {
    auto it = devices.find(name);
    if (it == devices.end()) {
      SetLastError(kErrorFileNotFound);
      return false;
    }
    auto& stack = it->second;
    if (targetPath == nullptr) {
      stack.pop_back();
    } else {
      auto match = std::find(stack.rbegin(), stack.rend(), std::wstring(targetPath));
      if (match == stack.rend()) {
        if ((flags & kDddExactMatchOnRemove) != 0) {
          SetLastError(kErrorFileNotFound);
          return false;
        }
        stack.pop_back();
      } else {
        stack.erase(std::next(match).base());
      }
    }
    if (stack.empty()) devices.erase(it);
    return true;
  }
  if (targetPath == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  devices[name].push_back(targetPath);
  return true;
}

uint32_t QueryDosDeviceW(const wchar_t* deviceName, wchar_t* targetPath, uint32_t max) {
  if (deviceName == nullptr) {
    SetLastError(kErrorNotSupported);  // the whole list is not simulated
    return 0;
  }
  std::wstring name = sim::UpperText(deviceName);
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  std::wstring target;
  auto defined = Runtime().dosDevices.find(name);
  if (defined != Runtime().dosDevices.end()) {
    target = defined->second.back();
  } else {
    auto config = sim::LoadStorage(sim::Machine::Directory());
    auto volumes = sim::VolumesLocked(config);
    if (name.size() == 2 && name[1] == L':') {
      if (const sim::Volume* volume = sim::VolumeAtLetterLocked(config, volumes, name[0])) target = volume->device;
    } else if (name.rfind(L"VOLUME{", 0) == 0) {
      if (const sim::Volume* volume = sim::FindVolume(volumes, name.substr(6))) target = volume->device;
    }
  }
  if (target.empty()) {
    SetLastError(kErrorFileNotFound);
    return 0;
  }
  std::wstring list = target + L'\0' + L'\0';
  if (targetPath == nullptr || max < list.size()) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  std::wmemcpy(targetPath, list.data(), list.size());
  return static_cast<uint32_t>(list.size());
}

uint32_t GetLogicalDrives() {
  if (!sim::Machine::IsBooted()) return 0;
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto config = sim::LoadStorage(sim::Machine::Directory());
  auto volumes = sim::VolumesLocked(config);
  uint32_t drives = 0;
  for (const auto& [letter, stored] : config.letters) {
    if (sim::VolumeAtLetterLocked(config, volumes, letter) != nullptr) drives |= 1u << (letter - L'A');
  }
  for (const auto& [name, targets] : Runtime().dosDevices) {
    if (name.size() == 2 && name[1] == L':' && name[0] >= L'A' && name[0] <= L'Z') drives |= 1u << (name[0] - L'A');
  }
  return drives;
}

uint32_t GetDriveTypeW(const wchar_t* rootPathName) {
  wchar_t letter = sim::LetterOfRoot(rootPathName, false);
  if (letter == 0) return kDriveNoRootDir;
  std::lock_guard<std::recursive_mutex> lock(Runtime().mutex);
  auto config = sim::LoadStorage(sim::Machine::Directory());
  auto volumes = sim::VolumesLocked(config);
  const sim::Volume* volume = sim::VolumeAtLetterLocked(config, volumes, letter);
  if (volume == nullptr) return kDriveNoRootDir;
  return volume->kind == sim::VolumeKind::Cdrom ? kDriveCdrom : kDriveFixed;
}

}  // namespace tamber::platform
