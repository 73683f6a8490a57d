// Customization timings, kept as DWORD values under the Support key (registry type 11). Every value
// name is stored with the machine role's lower-case name in front and no separator ("cloneRenameTime").
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "core/util/Singleton.h"

namespace tamber::core::util {

class Registry;

class Support : public Singleton<Support> {
 public:
  // The lower-case role text ("master", "it", "replica", "parent", "clone", "unknown").
  using RolePrefixSource = std::function<std::wstring()>;

  // The measured steps and the value each one's elapsed milliseconds are stored under.
  enum class Timing { TotalCustomization, TotalSysprep, DomainJoin, GPUpdate, SetMac, MachinePwdChange, Rename };
  static const wchar_t* ValueName(Timing timing);

  static constexpr const wchar_t* kRebootTickCount = L"RebootTickCount";
  static constexpr const wchar_t* kDomainJoinStartTickCount = L"DomainJoinStartTickCount";
  static constexpr const wchar_t* kDomainJoinRebootTickCount = L"DomainJoinRebootTickCount";
  static constexpr const wchar_t* kTestValue = L"TestValue";

  virtual ~Support();

  // DWORD under the role-prefixed name, default 0.
  virtual int32_t GetValue(const std::wstring& name, uint32_t* value);
  virtual int32_t SetValue(const std::wstring& name, uint32_t value);
  // Writes "TestValue" = 5 and reads it back: true only when 5 comes back.
  virtual bool Test();
  // Milliseconds since the saved "RebootTickCount" tick (stored as "TotalCustomizationTime"), or 0.
  virtual uint32_t GetTotalITCustomizationTime();
  // The time spent before a reboot (saved "RebootTickCount") plus the time since this boot, stored as
  // "TotalCustomizationTime".
  uint32_t GetTotalCloneCustomizationTime();

  // The role prefix comes from the machine role, which is decided later in the boot. Until a source is
  // set (or when it returns nothing) the prefix is "unknown".
  void SetRolePrefixSource(RolePrefixSource source);
  std::wstring StoredName(const std::wstring& name) const;

  // Stopwatches: Start remembers the tick count; Stop stores the elapsed milliseconds under the
  // timing's value name and returns them. A timing never started is measured from boot (tick 0).
  void Start(Timing timing);
  uint32_t Stop(Timing timing);
  // The milliseconds since Start without storing anything.
  uint32_t Elapsed(Timing timing) const;
  // Stores the current tick count under name (the tick counts that must survive a reboot).
  int32_t SaveTickCount(const std::wstring& name);

 protected:
  Support() = default;

 private:
  friend class Singleton<Support>;

  static Registry* registry();

  mutable std::mutex lock_;
  RolePrefixSource rolePrefix_;
  std::array<uint32_t, 7> starts_{};
};

}  // namespace tamber::core::util
