// File security seam: owners and discretionary access control lists of files and directories, with the
// Win32 calls' values (ACE types and flags, access masks, SECURITY_INFORMATION bits) and SIDs in their
// string form ("S-1-5-18", as ConvertSidToStringSidW writes them). Only access-allowed and access-denied
// ACEs are carried; a descriptor read from the system with other ACE types keeps them with their type.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace tamber::platform {

// ACE types.
constexpr uint8_t kAccessAllowedAceType = 0;
constexpr uint8_t kAccessDeniedAceType = 1;

// ACE flags.
constexpr uint8_t kObjectInheritAce = 0x01;
constexpr uint8_t kContainerInheritAce = 0x02;
constexpr uint8_t kNoPropagateInheritAce = 0x04;
constexpr uint8_t kInheritOnlyAce = 0x08;
constexpr uint8_t kInheritedAce = 0x10;

// Access rights of files and directories (a directory's "add file" is a file's "write data", and so on).
constexpr uint32_t kFileReadData = 0x0001;
constexpr uint32_t kFileWriteData = 0x0002;  // directories: FILE_ADD_FILE
constexpr uint32_t kFileAddFile = 0x0002;
constexpr uint32_t kFileAppendDataRight = 0x0004;  // directories: FILE_ADD_SUBDIRECTORY
constexpr uint32_t kFileAddSubdirectory = 0x0004;
constexpr uint32_t kFileReadEa = 0x0008;
constexpr uint32_t kFileWriteEa = 0x0010;
constexpr uint32_t kFileExecute = 0x0020;
constexpr uint32_t kFileDeleteChild = 0x0040;
constexpr uint32_t kFileReadAttributes = 0x0080;
constexpr uint32_t kFileWriteAttributes = 0x0100;
constexpr uint32_t kDelete = 0x00010000;
constexpr uint32_t kReadControl = 0x00020000;
constexpr uint32_t kWriteDac = 0x00040000;
constexpr uint32_t kWriteOwner = 0x00080000;
constexpr uint32_t kSynchronize = 0x00100000;
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kGenericExecute = 0x20000000;
// kGenericWrite and kGenericRead are in Files.h.
constexpr uint32_t kFileAllAccess = 0x001F01FF;
constexpr uint32_t kFileGenericReadAndExecute = 0x001200A9;

// SECURITY_INFORMATION bits.
constexpr uint32_t kOwnerSecurityInformation = 0x00000001;
constexpr uint32_t kDaclSecurityInformation = 0x00000004;
constexpr uint32_t kProtectedDaclSecurityInformation = 0x80000000;
constexpr uint32_t kUnprotectedDaclSecurityInformation = 0x20000000;

// Security descriptor control bits.
constexpr uint16_t kSeDaclProtected = 0x1000;

// Win32 errors of this area.
constexpr uint32_t kErrorInvalidOwner = 1307;
constexpr uint32_t kErrorInvalidSid = 1337;
constexpr uint32_t kErrorNoneMapped = 1332;

// WELL_KNOWN_SID_TYPE values.
constexpr uint32_t kWinWorldSid = 1;
constexpr uint32_t kWinCreatorOwnerSid = 3;
constexpr uint32_t kWinAuthenticatedUserSid = 17;
constexpr uint32_t kWinLocalSystemSid = 22;
constexpr uint32_t kWinBuiltinAdministratorsSid = 26;
constexpr uint32_t kWinBuiltinUsersSid = 27;

struct Ace {
  uint8_t type = kAccessAllowedAceType;
  uint8_t flags = 0;
  uint32_t mask = 0;
  std::wstring sid;
};

// What GetNamedSecurityInfo returns and what the creating and setting calls take.
struct FileSecurityDescriptor {
  std::wstring owner;        // empty: not given (creation takes the caller's default owner)
  bool daclPresent = false;  // false with a read: a NULL DACL, which grants everyone full access
  std::vector<Ace> dacl;     // in order
  uint16_t control = 0;      // kSeDaclProtected: the DACL does not inherit from the parent
};

// CreateWellKnownSid followed by ConvertSidToStringSidW (local machine; no domain SID).
bool CreateWellKnownSid(uint32_t type, std::wstring* sid);
// The user SID of this process's token (GetTokenInformation TokenUser), as a string.
bool GetProcessUserSid(std::wstring* sid);

// CreateDirectoryW / CreateFileW with SECURITY_ATTRIBUTES holding the descriptor: its owner (when
// given), its DACL (present), and kSeDaclProtected as given.
bool CreateDirectoryWithSecurity(const wchar_t* path, const FileSecurityDescriptor& descriptor);
Handle CreateFileWithSecurity(const wchar_t* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                              uint32_t flagsAndAttributes, const FileSecurityDescriptor& descriptor);

// GetNamedSecurityInfoW on a file object for the owner and/or the DACL; a Win32 error code.
uint32_t GetNamedSecurityInfo(const wchar_t* path, uint32_t securityInformation, FileSecurityDescriptor* descriptor);
// SetNamedSecurityInfoW on a file object: the owner and/or the DACL of the descriptor, with the
// protection bits of securityInformation. Setting an owner other than the caller (or a group it may
// own with) needs SeRestorePrivilege enabled; a Win32 error code.
uint32_t SetNamedSecurityInfo(const wchar_t* path, uint32_t securityInformation,
                              const FileSecurityDescriptor& descriptor);

}  // namespace tamber::platform
