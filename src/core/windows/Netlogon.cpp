#include "core/windows/Netlogon.h"

#include "common/util/DnsName.h"
#include "common/util/Util.h"
#include "core/util/Registry.h"
#include "core/util/Tunables.h"
#include "framework/log/Log.h"

namespace tamber::core::windows {

namespace {

constexpr const wchar_t* kDbFlagValue = L"DbFlag";
constexpr const wchar_t* kFlagsDisabled = L"0x0";
constexpr size_t kMaxHexDigits = 8;

bool IsHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'); }

}  // namespace

Netlogon::Netlogon() : registry_(util::Registry::Instance()) {}

Netlogon::~Netlogon() = default;

bool Netlogon::IsValidFlagsText(std::wstring_view flags) {
  if (flags.size() > 2 && flags[0] == L'0' && (flags[1] == L'x' || flags[1] == L'X')) flags.remove_prefix(2);
  if (flags.empty() || flags.size() > kMaxHexDigits) return false;
  for (wchar_t c : flags) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

bool Netlogon::SetNLFlags(const std::wstring& flags) {
  // The wanted flags are read from the registry: only a hex number may reach the command line.
  if (!IsValidFlagsText(flags)) {
    Log(LogLevel::Error, L"tamber::core::windows::Netlogon::SetNLFlags(): Invalid Netlogon Flags, Not Setting: \"%ws\"",
        common::util::DnsName::Printable(flags));
    return false;
  }
  std::wstring command = L"Nltest /DBFlag:" + flags;
  if (!common::util::Util::RunScript(command)) {
    Log(LogLevel::Error, L"tamber::core::windows::Netlogon::SetNLFlags(): Failed Setting Netlogon Flags: %ws", command);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Netlogon::SetNLFlags(): Set Netlogon Flags: %ws", command);
  return true;
}

std::wstring Netlogon::GetNLFlags() {
  std::wstring flags;
  if (registry_->GetValue(kDbFlagValue, &flags, util::regtype::kNetlogonParameters) != 0) flags.clear();
  return flags;
}

bool Netlogon::EnableNlLogging() {
  // The flags are applied only while "NLFlagsDisabled" is 0 (or absent); any other number turns them off.
  if (util::Tunables(registry_).Get(util::Tunable::NLFlagsDisabled) != 0) {
    bool result = SetNLFlags(kFlagsDisabled);
    Log(LogLevel::Debug, L"tamber::core::windows::Netlogon::EnableNlLogging(): NL Flags Disabled");
    return result;
  }
  std::wstring current = GetNLFlags();
  if (current.empty()) {
    Log(LogLevel::Debug, L"tamber::core::windows::Netlogon::EnableNlLogging(): No NL Flags Currently Set");
  } else {
    Log(LogLevel::Debug, L"tamber::core::windows::Netlogon::EnableNlLogging(): Existing NL Flags: %ws", current);
  }
  std::wstring wanted;
  if (registry_->GetValue(util::kNlFlagName, &wanted, util::regtype::kService) != 0 || wanted.empty()) {
    wanted = util::kNlFlagDefault;
  }
  // An exact comparison: the same flags written another way are set again.
  if (current == wanted) {
    Log(LogLevel::Debug, L"tamber::core::windows::Netlogon::EnableNlLogging(): Current Flags and Default Flags Match");
    return true;
  }
  return SetNLFlags(wanted);
}

}  // namespace tamber::core::windows
