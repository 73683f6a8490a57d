#include "core/windows/AgentIntegration.h"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "common/security/FileProtection.h"
#include "common/util/StringConverter.h"
#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "framework/log/Log.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/IpRenewal.h"
#include "platform/Power.h"
#include "platform/Process.h"
#include "platform/Registry.h"

namespace tamber::core::windows {

using common::i18n::StringConverter;
using common::security::FileProtection;
using common::windows::HResultFromWin32;
using common::windows::UniqueFile;
using common::windows::UniqueHandle;
using common::windows::UniqueHKey;
using util::Persisted;

namespace {

const std::array<IntegrationEntry, 1> kPreEntries = {{
    {platform::HKeyLocalMachine(), "info-get guestinfo.inter-agent.vmpath", L"", kAgentIntegrationKeyPath, L"VmPath",
     platform::kRegSz},
}};

const std::array<IntegrationEntry, 2> kPostEntries = {{
    {platform::HKeyLocalMachine(), "info-get guestinfo.inter-agent.daas.tenant-endpoints", L"Daas",
     L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\AgentIntegration\\DAAS", L"TenantEndpoints", platform::kRegMultiSz},
    {platform::HKeyLocalMachine(), "info-get guestinfo.inter-agent.av.avmgr-endpoints", L"AV",
     L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\AgentIntegration\\AV", L"ManagerEndpoints", platform::kRegMultiSz},
}};

uint32_t Hex(int32_t code) { return static_cast<uint32_t>(code); }

// The system's text for an error code, without its line break.
std::wstring SystemErrorText(uint32_t code) {
  std::wstring text = platform::FormatSystemMessage(code);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  if (text.empty()) text = L"error " + std::to_wstring(code);
  return text;
}

std::string Narrow(const std::wstring& text) { return StringConverter::ToUtf8String(text); }

// The comma-separated tokens of a reply, empty ones left out.
std::vector<std::wstring> SplitTokens(const std::wstring& reply) {
  std::vector<std::wstring> tokens;
  size_t start = 0;
  while (start <= reply.size()) {
    size_t comma = reply.find(L',', start);
    if (comma == std::wstring::npos) comma = reply.size();
    if (comma > start) tokens.push_back(reply.substr(start, comma - start));
    start = comma + 1;
  }
  return tokens;
}

}  // namespace

AgentIntegration::AgentIntegration() : persistentInfo_(util::CustomizationPersistentInfo::Instance()) {}

AgentIntegration::~AgentIntegration() = default;

bool AgentIntegration::CreateAgentIntegrationKey() {
  UniqueHKey key;
  uint32_t error = platform::RegCreateKeyEx(platform::HKeyLocalMachine(), kAgentIntegrationKeyPath, 0,
                                            platform::kKeyReadWrite, key.put(), nullptr);
  if (error != platform::kErrorSuccess) {
    Log(LogLevel::Error,
        L"tamber::core::windows::AgentIntegration::CreateAgentIntegrationKey(): Failed Creating AgentIntegration Key: 0x%X",
        Hex(HResultFromWin32(error)));
    return false;
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::AgentIntegration::CreateAgentIntegrationKey(): Created AgentIntegration Key");
  return true;
}

void AgentIntegration::ParseAgentIntegrationValues(int phase) {
  Persisted marker;
  const IntegrationEntry* entries = nullptr;
  size_t count = 0;
  if (phase == kPreCustomization) {
    marker = Persisted::ClonePreIntegrationValuesParsed;
    entries = kPreEntries.data();
    count = kPreEntries.size();
  } else if (phase == kPostCustomization) {
    marker = Persisted::ClonePostIntegrationValuesParsed;
    entries = kPostEntries.data();
    count = kPostEntries.size();
  } else {
    Log(LogLevel::Error,
        L"tamber::core::windows::AgentIntegration::ParseAgentIntegrationValues(): Unknown Integration Phase: %d",
        phase);
    return;
  }
  if (persistentInfo_->Is(marker)) return;  // once per clone

  for (size_t i = 0; i < count; ++i) {
    const IntegrationEntry& entry = entries[i];
    char* reply = nullptr;
    size_t length = 0;
    if (!guestInfo_.Run(entry.command, &reply, &length)) {
      Log(LogLevel::Error,
          L"tamber::core::windows::AgentIntegration::ParseAgentIntegrationValues(): Failed Getting Data: %S",
          std::string(entry.command));
      continue;
    }
    std::string text(reply, length);
    guestInfo_.FreeValue(&reply);
    Log(LogLevel::Debug,
        L"tamber::core::windows::AgentIntegration::ParseAgentIntegrationValues(): Succeeded Getting Data: %S: %S",
        std::string(entry.command), text);
    WriteEntry(entry, StringConverter::Utf8ToWString(text));
  }
  // Also after failed entries: they are not retried on later starts.
  persistentInfo_->Set(marker);
}

void AgentIntegration::WriteEntry(const IntegrationEntry& entry, const std::wstring& reply) {
  UniqueHKey key;
  uint32_t error = platform::RegCreateKeyEx(entry.root, entry.keyPath, 0, platform::kKeyReadWrite, key.put(), nullptr);
  if (error != platform::kErrorSuccess) {
    Log(LogLevel::Error,
        L"tamber::core::windows::AgentIntegration::ParseAgentIntegrationValues(): Failed Opening Key: %ws, lr: 0x%X",
        std::wstring(entry.keyPath), error);
    return;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::AgentIntegration::ParseAgentIntegrationValues(): Opened Key: %ws",
      std::wstring(entry.keyPath));

  std::vector<uint8_t> data;
  if (entry.type == platform::kRegMultiSz) {
    if (reply.empty()) {
      Log(LogLevel::Error, L"tamber::core::windows::AgentIntegration::ParseAgentIntegrationValues(): Temp == 0");
      return;
    }
    const std::vector<std::wstring> tokens = SplitTokens(reply);
    if (tokens.empty()) {
      Log(LogLevel::Error, L"tamber::core::windows::AgentIntegration::ParseAgentIntegrationValues(): j == 0");
      return;
    }
    // Each token with its terminating zero, then the empty string that ends the list.
    size_t size = sizeof(uint16_t);
    std::vector<std::vector<uint8_t>> encoded;
    encoded.reserve(tokens.size());
    for (const auto& token : tokens) {
      encoded.push_back(common::util::ToUtf16LeBytes(token));
      size += encoded.back().size();
    }
    std::unique_ptr<uint8_t[]> buffer(size <= std::numeric_limits<uint32_t>::max() ? new (std::nothrow) uint8_t[size]()
                                                                                   : nullptr);
    if (!buffer) {
      Log(LogLevel::Error,
          L"tamber::core::windows::AgentIntegration::ParseAgentIntegrationValues(): szMultiSz == NULL");
      return;
    }
    size_t offset = 0;
    for (const auto& bytes : encoded) {
      std::copy(bytes.begin(), bytes.end(), buffer.get() + offset);
      offset += bytes.size();
    }
    data.assign(buffer.get(), buffer.get() + size);
  } else {
    data = common::util::ToUtf16LeBytes(reply);  // with its terminating zero
  }
  error =
      platform::RegSetValueEx(key.get(), entry.valueName, entry.type, data.data(), static_cast<uint32_t>(data.size()));
  if (error != platform::kErrorSuccess) {
    Log(LogLevel::Error,
        L"tamber::core::windows::AgentIntegration::ParseAgentIntegrationValues(): Failed Setting Value: %ws, lr: 0x%X",
        std::wstring(entry.valueName), error);
    return;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::AgentIntegration::ParseAgentIntegrationValues(): Set Value: %ws",
      std::wstring(entry.valueName));
}

void AgentIntegration::VesIntegration() {
  // The configuration may carry secrets: it stays in the guestinfo buffer, which is wiped when freed, and
  // is never logged.
  char* value = nullptr;
  size_t length = 0;
  if (!guestInfo_.GetValue(kVesConfigVariable, &value, &length)) {
    Log(LogLevel::Warn, L"tamber::core::windows::AgentIntegration::VesIntegration(): Failed getting guestinfo.%S",
        std::string(kVesConfigVariable));
    return;
  }
  struct WipeOnExit {
    util::GuestInfo& guestInfo;
    char*& buffer;
    ~WipeOnExit() { guestInfo.FreeValue(&buffer); }
  } wipe{guestInfo_, value};
  // Once handed over the variable is cleared; a later start must not replace the file with nothing.
  if (length == 0) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::AgentIntegration::VesIntegration(): guestinfo.%S Is Empty, Nothing To Hand Over",
        std::string(kVesConfigVariable));
    return;
  }

  const std::wstring directory = kCustomDataDirectory;
  uint32_t error = FileProtection::CreateFolder(directory);
  if (error == platform::kErrorAlreadyExists) {
    std::wstring reason;
    if (!FileProtection::IsPlainDirectory(directory)) {
      error = platform::kErrorDirectory;
    } else if (!FileProtection::IsTrusted(directory, &reason)) {
      // Someone else's folder could let them replace the file after it is written.
      Log(LogLevel::Warn,
          L"tamber::core::windows::AgentIntegration::VesIntegration(): %S directory is not trusted (%ws); resetting its owner and protection",
          Narrow(directory), reason);
      error = FileProtection::ResetFolder(directory);
    } else {
      error = platform::kErrorSuccess;
    }
  }
  if (error != platform::kErrorSuccess) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::AgentIntegration::VesIntegration(): Failed creating %S directory: 0x%X",
        Narrow(directory), Hex(HResultFromWin32(error)));
    return;
  }

  if (!WriteCustomData(value, length)) return;  // the variable stays for a later start
  SetCustomDataOwner(directory + L"\\" + kCustomDataFile);

  if (guestInfo_.SetValue(kVesConfigVariable, "")) {
    Log(LogLevel::Debug, L"tamber::core::windows::AgentIntegration::VesIntegration(): Cleared guestinfo.%S",
        std::string(kVesConfigVariable));
  } else {
    Log(LogLevel::Error, L"tamber::core::windows::AgentIntegration::VesIntegration(): Failed clearing guestinfo.%S",
        std::string(kVesConfigVariable));
  }
}

bool AgentIntegration::WriteCustomData(const char* data, size_t length) {
  const std::wstring path = std::wstring(kCustomDataDirectory) + L"\\" + kCustomDataFile;
  const std::string narrowPath = Narrow(path);
  // A file already there keeps its own protection when it is overwritten, so it goes first and the new
  // one is made with the agent's; a file that cannot go makes the creation fail.
  platform::DeleteFile(path.c_str());
  UniqueFile file(platform::CreateFileWithSecurity(path.c_str(), platform::kGenericWrite, platform::kFileShareRead,
                                                   platform::kCreateNew, platform::kFileAttributeNormal,
                                                   FileProtection::AgentOnlyFile()));
  if (!file) {
    Log(LogLevel::Warn, L"tamber::core::windows::AgentIntegration::VesIntegration(): Failed creating %S file: 0x%X",
        narrowPath, Hex(HResultFromWin32(platform::GetLastError())));
    return false;
  }
  uint32_t written = 0;
  bool ok = length <= std::numeric_limits<uint32_t>::max() &&
            platform::WriteFile(file.get(), data, static_cast<uint32_t>(length), &written);
  uint32_t error = platform::GetLastError();
  if (ok && written != length) {
    ok = false;
    error = platform::kErrorWriteFault;
  }
  // On disk before the only other copy, the guestinfo variable, is cleared.
  if (ok && !platform::FlushFileBuffers(file.get())) {
    ok = false;
    error = platform::GetLastError();
  }
  if (!ok) {
    Log(LogLevel::Error, L"tamber::core::windows::AgentIntegration::VesIntegration(): Failed writing to %S file: 0x%X",
        narrowPath, Hex(HResultFromWin32(error == 0 ? platform::kErrorWriteFault : error)));
    file.reset();
    platform::DeleteFile(path.c_str());  // no half configuration for the provisioning component
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::AgentIntegration::VesIntegration(): VES lcm spec written to %S",
      narrowPath);
  return true;
}

void AgentIntegration::SetCustomDataOwner(const std::wstring& path) {
  UniqueHandle token;
  if (!platform::OpenProcessToken(platform::kTokenAllAccess, token.put())) {
    Log(LogLevel::Error, L"tamber::core::windows::AgentIntegration::VesIntegration(): Failed to open process token: %s",
        SystemErrorText(platform::GetLastError()));
    return;
  }
  platform::Luid restore;
  if (!platform::LookupPrivilegeValue(nullptr, L"SeRestorePrivilege", &restore)) {
    Log(LogLevel::Error, L"tamber::core::windows::AgentIntegration::VesIntegration(): LookupPrivilegeValue failed: %s",
        SystemErrorText(platform::GetLastError()));
    return;
  }
  if (!platform::AdjustTokenPrivilege(token.get(), restore, platform::kSePrivilegeEnabled)) {
    Log(LogLevel::Error, L"tamber::core::windows::AgentIntegration::VesIntegration(): AdjustTokenPrivileges failed: %s",
        SystemErrorText(platform::GetLastError()));
    return;
  }
  platform::FileSecurityDescriptor owner;
  if (!platform::CreateWellKnownSid(platform::kWinLocalSystemSid, &owner.owner)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::AgentIntegration::VesIntegration(): Failed to initialize system sid: %s",
        SystemErrorText(platform::GetLastError()));
    return;
  }
  uint32_t error = platform::SetNamedSecurityInfo(path.c_str(), platform::kOwnerSecurityInformation, owner);
  if (error != platform::kErrorSuccess) {
    Log(LogLevel::Error,
        L"tamber::core::windows::AgentIntegration::VesIntegration(): Failed to set file owner to SYSTEM: 0x%X",
        Hex(HResultFromWin32(error)));
    return;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::AgentIntegration::VesIntegration(): lcm spec owner set to system");
}

}  // namespace tamber::core::windows
