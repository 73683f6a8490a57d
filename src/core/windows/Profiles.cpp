#include "core/windows/Profiles.h"

#include <regex>
#include <vector>

#include "common/registry/RegKey.h"
#include "common/security/FileProtection.h"
#include "common/util/EnvironmentUtil.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/DetachedThread.h"
#include "core/util/Registry.h"
#include "core/util/System.h"
#include "core/windows/Disk.h"
#include "framework/log/Log.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/Sync.h"

namespace tamber::core::windows {

using common::security::FileProtection;
using common::windows::HResultFromWin32;
using common::windows::kEFail;
using common::windows::UniqueHandle;
using common::windows::registry::ExistingRegKey;
using common::windows::registry::NewRegKey;
using util::Persisted;

namespace {

constexpr const wchar_t* kSaveFolder = L"/personality";
constexpr const wchar_t* kBackupFolder = L"/personality.bak";
constexpr const wchar_t* kProfilesFolder = L"profiles";

std::wstring ProfileListPath() { return util::kRegistryKeyPaths[util::regtype::kProfileList]; }

bool IsDirectory(const std::wstring& path) {
  uint32_t attributes = platform::GetFileAttributes(path.c_str());
  return attributes != platform::kInvalidFileAttributes && (attributes & platform::kFileAttributeDirectory) != 0;
}

bool Exists(const std::wstring& path) {
  return platform::GetFileAttributes(path.c_str()) != platform::kInvalidFileAttributes;
}

// The names in a folder, without "." and "..".
std::vector<platform::FindData> ListFolder(const std::wstring& folder) {
  std::vector<platform::FindData> entries;
  platform::FindData data;
  std::wstring pattern = folder + L"\\*";
  platform::Handle find = platform::FindFirstFile(pattern.c_str(), &data);
  if (find == platform::InvalidHandleValue()) return entries;
  do {
    if (data.fileName != L"." && data.fileName != L"..") entries.push_back(data);
  } while (platform::FindNextFile(find, &data));
  platform::FindClose(find);
  return entries;
}

bool DeleteTree(const std::wstring& folder) {
  for (const auto& entry : ListFolder(folder)) {
    std::wstring path = folder + L"\\" + entry.fileName;
    bool ok = (entry.attributes & platform::kFileAttributeDirectory) != 0 ? DeleteTree(path)
                                                                          : platform::DeleteFile(path.c_str());
    if (!ok) return false;
  }
  return platform::RemoveDirectory(folder.c_str());
}

// A profile's key is named by its account's SID; only such names are loaded back under ProfileList, so a
// stray file on the disk cannot make up a key there.
bool IsSidName(const std::wstring& name) {
  static const std::wregex kSid(L"S-1-[0-9]+(-[0-9]+)*", std::regex::ECMAScript);
  return name.size() < 200 && std::regex_match(name, kSid);
}

}  // namespace

Profiles::Profiles()
    : persistentInfo_(util::CustomizationPersistentInfo::Instance()),
      state_(util::CustomizationState::Instance()),
      registry_(util::Registry::Instance()),
      system_(util::System::Instance()) {}

Profiles::~Profiles() = default;

bool Profiles::IsValidMountPoint(const std::wstring& mountPoint) {
  static const std::wregex kPattern(L"[A-Za-z]+:", std::regex::ECMAScript);
  return std::regex_match(mountPoint, kPattern);
}

bool Profiles::RedirectProfiles(const std::wstring& mountPoint) {
  if (!IsValidMountPoint(mountPoint)) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::RedirectProfiles(): Invalid Drive Letter: %ws",
        mountPoint.c_str());
    return false;
  }
  if (persistentInfo_->Is(Persisted::ProfilesRedirected)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Profiles::RedirectProfiles(): Profiles Already Redirected");
    return true;
  }
  if (!SaveProfiles(mountPoint)) {
    state_->SetCustomizationState(util::status::kError, kErrorBackupProfiles, kPersistentDisksCategory, kEFail);
    return false;
  }
  int32_t result = 0;
  ExistingRegKey key(platform::HKeyLocalMachine(), ProfileListPath(), platform::kKeyAllAccess, &result);
  if (result != 0) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::RedirectProfiles(): Failed Opening Key: %ws, 0x%X",
        ProfileListPath().c_str(), static_cast<uint32_t>(result));
    return false;
  }
  std::wstring path;
  result = key.ReadStringValue(kProfilesDirectoryValue, &path);
  if (result != 0) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::RedirectProfiles(): Failed Reading %ws, 0x%X",
        kProfilesDirectoryValue, static_cast<uint32_t>(result));
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Profiles::RedirectProfiles(): UDD drive: %ws, Profile Path: %ws",
      mountPoint.c_str(), path.c_str());
  std::wstring expanded = common::windows::util::Util::ExpandEnvString(path);
  Log(LogLevel::Debug, L"tamber::core::windows::Profiles::RedirectProfiles(): Expanded profile path: %ws",
      expanded.c_str());
  // The root name of a drive path is its letter and colon.
  std::wstring root = expanded.size() >= 2 && expanded[1] == L':' ? expanded.substr(0, 2) : L"";
  auto fold = [](std::wstring text) {
    for (auto& c : text) c = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    return text;
  };
  if (!root.empty() && fold(root) == fold(mountPoint)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Profiles::RedirectProfiles(): UDD Drive %ws is same as profile root %ws",
        mountPoint.c_str(), root.c_str());
  } else {
    std::wstring relative = expanded.substr(root.size());
    while (!relative.empty() && (relative[0] == L'\\' || relative[0] == L'/')) relative.erase(0, 1);
    std::wstring redirected = mountPoint + L"\\" + relative;
    Log(LogLevel::Debug, L"tamber::core::windows::Profiles::RedirectProfiles(): UDD profile path: %ws",
        redirected.c_str());
    result = key.WriteStringValue(kProfilesDirectoryValue, platform::kRegSz, redirected);
    if (result != 0) {
      Log(LogLevel::Error, L"tamber::core::windows::Profiles::RedirectProfiles(): Failed Setting Profiles Path: 0x%X",
          static_cast<uint32_t>(result));
      return false;
    }
  }
  persistentInfo_->Set(Persisted::ProfilesRedirected);
  return true;
}

bool Profiles::RotateSaveFolders(const std::wstring& root) {
  const std::wstring save = root + kSaveFolder;
  const std::wstring backup = root + kBackupFolder;
  // A save folder that cannot be rotated would leave the last save's files in place, and the new save
  // would then skip them as already saved: stop instead of passing off stale hives as a fresh save.
  if (IsDirectory(backup) && !DeleteTree(backup)) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::SaveProfiles(): Failed Deleting %ws, 0x%X", backup.c_str(),
        static_cast<uint32_t>(HResultFromWin32(platform::GetLastError())));
    return false;
  }
  if (IsDirectory(save) && !platform::MoveFileEx(save.c_str(), backup.c_str(), 0)) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::SaveProfiles(): Failed Renaming %ws, 0x%X", save.c_str(),
        static_cast<uint32_t>(HResultFromWin32(platform::GetLastError())));
    return false;
  }
  // The saved hives are loaded into HKLM as the system account on the next machine, so only the system
  // account and the administrators may write here. The folder was just moved away: one that is there
  // again was made by someone else in between, and is not used.
  const std::wstring profiles = save + L"\\" + kProfilesFolder;
  uint32_t error = FileProtection::CreateFolder(save);
  if (error == platform::kErrorSuccess && !platform::CreateDirectory(profiles.c_str())) {
    error = platform::GetLastError();
  }
  if (error != platform::kErrorSuccess) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::SaveProfiles(): Failed Creating %ws, 0x%X",
        profiles.c_str(), static_cast<uint32_t>(HResultFromWin32(error)));
    return false;
  }
  return true;
}

bool Profiles::SaveProfiles(const std::wstring& mountPoint) {
  int32_t result = 0;
  ExistingRegKey key(platform::HKeyLocalMachine(), ProfileListPath(), platform::kKeyRead, &result);
  if (result != 0) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::SaveProfiles(): Failed Opening Key: %ws, 0x%X",
        ProfileListPath().c_str(), static_cast<uint32_t>(result));
    return false;
  }
  if (!IsValidMountPoint(mountPoint)) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::SaveProfiles(): Invalid Drive Letter: %ws",
        mountPoint.c_str());
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Profiles::SaveProfiles(): ProfilesRootFolder: %ws", mountPoint.c_str());
  if (!RotateSaveFolders(mountPoint)) return false;
  const std::wstring profiles = mountPoint + kSaveFolder + L"\\" + kProfilesFolder;
  uint32_t error = 0;
  for (uint32_t index = 0;; ++index) {
    std::wstring name;
    error = platform::RegEnumKeyEx(key.GetKey(), index, &name);
    if (error != platform::kErrorSuccess) break;
    const std::wstring subKeyPath = ProfileListPath() + L"\\" + name;
    ExistingRegKey subKey(platform::HKeyLocalMachine(), subKeyPath, platform::kKeyRead, &result);
    if (result != 0) {
      Log(LogLevel::Error, L"tamber::core::windows::Profiles::SaveProfiles(): Failed Opening Key: %ws, 0x%X",
          subKeyPath.c_str(), static_cast<uint32_t>(result));
      return false;
    }
    const std::wstring file = profiles + L"\\" + name;
    if (Exists(file)) {
      Log(LogLevel::Debug, L"tamber::core::windows::Profiles::SaveProfiles(): Hit reg sub key again: %ws",
          name.c_str());
      continue;
    }
    if (platform::RegSaveKey(subKey.GetKey(), file.c_str()) != platform::kErrorSuccess) {
      Log(LogLevel::Error,
          L"tamber::core::windows::Profiles::SaveProfiles(): Could not save profile reg key %ws in the file %ws",
          name.c_str(), file.c_str());
      return false;
    }
    Log(LogLevel::Debug, L"tamber::core::windows::Profiles::SaveProfiles(): Saved Profile: %ws", name.c_str());
  }
  if (error != platform::kErrorNoMoreItems) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::SaveProfiles(): Could not enumerate profiles key, 0x%X",
        static_cast<uint32_t>(HResultFromWin32(error)));
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Profiles::SaveProfiles(): Profiles Saved Successfully");
  return true;
}

bool Profiles::RestoreProfiles(const std::wstring& mountPoint) {
  int32_t result = 0;
  ExistingRegKey key(platform::HKeyLocalMachine(), ProfileListPath(), platform::kKeyRead, &result);
  if (result != 0) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::RestoreProfiles(): Failed Opening Key: %ws, 0x%X",
        ProfileListPath().c_str(), static_cast<uint32_t>(result));
    return false;
  }
  if (!IsValidMountPoint(mountPoint)) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::RestoreProfiles(): Invalid Drive Letter: %ws",
        mountPoint.c_str());
    return false;
  }
  const std::wstring profiles = mountPoint + kSaveFolder + L"\\" + kProfilesFolder;
  if (!IsDirectory(profiles)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Profiles::RestoreProfiles(): Profile backup folder %ws does not exist, nothing to restore",
        profiles.c_str());
    return true;
  }
  // Hives are restored only from folders that no one but the system account and the administrators
  // could have written: a user of an earlier machine must not be able to plant a profile key here.
  for (const std::wstring& folder : {mountPoint + kSaveFolder, profiles}) {
    std::wstring reason;
    if (!FileProtection::IsTrusted(folder, &reason)) {
      Log(LogLevel::Error, L"tamber::core::windows::Profiles::RestoreProfiles(): Not Restoring From %ws: %ws",
          folder.c_str(), reason.c_str());
      return false;
    }
  }
  for (const auto& entry : ListFolder(profiles)) {
    if ((entry.attributes & platform::kFileAttributeDirectory) != 0) continue;
    if (!IsSidName(entry.fileName)) {
      Log(LogLevel::Warn, L"tamber::core::windows::Profiles::RestoreProfiles(): Skipping %ws: Not A Profile Key Name",
          entry.fileName.c_str());
      continue;
    }
    const std::wstring subKeyPath = ProfileListPath() + L"\\" + entry.fileName;
    NewRegKey subKey(platform::HKeyLocalMachine(), subKeyPath, platform::kRegOptionNonVolatile, platform::kKeyAllAccess,
                     &result);
    const std::wstring file = profiles + L"\\" + entry.fileName;
    if (result != 0 || platform::RegRestoreKey(subKey.GetKey(), file.c_str(), 0) != platform::kErrorSuccess) {
      Log(LogLevel::Error, L"tamber::core::windows::Profiles::RestoreProfiles(): Could not restore key %ws",
          entry.fileName.c_str());
      return false;
    }
    Log(LogLevel::Debug, L"tamber::core::windows::Profiles::RestoreProfiles(): Restored Key: %ws",
        entry.fileName.c_str());
    subKey.FlushKey();
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Profiles::RestoreProfiles(): RestoreProfiles Succeeded");
  return true;
}

bool Profiles::MonitorProfileList(const std::wstring& mountPoint) {
  if (!IsValidMountPoint(mountPoint)) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::MonitorProfileList(): Invalid Mount Point: %ws",
        mountPoint.c_str());
    return false;
  }
  mountPoint_ = mountPoint;
  monitorRunning_->store(true);
  // Not joined: the thread owns this object and ends with the agent's shutdown event.
  if (!util::StartDetachedThread([self = shared_from_this()] { ProfileListMonitorWorker(self); })) {
    monitorRunning_->store(false);
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::MonitorProfileList(): Failed Starting The Monitor");
    return false;
  }
  return true;
}

void Profiles::ProfileListMonitorWorker(std::shared_ptr<Profiles> self) {
  if (!self) {
    Log(LogLevel::Error, L"tamber::core::windows::Profiles::ProfileListMonitorWorker(): Invalid Argument");
    return;
  }
  auto running = self->monitorRunning_;
  struct Ended {
    std::shared_ptr<std::atomic<bool>> flag;
    ~Ended() { flag->store(false); }
  } ended{running};
  platform::Handle shutdown = self->system_->GetShutdownEvent();
  if (shutdown == nullptr) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Profiles::ProfileListMonitorWorker(): System Shutdown Event Was NULL");
    return;
  }
  UniqueHandle changed(platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr));
  if (!changed) {
    Log(LogLevel::Debug, L"tamber::core::windows::Profiles::ProfileListMonitorWorker(): Failed Creating Event: 0x%X",
        static_cast<uint32_t>(HResultFromWin32(platform::GetLastError())));
    return;
  }
  int32_t result = 0;
  ExistingRegKey key(platform::HKeyLocalMachine(), ProfileListPath(), platform::kKeyRead | platform::kKeyNotify,
                     &result);
  while (!self->system_->IsShutdownEventSet()) {
    bool armed = false;
    if (key.WaitForChange(&armed, changed.get()) != 0 || !armed) {
      // Nothing to wait on: look again after a while rather than spin.
      platform::WaitForSingleObject(shutdown, 1000);
      continue;
    }
    if (self->system_->IsShutdownEventSet()) {
      Log(LogLevel::Debug, L"tamber::core::windows::Profiles::ProfileListMonitorWorker(): Shutdown Event Set");
      break;
    }
    platform::Handle handles[2] = {shutdown, changed.get()};
    uint32_t wait = platform::WaitForMultipleObjects(2, handles, platform::kInfinite);
    if (wait == platform::kWaitObject0) {
      Log(LogLevel::Debug, L"tamber::core::windows::Profiles::ProfileListMonitorWorker(): Shutdown Event Set");
      break;
    }
    if (wait != platform::kWaitObject0 + 1) break;
    if (!self->SaveProfiles(self->mountPoint_)) {
      Log(LogLevel::Error,
          L"tamber::core::windows::Profiles::ProfileListMonitorWorker(): Failed Saving ProfileList Key");
    }
    platform::ResetEvent(changed.get());
  }
}

}  // namespace tamber::core::windows
