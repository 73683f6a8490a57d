// The machine's name and domain membership: the machine-account password handed in through guestinfo
// (obfuscated with the clone's own host name and UUID, with a checksum), installed directly as the
// machine secret (fast path) or passed to NetJoinDomain (slow path); its protected copies, backup,
// restore and change; the secure channel check; and the words that explain a failure.
//
// Passwords and checksums are wiped from memory on every path and never written to the log. Names that
// come from guestinfo (domain, host, controllers) are checked before they reach a command line or a
// join; a bad one is refused with an ERROR line and nothing runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/util/DomainServices.h"
#include "core/util/GuestInfo.h"

namespace tamber::core::util {
class CustomizationPersistentInfo;
class CustomizationState;
class MachineType;
class Registry;
class Support;
class System;
}  // namespace tamber::core::util

namespace tamber::core::windows {

class Network;

// Bytes that held a password, a checksum or another secret: wiped when they go.
class SecretBuffer {
 public:
  SecretBuffer() = default;
  ~SecretBuffer() { Wipe(); }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  SecretBuffer(SecretBuffer&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
  SecretBuffer& operator=(SecretBuffer&& other) noexcept;

  void Assign(const uint8_t* data, size_t size);
  void Wipe();
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }

 private:
  std::vector<uint8_t> bytes_;
};

// The names of NETLOGON_INFO_2 flags, joined with " | " from the lowest bit; empty for none.
std::wstring GetNetlogonFlagNames(uint32_t flags);

class DomainJoin {
 public:
  // Guest variables.
  static constexpr const char* kDomainNameVariable = "primed.fqdn";
  static constexpr const char* kHostNameVariable = "hostName";
  static constexpr const char* kCloneUuidVariable = "cloneprep.clone.uuid";
  static constexpr const char* kPreferredDcVariable = "preferredDC";
  static constexpr const char* kPreferredSiteVariable = "preferredSite";
  static constexpr const char* kMachinePasswdVariable = "machinePasswd";
  static constexpr const char* kMachinePasswdChecksumVariable = "machinePasswdChecksum";
  // LSA secrets.
  static constexpr const wchar_t* kMachineAccountSecret = L"$MACHINE.ACC";
  static constexpr const wchar_t* kSecuredPasswordSecret = L"L$TOLM_MC_PWD";
  static constexpr const wchar_t* kSecuredChecksumSecret = L"L$TOLM_MC_PWD_CHKSUM";
  // The controller the last successful join used (ga key).
  static constexpr const wchar_t* kCurrentDcValue = L"CurrentDC";
  static constexpr const wchar_t* kUpnValue = L"NameUserPrincipal";
  static constexpr const char* kTrustCategory = "Domain Trust Verification";
  static constexpr uint32_t kJoinOptions = 0x4E1;
  static constexpr uint32_t kMaxDomainJoinReboots = 2;

  DomainJoin();
  virtual ~DomainJoin();

  virtual bool GetDomainName(std::wstring* name);
  virtual bool GetHostName(std::wstring* name);
  // The server's controller as the domain, a backslash and the "preferredDC" value.
  virtual bool GetPreferredDC(std::wstring* controller);
  virtual bool GetPreferredSite(std::wstring* site);
  virtual bool SetPreferredDC(const std::wstring& name);
  virtual bool SetPreferredSite(const std::wstring& name);
  virtual int32_t RenameMachine();
  virtual bool JoinCloneToDomain();
  virtual bool JoinCloneToDomainSysprep();
  virtual bool ChangeMachinePassword(bool force);
  virtual bool SecureMachinePwdInfo();
  virtual bool ClearSecuredMachinePwdInfo();
  virtual bool ClearMachinePassword(bool clearChecksum = true);
  virtual bool BackupMachinePassword();
  virtual bool RestoreMachinePassword();
  virtual bool UpdateUPN();
  virtual bool LogUPN();
  virtual bool VerifyTrust(uint32_t retries = 5);
  virtual bool VerifyTrustEx();
  virtual bool VerifyTrustWithPreferredDc(const std::wstring& controller);
  virtual bool GetErrorDiagnostics(std::string* out, const std::string& category);
  virtual std::string DiagnoseDcErrors();
  virtual bool ValidateHostname(const char* name);
  virtual uint32_t JoinMachineToDomainEx(const std::wstring& target, const std::wstring& password);

  int32_t JoinMachineToDomain();
  bool JoinCloneToDomainWithNetJoinDomain();
  // The plain password: wide = its UTF-16LE bytes (no terminator), else its plain bytes; raw = the bytes
  // exactly as unobfuscated, checked against the checksum as they are.
  bool GetUnobfuscatedMachinePwd(SecretBuffer* out, bool wide, bool raw);
  bool GetMachinePwd(SecretBuffer* text);
  bool GetMachinePwdChksum(SecretBuffer* text);
  bool ValidateMachinePassword(const uint8_t* data, uint32_t length, bool* skipped);
  // Base64 of the SHA-256 of the bytes (44 characters).
  bool CalculateChecksum(const uint8_t* data, uint32_t length, SecretBuffer* checksum);
  bool ObfuscateZrkData(const uint8_t* data, uint32_t length, SecretBuffer* text);
  bool UnobfuscatedZrkData(const SecretBuffer& text, SecretBuffer* data);
  bool RequestMachinePasswordChange();
  bool SaveRegDomainJoinDCName(const std::wstring& name);
  bool RetrieveRegDomainJoinDCName(std::wstring* name);
  void ClearMachinePasswordChecksum();

 private:
  bool GetText(const char* variable, std::string* value);
  // Restarts Netlogon and waits PostNetlogonStartDelay (or until the agent stops).
  enum class NetlogonRestart { TrustCheck, AfterFailedChange, AfterChange };
  void RestartNetlogon(NetlogonRestart when);
  void WaitAfterNetlogonStart();
  bool ReadMachineSecret(SecretBuffer* secret, const wchar_t* method);

  util::CustomizationPersistentInfo* persistentInfo_;
  util::Support* support_;
  util::MachineType* machineType_;
  util::System* system_;
  util::Registry* registry_;
  util::CustomizationState* state_;
  Network* network_;
  util::GuestInfo guestInfo_;
  common::util::DomainServices domainServices_;
  std::wstring domainName_;
  std::wstring hostName_;
};

}  // namespace tamber::core::windows
