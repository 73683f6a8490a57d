// Which role this machine plays in the cloning chain, and which customization flavour applies to it.
#pragma once

#include <cstdint>
#include <string>

#include "core/util/GuestInfo.h"
#include "core/util/Singleton.h"

namespace tamber::core::util {

using MachineTypeCode = uint32_t;

namespace machine {
constexpr MachineTypeCode kMaster = 0;
constexpr MachineTypeCode kInternalTemplate = 1;
constexpr MachineTypeCode kReplica = 2;
constexpr MachineTypeCode kParent = 3;
constexpr MachineTypeCode kClone = 4;
constexpr MachineTypeCode kUndetermined = 5;
}  // namespace machine

// "master", "it", "replica", "parent", "clone"; "unknown" for anything else.
const char* MachineTypeText(MachineTypeCode code);

// The guestinfo state variables the role is decided from.
inline constexpr const char* kNgaForkVariable = "ngaFork";
inline constexpr const char* kForkedVariable = "forked";
inline constexpr const char* kItVariable = "it";
inline constexpr const char* kReplicaVariable = "replica";

class MachineType : public Singleton<MachineType> {
 public:
  virtual ~MachineType();

  // The role, decided on the first call that can decide and kept from then on; undetermined (5) while a
  // forked machine has not been reported forked by the boot-time agent.
  virtual MachineTypeCode GetMachineType();
  virtual void SetMachineType(MachineTypeCode code);
  virtual std::string GetMachineTypeText();
  virtual std::wstring GetMachineTypeTextW();
  virtual bool IsMaster();
  virtual bool IsReplica();
  virtual bool IsIT();
  virtual bool IsParent();
  virtual bool IsClone();

 protected:
  // Installs the role as the role text of guestinfo variable names and of the timing values.
  MachineType();

 private:
  friend class Singleton<MachineType>;

  MachineTypeCode DecideGoldenImage();
  MachineTypeCode DecideFromGuestInfo();

  GuestInfo guestInfo_;
  MachineTypeCode code_ = machine::kUndetermined;
};

using CustomizationTypeCode = uint32_t;

namespace customization {
constexpr CustomizationTypeCode kCloneprep = 0;
constexpr CustomizationTypeCode kSysprep = 1;
constexpr CustomizationTypeCode kUniversalprep = 2;
constexpr CustomizationTypeCode kUndetermined = 3;
}  // namespace customization

class CustomizationType : public Singleton<CustomizationType> {
 public:
  virtual ~CustomizationType();

  // Universalprep on the golden image, else Sysprep when the sysprep flag is set, else Cloneprep;
  // decided once.
  virtual CustomizationTypeCode GetCustomizationType();
  virtual bool IsCloneprep();
  virtual bool IsSysprep();
  virtual bool IsUniversalprep();
  virtual bool IsFastRefresh();
  virtual bool IsSysprepDomainJoin();

 protected:
  CustomizationType() = default;

 private:
  friend class Singleton<CustomizationType>;

  CustomizationTypeCode code_ = customization::kUndetermined;
};

}  // namespace tamber::core::util
