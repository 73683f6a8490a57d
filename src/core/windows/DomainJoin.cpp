#include "core/windows/DomainJoin.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "common/device/RenewIp.h"
#include "common/security/Encryption.h"
#include "common/security/SecureRegistry.h"
#include "common/util/DnsName.h"
#include "common/util/StringConverter.h"
#include "common/util/Util.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Support.h"
#include "core/util/System.h"
#include "core/util/Tunables.h"
#include "core/windows/Network.h"
#include "framework/log/Log.h"
#include "platform/Directory.h"
#include "platform/Domain.h"
#include "platform/Sync.h"

namespace tamber::core::windows {

namespace {

using common::util::DnsName;
using common::windows::Encryption;
using common::windows::HResultFromWin32;
using common::windows::SecureRegistry;
using util::Persisted;
using util::Tunable;

constexpr int32_t kEInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr uint32_t kErrorBadNetpath = platform::kErrorBadNetpath;
constexpr uint32_t kErrorNoSuchDomain = platform::kErrorNoSuchDomain;
constexpr uint32_t kDomainJoinFailedCode = 18;
constexpr uint32_t kTrustFailedCode = 26;
constexpr uint32_t kChecksumLength = 44;
constexpr const char* kHostnameCharacters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-";
constexpr const wchar_t* kNetlogon = L"netlogon";

void WipeString(std::string& text) {
  volatile char* p = text.data();
  for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  text.clear();
}

void WipeString(std::wstring& text) {
  volatile wchar_t* p = text.data();
  for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  text.clear();
}

// Equal length and equal bytes, without an early exit on the first difference.
bool SameBytes(const uint8_t* a, size_t aLength, const uint8_t* b, size_t bLength) {
  if (aLength != bLength) return false;
  uint8_t difference = 0;
  for (size_t i = 0; i < aLength; ++i) difference |= static_cast<uint8_t>(a[i] ^ b[i]);
  return difference == 0;
}

// A NetApiBufferFree buffer.
struct NetApiBuffer {
  uint8_t* data = nullptr;
  ~NetApiBuffer() {
    if (data != nullptr) platform::NetApiBufferFree(data);
  }
};

}  // namespace

// ---- SecretBuffer --------------------------------------------------------------------------------

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
  if (this != &other) {
    Wipe();
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
  }
  return *this;
}

void SecretBuffer::Assign(const uint8_t* data, size_t size) {
  Wipe();
  bytes_.assign(data, data + size);
}

void SecretBuffer::Wipe() {
  volatile uint8_t* p = bytes_.data();
  for (size_t i = 0; i < bytes_.size(); ++i) p[i] = 0;
  bytes_.clear();
}

std::wstring GetNetlogonFlagNames(uint32_t flags) {
  static constexpr const wchar_t* kNames[] = {L"NETLOGON_REPLICATION_NEEDED",
                                              L"NETLOGON_REPLICATION_IN_PROGRESS",
                                              L"NETLOGON_FULL_SYNC_REPLICATION",
                                              L"NETLOGON_REDO_NEEDED",
                                              L"NETLOGON_HAS_IP",
                                              L"NETLOGON_HAS_TIMESERV",
                                              L"NETLOGON_DNS_UPDATE_FAILURE",
                                              L"NETLOGON_VERIFY_STATUS_RETURNED"};
  std::wstring names;
  for (uint32_t bit = 0; bit < 8; ++bit) {
    if ((flags & (1u << bit)) == 0) continue;
    if (!names.empty()) names += L" | ";
    names += kNames[bit];
  }
  return names;
}

// ---- DomainJoin ----------------------------------------------------------------------------------

DomainJoin::DomainJoin()
    : persistentInfo_(util::CustomizationPersistentInfo::Instance()),
      support_(util::Support::Instance()),
      machineType_(util::MachineType::Instance()),
      system_(util::System::Instance()),
      registry_(util::Registry::Instance()),
      state_(util::CustomizationState::Instance()),
      network_(Network::Instance()) {}

DomainJoin::~DomainJoin() {
  WipeString(domainName_);
  WipeString(hostName_);
}

bool DomainJoin::GetText(const char* variable, std::string* value) { return guestInfo_.GetValue(variable, value); }

bool DomainJoin::GetDomainName(std::wstring* name) {
  std::wstring value;
  if (!guestInfo_.GetValue(kDomainNameVariable, &value) || value.empty()) {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::GetDomainName(): Failed getting domain name.");
    return false;
  }
  // The name goes into NetJoinDomain and the nltest command line.
  if (!DnsName::IsValidName(value)) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::GetDomainName(): Invalid domain name refused: %ws",
        DnsName::Printable(value));
    return false;
  }
  domainName_ = value;
  if (name != nullptr) *name = value;
  return true;
}

bool DomainJoin::GetHostName(std::wstring* name) {
  std::string value;
  if (!GetText(kHostNameVariable, &value) || value.empty()) {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::GetHostName(): Failed getting host name.");
    return false;
  }
  if (!ValidateHostname(value.c_str())) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::GetHostName(): Invalid host name refused: %ws",
        DnsName::Printable(common::i18n::StringConverter::Utf8ToWString(value)));
    return false;
  }
  hostName_ = common::i18n::StringConverter::Utf8ToWString(value);
  if (name != nullptr) *name = hostName_;
  return true;
}

bool DomainJoin::GetPreferredDC(std::wstring* controller) {
  std::wstring dc;
  if (!guestInfo_.GetValue(kPreferredDcVariable, &dc) || dc.empty()) return false;
  if (!DnsName::IsValidName(dc)) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::GetPreferredDC(): Invalid preferred DC name refused: %ws",
        DnsName::Printable(dc));
    return false;
  }
  std::wstring domain;
  if (!GetDomainName(&domain)) return false;
  if (controller != nullptr) *controller = domain + L"\\" + dc;
  return true;
}

bool DomainJoin::GetPreferredSite(std::wstring* site) {
  std::wstring value;
  if (!guestInfo_.GetValue(kPreferredSiteVariable, &value)) {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::GetPreferredSite(): Failed getting preferred site");
    return false;
  }
  if (site != nullptr) *site = value;
  return true;
}

bool DomainJoin::SetPreferredDC(const std::wstring& name) {
  std::string narrow = common::i18n::StringConverter::ToUtf8String(name);
  if (narrow.empty() && !name.empty()) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::SetPreferredDC(): Failed to convert DC Name string (%ws). Error: 0x%X. Failed setting guestinfo.%s",
        name, static_cast<uint32_t>(common::windows::kEFail), std::string(kPreferredDcVariable));
    return false;
  }
  if (!guestInfo_.SetValue(kPreferredDcVariable, narrow.c_str())) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::SetPreferredDC(): Failed setting guestinfo.%s",
        std::string(kPreferredDcVariable));
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::SetPreferredDC(): Set guest-info preferred DC name: %ws",
      name);
  return true;
}

bool DomainJoin::SetPreferredSite(const std::wstring& name) {
  std::string narrow = common::i18n::StringConverter::ToUtf8String(name);
  if (!guestInfo_.SetValue(kPreferredSiteVariable, narrow.c_str())) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::SetPreferredSite(): Failed setting guestinfo.%s",
        std::string(kPreferredSiteVariable));
    return false;
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::SetPreferredSite(): Set guest-info preferred site name to %ws", name);
  return true;
}

bool DomainJoin::ValidateHostname(const char* name) {
  if (name == nullptr) {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::ValidateHostname(): Hostname Is NULL");
    return false;
  }
  const size_t length = std::strlen(name);
  if (length == 0) {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::ValidateHostname(): Hostname Too Short. Length: %d", 0);
    return false;
  }
  if (length >= 16) {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::ValidateHostname(): Hostname Too Long. Length: %d",
        static_cast<int>(length));
    return false;
  }
  if (std::strspn(name, kHostnameCharacters) != length) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::ValidateHostname(): Hostname contains invalid characters");
    return false;
  }
  if (std::strspn(name, "0123456789") == length) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::ValidateHostname(): Hostname may not consist entirely of digits");
    return false;
  }
  return true;
}

int32_t DomainJoin::RenameMachine() {
  std::string host;
  if (!GetText(kHostNameVariable, &host)) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::RenameMachine(): Failed getting hostname.");
    return kEInvalidArg;
  }
  if (!ValidateHostname(host.c_str())) {
    // Only what a log line can carry safely.
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::RenameMachine(): Hostname %S is invalid",
        common::i18n::StringConverter::ToUtf8String(
            DnsName::Printable(common::i18n::StringConverter::Utf8ToWString(host))));
    return kEInvalidArg;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::RenameMachine(): Hostname %S is valid", host);
  const uint32_t error = platform::SetComputerNameExA(platform::kComputerNamePhysicalDnsHostname, host.c_str());
  if (error != 0) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::RenameMachine(): SetComputerNameEx Failed : 0x%X",
        static_cast<uint32_t>(HResultFromWin32(error)));
    return HResultFromWin32(error);
  }
  persistentInfo_->Set(Persisted::CloneRenamed);
  return 0;
}

// ---- password material ---------------------------------------------------------------------------

bool DomainJoin::CalculateChecksum(const uint8_t* data, uint32_t length, SecretBuffer* checksum) {
  uint8_t digest[Encryption::kDigestLength] = {};
  bool succeeded = false;
  if (Encryption::computeHash(data, length, digest) == Encryption::kDigestLength) {
    char* text = nullptr;
    uint32_t textLength = 0;
    if (Encryption::encode(digest, Encryption::kDigestLength, &text, &textLength)) {
      checksum->Assign(reinterpret_cast<const uint8_t*>(text), textLength);
      Encryption::FreeData(&text, &textLength);
      succeeded = true;
    }
  }
  volatile uint8_t* p = digest;
  for (size_t i = 0; i < sizeof digest; ++i) p[i] = 0;
  if (!succeeded) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::CalculateChecksum(): Failed Encoding Checksum");
  }
  return succeeded;
}

bool DomainJoin::ObfuscateZrkData(const uint8_t* data, uint32_t length, SecretBuffer* text) {
  std::string host;
  std::string uuid;
  if (!GetText(kHostNameVariable, &host) || !ValidateHostname(host.c_str())) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::ObfuscateZrkData(): Hostname is invalid");
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::ObfuscateZrkData(): Hostname %S is valid", host);
  if (!GetText(kCloneUuidVariable, &uuid)) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::ObfuscateZrkData(): Failed Getting Clone UUID");
    return false;
  }
  char* out = nullptr;
  uint32_t outLength = 0;
  const bool succeeded = Encryption::obfuscate(host.c_str(), uuid.c_str(), data, length, &out, &outLength);
  if (succeeded) {
    text->Assign(reinterpret_cast<const uint8_t*>(out), outLength);
    Encryption::FreeData(&out, &outLength);
  }
  WipeString(uuid);
  return succeeded;
}

bool DomainJoin::UnobfuscatedZrkData(const SecretBuffer& text, SecretBuffer* data) {
  std::string host;
  std::string uuid;
  if (!GetText(kHostNameVariable, &host) || !ValidateHostname(host.c_str())) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::UnobfuscatedZrkData(): Hostname is invalid");
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::UnobfuscatedZrkData(): Hostname %S is valid", host);
  if (!GetText(kCloneUuidVariable, &uuid)) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::UnobfuscatedZrkData(): Failed Getting Clone UUID");
    return false;
  }
  std::string obfuscated(reinterpret_cast<const char*>(text.data()), text.size());
  uint8_t* plain = nullptr;
  uint32_t plainLength = 0;
  const bool succeeded = Encryption::unobfuscate(host.c_str(), uuid.c_str(), obfuscated.c_str(), &plain, &plainLength);
  if (succeeded) {
    data->Assign(plain, plainLength);
    Encryption::FreeData(&plain, &plainLength);
  }
  WipeString(obfuscated);
  WipeString(uuid);
  return succeeded;
}

bool DomainJoin::GetMachinePwd(SecretBuffer* text) {
  if (persistentInfo_->Is(Persisted::MachinePwdInfoSecured)) {
    char* secured = nullptr;
    uint32_t size = SecureRegistry::RetrievePrivateString(kSecuredPasswordSecret, &secured);
    if (size != 0) {
      text->Assign(reinterpret_cast<const uint8_t*>(secured), size - 1);
      SecureRegistry::FreePrivateData(&secured, &size);
      Log(LogLevel::Trace, L"tamber::core::windows::DomainJoin::GetMachinePwd(): Retrieved secured machine password");
      return true;
    }
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::GetMachinePwd(): Failed retrieving secured machine password");
  }
  std::string value;
  if (!GetText(kMachinePasswdVariable, &value)) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::GetMachinePwd(): Failed getting machine password");
    return false;
  }
  if (value == "0") {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::GetMachinePwd(): Found invalid machine password");
    return false;
  }
  text->Assign(reinterpret_cast<const uint8_t*>(value.data()), value.size());
  WipeString(value);
  Log(LogLevel::Trace, L"tamber::core::windows::DomainJoin::GetMachinePwd(): Got machine password from guest-info");
  return true;
}

bool DomainJoin::GetMachinePwdChksum(SecretBuffer* text) {
  if (persistentInfo_->Is(Persisted::MachinePwdInfoSecured)) {
    char* secured = nullptr;
    uint32_t size = SecureRegistry::RetrievePrivateString(kSecuredChecksumSecret, &secured);
    if (size != 0) {
      text->Assign(reinterpret_cast<const uint8_t*>(secured), size - 1);
      SecureRegistry::FreePrivateData(&secured, &size);
      Log(LogLevel::Trace,
          L"tamber::core::windows::DomainJoin::GetMachinePwdChksum(): Retrieved secured machine password checksum");
      return true;
    }
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::GetMachinePwdChksum(): Failed retrieving secured machine password checksum");
  }
  std::string value;
  if (!GetText(kMachinePasswdChecksumVariable, &value)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::GetMachinePwdChksum(): Failed getting machine password checksum");
    return false;
  }
  if (value == "0") {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::GetMachinePwdChksum(): Found invalid machine password checksum");
    return false;
  }
  text->Assign(reinterpret_cast<const uint8_t*>(value.data()), value.size());
  WipeString(value);
  Log(LogLevel::Trace,
      L"tamber::core::windows::DomainJoin::GetMachinePwdChksum(): Got machine password checksum from guest-info");
  return true;
}

bool DomainJoin::ValidateMachinePassword(const uint8_t* data, uint32_t length, bool* skipped) {
  *skipped = false;
  SecretBuffer server;
  if (!GetMachinePwdChksum(&server)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::ValidateMachinePassword(): Failed Getting Server Checksum, Skipping Password Validation");
    *skipped = true;
    return false;
  }
  SecretBuffer own;
  if (!CalculateChecksum(data, length, &own)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::ValidateMachinePassword(): Failed Computing Clone Password Checksum");
    return false;
  }
  // The whole checksum must match: a shortened server checksum (or an empty one) matches nothing.
  if (own.size() == kChecksumLength && SameBytes(own.data(), own.size(), server.data(), server.size())) {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::ValidateMachinePassword(): Password Checksums Match");
    return true;
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::ValidateMachinePassword(): Password Checksums Do Not Match!!");
  return false;
}

bool DomainJoin::GetUnobfuscatedMachinePwd(SecretBuffer* out, bool wide, bool raw) {
  if (wide && raw) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::GetUnobfuscatedMachinePwd(): Invalid input");
    return false;
  }
  SecretBuffer text;
  if (!GetMachinePwd(&text)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::GetUnobfuscatedMachinePwd(): Failed getting machine password");
    return false;
  }
  SecretBuffer plain;
  if (!UnobfuscatedZrkData(text, &plain)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::GetUnobfuscatedMachinePwd(): Failed unobfuscating machine password");
    return false;
  }
  SecretBuffer checked;  // the form the checksum is over
  if (raw) {
    checked.Assign(plain.data(), plain.size());
  } else {
    // The plain bytes are narrow text; its UTF-16 form, one character per byte up to the first null.
    const size_t characters = std::find(plain.data(), plain.data() + plain.size(), uint8_t{0}) - plain.data();
    if (characters != plain.size()) {
      Log(LogLevel::Warn,
          L"tamber::core::windows::DomainJoin::GetUnobfuscatedMachinePwd(): Error formatting machine password from size(%d) to size(%d). ErrorCode: %d",
          static_cast<int>(plain.size()), static_cast<int>(characters), 0);
    }
    std::vector<uint8_t> utf16(characters * 2, 0);
    for (size_t i = 0; i < characters; ++i) utf16[i * 2] = plain.data()[i];
    checked.Assign(utf16.data(), utf16.size());
    volatile uint8_t* p = utf16.data();
    for (size_t i = 0; i < utf16.size(); ++i) p[i] = 0;
    if (!wide) {
      SecretBuffer narrow;
      narrow.Assign(plain.data(), characters);
      plain = std::move(narrow);
    }
  }
  bool skipped = false;
  const bool valid = ValidateMachinePassword(checked.data(), static_cast<uint32_t>(checked.size()), &skipped);
  if (!valid && !skipped) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::GetUnobfuscatedMachinePwd(): Machine Password Is Invalid");
    return false;
  }
  if (skipped) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::DomainJoin::GetUnobfuscatedMachinePwd(): Machine Password Validation Was Skipped");
  } else {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::GetUnobfuscatedMachinePwd(): Machine Password Is Valid");
  }
  *out = wide ? std::move(checked) : std::move(plain);
  return true;
}

bool DomainJoin::ReadMachineSecret(SecretBuffer* secret, const wchar_t* method) {
  uint8_t* data = nullptr;
  uint32_t size = SecureRegistry::RetrievePrivateData(kMachineAccountSecret, &data);
  if (size == 0) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::%ws(): Failed to read machine password", method);
    return false;
  }
  secret->Assign(data, size);
  SecureRegistry::FreePrivateData(&data, &size);
  return true;
}

// ---- joining -------------------------------------------------------------------------------------

bool DomainJoin::JoinCloneToDomain() {
  SecretBuffer password;
  if (!GetUnobfuscatedMachinePwd(&password, /*wide=*/false, /*raw=*/false)) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::JoinCloneToDomain(): Failed getting machine password");
    return false;
  }
  std::string text(reinterpret_cast<const char*>(password.data()), password.size());
  const bool stored = SecureRegistry::StorePrivateString(kMachineAccountSecret, text.c_str());
  WipeString(text);
  if (!stored) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::JoinCloneToDomain(): Failed setting machine password");
    return false;
  }
  return true;
}

uint32_t DomainJoin::JoinMachineToDomainEx(const std::wstring& target, const std::wstring& password) {
  util::Tunables tunables(registry_);
  const uint32_t attempts = tunables.Get(Tunable::DomainJoinRetries);
  uint32_t error = kErrorNoSuchDomain;
  bool renewedHere = false;
  for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
    error = platform::NetJoinDomain(nullptr, target.c_str(), nullptr, nullptr, password.c_str(), kJoinOptions);
    if (error == 0) {
      // The guestinfo copy of the password goes for good: before it does, the password the join stored
      // in the LSA and the marker that the join finished are made durable (a flush of every hive), so a
      // power cut can never leave a joined machine that neither holds nor remembers its password.
      if (machineType_->IsIT()) persistentInfo_->Set(Persisted::TemplateDomainJoinFinished);
      SecureRegistry::FlushSecrets();
      if (!persistentInfo_->Is(Persisted::MachinePwdInfoSecured)) ClearMachinePassword();
      Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::JoinMachineToDomainEx(): Domain Join successful");
      return 0;
    }
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::JoinMachineToDomainEx(): Domain Join Failed. rc: 0x%X, hr: 0x%X", error,
        static_cast<uint32_t>(HResultFromWin32(error)));
    if ((error == kErrorBadNetpath || error == kErrorNoSuchDomain) && !renewedHere &&
        !persistentInfo_->Is(Persisted::IpRenewed)) {
      renewedHere = true;
      Log(LogLevel::Debug,
          L"tamber::core::windows::DomainJoin::JoinMachineToDomainEx(): Renewing IP Address to recover from error %d.",
          static_cast<int>(error));
      if (network_->RenewIP()) {
        persistentInfo_->Set(Persisted::IpRenewed);
        continue;
      }
    }
    if (error == kErrorNoSuchDomain) {
      const uint32_t reboots = persistentInfo_->Get(Persisted::DomainJoinRebootCount);
      if (reboots < kMaxDomainJoinReboots) {
        Log(LogLevel::Debug,
            L"tamber::core::windows::DomainJoin::JoinMachineToDomainEx(): Rebooting to recover from error 1355: ERROR_NO_SUCH_DOMAIN");
        persistentInfo_->Set(Persisted::DomainJoinRebootCount, reboots + 1);
        system_->Reboot(0);
        return error;
      }
      Log(LogLevel::Debug,
          L"tamber::core::windows::DomainJoin::JoinMachineToDomainEx(): Max domain join reboots attempted. rc: 0x%X, hr: 0x%X",
          error, static_cast<uint32_t>(HResultFromWin32(error)));
      system_->Sleep(2000);
    } else {
      system_->Sleep(1000);
    }
  }
  if (machineType_->IsIT()) persistentInfo_->Set(Persisted::TemplateDomainJoinFinished);
  Log(LogLevel::Error,
      L"tamber::core::windows::DomainJoin::JoinMachineToDomainEx(): Max Domain Join Retries Attempted.  Giving Up: rc: 0x%X, HRESULT: 0x%X",
      error, static_cast<uint32_t>(HResultFromWin32(error)));
  return error;
}

int32_t DomainJoin::JoinMachineToDomain() {
  std::wstring domain;
  std::wstring host;
  if (!GetDomainName(&domain) || !GetHostName(&host)) return kEInvalidArg;
  SecretBuffer bytes;
  if (!GetUnobfuscatedMachinePwd(&bytes, /*wide=*/true, /*raw=*/false)) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::JoinMachineToDomain(): Failed getting machine password");
    return common::windows::kEFail;
  }
  std::wstring password;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    password.push_back(static_cast<wchar_t>(bytes.data()[i] | (bytes.data()[i + 1] << 8)));
  }
  bytes.Wipe();
  std::wstring controller;
  const bool preferred = GetPreferredDC(&controller);
  uint32_t error;
  if (preferred) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::JoinMachineToDomain(): Attempting to join %ws to domain %ws using Preferred DC: %ws",
        host, domain, controller);
    error = JoinMachineToDomainEx(controller, password);
    if (error != 0 && !system_->IsShutdownEventSet()) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::DomainJoin::JoinMachineToDomain(): Domain Join Failed With Preferred DC, Retrying With Default DC");
      error = JoinMachineToDomainEx(domain, password);
    }
  } else {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::JoinMachineToDomain(): Attempting to join %ws to domain %ws using Default DC",
        host, domain);
    error = JoinMachineToDomainEx(domain, password);
  }
  WipeString(password);
  if (error != 0) {
    Log(LogLevel::Error,
        preferred
            ? L"tamber::core::windows::DomainJoin::JoinMachineToDomain(): Domain Join Failed With Default DC"
            : L"tamber::core::windows::DomainJoin::JoinMachineToDomain(): Domain Join Failed With Default DC, No Preferred DC");
    return HResultFromWin32(error);
  }
  std::wstring current = domainServices_.GetCurrentDC(domain);
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::JoinMachineToDomain(): Domain Join Succeeded With %s DC: %ws",
      std::string(preferred ? "Preferred" : "Default"), current);
  if (!current.empty()) SaveRegDomainJoinDCName(current);
  return 0;
}

bool DomainJoin::JoinCloneToDomainWithNetJoinDomain() {
  support_->Start(util::Support::Timing::DomainJoin);
  persistentInfo_->Increment(Persisted::NetJoinDomainAttempts);
  const int32_t result = JoinMachineToDomain();
  if (result == 0) {
    persistentInfo_->Set(Persisted::CloneJoinedDomain);
    persistentInfo_->Set(Persisted::CloneJoinedDomainWithNetJoinDomain);
    system_->Sleep(util::Tunables(registry_).Get(Tunable::DomainJoinRebootDelay));
    persistentInfo_->Set(Persisted::CloneRebooted);
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::JoinCloneToDomainWithNetJoinDomain(): Clone: Domain Join Completed: Domain Join Time: %dms",
        support_->Stop(util::Support::Timing::DomainJoin));
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::JoinCloneToDomainWithNetJoinDomain(): Clone: Marked Clone Rebooted.  About To Reboot");
    system_->Reboot(0);
    return true;
  }
  Log(LogLevel::Error,
      L"tamber::core::windows::DomainJoin::JoinCloneToDomainWithNetJoinDomain(): Clone: Domain Join With NetJoinDomain Failed: 0x%X, Domain Join Time: %dms",
      static_cast<uint32_t>(result), support_->Stop(util::Support::Timing::DomainJoin));
  std::string diagnostic;
  common::windows::device::RenewIp().getErrorDiagnostics(
      diagnostic, common::i18n::StringConverter::ToUtf8String(state_->GetDescription(kDomainJoinFailedCode)));
  Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::JoinCloneToDomainWithNetJoinDomain(): CLONE: %S",
      diagnostic);
  if (persistentInfo_->IsBelowLimit(Persisted::NetJoinDomainAttempts)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::JoinCloneToDomainWithNetJoinDomain(): Initiating NetJoinDomain Failed Reboot");
    system_->Reboot(0);
  } else {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::JoinCloneToDomainWithNetJoinDomain(): Max NetJoinDomain Attempts Reached Without Success, Skipping Reboot");
  }
  return false;
}

bool DomainJoin::JoinCloneToDomainSysprep() {
  std::string uuid;
  if (!GetText(kCloneUuidVariable, &uuid)) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::JoinCloneToDomainSysprep(): Failed Getting Clone UUID");
    return false;
  }
  // The UUID is half of the key that protects the password in the guest variables: its value stays out of
  // the log.
  WipeString(uuid);
  Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::JoinCloneToDomainSysprep(): Clone UUID: %S",
      std::string("********"));
  support_->Start(util::Support::Timing::DomainJoin);
  GetHostName(nullptr);
  GetDomainName(nullptr);
  const int32_t result = JoinMachineToDomain();
  if (result != 0) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::JoinCloneToDomainSysprep(): Domain Join Failed: 0x%X",
        static_cast<uint32_t>(result));
    return false;
  }
  persistentInfo_->Set(Persisted::CloneJoinedDomain);
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::JoinCloneToDomainSysprep(): Machine has been renamed and domain joined. Needs to shutdown.");
  persistentInfo_->Set(Persisted::CloneShutdown);
  Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::JoinCloneToDomainSysprep(): Marked Clone Shutdown Needed.");
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::JoinCloneToDomainSysprep(): Total Clone Domain Join Time: %dms",
      support_->Stop(util::Support::Timing::DomainJoin));
  return true;
}

// ---- protected copies, backup and restore --------------------------------------------------------

bool DomainJoin::SecureMachinePwdInfo() {
  if (persistentInfo_->Is(Persisted::MachinePwdInfoSecured)) {
    Log(LogLevel::Trace,
        L"tamber::core::windows::DomainJoin::SecureMachinePwdInfo(): Machine password info is already secured");
    return true;
  }
  if (persistentInfo_->Is(Persisted::SecureMachinePwdInfoDisabled)) {
    Log(LogLevel::Trace,
        L"tamber::core::windows::DomainJoin::SecureMachinePwdInfo(): Secure machine password info disabled");
    return true;
  }
  std::string password;
  std::string checksum;
  if (!GetText(kMachinePasswdVariable, &password)) {
    Log(LogLevel::Warn, L"tamber::core::windows::DomainJoin::SecureMachinePwdInfo(): Failed getting machine password");
    return false;
  }
  if (!GetText(kMachinePasswdChecksumVariable, &checksum)) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::DomainJoin::SecureMachinePwdInfo(): Failed getting machine password checksum");
    WipeString(password);
    return false;
  }
  bool stored = SecureRegistry::StorePrivateString(kSecuredPasswordSecret, password.c_str());
  WipeString(password);
  if (!stored) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::SecureMachinePwdInfo(): Failed securing machine password");
    WipeString(checksum);
    return false;
  }
  stored = SecureRegistry::StorePrivateString(kSecuredChecksumSecret, checksum.c_str());
  WipeString(checksum);
  if (!stored) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::SecureMachinePwdInfo(): Failed securing machine password checksum");
    SecureRegistry::DeleteKey(kSecuredPasswordSecret);
    SecureRegistry::DeleteKey(kSecuredChecksumSecret);
    return false;
  }
  if (persistentInfo_->Set(Persisted::MachinePwdInfoSecured) < 0) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::SecureMachinePwdInfo(): Failed marking machine password info secured");
    return false;
  }
  ClearMachinePassword();
  return true;
}

bool DomainJoin::ClearSecuredMachinePwdInfo() {
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::ClearSecuredMachinePwdInfo(): Clearing secured machine password info");
  const bool password = SecureRegistry::DeleteKey(kSecuredPasswordSecret);
  const bool checksum = SecureRegistry::DeleteKey(kSecuredChecksumSecret);
  if (!password || !checksum) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::ClearSecuredMachinePwdInfo(): Errors encountered while clearing secured machine password info");
    return false;
  }
  return true;
}

bool DomainJoin::ClearMachinePassword(bool clearChecksum) {
  bool cleared = guestInfo_.SetValue(kMachinePasswdVariable, "0");
  if (cleared) {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::ClearMachinePassword(): Cleared guestinfo.machinePasswd");
  } else {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::ClearMachinePassword(): Failed setting guestinfo.machinePasswd.");
  }
  if (clearChecksum) ClearMachinePasswordChecksum();
  return cleared;
}

void DomainJoin::ClearMachinePasswordChecksum() {
  if (guestInfo_.SetValue(kMachinePasswdChecksumVariable, "0")) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::ClearMachinePasswordChecksum(): Cleared guestinfo.machinePasswdChecksum");
  } else {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::ClearMachinePasswordChecksum(): Failed setting guestinfo.machinePasswdChecksum.");
  }
}

bool DomainJoin::BackupMachinePassword() {
  SecretBuffer secret;
  if (!ReadMachineSecret(&secret, L"BackupMachinePassword")) return false;
  SecretBuffer text;
  if (!ObfuscateZrkData(secret.data(), static_cast<uint32_t>(secret.size()), &text)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::BackupMachinePassword(): Failed to obfuscate machine password");
    return false;
  }
  std::string value(reinterpret_cast<const char*>(text.data()), text.size());
  const bool set = guestInfo_.SetValue(kMachinePasswdVariable, value.c_str());
  WipeString(value);
  if (!set) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::BackupMachinePassword(): Failed setting guestinfo.machinePasswd");
    return false;
  }
  SecretBuffer checksum;
  if (!CalculateChecksum(secret.data(), static_cast<uint32_t>(secret.size()), &checksum)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::BackupMachinePassword(): Failed calculating machine password checksum");
    return false;
  }
  std::string checksumText(reinterpret_cast<const char*>(checksum.data()), checksum.size());
  if (!guestInfo_.SetValue(kMachinePasswdChecksumVariable, checksumText.c_str())) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::DomainJoin::BackupMachinePassword(): Failed setting guestinfo.machinePasswdChecksum");
  }
  WipeString(checksumText);
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::BackupMachinePassword(): Created backup of machine password in guest info");
  return true;
}

bool DomainJoin::RestoreMachinePassword() {
  SecretBuffer backup;
  if (!GetUnobfuscatedMachinePwd(&backup, /*wide=*/false, /*raw=*/true)) return false;
  SecretBuffer current;
  if (!ReadMachineSecret(&current, L"RestoreMachinePassword")) return false;
  // Lengths first: a shorter or longer backup is a different password, and neither buffer is read past.
  if (SameBytes(backup.data(), backup.size(), current.data(), current.size())) {
    Log(LogLevel::Info,
        L"tamber::core::windows::DomainJoin::RestoreMachinePassword(): Machine passwords match. Skipping restore...");
    return true;
  }
  Log(LogLevel::Info,
      L"tamber::core::windows::DomainJoin::RestoreMachinePassword(): Machine passwords DONT Match. Restoring...");
  if (!SecureRegistry::StorePrivateData(kMachineAccountSecret, backup.data(), static_cast<uint32_t>(backup.size()))) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::RestoreMachinePassword(): Failed to store private machine data");
    return false;
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::RestoreMachinePassword(): Successfully restored machine password");
  return true;
}

// ---- password change -----------------------------------------------------------------------------

bool DomainJoin::RequestMachinePasswordChange() {
  std::wstring domain;
  if (!GetDomainName(&domain)) return false;  // a bad name is refused there, before any command is built
  const std::wstring command = L"nltest.exe /sc_change_pwd:" + domain;
  if (!common::util::Util::RunScript(command)) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::DomainJoin::RequestMachinePasswordChange(): Failed to execute machine password reset command: %ws",
        command);
    return false;
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::RequestMachinePasswordChange(): Succeeded executing machine password reset command");
  return true;
}

void DomainJoin::WaitAfterNetlogonStart() {
  const uint32_t delay = persistentInfo_->Get(Persisted::PostNetlogonStartDelay);
  platform::Handle shutdown = system_->GetShutdownEvent();
  if (shutdown == nullptr) {
    system_->Sleep(delay);
    return;
  }
  platform::WaitForSingleObject(shutdown, delay);
}

void DomainJoin::RestartNetlogon(NetlogonRestart when) {
  const wchar_t* method = when == NetlogonRestart::TrustCheck ? L"VerifyTrust" : L"ChangeMachinePassword";
  const int32_t result = system_->ControlSvc(kNetlogon, util::System::kControlRestart);
  if (result < 0) {
    const auto code = static_cast<uint32_t>(result);
    switch (when) {
      case NetlogonRestart::TrustCheck:
        Log(LogLevel::Error,
            L"tamber::core::windows::DomainJoin::VerifyTrust(): Failed Restarting NetLogon Service: 0x%X", code);
        break;
      case NetlogonRestart::AfterFailedChange:
        Log(LogLevel::Error,
            L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Failed Restarting NetLogon Service (Failure): 0x%X",
            code);
        break;
      case NetlogonRestart::AfterChange:
        Log(LogLevel::Error,
            L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Failed Restarting NetLogon Service (Success): 0x%X",
            code);
        break;
    }
    return;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::%ws(): Restarted Netlogon Service", std::wstring(method));
  WaitAfterNetlogonStart();
}

bool DomainJoin::ChangeMachinePassword(bool force) {
  const bool it = machineType_->IsIT();
  const bool clone = machineType_->IsClone();
  if (it || clone) {
    const Persisted wanted = it ? Persisted::ChangeTemplateMachinePassword : Persisted::ChangeCloneMachinePassword;
    const Persisted done = it ? Persisted::TemplateMachinePasswordChanged : Persisted::CloneMachinePasswordChanged;
    if (!force && !persistentInfo_->Is(wanted)) {
      Log(LogLevel::Debug,
          it ? L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): IT Machine Password Change Disabled"
             : L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Clone Machine Password Change Disabled");
      return true;
    }
    if (persistentInfo_->Is(done)) {
      Log(LogLevel::Debug,
          it ? L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): IT Machine Password Already Reset"
             : L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Clone Machine Password Already Reset");
      return true;
    }
    Log(LogLevel::Debug,
        it ? L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Changing IT Machine Password"
           : L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Changing Clone Machine Password");
    support_->Start(util::Support::Timing::MachinePwdChange);
  }
  std::wstring domain;
  if (!GetDomainName(&domain)) return false;
  util::Tunables tunables(registry_);
  const uint32_t retries = tunables.Get(Tunable::PwdChangeRetries);
  const uint32_t ipv6Delay = tunables.Get(Tunable::PwdChangeIpv6Delay);
  bool changed = RequestMachinePasswordChange();
  if (changed) {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Reset machine password");
  } else {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Failed changing machine password");
    const bool ipv6 = network_->IsIPv6();
    for (uint32_t retry = 0; retry < retries && !changed; ++retry) {
      if (system_->IsShutdownEventSet()) break;
      Log(LogLevel::Debug,
          L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Failed changing machine password (retry)");
      if (!ipv6 || retry == 0) {
        system_->Sleep(1000);
        network_->RenewIP();
        system_->Sleep(1000);
        RestartNetlogon(NetlogonRestart::AfterFailedChange);
      } else {
        system_->Sleep(ipv6Delay);
      }
      changed = RequestMachinePasswordChange();
    }
    if (!changed) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Failed changing machine password (after all retries)");
      return false;
    }
  }
  SecureRegistry::FlushSecrets();  // the new password, before the marker that says it changed
  if (it) persistentInfo_->Set(Persisted::TemplateMachinePasswordChanged);
  if (clone) persistentInfo_->Set(Persisted::CloneMachinePasswordChanged);
  RestartNetlogon(NetlogonRestart::AfterChange);
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::ChangeMachinePassword(): Total Machine Password Change Time: %dms",
      support_->Stop(util::Support::Timing::MachinePwdChange));
  return true;
}

// ---- trust ---------------------------------------------------------------------------------------

bool DomainJoin::VerifyTrust(uint32_t retries) {
  std::wstring domain;
  if (!GetDomainName(&domain)) return false;
  util::Tunables tunables(registry_);
  const uint32_t attempts = tunables.GetWithDefault(Tunable::TrustVerifyRetries, retries);
  const uint32_t delay = tunables.TrustVerifyDelay(network_->IsIPv6());
  for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (system_->IsShutdownEventSet()) break;
    const wchar_t* domainText = domain.c_str();
    NetApiBuffer buffer;
    const uint32_t error =
        platform::I_NetLogonControl2(nullptr, platform::kNetlogonControlTcVerify, 2, &domainText, &buffer.data);
    if (error != 0) {
      Log(LogLevel::Error,
          L"tamber::core::windows::DomainJoin::VerifyTrust(): I_NetLogonControl2 Failed (%d): Domain: %ws, 0x%X",
          static_cast<int>(attempt), domain, error);
      system_->Sleep(delay);
      network_->RenewIP();
      system_->Sleep(delay);
      RestartNetlogon(NetlogonRestart::TrustCheck);
      continue;
    }
    if (buffer.data == nullptr) {
      Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::VerifyTrust(): pNetInfo == NULL");
      system_->Sleep(delay);
      continue;
    }
    const auto* info = reinterpret_cast<const platform::NetlogonInfo2*>(buffer.data);
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::VerifyTrust(): Flags: (0x%X): %ws", info->flags,
        GetNetlogonFlagNames(info->flags));
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::VerifyTrust(): Trusted DC Name: %ws",
        std::wstring(info->trustedDcName != nullptr ? info->trustedDcName : L""));
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::VerifyTrust(): TC Connection Status: 0x%X",
        info->tcConnectionStatus);
    if ((info->flags & platform::kNetlogonVerifyStatusReturned) != 0) {
      Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::VerifyTrust(): Trust Verification Status: 0x%X",
          info->pdcConnectionStatus);
    } else {
      Log(LogLevel::Debug,
          L"tamber::core::windows::DomainJoin::VerifyTrust(): Secure Channel To PDC From BDC Status: 0x%X",
          info->pdcConnectionStatus);
    }
    if (info->tcConnectionStatus == 0 && info->pdcConnectionStatus == 0) return true;
    system_->Sleep(delay);
  }
  return false;
}

bool DomainJoin::VerifyTrustWithPreferredDc(const std::wstring& controller) {
  std::wstring domain;
  if (!GetDomainName(&domain)) return false;
  domainServices_.GetDCsInCurrentSite(domain);
  if (!domainServices_.IsDcInCurrentSite(controller)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::VerifyTrustWithPreferredDc(): DC %ws not found in current site.Skipping trust verify with preferred dc.",
        controller);
    return false;
  }
  std::wstring host;
  if (!GetHostName(&host)) return false;
  if (!domainServices_.SetPreferredDc(host, domain, controller)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::VerifyTrustWithPreferredDc(): Failed to set preferred DC: %ws.",
        controller);
    return false;
  }
  if (!VerifyTrust()) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::VerifyTrustWithPreferredDc(): Trust Verification with preferred DC %ws failed",
        controller);
    return false;
  }
  return true;
}

bool DomainJoin::VerifyTrustEx() {
  const std::string role = machineType_->GetMachineTypeText();
  Log(LogLevel::Debug,
      L"tamber::core::windows::DomainJoin::VerifyTrustEx(): Attempting trust verification with default DC");
  if (VerifyTrust(5)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::VerifyTrustEx(): %S Trust Verification Succeeded with default DC", role);
    return true;
  }
  std::wstring server;
  if (!GetPreferredDC(&server)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::VerifyTrustEx(): Failed to get preferred DC set by server");
  } else {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::VerifyTrustEx(): Attempting trust verification with server preferred DC %ws",
        server);
    if (VerifyTrustWithPreferredDc(server)) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::DomainJoin::VerifyTrustEx(): %S Trust Verification succeeded with preferred DC %ws",
          role, server);
      return true;
    }
  }
  std::wstring agent;
  std::wstring domain;
  if (!RetrieveRegDomainJoinDCName(&agent) || !GetDomainName(&domain)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::VerifyTrustEx(): Failed to get preferred DC set by agent");
  } else {
    const std::wstring controller = domain + L"\\" + agent;
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::VerifyTrustEx(): Attempting trust verification with agent preferred DC %ws",
        controller);
    if (VerifyTrustWithPreferredDc(controller)) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::DomainJoin::VerifyTrustEx(): %S Trust Verification succeeded with preferred DC %ws",
          role, controller);
      return true;
    }
  }
  if (!ChangeMachinePassword(/*force=*/true)) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::VerifyTrustEx(): %S Failed Changing Machine Password",
        role);
    return false;
  }
  if (VerifyTrust(5)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::DomainJoin::VerifyTrustEx(): %S Trust Verification Succeeded With New Password", role);
    return true;
  }
  Log(LogLevel::Error,
      L"tamber::core::windows::DomainJoin::VerifyTrustEx(): %S Trust Verification Failed With New Password", role);
  return false;
}

bool DomainJoin::SaveRegDomainJoinDCName(const std::wstring& name) {
  const int32_t result = registry_->SetValue(kCurrentDcValue, name, util::regtype::kGa);
  if (result < 0) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::SaveRegDomainJoinDCName(): Failed Saving DC Name: %ws, 0x%X", name,
        static_cast<uint32_t>(result));
    return false;
  }
  return true;
}

bool DomainJoin::RetrieveRegDomainJoinDCName(std::wstring* name) {
  std::wstring value;
  const int32_t result = registry_->GetValue(kCurrentDcValue, &value, util::regtype::kGa);
  if (result < 0 || value.empty()) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::RetrieveRegDomainJoinDCName(): Failed Getting DC Name: 0x%X",
        static_cast<uint32_t>(result < 0 ? result : HResultFromWin32(2)));
    return false;
  }
  if (!DnsName::IsValidName(value)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::DomainJoin::RetrieveRegDomainJoinDCName(): Invalid DC name refused: %ws",
        DnsName::Printable(value));
    return false;
  }
  *name = value;
  return true;
}

// ---- diagnostics and principal name --------------------------------------------------------------

bool DomainJoin::GetErrorDiagnostics(std::string* out, const std::string& category) {
  if (category != kTrustCategory) {
    Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::GetErrorDiagnostics(): Could not diagnose error for %S",
        category);
    return false;
  }
  *out =
      common::i18n::StringConverter::ToUtf8String(state_->GetDescription(kTrustFailedCode)) + ". " + DiagnoseDcErrors();
  return true;
}

std::string DomainJoin::DiagnoseDcErrors() {
  using common::i18n::StringConverter;
  std::wstring preferred;
  guestInfo_.GetValue(kPreferredDcVariable, &preferred);
  std::wstring domain;
  GetDomainName(&domain);
  const auto controllers = domain.empty() ? decltype(domainServices_.GetDCsInCurrentSite(domain)){}
                                          : domainServices_.GetDCsInCurrentSite(domain);
  const std::string name = StringConverter::ToUtf8String(DnsName::Printable(preferred));
  if (domain.empty() || !domainServices_.IsDcListComplete()) {
    return "Failed to get DCs in current site . Server preferred DC was " + name;
  }
  std::vector<std::wstring> sorted(controllers.begin(), controllers.end());
  std::sort(sorted.begin(), sorted.end());
  std::string text = "Server preferred DC " + name;
  text += domainServices_.IsDcInCurrentSite(domain + L"\\" + preferred) ? " found in current site. "
                                                                        : " not found in current site. ";
  std::string list;
  for (const auto& controller : sorted) {
    if (!list.empty()) list += ", ";
    list += StringConverter::ToUtf8String(controller);
  }
  text += "DCs (" + list + ") found in current site (" +
          StringConverter::ToUtf8String(domainServices_.GetCurrentSite()) + ").";
  return text;
}

bool DomainJoin::UpdateUPN() {
  wchar_t name[512] = {};
  uint32_t size = sizeof name / sizeof name[0];
  const uint32_t error = platform::GetUserNameExW(platform::kNameUserPrincipal, name, &size);
  if (error != 0) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::UpdateUPN(): GetUserNameEx Failed: 0x%X",
        static_cast<uint32_t>(HResultFromWin32(error)));
    return false;
  }
  registry_->SetValue(kUpnValue, std::wstring(name, size), util::regtype::kCachedMachineNames);
  Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::UpdateUPN(): Updated UPN");
  return true;
}

bool DomainJoin::LogUPN() {
  std::wstring upn;
  const int32_t result = registry_->GetValue(kUpnValue, &upn, util::regtype::kCachedMachineNames);
  if (result < 0) {
    Log(LogLevel::Error, L"tamber::core::windows::DomainJoin::LogUPN(): Failed Reading Value: %ws, 0x%X",
        std::wstring(kUpnValue), static_cast<uint32_t>(result));
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::DomainJoin::LogUPN(): UPN: %ws", upn);
  return true;
}

}  // namespace tamber::core::windows
