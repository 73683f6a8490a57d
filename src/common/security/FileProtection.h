// The protection of the folders and files the agent keeps for itself (secured scripts and their digests,
// data handed to other components): only the local system account and the administrators may change
// them. A folder of the same name that someone else made first is not trusted until its owner and DACL
// are reset.
#pragma once

#include <cstdint>
#include <string>

#include "platform/FileSecurity.h"

namespace tamber::common::security {

class FileProtection {
 public:
  // A folder: full control for the system account and the administrators, read and execute for users,
  // handed down to everything created in it; nothing inherited from the parent.
  static platform::FileSecurityDescriptor AgentFolder();
  // A file for the system account and the administrators only; nothing inherited.
  static platform::FileSecurityDescriptor AgentOnlyFile();

  // Whether the object is owned by the system account, the administrators or the agent's own account,
  // and no one else may change it or what is created in it. When not, *reason (if given) says why.
  static bool IsTrusted(const std::wstring& path, std::wstring* reason = nullptr);

  // Makes the administrators the owner (taking ownership, which needs the take-ownership and restore
  // privileges the agent's account holds) and then puts the agent's folder protection in place of the
  // DACL. A Win32 error code.
  static uint32_t ResetFolder(const std::wstring& path);

  // Creates the folder with the agent's folder protection. 0 when created; ERROR_ALREADY_EXISTS when
  // something of that name is there; another Win32 error code otherwise.
  static uint32_t CreateFolder(const std::wstring& path);

  // Whether the path names a plain directory (not a file, not a junction or other reparse point).
  static bool IsPlainDirectory(const std::wstring& path);

  // Whether an access mask holds a right that changes the object, its protection or what is in it.
  static bool GrantsChange(uint32_t mask);
};

}  // namespace tamber::common::security
