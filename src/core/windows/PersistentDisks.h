// The clone's persistent data disks from their description list (guestinfo "clone.PersistentDisks", else
// the registry value "PersistentDisks"): each listed disk loses its drive letter, then the disks are
// prepared one by one, explicit letters before "*", and the Primary disk receives the user profiles. Done
// once per clone ("PersistentDisksReady").
//
// List grammar: "[" item { "," item } "]", each item "[mountPoint=L;usage=D;loc=B:T;]" with L a letter or
// "*", D, B and T single digits; at most one item with usage 1.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "core/util/GuestInfo.h"
#include "core/windows/Disk.h"

namespace tamber::core::util {
class CustomizationPersistentInfo;
class CustomizationState;
class Registry;
}  // namespace tamber::core::util

namespace tamber::core::windows {

class Profiles;

class PersistentDisks {
 public:
  static constexpr const char* kSpecsVariable = "clone.PersistentDisks";
  static constexpr const wchar_t* kSpecsValue = L"PersistentDisks";
  static constexpr uint32_t kErrorRedirectProfiles = 2;
  static constexpr uint32_t kErrorRestoreProfiles = 5;
  static constexpr uint32_t kErrorMultiplePrimaryDisks = 13;

  PersistentDisks();
  explicit PersistentDisks(std::shared_ptr<Profiles> profiles);
  virtual ~PersistentDisks();

  virtual bool InitializeDisks(int32_t partitionType);

  bool GetDiskSpecs();
  // Builds the disk list from the text (an item outside the item pattern stays in it, matching no disk).
  bool ParseDiskSpecs(const std::wstring& text);
  void LogDiskSpecs();
  bool ClearMountPoints();

  const std::list<std::shared_ptr<Disk>>& Disks() const { return disks_; }

 private:
  std::wstring specs_;
  std::list<std::shared_ptr<Disk>> disks_;
  util::GuestInfo guestInfo_;
  std::shared_ptr<Profiles> profiles_;
  util::CustomizationState* state_;
  util::Registry* registry_;
  util::CustomizationPersistentInfo* persistentInfo_;
};

}  // namespace tamber::core::windows
