#include "core/windows/PersistentDisks.h"

#include <algorithm>

#include "common/windows/Handles.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/Registry.h"
#include "core/windows/Profiles.h"
#include "framework/log/Log.h"

namespace tamber::core::windows {

using common::windows::kEFail;
using util::Persisted;

PersistentDisks::PersistentDisks() : PersistentDisks(std::make_shared<Profiles>()) {}

PersistentDisks::PersistentDisks(std::shared_ptr<Profiles> profiles)
    : profiles_(std::move(profiles)),
      state_(util::CustomizationState::Instance()),
      registry_(util::Registry::Instance()),
      persistentInfo_(util::CustomizationPersistentInfo::Instance()) {}

PersistentDisks::~PersistentDisks() = default;

bool PersistentDisks::GetDiskSpecs() {
  std::wstring specs;
  if (guestInfo_.GetValue(kSpecsVariable, &specs)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::PersistentDisks::GetDiskSpecs(): PersistentDisk Specs From GuestInfo: %ws",
        specs.c_str());
  } else {
    Log(LogLevel::Error,
        L"tamber::core::windows::PersistentDisks::GetDiskSpecs(): Failed Reading PersistentDisks From GuestInfo");
    int32_t result = registry_->GetValue(kSpecsValue, &specs, util::regtype::kGa);
    if (result != 0) {
      Log(LogLevel::Error,
          L"tamber::core::windows::PersistentDisks::GetDiskSpecs(): Failed Reading PersistentDisks From Registry: 0x%X",
          static_cast<uint32_t>(result));
      return false;
    }
    Log(LogLevel::Debug,
        L"tamber::core::windows::PersistentDisks::GetDiskSpecs(): Persistent Disk Specs From Registry: %ws",
        specs.c_str());
  }
  specs_ = specs;
  if (!ParseDiskSpecs(specs_)) {
    Log(LogLevel::Error, L"tamber::core::windows::PersistentDisks::GetDiskSpecs(): Failed Parsing Disk Specs: %ws",
        specs_.c_str());
    return false;
  }
  return true;
}

bool PersistentDisks::ParseDiskSpecs(const std::wstring& text) {
  disks_.clear();
  if (text.empty() || text.front() != L'[' || text.back() != L']') {
    Log(LogLevel::Error, L"tamber::core::windows::PersistentDisks::ParseDiskSpecs(): Spec String Is Invalid");
    return false;
  }
  bool havePrimary = false;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(L',', start);
    std::wstring item = text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
    auto disk = std::make_shared<Disk>(state_);
    disk->SetDiskSpec(item);  // an invalid item stays in the list with empty fields and matches no disk
    if (disk->Usage() == usage::kPrimary) {
      if (havePrimary) {
        const std::wstring wide = state_->GetDescription(kErrorMultiplePrimaryDisks);
        const std::string description(wide.begin(), wide.end());  // the descriptions are plain ASCII
        Log(LogLevel::Error, L"tamber::core::windows::PersistentDisks::ParseDiskSpecs(): %S, Cannot Continue",
            description.c_str());
        state_->SetCustomizationState(util::status::kError, kErrorMultiplePrimaryDisks, kPersistentDisksCategory,
                                      kEFail);
        disks_.clear();
        return false;
      }
      havePrimary = true;
    }
    disks_.push_back(disk);
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  // Explicit letters are claimed before any "*" takes the next free one.
  disks_.sort([](const std::shared_ptr<Disk>& a, const std::shared_ptr<Disk>& b) {
    const bool aStar = a->TargetMountPoint() == L"*";
    const bool bStar = b->TargetMountPoint() == L"*";
    if (aStar || bStar) return !aStar && bStar;
    return a->TargetMountPoint() < b->TargetMountPoint();
  });
  LogDiskSpecs();
  return true;
}

void PersistentDisks::LogDiskSpecs() {
  for (const auto& disk : disks_) {
    Log(LogLevel::Debug, L"tamber::core::windows::PersistentDisks::LogDiskSpecs(): %ws",
        disk->DiskSpecString().c_str());
  }
}

bool PersistentDisks::ClearMountPoints() {
  for (const auto& disk : disks_) {
    if (!disk->DeleteCurrentMountPoint()) {
      Log(LogLevel::Error,
          L"tamber::core::windows::PersistentDisks::ClearMountPoints(): Failed Deleting Current Mount Point: %ws",
          disk->CurrentMountPoint().c_str());
      return false;
    }
  }
  return true;
}

bool PersistentDisks::InitializeDisks(int32_t partitionType) {
  if (persistentInfo_->Is(Persisted::PersistentDisksReady)) {
    Log(LogLevel::Debug, L"tamber::core::windows::PersistentDisks::InitializeDisks(): Persistent Disks Already Ready");
    return true;
  }
  if (!GetDiskSpecs()) {
    Log(LogLevel::Error, L"tamber::core::windows::PersistentDisks::InitializeDisks(): Failed Parsing Disk Specs");
    return false;
  }
  if (!ClearMountPoints()) {
    Log(LogLevel::Error, L"tamber::core::windows::PersistentDisks::InitializeDisks(): Failed Clearing Mount Points");
    return false;
  }
  for (const auto& disk : disks_) {
    if (!disk->InitializeDisk(partitionType)) {
      Log(LogLevel::Error,
          L"tamber::core::windows::PersistentDisks::InitializeDisks(): Disk Initialization Failed: %ws, PartitionType: %ws",
          disk->CurrentMountPoint().c_str(), disk->PartitionTypeName(partitionType).c_str());
      return false;
    }
    Log(LogLevel::Debug,
        L"tamber::core::windows::PersistentDisks::InitializeDisks(): Disk %ws Initialized Successfully With Partition Type: %ws",
        disk->CurrentMountPoint().c_str(), disk->PartitionTypeName(partitionType).c_str());
    if (disk->Usage() == usage::kPrimary) {
      const std::wstring& mountPoint = disk->CurrentMountPoint();
      if (disk->IsExistingDisk()) {
        Log(LogLevel::Debug,
            L"tamber::core::windows::PersistentDisks::InitializeDisks(): Calling RestoreProfiles with Mount Point: %ws",
            mountPoint.c_str());
        if (!profiles_->RestoreProfiles(mountPoint)) {
          Log(LogLevel::Error,
              L"tamber::core::windows::PersistentDisks::InitializeDisks(): Profile Restore Failed: %ws",
              mountPoint.c_str());
          state_->SetCustomizationState(util::status::kError, kErrorRestoreProfiles, kPersistentDisksCategory, kEFail);
          return false;
        }
      }
      Log(LogLevel::Debug,
          L"tamber::core::windows::PersistentDisks::InitializeDisks(): Calling RedirectProfiles with Mount Point: %ws",
          mountPoint.c_str());
      if (!profiles_->RedirectProfiles(mountPoint)) {
        Log(LogLevel::Error, L"tamber::core::windows::PersistentDisks::InitializeDisks(): Failed Redirecting Profiles");
        state_->SetCustomizationState(util::status::kError, kErrorRedirectProfiles, kPersistentDisksCategory, kEFail);
        return false;
      }
      Log(LogLevel::Debug,
          L"tamber::core::windows::PersistentDisks::InitializeDisks(): Profiles Redirected Successfully: %ws",
          mountPoint.c_str());
      if (!profiles_->MonitorProfileList(mountPoint)) {
        Log(LogLevel::Error,
            L"tamber::core::windows::PersistentDisks::InitializeDisks(): Failed Monitoring Profile List Key");
        return false;
      }
      Log(LogLevel::Debug, L"tamber::core::windows::PersistentDisks::InitializeDisks(): Profile List Monitor Started");
    }
    disk->LogDiskSpec();
  }
  if (!disks_.empty()) disks_.front()->EnumVolumes();
  persistentInfo_->Set(Persisted::PersistentDisksReady);
  return true;
}

}  // namespace tamber::core::windows
