// Owners and DACLs of files and directories: the Win32 security calls, with SIDs passed as strings.
#include "platform/FileSecurity.h"

#include <memory>
#include <vector>

#include "platform/win32/Win32Api.h"

// clang-format off
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#undef GetNamedSecurityInfo
#undef SetNamedSecurityInfo

namespace tamber::platform {
namespace {

struct LocalFreeDeleter {
  void operator()(void* memory) const {
    if (memory != nullptr) ::LocalFree(memory);
  }
};
using LocalSid = std::unique_ptr<void, LocalFreeDeleter>;

bool SidToString(PSID sid, std::wstring* text) {
  wchar_t* converted = nullptr;
  if (!::ConvertSidToStringSidW(sid, &converted)) return false;
  text->assign(converted);
  ::LocalFree(converted);
  return true;
}

// A SID in binary form from its string; null with the last error set on a malformed text.
LocalSid SidFromString(const std::wstring& text) {
  PSID sid = nullptr;
  if (!::ConvertStringSidToSidW(text.c_str(), &sid)) return LocalSid();
  return LocalSid(sid);
}

// The binary parts of a descriptor: SIDs, the ACL, and the descriptor that points at them.
class NativeDescriptor {
 public:
  // False with the last error set.
  bool Build(const FileSecurityDescriptor& descriptor, bool withOwner, bool withDacl) {
    if (!::InitializeSecurityDescriptor(&absolute_, SECURITY_DESCRIPTOR_REVISION)) return false;
    if (withOwner && !descriptor.owner.empty()) {
      owner_ = SidFromString(descriptor.owner);
      if (!owner_) return false;
      if (!::SetSecurityDescriptorOwner(&absolute_, owner_.get(), FALSE)) return false;
    }
    if (withDacl) {
      if (!BuildAcl(descriptor.dacl)) return false;
      if (!::SetSecurityDescriptorDacl(&absolute_, TRUE, acl(), FALSE)) return false;
      if ((descriptor.control & kSeDaclProtected) != 0 &&
          !::SetSecurityDescriptorControl(&absolute_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return false;
      }
    }
    return true;
  }

  PSECURITY_DESCRIPTOR get() { return &absolute_; }
  PSID owner() { return owner_.get(); }
  PACL acl() { return reinterpret_cast<PACL>(aclBytes_.data()); }

 private:
  bool BuildAcl(const std::vector<Ace>& aces) {
    DWORD size = sizeof(ACL);
    for (const auto& ace : aces) {
      LocalSid sid = SidFromString(ace.sid);
      if (!sid) return false;
      size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(sid.get());
      sids_.push_back(std::move(sid));
    }
    aclBytes_.assign((size + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    if (!::InitializeAcl(acl(), size, ACL_REVISION)) return false;
    for (size_t i = 0; i < aces.size(); ++i) {
      const Ace& ace = aces[i];
      BOOL added = FALSE;
      if (ace.type == kAccessAllowedAceType) {
        added = ::AddAccessAllowedAceEx(acl(), ACL_REVISION, ace.flags, ace.mask, sids_[i].get());
      } else if (ace.type == kAccessDeniedAceType) {
        added = ::AddAccessDeniedAceEx(acl(), ACL_REVISION, ace.flags, ace.mask, sids_[i].get());
      } else {
        ::SetLastError(ERROR_INVALID_PARAMETER);
      }
      if (!added) return false;
    }
    return true;
  }

  SECURITY_DESCRIPTOR absolute_{};
  LocalSid owner_;
  std::vector<LocalSid> sids_;
  std::vector<DWORD> aclBytes_;  // DWORD-aligned, as an ACL must be
};

}  // namespace

bool CreateWellKnownSid(uint32_t type, std::wstring* sid) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(buffer);
  if (!::CreateWellKnownSid(static_cast<WELL_KNOWN_SID_TYPE>(type), nullptr, buffer, &size)) return false;
  return SidToString(buffer, sid);
}

bool GetProcessUserSid(std::wstring* sid) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD) + 1);
  bool ok = ::GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(DWORD)),
                                  &size) != FALSE &&
            SidToString(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, sid);
  DWORD error = ::GetLastError();
  ::CloseHandle(token);
  ::SetLastError(error);
  return ok;
}

bool CreateDirectoryWithSecurity(const wchar_t* path, const FileSecurityDescriptor& descriptor) {
  NativeDescriptor native;
  if (!native.Build(descriptor, /*withOwner=*/true, /*withDacl=*/true)) return false;
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = native.get();
  attributes.bInheritHandle = FALSE;
  return ::CreateDirectoryW(path, &attributes) != FALSE;
}

Handle CreateFileWithSecurity(const wchar_t* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                              uint32_t flagsAndAttributes, const FileSecurityDescriptor& descriptor) {
  NativeDescriptor native;
  if (!native.Build(descriptor, /*withOwner=*/true, /*withDacl=*/true)) return INVALID_HANDLE_VALUE;
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = native.get();
  attributes.bInheritHandle = FALSE;
  return ::CreateFileW(path, access, shareMode, &attributes, disposition, flagsAndAttributes, nullptr);
}

uint32_t GetNamedSecurityInfo(const wchar_t* path, uint32_t securityInformation, FileSecurityDescriptor* descriptor) {
  if (path == nullptr || descriptor == nullptr) return ERROR_INVALID_PARAMETER;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR whole = nullptr;
  DWORD error =
      ::GetNamedSecurityInfoW(path, SE_FILE_OBJECT, securityInformation, &owner, nullptr, &dacl, nullptr, &whole);
  if (error != ERROR_SUCCESS) return error;
  std::unique_ptr<void, LocalFreeDeleter> release(whole);
  FileSecurityDescriptor result;
  if (owner != nullptr && !SidToString(owner, &result.owner)) return ::GetLastError();
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (::GetSecurityDescriptorControl(whole, &control, &revision)) {
    result.control = static_cast<uint16_t>(control & SE_DACL_PROTECTED);
  }
  if ((securityInformation & DACL_SECURITY_INFORMATION) != 0) {
    result.daclPresent = dacl != nullptr;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
      void* raw = nullptr;
      if (!::GetAce(dacl, i, &raw)) return ::GetLastError();
      const auto* header = static_cast<const ACE_HEADER*>(raw);
      Ace ace;
      ace.type = header->AceType;
      ace.flags = header->AceFlags;
      // Allowed and denied ACEs share one layout: header, mask, then the SID where SidStart stands.
      if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        ace.mask = allowed->Mask;
        if (!SidToString(const_cast<DWORD*>(&allowed->SidStart), &ace.sid)) return ::GetLastError();
      }
      result.dacl.push_back(std::move(ace));
    }
  }
  *descriptor = std::move(result);
  return ERROR_SUCCESS;
}

uint32_t SetNamedSecurityInfo(const wchar_t* path, uint32_t securityInformation,
                              const FileSecurityDescriptor& descriptor) {
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  const bool withOwner = (securityInformation & OWNER_SECURITY_INFORMATION) != 0;
  const bool withDacl = (securityInformation & DACL_SECURITY_INFORMATION) != 0;
  NativeDescriptor native;
  if (!native.Build(descriptor, withOwner, withDacl)) return ::GetLastError();
  // The call's path parameter is not const in the SDK.
  std::wstring mutablePath(path);
  return ::SetNamedSecurityInfoW(mutablePath.data(), SE_FILE_OBJECT, securityInformation,
                                 withOwner ? native.owner() : nullptr, nullptr, withDacl ? native.acl() : nullptr,
                                 nullptr);
}

}  // namespace tamber::platform
