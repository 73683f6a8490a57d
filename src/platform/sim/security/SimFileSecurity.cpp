// The simulated guest's file security: the record store, inheritance as NTFS does it, the access checks
// the file calls make, and the seam's security calls.
#include "platform/sim/security/SimFileSecurity.h"

#include <cwctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/Files.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/machine/SimPower.h"
#include "platform/sim/storage/SimStorage.h"

namespace tamber::platform::sim {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kGenericReadMapping = 0x00120089;
constexpr uint32_t kGenericWriteMapping = 0x00120116;
constexpr uint32_t kGenericExecuteMapping = 0x001200A0;

thread_local std::wstring t_user;  // empty: the local system account

struct Identity {
  bool system = true;
  std::wstring user;
  std::vector<std::wstring> sids;  // the user and its groups
};

Identity Current() {
  Identity identity;
  if (t_user.empty()) {
    identity.user = kSidLocalSystem;
    identity.sids = {kSidLocalSystem, kSidAdministrators, kSidEveryone, kSidAuthenticatedUsers};
  } else {
    identity.system = false;
    identity.user = t_user;
    identity.sids = {t_user, kSidUsers, kSidEveryone, kSidAuthenticatedUsers};
  }
  return identity;
}

bool Holds(const Identity& identity, const std::wstring& sid) {
  for (const auto& held : identity.sids) {
    if (held == sid) return true;
  }
  return false;
}

std::wstring DefaultOwner(const Identity& identity) { return identity.system ? kSidAdministrators : identity.user; }

// The owners a caller may name without SeRestorePrivilege: itself, and for the system account the
// Administrators group it belongs to.
bool MayOwnWith(const Identity& identity, const std::wstring& sid) {
  return sid == identity.user || (identity.system && sid == kSidAdministrators);
}

bool PrivilegeEnabled(const Identity& identity, uint32_t luid) { return identity.system && IsPrivilegeEnabled(luid); }

uint32_t MapGeneric(uint32_t mask) {
  if (mask & kGenericAll) mask |= kFileAllAccess;
  if (mask & kGenericRead) mask |= kGenericReadMapping;
  if (mask & kGenericWrite) mask |= kGenericWriteMapping;
  if (mask & kGenericExecute) mask |= kGenericExecuteMapping;
  return mask & ~(kGenericAll | kGenericRead | kGenericWrite | kGenericExecute);
}

// The access check: ACEs in order, a deny counts only against rights not granted before it; the owner
// always has READ_CONTROL and WRITE_DAC.
bool Granted(const Identity& identity, const FileSecurityDescriptor& descriptor, uint32_t desired) {
  if (!descriptor.daclPresent) return true;
  uint32_t remaining = desired;
  if (Holds(identity, descriptor.owner)) remaining &= ~(kReadControl | kWriteDac);
  for (const auto& ace : descriptor.dacl) {
    if (remaining == 0) break;
    if ((ace.flags & kInheritOnlyAce) != 0 || !Holds(identity, ace.sid)) continue;
    uint32_t mask = MapGeneric(ace.mask);
    if (ace.type == kAccessDeniedAceType) {
      if ((mask & remaining) != 0) return false;
    } else if (ace.type == kAccessAllowedAceType) {
      remaining &= ~mask;
    }
  }
  return remaining == 0;
}

// ---- paths ----------------------------------------------------------------------------------------

std::wstring KeyOf(std::wstring path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
  std::wstring key;
  for (wchar_t c : path) {
    if (c == L'/') c = L'\\';
    if (c == L'\\' && !key.empty() && key.back() == L'\\') continue;
    key.push_back(static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))));
  }
  while (key.size() > 2 && key.back() == L'\\') key.pop_back();
  return key;
}

std::wstring ParentKey(const std::wstring& key) {
  size_t slash = key.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : key.substr(0, slash);
}

bool IsBelow(const std::wstring& key, const std::wstring& ancestor) {
  return key.size() > ancestor.size() + 1 && key.compare(0, ancestor.size(), ancestor) == 0 &&
         key[ancestor.size()] == L'\\';
}

// ---- what a Windows installation starts with --------------------------------------------------------

Ace MakeAce(uint8_t flags, uint32_t mask, const wchar_t* sid) { return Ace{kAccessAllowedAceType, flags, mask, sid}; }

FileSecurityDescriptor RootDefault() {
  constexpr uint8_t kBoth = kObjectInheritAce | kContainerInheritAce;
  FileSecurityDescriptor root;
  root.owner = kSidLocalSystem;
  root.daclPresent = true;
  root.dacl = {MakeAce(kBoth, kFileAllAccess, kSidLocalSystem), MakeAce(kBoth, kFileAllAccess, kSidAdministrators),
               MakeAce(kBoth, kFileGenericReadAndExecute, kSidUsers)};
  return root;
}

// The root of a volume that Format gave NTFS: users may make folders in it and files in those folders,
// and own what they make (CREATOR OWNER); everything else as on the system volume.
FileSecurityDescriptor DataVolumeRootDefault() {
  constexpr uint8_t kBoth = kObjectInheritAce | kContainerInheritAce;
  FileSecurityDescriptor root = RootDefault();
  root.dacl.push_back(MakeAce(kContainerInheritAce, kFileAddSubdirectory, kSidUsers));
  root.dacl.push_back(MakeAce(kContainerInheritAce | kInheritOnlyAce, kFileAddFile, kSidUsers));
  root.dacl.push_back(MakeAce(kBoth | kInheritOnlyAce, kFileAllAccess, kSidCreatorOwner));
  return root;
}

// Users may create files and folders here, and own what they create.
FileSecurityDescriptor TempDefault() {
  constexpr uint8_t kBoth = kObjectInheritAce | kContainerInheritAce;
  FileSecurityDescriptor temp;
  temp.owner = kSidLocalSystem;
  temp.daclPresent = true;
  temp.control = kSeDaclProtected;
  temp.dacl = {MakeAce(kBoth, kFileAllAccess, kSidLocalSystem), MakeAce(kBoth, kFileAllAccess, kSidAdministrators),
               MakeAce(kBoth | kInheritOnlyAce, kFileAllAccess, kSidCreatorOwner),
               MakeAce(0, kFileAddFile | kFileAddSubdirectory | kFileExecute | kSynchronize, kSidUsers)};
  return temp;
}

// What a parent hands a new child, as NTFS does: object-inherit ACEs to files, container-inherit ACEs
// to directories (object-inherit only ones pass through inherit-only), CREATOR OWNER replaced by the
// child's owner where the ACE applies to the child.
std::vector<Ace> Inherit(const FileSecurityDescriptor& parent, const std::wstring& owner, bool directory) {
  std::vector<Ace> result;
  for (const auto& ace : parent.dacl) {
    const bool objectInherit = (ace.flags & kObjectInheritAce) != 0;
    const bool containerInherit = (ace.flags & kContainerInheritAce) != 0;
    const bool noPropagate = (ace.flags & kNoPropagateInheritAce) != 0;
    const bool creatorOwner = ace.sid == kSidCreatorOwner;
    if (!directory) {
      if (objectInherit) result.push_back(Ace{ace.type, kInheritedAce, ace.mask, creatorOwner ? owner : ace.sid});
      continue;
    }
    if (containerInherit) {
      if (noPropagate) {
        result.push_back(Ace{ace.type, kInheritedAce, ace.mask, creatorOwner ? owner : ace.sid});
      } else if (creatorOwner) {
        result.push_back(Ace{ace.type, kInheritedAce, ace.mask, owner});
        result.push_back(Ace{ace.type,
                             static_cast<uint8_t>((ace.flags & (kObjectInheritAce | kContainerInheritAce)) |
                                                  kInheritOnlyAce | kInheritedAce),
                             ace.mask, ace.sid});
      } else {
        result.push_back(Ace{
            ace.type, static_cast<uint8_t>((ace.flags & (kObjectInheritAce | kContainerInheritAce)) | kInheritedAce),
            ace.mask, ace.sid});
      }
    } else if (objectInherit && !noPropagate) {
      result.push_back(
          Ace{ace.type, static_cast<uint8_t>(kObjectInheritAce | kInheritOnlyAce | kInheritedAce), ace.mask, ace.sid});
    }
  }
  return result;
}

// ---- the record store -----------------------------------------------------------------------------

struct Record {
  FileSecurityDescriptor descriptor;
  bool directory = false;
};

// A volume keeps its objects' security with it, as NTFS does: the system volume's records are the
// machine's ("<machine>/security/files.txt"), a data volume's live beside its files in the disk image
// (VolumeSecurityFile), keyed without the drive letter, so that a data disk attached to another
// machine brings the protection of its folders along.
class Store {
 public:
  std::mutex mutex;

  // Under the mutex: the records of the volume that holds key, as they stand on disk. Keys in the map
  // carry the drive letter the volume has now.
  std::map<std::wstring, Record>& Records(const std::wstring& key) { return SourceFor(key).records; }

  void Save(const std::wstring& key) {
    if (!Machine::IsBooted()) return;
    Source& source = sources_[Locate(key).first];  // as changed in memory: not read again first
    std::error_code error;
    fs::create_directories(source.file.parent_path(), error);
    fs::path temporary = source.file;
    temporary += ".tmp";
    {
      std::ofstream out(temporary, std::ios::trunc);
      for (const auto& [recordKey, record] : source.records) {
        const auto& d = record.descriptor;
        out << NarrowUtf8(recordKey.substr(source.prefix.size())) << '\t' << (record.directory ? 'd' : 'f') << '\t'
            << NarrowUtf8(d.owner) << '\t' << d.control << '\t' << (d.daclPresent ? 1 : 0) << '\t';
        for (const auto& ace : d.dacl) {
          out << static_cast<int>(ace.type) << ',' << static_cast<int>(ace.flags) << ',' << ace.mask << ','
              << NarrowUtf8(ace.sid) << ';';
        }
        out << '\n';
      }
    }
    fs::rename(temporary, source.file, error);
    source.stamp = fs::last_write_time(source.file, error);
  }

 private:
  struct Source {
    fs::path file;
    std::wstring prefix;  // what the stored keys lack: "" for the machine's, "D:" for a volume at D:
    fs::file_time_type stamp{};
    std::map<std::wstring, Record> records;
  };

  // The record file of the volume that holds key, and the drive prefix its keys lack.
  static std::pair<fs::path, std::wstring> Locate(const std::wstring& key) {
    if (key.size() >= 2 && key[1] == L':' && key[0] != L'C') {
      fs::path volumeRoot = VolumeRootForLetter(key[0]);
      if (!volumeRoot.empty()) return {VolumeSecurityFile(volumeRoot), key.substr(0, 2)};
    }
    return {Machine::Directory() / "security" / "files.txt", L""};
  }

  Source& SourceFor(const std::wstring& key) {
    if (!Machine::IsBooted()) {
      empty_.records.clear();
      return empty_;
    }
    auto [file, prefix] = Locate(key);
    Source& source = sources_[file];
    std::error_code error;
    auto stamp = fs::last_write_time(file, error);
    if (source.file != file || source.prefix != prefix || error || stamp != source.stamp) {
      Load(file, prefix, &source);
    }
    return source;
  }

  static void Load(const fs::path& file, const std::wstring& prefix, Source* source) {
    source->records.clear();
    source->file = file;
    source->prefix = prefix;
    std::error_code error;
    source->stamp = fs::last_write_time(file, error);
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string key, kind, owner, control, present, aces;
      if (!std::getline(fields, key, '\t') || !std::getline(fields, kind, '\t') || !std::getline(fields, owner, '\t') ||
          !std::getline(fields, control, '\t') || !std::getline(fields, present, '\t')) {
        continue;
      }
      std::getline(fields, aces);
      Record record;
      record.directory = kind == "d";
      record.descriptor.owner = WidenUtf8(owner);
      record.descriptor.control = static_cast<uint16_t>(std::stoul(control));
      record.descriptor.daclPresent = present == "1";
      std::istringstream list(aces);
      std::string text;
      while (std::getline(list, text, ';')) {
        Ace ace;
        unsigned type = 0, flags = 0;
        unsigned long mask = 0;
        char sid[256] = {};
        if (std::sscanf(text.c_str(), "%u,%u,%lu,%255s", &type, &flags, &mask, sid) != 4) continue;
        ace.type = static_cast<uint8_t>(type);
        ace.flags = static_cast<uint8_t>(flags);
        ace.mask = static_cast<uint32_t>(mask);
        ace.sid = WidenUtf8(sid);
        record.descriptor.dacl.push_back(std::move(ace));
      }
      source->records[prefix + WidenUtf8(key)] = std::move(record);
    }
  }

  Source empty_;
  std::map<fs::path, Source> sources_;
};

Store& TheStore() {
  static auto* store = new Store;
  return *store;
}

// Under the store's mutex.
FileSecurityDescriptor EffectiveLocked(std::map<std::wstring, Record>& records, const std::wstring& key,
                                       bool directory) {
  auto found = records.find(key);
  if (found != records.end()) return found->second.descriptor;
  if (key == L"C:" || key.empty()) return RootDefault();
  if (key.size() == 2 && key[1] == L':') return DataVolumeRootDefault();
  if (key == L"C:\\WINDOWS\\TEMP") return TempDefault();
  FileSecurityDescriptor parent = EffectiveLocked(records, ParentKey(key), true);
  FileSecurityDescriptor result;
  result.owner = kSidAdministrators;
  result.daclPresent = parent.daclPresent;
  if (parent.daclPresent) result.dacl = Inherit(parent, result.owner, directory);
  return result;
}

// After a DACL change of key: the recorded objects below it take their inherited ACEs anew, as
// SetNamedSecurityInfo propagates them; explicit ACEs, owners and protected DACLs stay.
void PropagateLocked(std::map<std::wstring, Record>& records, const std::wstring& key) {
  for (auto it = records.upper_bound(key); it != records.end() && IsBelow(it->first, key); ++it) {
    auto& descriptor = it->second.descriptor;
    if ((descriptor.control & kSeDaclProtected) != 0 || !descriptor.daclPresent) continue;
    std::vector<Ace> dacl;
    for (const auto& ace : descriptor.dacl) {
      if ((ace.flags & kInheritedAce) == 0) dacl.push_back(ace);
    }
    FileSecurityDescriptor parent = EffectiveLocked(records, ParentKey(it->first), true);
    if (parent.daclPresent) {
      for (auto& ace : Inherit(parent, descriptor.owner, it->second.directory)) dacl.push_back(std::move(ace));
    }
    descriptor.dacl = std::move(dacl);
  }
}

}  // namespace

ActAsUser::ActAsUser(std::wstring userSid) : previous_(t_user) { t_user = std::move(userSid); }
ActAsUser::~ActAsUser() { t_user = previous_; }

FileSecurityDescriptor EffectiveSecurity(const std::wstring& path, bool directory) {
  auto& store = TheStore();
  std::lock_guard<std::mutex> guard(store.mutex);
  const std::wstring key = KeyOf(path);
  return EffectiveLocked(store.Records(key), key, directory);
}

uint32_t CheckMayCreate(const std::wstring& path, bool directory) {
  FileSecurityDescriptor parent = EffectiveSecurity(ParentKey(KeyOf(path)), true);
  return Granted(Current(), parent, directory ? kFileAddSubdirectory : kFileAddFile) ? kErrorSuccess
                                                                                     : kErrorAccessDenied;
}

uint32_t CheckMayWrite(const std::wstring& path) {
  return Granted(Current(), EffectiveSecurity(path, false), kFileWriteData) ? kErrorSuccess : kErrorAccessDenied;
}

uint32_t CheckMayDelete(const std::wstring& path) {
  const Identity identity = Current();
  if (Granted(identity, EffectiveSecurity(path, false), kDelete)) return kErrorSuccess;
  return Granted(identity, EffectiveSecurity(ParentKey(KeyOf(path)), true), kFileDeleteChild) ? kErrorSuccess
                                                                                              : kErrorAccessDenied;
}

void RecordCreated(const std::wstring& path, bool directory, const FileSecurityDescriptor* explicitDescriptor) {
  const Identity identity = Current();
  const std::wstring key = KeyOf(path);
  auto& store = TheStore();
  std::lock_guard<std::mutex> guard(store.mutex);
  auto& records = store.Records(key);
  // A new object: nothing of an earlier one of that name stays.
  const bool hadRecord = records.erase(key) > 0;
  Record record;
  record.directory = directory;
  if (explicitDescriptor != nullptr) {
    record.descriptor.owner = explicitDescriptor->owner.empty() ? DefaultOwner(identity) : explicitDescriptor->owner;
    record.descriptor.daclPresent = true;
    record.descriptor.dacl = explicitDescriptor->dacl;
    record.descriptor.control = explicitDescriptor->control & kSeDaclProtected;
  } else if (identity.system) {
    // What the system account creates is what the store computes anyway; keeping no record lets a later
    // change of the parent reach it.
    if (hadRecord) store.Save(key);
    return;
  } else {
    FileSecurityDescriptor parent = EffectiveLocked(records, ParentKey(key), true);
    record.descriptor.owner = DefaultOwner(identity);
    record.descriptor.daclPresent = parent.daclPresent;
    if (parent.daclPresent) record.descriptor.dacl = Inherit(parent, record.descriptor.owner, directory);
  }
  records[key] = std::move(record);
  store.Save(key);
}

void RecordDeleted(const std::wstring& path) {
  const std::wstring key = KeyOf(path);
  auto& store = TheStore();
  std::lock_guard<std::mutex> guard(store.mutex);
  auto& records = store.Records(key);
  bool changed = records.erase(key) > 0;
  for (auto it = records.upper_bound(key); it != records.end() && IsBelow(it->first, key);) {
    it = records.erase(it);
    changed = true;
  }
  if (changed) store.Save(key);
}

void RecordMoved(const std::wstring& from, const std::wstring& to) {
  const std::wstring source = KeyOf(from);
  const std::wstring target = KeyOf(to);
  if (source == target) return;
  auto& store = TheStore();
  std::lock_guard<std::mutex> guard(store.mutex);
  std::map<std::wstring, Record> moved;
  auto& sourceRecords = store.Records(source);
  for (auto it = sourceRecords.lower_bound(source);
       it != sourceRecords.end() && (it->first == source || IsBelow(it->first, source));) {
    moved[target + it->first.substr(source.size())] = std::move(it->second);
    it = sourceRecords.erase(it);
  }
  store.Save(source);
  // What stood at the target is replaced (the target may be on another volume).
  auto& targetRecords = store.Records(target);
  for (auto it = targetRecords.lower_bound(target);
       it != targetRecords.end() && (it->first == target || IsBelow(it->first, target));) {
    it = targetRecords.erase(it);
  }
  for (auto& [key, record] : moved) targetRecords[key] = std::move(record);
  store.Save(target);
}

}  // namespace tamber::platform::sim

namespace tamber::platform {

using sim::Current;

bool CreateWellKnownSid(uint32_t type, std::wstring* sid) {
  const wchar_t* text = nullptr;
  switch (type) {
    case kWinWorldSid:
      text = sim::kSidEveryone;
      break;
    case kWinCreatorOwnerSid:
      text = sim::kSidCreatorOwner;
      break;
    case kWinAuthenticatedUserSid:
      text = sim::kSidAuthenticatedUsers;
      break;
    case kWinLocalSystemSid:
      text = sim::kSidLocalSystem;
      break;
    case kWinBuiltinAdministratorsSid:
      text = sim::kSidAdministrators;
      break;
    case kWinBuiltinUsersSid:
      text = sim::kSidUsers;
      break;
    default:
      break;
  }
  if (text == nullptr || sid == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  *sid = text;
  SetLastError(kErrorSuccess);
  return true;
}

bool GetProcessUserSid(std::wstring* sid) {
  if (sid == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  *sid = sim::kSidLocalSystem;  // the process token's user, whoever the thread acts as
  return true;
}

namespace {

bool ValidSid(const std::wstring& sid) { return sid.size() > 4 && sid.compare(0, 4, L"S-1-") == 0; }

uint32_t ValidateDescriptor(const FileSecurityDescriptor& descriptor, bool withOwner, bool withDacl) {
  if (withOwner && !descriptor.owner.empty()) {
    if (!ValidSid(descriptor.owner)) return kErrorInvalidSid;
    auto identity = Current();
    if (!sim::MayOwnWith(identity, descriptor.owner) && !sim::PrivilegeEnabled(identity, sim::kRestorePrivilegeLuid)) {
      return kErrorInvalidOwner;
    }
  }
  if (withDacl) {
    for (const auto& ace : descriptor.dacl) {
      if (!ValidSid(ace.sid)) return kErrorInvalidSid;
      if (ace.type != kAccessAllowedAceType && ace.type != kAccessDeniedAceType) return kErrorInvalidParameter;
    }
  }
  return kErrorSuccess;
}

}  // namespace

bool CreateDirectoryWithSecurity(const wchar_t* path, const FileSecurityDescriptor& descriptor) {
  uint32_t error = path == nullptr ? kErrorInvalidParameter : ValidateDescriptor(descriptor, true, true);
  if (error != kErrorSuccess) {
    SetLastError(error);
    return false;
  }
  if (!CreateDirectory(path)) return false;
  sim::RecordCreated(path, /*directory=*/true, &descriptor);
  SetLastError(kErrorSuccess);
  return true;
}

Handle CreateFileWithSecurity(const wchar_t* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                              uint32_t flagsAndAttributes, const FileSecurityDescriptor& descriptor) {
  uint32_t error = path == nullptr ? kErrorInvalidParameter : ValidateDescriptor(descriptor, true, true);
  if (error != kErrorSuccess) {
    SetLastError(error);
    return InvalidHandleValue();
  }
  const bool existed = GetFileAttributes(path) != kInvalidFileAttributes;
  Handle file = CreateFile(path, access, shareMode, disposition, flagsAndAttributes);
  if (file == InvalidHandleValue()) return file;
  uint32_t lastError = GetLastError();
  // An existing file keeps its own security, as on Windows.
  if (!existed) sim::RecordCreated(path, /*directory=*/false, &descriptor);
  SetLastError(lastError);
  return file;
}

uint32_t GetNamedSecurityInfo(const wchar_t* path, uint32_t securityInformation, FileSecurityDescriptor* descriptor) {
  if (path == nullptr || descriptor == nullptr) return kErrorInvalidParameter;
  uint32_t attributes = GetFileAttributes(path);
  if (attributes == kInvalidFileAttributes) return GetLastError();
  FileSecurityDescriptor effective = sim::EffectiveSecurity(path, (attributes & kFileAttributeDirectory) != 0);
  FileSecurityDescriptor result;
  if (securityInformation & kOwnerSecurityInformation) result.owner = effective.owner;
  if (securityInformation & kDaclSecurityInformation) {
    result.daclPresent = effective.daclPresent;
    result.dacl = effective.dacl;
  }
  result.control = effective.control;
  *descriptor = std::move(result);
  return kErrorSuccess;
}

uint32_t SetNamedSecurityInfo(const wchar_t* path, uint32_t securityInformation,
                              const FileSecurityDescriptor& descriptor) {
  if (path == nullptr) return kErrorInvalidParameter;
  const bool withOwner = (securityInformation & kOwnerSecurityInformation) != 0;
  const bool withDacl = (securityInformation & kDaclSecurityInformation) != 0;
  if (withOwner && descriptor.owner.empty()) return kErrorInvalidOwner;
  uint32_t error = ValidateDescriptor(descriptor, withOwner, withDacl);
  if (error != kErrorSuccess) return error;
  uint32_t attributes = GetFileAttributes(path);
  if (attributes == kInvalidFileAttributes) return GetLastError();
  const bool directory = (attributes & kFileAttributeDirectory) != 0;

  const auto identity = Current();
  const std::wstring key = sim::KeyOf(path);
  auto& store = sim::TheStore();
  std::lock_guard<std::mutex> guard(store.mutex);
  auto& records = store.Records(key);
  FileSecurityDescriptor current = sim::EffectiveLocked(records, key, directory);
  // Both rights are checked against the descriptor as it stands before the call.
  if (withOwner && !sim::Granted(identity, current, kWriteOwner) &&
      !sim::PrivilegeEnabled(identity, sim::kTakeOwnershipPrivilegeLuid)) {
    return kErrorAccessDenied;
  }
  if (withDacl && !sim::Granted(identity, current, kWriteDac)) return kErrorAccessDenied;

  sim::Record record{current, directory};
  if (withOwner) record.descriptor.owner = descriptor.owner;
  if (withDacl) {
    std::vector<Ace> dacl;
    for (const auto& ace : descriptor.dacl) {
      if ((ace.flags & kInheritedAce) == 0) dacl.push_back(ace);
    }
    bool isProtected =
        (securityInformation & kProtectedDaclSecurityInformation) != 0 ||
        ((current.control & kSeDaclProtected) != 0 && (securityInformation & kUnprotectedDaclSecurityInformation) == 0);
    if (isProtected) {
      record.descriptor.control |= kSeDaclProtected;
    } else {
      record.descriptor.control &= static_cast<uint16_t>(~kSeDaclProtected);
      FileSecurityDescriptor parent = sim::EffectiveLocked(records, sim::ParentKey(key), true);
      if (parent.daclPresent) {
        for (auto& ace : sim::Inherit(parent, record.descriptor.owner, directory)) dacl.push_back(std::move(ace));
      }
    }
    record.descriptor.daclPresent = true;
    record.descriptor.dacl = std::move(dacl);
  }
  records[key] = std::move(record);
  if (withDacl && directory) sim::PropagateLocked(records, key);
  store.Save(key);
  return kErrorSuccess;
}

}  // namespace tamber::platform
