#include "core/util/Support.h"

#include "core/util/Registry.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"

namespace tamber::core::util {
namespace {

constexpr const wchar_t* kUnknownRole = L"unknown";
constexpr const wchar_t* kTotalCustomizationTime = L"TotalCustomizationTime";

}  // namespace

Support::~Support() = default;

Registry* Support::registry() { return Registry::Instance(); }

const wchar_t* Support::ValueName(Timing timing) {
  switch (timing) {
    case Timing::TotalCustomization:
      return kTotalCustomizationTime;
    case Timing::TotalSysprep:
      return L"TotalSysprepTime";
    case Timing::DomainJoin:
      return L"DomainJoinTime";
    case Timing::GPUpdate:
      return L"GPUpdateTime";
    case Timing::SetMac:
      return L"SetMacTime";
    case Timing::MachinePwdChange:
      return L"MachinePwdChangeTime";
    case Timing::Rename:
      return L"RenameTime";
  }
  return L"";
}

void Support::SetRolePrefixSource(RolePrefixSource source) {
  std::lock_guard<std::mutex> guard(lock_);
  rolePrefix_ = std::move(source);
}

std::wstring Support::StoredName(const std::wstring& name) const {
  RolePrefixSource source;
  {
    std::lock_guard<std::mutex> guard(lock_);
    source = rolePrefix_;
  }
  std::wstring prefix = source ? source() : std::wstring();
  return (prefix.empty() ? std::wstring(kUnknownRole) : prefix) + name;
}

int32_t Support::GetValue(const std::wstring& name, uint32_t* value) {
  const uint32_t defaultValue = 0;
  std::wstring stored = StoredName(name);
  int32_t result = registry()->GetValue(stored, &defaultValue, value, regtype::kSupport);
  if (result != 0) {
    Log(LogLevel::Error, L"tamber::core::util::Support::GetValue(): Failed Getting Value: %ws, 0x%X", stored,
        static_cast<uint32_t>(result));
  }
  return result;
}

int32_t Support::SetValue(const std::wstring& name, uint32_t value) {
  std::wstring stored = StoredName(name);
  int32_t result = registry()->SetValue(stored, value, regtype::kSupport);
  if (result != 0) {
    Log(LogLevel::Error, L"tamber::core::util::Support::SetValue(): Failed Setting Value: %ws, 0x%X", stored,
        static_cast<uint32_t>(result));
  }
  return result;
}

bool Support::Test() {
  int32_t result = SetValue(kTestValue, 5);
  if (result != 0) {
    Log(LogLevel::Debug, L"tamber::core::util::Support::Test(): SetValue Failed: 0x%X", static_cast<uint32_t>(result));
    return false;
  }
  uint32_t value = 0;
  result = GetValue(kTestValue, &value);
  if (result != 0) {
    Log(LogLevel::Debug, L"tamber::core::util::Support::Test(): GetValue Failed: 0x%X", static_cast<uint32_t>(result));
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::util::Support::Test(): Value: %d", static_cast<int32_t>(value));
  return value == 5;
}

uint32_t Support::GetTotalITCustomizationTime() {
  uint32_t rebootTick = 0;
  int32_t result = GetValue(kRebootTickCount, &rebootTick);
  if (result != 0 || rebootTick == 0) {
    Log(LogLevel::Debug, L"tamber::core::util::Support::GetTotalITCustomizationTime(): IT Time Failed (%d): 0x%X",
        static_cast<int32_t>(rebootTick), static_cast<uint32_t>(result));
    return 0;
  }
  uint32_t total = platform::GetTickCount() - rebootTick;  // unsigned: wraps like the tick count
  SetValue(kTotalCustomizationTime, total);
  return total;
}

uint32_t Support::GetTotalCloneCustomizationTime() {
  uint32_t beforeReboot = 0;
  GetValue(kRebootTickCount, &beforeReboot);
  uint32_t total = beforeReboot + platform::GetTickCount();
  SetValue(kTotalCustomizationTime, total);
  return total;
}

void Support::Start(Timing timing) {
  uint32_t now = platform::GetTickCount();
  std::lock_guard<std::mutex> guard(lock_);
  starts_[static_cast<size_t>(timing)] = now;
}

uint32_t Support::Elapsed(Timing timing) const {
  uint32_t now = platform::GetTickCount();
  std::lock_guard<std::mutex> guard(lock_);
  return now - starts_[static_cast<size_t>(timing)];
}

uint32_t Support::Stop(Timing timing) {
  uint32_t elapsed = Elapsed(timing);
  SetValue(ValueName(timing), elapsed);
  return elapsed;
}

int32_t Support::SaveTickCount(const std::wstring& name) { return SetValue(name, platform::GetTickCount()); }

}  // namespace tamber::core::util
