// User profiles on the Primary persistent disk: the profiles directory pointed at the disk, every profile's
// registry entry (the ProfileList subkeys) kept as hive files on the disk with one earlier generation, the
// entries loaded back from a disk that an earlier clone used, and a thread that saves them again whenever
// the ProfileList key changes.
//
// The monitor thread is not joined: it owns a reference to this object and ends when the agent's shutdown
// event is set, so it may outlive whoever started it.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/Types.h"

namespace tamber::core::util {
class CustomizationPersistentInfo;
class CustomizationState;
class Registry;
class System;
}  // namespace tamber::core::util

namespace tamber::core::windows {

class Profiles : public std::enable_shared_from_this<Profiles> {
 public:
  static constexpr uint32_t kErrorBackupProfiles = 4;
  static constexpr const wchar_t* kProfilesDirectoryValue = L"ProfilesDirectory";

  Profiles();
  virtual ~Profiles();

  virtual bool RedirectProfiles(const std::wstring& mountPoint);
  virtual bool SaveProfiles(const std::wstring& mountPoint);
  virtual bool RestoreProfiles(const std::wstring& mountPoint);
  // Starts ProfileListMonitorWorker on a thread of its own; the object must be owned by a shared_ptr.
  virtual bool MonitorProfileList(const std::wstring& mountPoint);

  // Letters and a colon, as a whole ("D:").
  static bool IsValidMountPoint(const std::wstring& mountPoint);
  // True once the monitor thread has ended (or none was started).
  bool MonitorEnded() const { return !monitorRunning_->load(); }

 private:
  static void ProfileListMonitorWorker(std::shared_ptr<Profiles> self);
  // Deletes the backup save, turns the current save into the backup and makes a new, empty one.
  bool RotateSaveFolders(const std::wstring& root);

  std::wstring mountPoint_;
  util::CustomizationPersistentInfo* persistentInfo_;
  util::CustomizationState* state_;
  util::Registry* registry_;
  util::System* system_;
  std::shared_ptr<std::atomic<bool>> monitorRunning_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace tamber::core::windows
