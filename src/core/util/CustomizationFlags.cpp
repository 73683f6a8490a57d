#include "core/util/CustomizationFlags.h"

#include <climits>

#include "framework/log/Log.h"

namespace tamber::core::util {
namespace {

struct FlagName {
  CustomizationFlagBits bit;
  const wchar_t* name;
};

constexpr FlagName kFlagNames[] = {
    {flag::kShutdownRequired, L"CUSTOMIZATION_FLAG_SHUTDOWN_REQUIRED"},
    {flag::kShutdownRequested, L"CUSTOMIZATION_FLAG_SHUTDOWN_REQUESTED"},
    {flag::kShutdownCompleted, L"CUSTOMIZATION_FLAG_SHUTDOWN_COMPLETED"},
    {flag::kRebootRequired, L"CUSTOMIZATION_FLAG_REBOOT_REQUIRED"},
    {flag::kRebootRequested, L"CUSTOMIZATION_FLAG_REBOOT_REQUESTED"},
    {flag::kRebootCompleted, L"CUSTOMIZATION_FLAG_REBOOT_COMPLETED"},
    {flag::kResync, L"CUSTOMIZATION_FLAG_RESYNC"},
    {flag::kSysprep, L"CUSTOMIZATION_FLAG_SYSPREP"},
    {flag::kCloneprep, L"CUSTOMIZATION_FLAG_CLONEPREP"},
    {flag::kFastRefresh, L"CUSTOMIZATION_FLAG_FAST_REFRESH"},
    {flag::kFastRefreshCompleted, L"CUSTOMIZATION_FLAG_FAST_REFRESH_COMPLETED"},
    {flag::kSysprepDomainJoin, L"CUSTOMIZATION_FLAG_SYSPREP_DOMAIN_JOIN"},
    {flag::kResyncCleanup, L"CUSTOMIZATION_FLAG_RESYNC_CLEANUP"},
    {flag::kPersistentDisksEnabled, L"CUSTOMIZATION_FLAG_PERSISTENT_DISKS_ENABLED"},
};

bool IsCBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

std::wstring CustomizationFlagsText(CustomizationFlagBits bits) {
  if (bits == 0) return L"CUSTOMIZATION_FLAG_NONE";
  std::wstring text;
  for (const auto& entry : kFlagNames) {
    if ((bits & entry.bit) == 0) continue;
    if (!text.empty()) text += L" | ";
    text += entry.name;
  }
  return text.empty() ? std::wstring(L"CUSTOMIZATION_FLAG_UNKNOWN") : text;
}

int32_t AtoiCompatible(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsCBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulated as a magnitude that stops growing once it is past the range, so any number of digits
  // is safe.
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > limit) magnitude = limit;
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

CustomizationFlags::CustomizationFlags() { GetCustomizationFlagsValue(); }

CustomizationFlags::~CustomizationFlags() = default;

CustomizationFlagBits CustomizationFlags::GetCustomizationFlagsValue() {
  std::string text;
  if (guestInfo_.GetValue(kAgentCustomizationFlagsVariable, &text)) {
    value_ = static_cast<CustomizationFlagBits>(AtoiCompatible(text));
  } else {
    value_ = 0;
    Log(LogLevel::Warn,
        L"tamber::core::util::CustomizationFlags::GetCustomizationFlagsValue(): Failed getting guestinfo.%S. Assuming no flags set.",
        std::string(kAgentCustomizationFlagsVariable));
  }
  Log(LogLevel::Debug,
      L"tamber::core::util::CustomizationFlags::GetCustomizationFlagsValue(): Agent Customization Flags: (0x%X), %ws",
      value_, CustomizationFlagsText(value_));
  return value_;
}

std::wstring CustomizationFlags::GetCustomizationFlagsText() { return CustomizationFlagsText(value_); }

CustomizationFlagBits CustomizationFlags::SetCustomizationFlags(CustomizationFlagBits bits) {
  CustomizationFlagBits updated = bits | GetCustomizationFlagsValue();
  if (guestInfo_.SetValue(kAgentCustomizationFlagsVariable, static_cast<int32_t>(updated))) {
    value_ = updated;
    Log(LogLevel::Debug,
        L"tamber::core::util::CustomizationFlags::SetCustomizationFlags(): Set guestinfo.%S to (0x%X), %ws",
        std::string(kAgentCustomizationFlagsVariable), updated, CustomizationFlagsText(updated));
  } else {
    Log(LogLevel::Error,
        L"tamber::core::util::CustomizationFlags::SetCustomizationFlags(): Failed setting guestinfo.%S.",
        std::string(kAgentCustomizationFlagsVariable));
  }
  return value_;
}

bool CustomizationFlags::IsFlagSet(CustomizationFlagBits bit) { return (value_ & bit) != 0; }

}  // namespace tamber::core::util
