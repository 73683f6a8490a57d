// Owners and DACLs of the simulated guest's files and directories. The machine keeps one record per
// object that was created or changed through the guest ("<machine>/security/files.txt", keyed by the
// object's Windows path without case); an object without a record (put there from the host) takes the
// owner Administrators and what its parent hands down. C:\ and C:\Windows\Temp start with the protection
// a Windows installation gives them: administrators and the system everywhere, users reading, and in the
// temporary directory users creating files and folders that they then own (CREATOR OWNER).
//
// Who asks: the agent's threads act as the local system account (groups Administrators, Everyone,
// Authenticated Users; new objects are owned by Administrators). A test may act as another local user
// on one thread with ActAsUser; that user's new objects are its own, and the guest's file calls check its
// access: creating an entry needs "add file" or "add subdirectory" on the directory, opening a file for
// writing needs "write data", deleting needs "delete" on the file or "delete child" on the directory.
// Changing an owner needs WRITE_OWNER (or SeTakeOwnershipPrivilege enabled), and naming an owner the
// caller cannot own with needs SeRestorePrivilege; changing a DACL needs WRITE_DAC, which an owner has.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileSecurity.h"

namespace tamber::platform::sim {

inline constexpr wchar_t kSidLocalSystem[] = L"S-1-5-18";
inline constexpr wchar_t kSidAdministrators[] = L"S-1-5-32-544";
inline constexpr wchar_t kSidUsers[] = L"S-1-5-32-545";
inline constexpr wchar_t kSidEveryone[] = L"S-1-1-0";
inline constexpr wchar_t kSidAuthenticatedUsers[] = L"S-1-5-11";
inline constexpr wchar_t kSidCreatorOwner[] = L"S-1-3-0";

// While it lives, the calling thread acts as the local user with this SID (a member of Users).
class ActAsUser {
 public:
  explicit ActAsUser(std::wstring userSid);
  ~ActAsUser();
  ActAsUser(const ActAsUser&) = delete;
  ActAsUser& operator=(const ActAsUser&) = delete;

 private:
  std::wstring previous_;
};

// What the guest's file calls ask of the model (paths are Windows paths). The checks return a Win32
// error (0: allowed) for the calling thread's account.
uint32_t CheckMayCreate(const std::wstring& path, bool directory);
uint32_t CheckMayWrite(const std::wstring& path);
uint32_t CheckMayDelete(const std::wstring& path);
// A new object: its owner is the caller's default owner and its DACL what the parent hands down, unless
// an explicit descriptor is given.
void RecordCreated(const std::wstring& path, bool directory,
                   const FileSecurityDescriptor* explicitDescriptor = nullptr);
// Deleted (with everything recorded below it) or moved (its records go with it, unchanged).
void RecordDeleted(const std::wstring& path);
void RecordMoved(const std::wstring& from, const std::wstring& to);

// The object's descriptor as GetNamedSecurityInfo sees it (the object need not exist).
FileSecurityDescriptor EffectiveSecurity(const std::wstring& path, bool directory);

}  // namespace tamber::platform::sim
