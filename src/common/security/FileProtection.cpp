#include "common/security/FileProtection.h"

#include <vector>

#include "common/windows/Handles.h"
#include "platform/Files.h"
#include "platform/Power.h"

namespace tamber::common::security {

namespace {

using platform::Ace;
using platform::FileSecurityDescriptor;

constexpr uint8_t kInheritBoth = platform::kObjectInheritAce | platform::kContainerInheritAce;
constexpr wchar_t kCreatorOwnerSid[] = L"S-1-3-0";

std::wstring WellKnown(uint32_t type) {
  std::wstring sid;
  platform::CreateWellKnownSid(type, &sid);
  return sid;
}

// The accounts whose objects the agent trusts: the system account, the administrators, and the account
// the agent runs as (the system account on a real guest).
std::vector<std::wstring> TrustedSids() {
  std::vector<std::wstring> sids = {WellKnown(platform::kWinLocalSystemSid),
                                    WellKnown(platform::kWinBuiltinAdministratorsSid)};
  std::wstring self;
  if (platform::GetProcessUserSid(&self)) sids.push_back(self);
  return sids;
}

bool IsOneOf(const std::wstring& sid, const std::vector<std::wstring>& sids) {
  for (const auto& trusted : sids) {
    if (!trusted.empty() && trusted == sid) return true;
  }
  return false;
}

void EnablePrivilege(platform::Handle token, const wchar_t* name) {
  platform::Luid luid;
  if (platform::LookupPrivilegeValue(nullptr, name, &luid)) {
    platform::AdjustTokenPrivilege(token, luid, platform::kSePrivilegeEnabled);
  }
}

}  // namespace

FileSecurityDescriptor FileProtection::AgentFolder() {
  FileSecurityDescriptor descriptor;
  descriptor.daclPresent = true;
  descriptor.control = platform::kSeDaclProtected;
  descriptor.dacl = {
      Ace{platform::kAccessAllowedAceType, kInheritBoth, platform::kFileAllAccess,
          WellKnown(platform::kWinLocalSystemSid)},
      Ace{platform::kAccessAllowedAceType, kInheritBoth, platform::kFileAllAccess,
          WellKnown(platform::kWinBuiltinAdministratorsSid)},
      Ace{platform::kAccessAllowedAceType, kInheritBoth, platform::kFileGenericReadAndExecute,
          WellKnown(platform::kWinBuiltinUsersSid)},
  };
  return descriptor;
}

FileSecurityDescriptor FileProtection::AgentOnlyFile() {
  FileSecurityDescriptor descriptor;
  descriptor.daclPresent = true;
  descriptor.control = platform::kSeDaclProtected;
  descriptor.dacl = {
      Ace{platform::kAccessAllowedAceType, 0, platform::kFileAllAccess, WellKnown(platform::kWinLocalSystemSid)},
      Ace{platform::kAccessAllowedAceType, 0, platform::kFileAllAccess,
          WellKnown(platform::kWinBuiltinAdministratorsSid)},
  };
  return descriptor;
}

bool FileProtection::GrantsChange(uint32_t mask) {
  constexpr uint32_t kChanging = platform::kFileWriteData | platform::kFileAppendDataRight | platform::kFileWriteEa |
                                 platform::kFileDeleteChild | platform::kFileWriteAttributes | platform::kDelete |
                                 platform::kWriteDac | platform::kWriteOwner | platform::kMaximumAllowed |
                                 platform::kGenericAll | platform::kGenericWrite;
  return (mask & kChanging) != 0;
}

bool FileProtection::IsTrusted(const std::wstring& path, std::wstring* reason) {
  auto say = [reason](std::wstring text) {
    if (reason != nullptr) *reason = std::move(text);
    return false;
  };
  FileSecurityDescriptor descriptor;
  uint32_t error = platform::GetNamedSecurityInfo(
      path.c_str(), platform::kOwnerSecurityInformation | platform::kDaclSecurityInformation, &descriptor);
  if (error != platform::kErrorSuccess) return say(L"its protection cannot be read");
  const std::vector<std::wstring> trusted = TrustedSids();
  if (!IsOneOf(descriptor.owner, trusted)) return say(L"owned by " + descriptor.owner);
  if (!descriptor.daclPresent) return say(L"no access list: anyone may change it");
  // Inheritable entries count too: they would reach what the agent creates in the folder. CREATOR
  // OWNER entries name whoever creates, and only the trusted accounts can create here.
  for (const auto& ace : descriptor.dacl) {
    if (ace.type != platform::kAccessAllowedAceType || !GrantsChange(ace.mask)) continue;
    if (ace.sid == kCreatorOwnerSid || IsOneOf(ace.sid, trusted)) continue;
    return say(L"writable by " + ace.sid);
  }
  return true;
}

uint32_t FileProtection::ResetFolder(const std::wstring& path) {
  // Taking ownership needs WRITE_OWNER, which a foreign DACL need not give: the take-ownership privilege
  // grants it, and the restore privilege lets the owner be a group rather than the caller.
  windows::UniqueHandle token;
  if (platform::OpenProcessToken(platform::kTokenAdjustPrivileges | platform::kTokenQuery, token.put())) {
    EnablePrivilege(token.get(), L"SeTakeOwnershipPrivilege");
    EnablePrivilege(token.get(), L"SeRestorePrivilege");
  }
  FileSecurityDescriptor owner;
  owner.owner = WellKnown(platform::kWinBuiltinAdministratorsSid);
  uint32_t error = platform::SetNamedSecurityInfo(path.c_str(), platform::kOwnerSecurityInformation, owner);
  if (error == platform::kErrorInvalidOwner && platform::GetProcessUserSid(&owner.owner)) {
    // An account that may not own with the administrators' group owns with its own name.
    error = platform::SetNamedSecurityInfo(path.c_str(), platform::kOwnerSecurityInformation, owner);
  }
  if (error != platform::kErrorSuccess) return error;
  // Now the owner, the agent may replace the DACL whatever it said.
  return platform::SetNamedSecurityInfo(
      path.c_str(), platform::kDaclSecurityInformation | platform::kProtectedDaclSecurityInformation, AgentFolder());
}

uint32_t FileProtection::CreateFolder(const std::wstring& path) {
  if (platform::CreateDirectoryWithSecurity(path.c_str(), AgentFolder())) return platform::kErrorSuccess;
  return platform::GetLastError();
}

bool FileProtection::IsPlainDirectory(const std::wstring& path) {
  uint32_t attributes = platform::GetFileAttributes(path.c_str());
  return attributes != platform::kInvalidFileAttributes && (attributes & platform::kFileAttributeDirectory) != 0 &&
         (attributes & platform::kFileAttributeReparsePoint) == 0;
}

}  // namespace tamber::common::security
