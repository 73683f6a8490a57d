// The management side's customization flags: a bit set in the guestinfo variable AgentCustomizationFlags,
// kept as signed decimal text. The agent only ever adds bits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/util/GuestInfo.h"
#include "core/util/Singleton.h"

namespace tamber::core::util {

using CustomizationFlagBits = uint32_t;

namespace flag {
constexpr CustomizationFlagBits kShutdownRequired = 0x1;
constexpr CustomizationFlagBits kShutdownRequested = 0x2;
constexpr CustomizationFlagBits kShutdownCompleted = 0x4;
constexpr CustomizationFlagBits kRebootRequired = 0x8;
constexpr CustomizationFlagBits kRebootRequested = 0x10;
constexpr CustomizationFlagBits kRebootCompleted = 0x20;
constexpr CustomizationFlagBits kResync = 0x40;
constexpr CustomizationFlagBits kSysprep = 0x80;
constexpr CustomizationFlagBits kCloneprep = 0x100;
constexpr CustomizationFlagBits kFastRefresh = 0x200;
constexpr CustomizationFlagBits kFastRefreshCompleted = 0x400;
constexpr CustomizationFlagBits kSysprepDomainJoin = 0x800;
constexpr CustomizationFlagBits kResyncCleanup = 0x1000;
constexpr CustomizationFlagBits kPersistentDisksEnabled = 0x2000;
}  // namespace flag

inline constexpr const char* kAgentCustomizationFlagsVariable = "AgentCustomizationFlags";

// The names of the set bits in table order joined by " | "; "CUSTOMIZATION_FLAG_NONE" for 0 and
// "CUSTOMIZATION_FLAG_UNKNOWN" when no set bit has a name.
std::wstring CustomizationFlagsText(CustomizationFlagBits bits);

// The number at the start of text, read as the C library's atoi reads it: leading blanks (space, tab,
// new line, vertical tab, form feed, carriage return), an optional sign, then decimal digits up to the
// first other character; 0 when there are no digits. A number beyond the 32-bit range gives INT32_MAX or
// INT32_MIN (what the Windows C runtime's atoi returns), never undefined behaviour.
int32_t AtoiCompatible(std::string_view text);

class CustomizationFlags : public Singleton<CustomizationFlags> {
 public:
  virtual ~CustomizationFlags();

  // Reads the variable afresh into the cache; 0 when it cannot be read.
  virtual CustomizationFlagBits GetCustomizationFlagsValue();
  // The text form of the cached bits.
  virtual std::wstring GetCustomizationFlagsText();
  // Adds bits to the freshly read set and writes it back; returns the cached set (unchanged by a failed
  // write).
  virtual CustomizationFlagBits SetCustomizationFlags(CustomizationFlagBits bits);
  // Against the cached set.
  virtual bool IsFlagSet(CustomizationFlagBits bit);

 protected:
  // Reads the flags once.
  CustomizationFlags();

 private:
  friend class Singleton<CustomizationFlags>;

  GuestInfo guestInfo_;
  CustomizationFlagBits value_ = 0;
};

}  // namespace tamber::core::util
