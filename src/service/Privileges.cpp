#include "service/Privileges.h"

#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "platform/Power.h"
#include "platform/Types.h"

namespace tamber::service {

using common::windows::HResultFromWin32;

bool AddPrivilege(const wchar_t* privilegeName) {
  platform::Handle rawToken = nullptr;
  if (!platform::OpenProcessToken(platform::kTokenAllAccess, &rawToken)) {
    Log(LogLevel::Error, L"AddPrivilege(): Failed Opening Process Token: 0x%X",
        HResultFromWin32(platform::GetLastError()));
    return false;
  }
  common::windows::UniqueHandle token(rawToken);
  platform::Luid luid;
  if (!platform::LookupPrivilegeValue(nullptr, privilegeName, &luid)) {
    Log(LogLevel::Error, L"AddPrivilege(): Invalid Privilege: %ws", privilegeName);
    return false;
  }
  bool adjusted = platform::AdjustTokenPrivilege(token.get(), luid, platform::kSePrivilegeEnabled);
  if (!adjusted) {
    Log(LogLevel::Error, L"AddPrivilege(): Failed Adjusting Token Priviledges: 0x%X",
        HResultFromWin32(platform::GetLastError()));
  }
  return adjusted;
}

}  // namespace tamber::service
