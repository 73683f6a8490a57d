#include "core/windows/Sysprep.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>

#include "common/device/Util.h"
#include "common/security/FileProtection.h"
#include "common/util/DomainServices.h"
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
#include "core/windows/AgentIntegration.h"
#include "core/windows/Network.h"
#include "core/windows/Script.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Sync.h"

namespace tamber::core::windows {

using common::i18n::StringConverter;
using common::security::FileProtection;
using common::windows::HResultFromWin32;
using common::windows::kEFail;
using common::windows::UniqueFile;
using util::Persisted;
using util::Support;
using Timing = util::Support::Timing;

namespace {

constexpr uint32_t kErrorRename = 1;
constexpr uint32_t kErrorPersistentDisks = 14;
constexpr uint32_t kErrorSysprep = 17;
constexpr uint32_t kErrorDomainJoin = 18;
constexpr uint32_t kErrorDomainTrust = 26;
constexpr uint32_t kErrorSysprepFailed = 30;  // its description goes with code 17
constexpr uint32_t kErrorCustomization = 33;
constexpr uint32_t kTemplateCustomizationDone = 2;
constexpr int32_t kWaitTimedOut = static_cast<int32_t>(0x800705B4u);

constexpr const wchar_t* kImageStateValue = L"ImageState";
constexpr const char* kTrustCategory = "Domain Trust Verification";

// The execution policies PowerShell knows; only these go back into a command line.
constexpr const char* kExecutionPolicies[] = {"Unrestricted", "RemoteSigned", "AllSigned", "Restricted",
                                              "Default",      "Bypass",       "Undefined"};

// The script, one statement a line. PowerShell hash tables compare their string keys without regard to
// case, so a MAC text in either case is found.
constexpr const char* kScriptText =
    "# Talvora QX Agent PS Script to update sysprep XML interfaceId\r\n"
    "param([hashtable] $interfaceAlias)\r\n"
    "$success = 0\r\n"
    "$info = 1\r\n"
    "$warn = 2\r\n"
    "$error = 3\r\n"
    "$sysprepXmlPath = 'C:\\Windows\\Panther\\unattend.xml'\r\n"
    "function Set-Interface-Id($settings, [string] $componentName) {\r\n"
    "    try {\r\n"
    "        $component = $settings.component | Where-Object { $_.name -eq $componentName }\r\n"
    "        if ($component -eq $null) {\r\n"
    "            Write-Host \"[Info] $componentName not found. \"\r\n"
    "            return $info\r\n"
    "        }\r\n"
    "        if ($component.Interfaces -eq $null) {\r\n"
    "            Write-Host \"[Warn] $componentName has no Interfaces. \"\r\n"
    "            return $warn\r\n"
    "        }\r\n"
    "        $result = $warn\r\n"
    "        foreach ($interface in $component.Interfaces.Interface) {\r\n"
    "            if ($interface.Identifier -eq $null) {\r\n"
    "                continue\r\n"
    "            }\r\n"
    "            $interfaceId = $interface.Identifier\r\n"
    "            if ($interfaceId.Length -gt 17) {\r\n"
    "                $interfaceId = $interfaceId.Substring(0, 17)\r\n"
    "            }\r\n"
    "            if ($interfaceAlias.ContainsKey($interfaceId)) {\r\n"
    "                $interface.Identifier = $interfaceAlias[$interfaceId]\r\n"
    "                Write-Host \"[Info] $componentName interfaceId $interfaceId set to adapter name. \"\r\n"
    "                $result = $success\r\n"
    "            }\r\n"
    "            elseif ($interfaceAlias.ContainsValue($interfaceId)) {\r\n"
    "                Write-Host \"[Info] $componentName interfaceId already set to adapter name. \"\r\n"
    "                if ($result -ne $success) {\r\n"
    "                    $result = $info\r\n"
    "                }\r\n"
    "            }\r\n"
    "            else {\r\n"
    "                Write-Host \"[Warn] $componentName Unrecognized interfaceId $interfaceId. \"\r\n"
    "            }\r\n"
    "        }\r\n"
    "        return $result\r\n"
    "    }\r\n"
    "    catch {\r\n"
    "        Write-Host \"[Error] $componentName $($_ | Out-String). \"\r\n"
    "        return $error\r\n"
    "    }\r\n"
    "}\r\n"
    "try {\r\n"
    "    [xml] $sysprepXml = Get-Content -Path $sysprepXmlPath\r\n"
    "    $settings = $sysprepXml.unattend.settings | Where-Object { $_.pass -eq 'specialize' }\r\n"
    "    $updated = $false\r\n"
    "    foreach ($componentName in @('Microsoft-Windows-DNS-Client', 'Microsoft-Windows-TCPIP', "
    "'Microsoft-Windows-NetBT')) {\r\n"
    "        $result = Set-Interface-Id $settings $componentName\r\n"
    "        if ($result -eq $success) {\r\n"
    "            $updated = $true\r\n"
    "        }\r\n"
    "    }\r\n"
    "    if ($updated) {\r\n"
    "        $sysprepXml.Save($sysprepXmlPath)\r\n"
    "        Write-Output \"[Info] Sysprep XML InterfaceId updated successfully. \"\r\n"
    "    }\r\n"
    "    else {\r\n"
    "        Write-Output \"[Info] Sysprep XML processed successfully. \"\r\n"
    "    }\r\n"
    "    exit $success\r\n"
    "}\r\n"
    "catch {\r\n"
    "    Write-Output \"[Error] Failed updating sysprep xml ($($Error[0])) : $($_ | Out-String). \"\r\n"
    "    exit $error\r\n"
    "}\r\n";

uint32_t Hex(int32_t code) { return static_cast<uint32_t>(code); }

std::string Trimmed(std::string text) {
  const char* blanks = " \t\r\n";
  text.erase(0, text.find_first_not_of(blanks));
  const size_t end = text.find_last_not_of(blanks);
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text;
}

const wchar_t* PhaseTarget(int phase) {
  static const wchar_t* const kTargets[] = {L"IMAGE_STATE_GENERALIZE_RESEAL_TO_OOBE",
                                            L"IMAGE_STATE_SPECIALIZE_RESEAL_TO_OOBE", L"IMAGE_STATE_COMPLETE"};
  return kTargets[phase];
}

}  // namespace

Sysprep::Sysprep() {
  sysprepDomainJoin_ = type_->IsSysprepDomainJoin();
  if (sysprepDomainJoin_) {
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::Sysprep(): Sysprep domain join is enabled");
  }
}

Sysprep::~Sysprep() = default;

const char* Sysprep::SysprepXmlScriptText() { return kScriptText; }

std::string Sysprep::Description(uint32_t code) { return StringConverter::ToUtf8String(state_->GetDescription(code)); }

void Sysprep::SetError(uint32_t code, const char* category) {
  // After a stop every wait on the shutdown event ends at once: a step that failed then says nothing about
  // the clone, and recorded it would refuse the clone on every later start. The next start does it again.
  if (system_->IsShutdownEventSet()) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Sysprep::SetCustomizationState(): Service Is Stopping, Error %d (%S) Not Recorded; The Next Start Continues",
        code, std::string(category));
    return;
  }
  state_->SetCustomizationState(util::status::kError, code, category, kEFail);
}

// ---- internal template, parent, replica ---------------------------------------------------------

bool Sysprep::CustomizeIT() {
  if (persistentInfo_->IsValue(Persisted::TemplateCustomization, kTemplateCustomizationDone)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Sysprep::CustomizeIT(): Template Customization Already Complete, Nothing To Do");
    return true;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeIT(): Template: Performing customization.");
  if (!persistentInfo_->Is(Persisted::ITCustomizationStartTimeSet)) {
    support_->SaveTickCount(Support::kRebootTickCount);
    persistentInfo_->Set(Persisted::ITCustomizationStartTimeSet);
  }
  agentIntegration_->CreateAgentIntegrationKey();
  network_->ReleaseIpOnShutdown();
  if (!guestInfo_.SetValue(util::kNgaForkVariable, "1")) {
    Log(LogLevel::Warn, L"tamber::core::windows::Sysprep::CustomizeIT(): Template: Failed setting guestinfo.ngaFork");
    state_->SetCustomizationState(util::status::kError, kErrorCustomization, "Customization", kEFail);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeIT(): Template: Set ngaFork");
  persistentInfo_->Set(Persisted::TemplateCustomization, kTemplateCustomizationDone);
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeIT(): Template: Marked Template Customization Done");
  state_->SetCustomizationState(util::status::kSuccess, 0u, "Customization", "Customization Succeeded", 0);
  persistentInfo_->Set(Persisted::TemplateShutdownNeeded, 0);
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeIT(): Template: Marked Template Shutdown Done");
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeIT(): Template: About To Shutdown");
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeIT(): Total IT Customization Time: %dms",
      support_->GetTotalITCustomizationTime());
  persistentInfo_->FlushKeys();
  system_->Shutdown(0);
  return true;
}

bool Sysprep::CustomizeParent() { return true; }

bool Sysprep::CustomizeReplica() {
  if (persistentInfo_->Is(Persisted::ReplicaCustomizationCompleted)) {
    if (sysprepDomainJoin_) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::Sysprep::CustomizeReplica(): Replica Customization Already Complete, Nothing To Do");
      return true;
    }
    Log(LogLevel::Debug,
        L"tamber::core::windows::Sysprep::CustomizeReplica(): Replica Customization Sysprep Generalize Pass");
    if (!UpdateSysprepXmlInterfaceId()) {
      Log(LogLevel::Warn,
          L"tamber::core::windows::Sysprep::CustomizeReplica(): Failed to process updates for sysprep XML");
      return false;
    }
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeReplica(): Successfully processed sysprep XML");
    return true;
  }
  if (persistentInfo_->Is(Persisted::ReplicaRebooted)) {
    state_->SetCustomizationState(sysprepDomainJoin_ ? util::status::kSuccess : util::status::kCustomizationBegin, 0u,
                                  "Customization", "Customization Succeeded", 0);
    persistentInfo_->Set(Persisted::ReplicaCustomizationCompleted);
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeReplica(): Replica Customization Completed in %dms",
        support_->GetTotalCloneCustomizationTime());
    persistentInfo_->FlushKeys();
    system_->Shutdown(0);
    return true;
  }
  support_->SaveTickCount(Support::kRebootTickCount);
  state_->SetCustomizationState(util::status::kRunning, 0u, "Customization", "Customization Is Running", 0);
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeReplica(): Replica: About To Reboot");
  persistentInfo_->Set(Persisted::ReplicaRebooted);
  persistentInfo_->FlushKeys();
  system_->Reboot(0);
  return true;
}

// ---- the answer file ----------------------------------------------------------------------------

bool Sysprep::GetInterfaceAliasMap(InterfaceAliasMap* map) {
  common::windows::device::Util adapters;
  common::windows::device::MacToNameMap found;
  if (!adapters.GetValidAdapterInfo(found)) return false;
  map->clear();
  for (auto& [mac, name] : found) map->emplace(mac, name);
  return true;
}

bool Sysprep::RunPowerShell(const std::wstring& commandLine, std::string* output) {
  // Generous: PowerShell's own start can take a while on a busy machine, and a run cut short is retried.
  return common::util::Util::RunScript(commandLine, *output, /*logOutput=*/true, /*timeoutMs=*/600000,
                                       common::util::Util::OnTimeout::EndProcessTree);
}

std::wstring Sysprep::ScriptFolder() {
  // The folder the scripts are secured in: only the system account and the administrators may change
  // it, so nobody can swap the script between its writing and its run.
  std::string folder;
  if (!script_->CreateTempDir(&folder)) return {};
  return StringConverter::Utf8ToWString(folder);
}

std::wstring Sysprep::BuildInterfaceAliasLiteral(const InterfaceAliasMap& map) {
  auto quoted = [](const std::wstring& text) {
    std::wstring out = L"'";
    for (wchar_t c : text) {
      out.push_back(c);
      // Each of PowerShell's single quotation marks ends a single-quoted string unless doubled.
      if (c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201A' || c == L'\u201B') out.push_back(c);
    }
    return out + L"'";
  };
  std::map<std::wstring, std::wstring> ordered(map.begin(), map.end());
  std::wstring literal = L"@{";
  for (const auto& [mac, name] : ordered) literal += quoted(mac) + L"=" + quoted(name) + L";";
  return literal + L"}";
}

std::wstring Sysprep::QuoteCommandLineArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

bool Sysprep::WriteSysprepXmlScript(const std::wstring& path) {
  // A file already there keeps its own protection when overwritten: it goes first, and the new one is made
  // for the system account and the administrators only.
  platform::DeleteFile(path.c_str());
  UniqueFile file(platform::CreateFileWithSecurity(path.c_str(), platform::kGenericWrite, 0, platform::kCreateNew,
                                                   platform::kFileAttributeNormal, FileProtection::AgentOnlyFile()));
  if (!file) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Sysprep::UpdateSysprepXmlInterfaceId(): Failed writing script %ws: 0x%X", path,
        Hex(HResultFromWin32(platform::GetLastError())));
    return false;
  }
  const uint32_t length = static_cast<uint32_t>(std::strlen(kScriptText));
  uint32_t written = 0;
  const bool ok = platform::WriteFile(file.get(), kScriptText, length, &written) && written == length &&
                  platform::FlushFileBuffers(file.get());
  if (!ok) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Sysprep::UpdateSysprepXmlInterfaceId(): Failed writing script %ws: 0x%X", path,
        Hex(HResultFromWin32(platform::GetLastError() == 0 ? platform::kErrorWriteFault : platform::GetLastError())));
    file.reset();
    platform::DeleteFile(path.c_str());
    return false;
  }
  return true;
}

bool Sysprep::DeleteSysprepXmlScript() {
  if (scriptPath_.empty()) return true;
  const std::string narrow = StringConverter::ToUtf8String(scriptPath_);
  if (platform::DeleteFile(scriptPath_.c_str()) || platform::GetLastError() == platform::kErrorFileNotFound) {
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::DeleteSysprepXmlScript(): Successfully removed script: %S.",
        narrow);
    scriptPath_.clear();
    return true;
  }
  Log(LogLevel::Warn, L"tamber::core::windows::Sysprep::DeleteSysprepXmlScript(): Error %d removing script: %S.",
      static_cast<int32_t>(platform::GetLastError()), narrow);
  return false;
}

void Sysprep::RestoreExecutionPolicy(const std::string& policy) {
  // The old policy came from PowerShell's output: only a policy name goes back into a command line. An
  // unreadable one is replaced by removing the machine's setting, which ends the change all the same.
  std::string restore = "Undefined";
  for (const char* known : kExecutionPolicies) {
    if (policy.size() == std::strlen(known) && std::equal(policy.begin(), policy.end(), known, [](char a, char b) {
          return std::tolower(a) == std::tolower(b);
        })) {
      restore = known;
    }
  }
  if (restore != policy) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Sysprep::UpdateSysprepXmlInterfaceId(): PS execution policy was not readable, restoring %S",
        restore);
  }
  std::string output;
  if (!RunPowerShell(L"powershell Set-ExecutionPolicy " + StringConverter::Utf8ToWString(restore), &output)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Sysprep::UpdateSysprepXmlInterfaceId(): Failed restoring PS exec policy via script: %ws.",
        StringConverter::Utf8ToWString(Trimmed(output)));
  }
}

bool Sysprep::UpdateSysprepXmlInterfaceId() {
  InterfaceAliasMap aliases;
  if (!GetInterfaceAliasMap(&aliases)) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Sysprep::UpdateSysprepXmlInterfaceId(): Failed to get interface alias map");
    return false;
  }
  std::string output;
  if (!RunPowerShell(L"powershell Get-ExecutionPolicy", &output)) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Sysprep::UpdateSysprepXmlInterfaceId(): Failed getting PS execution policy via script: %ws.",
        StringConverter::Utf8ToWString(Trimmed(output)));
    output.clear();
  }
  const std::string oldPolicy = Trimmed(output);
  bool policyChanged = false;
  if (oldPolicy != "Unrestricted") {
    if (!RunPowerShell(L"powershell Set-ExecutionPolicy unrestricted", &output)) {
      Log(LogLevel::Error,
          L"tamber::core::windows::Sysprep::UpdateSysprepXmlInterfaceId(): Failed setting ps execution policy via script: %ws.",
          StringConverter::Utf8ToWString(Trimmed(output)));
    }
    // Even a failed change may have taken effect: it is undone on every way out.
    policyChanged = true;
  }

  bool updated = false;
  const std::wstring folder = ScriptFolder();
  if (!folder.empty()) {
    const std::wstring path = folder + (folder.back() == L'\\' ? L"" : L"\\") + kScriptFileName;
    if (WriteSysprepXmlScript(path)) {
      scriptPath_ = path;
      const std::wstring command = L"powershell " + QuoteCommandLineArgument(path) + L" -interfaceAlias " +
                                   QuoteCommandLineArgument(BuildInterfaceAliasLiteral(aliases));
      Log(LogLevel::Debug,
          L"tamber::core::windows::Sysprep::UpdateSysprepXmlInterfaceId(): Attempting to update sysprep xml in max %d tries.",
          static_cast<int32_t>(kUpdateAttempts));
      for (uint32_t attempt = 1; attempt <= kUpdateAttempts && !updated; ++attempt) {
        Log(LogLevel::Debug,
            L"tamber::core::windows::Sysprep::UpdateSysprepXmlInterfaceId(): Sleeping %d ms before attempt: %d",
            static_cast<int32_t>(UpdateAttemptDelayMs()), static_cast<int32_t>(attempt));
        // The pause ends early when the agent stops; the attempts end with it, the clean-up below runs.
        if (platform::WaitForSingleObject(system_->GetShutdownEvent(), UpdateAttemptDelayMs()) ==
            platform::kWaitObject0) {
          break;
        }
        updated = RunPowerShell(command, &output);
        if (!updated) {
          Log(LogLevel::Warn,
              L"tamber::core::windows::Sysprep::UpdateSysprepXmlInterfaceId(): Failed updating sysprep xml via Script: %ws.",
              StringConverter::Utf8ToWString(Trimmed(output)));
        }
      }
    }
  }
  DeleteSysprepXmlScript();
  if (policyChanged) RestoreExecutionPolicy(oldPolicy);
  return updated;
}

// ---- clone --------------------------------------------------------------------------------------

bool Sysprep::WaitForPhase(Phase phase, bool* reached) {
  struct Texts {
    const wchar_t* calling;
    const wchar_t* returned;  // generalize only
    const wchar_t* finished;  // the out-of-box experience has two lines of its own
    const wchar_t* timedOut;
    const wchar_t* failed;
  };
  static const Texts kTexts[] = {
      {L"tamber::core::windows::Sysprep::WaitForGeneralize(): Calling WaitForStringValue (Generalize)",
       L"tamber::core::windows::Sysprep::WaitForGeneralize(): WaitForStringValue (Generalize) Returned",
       L"tamber::core::windows::Sysprep::WaitForGeneralize(): Generalize Is Finished",
       L"tamber::core::windows::Sysprep::WaitForGeneralize(): Timed out waiting for Generalize",
       L"tamber::core::windows::Sysprep::WaitForGeneralize(): WaitForStringValue Failed: 0x%X"},
      {L"tamber::core::windows::Sysprep::WaitForSpecialize(): Calling WaitForStringValue (Specialize)", nullptr,
       L"tamber::core::windows::Sysprep::WaitForSpecialize(): Specialize Is Finished",
       L"tamber::core::windows::Sysprep::WaitForSpecialize(): Timed out waiting for Specialize",
       L"tamber::core::windows::Sysprep::WaitForSpecialize(): WaitForStringValue Failed: 0x%X"},
      {L"tamber::core::windows::Sysprep::WaitForOobe(): Calling WaitForStringValue (Oobe)", nullptr, nullptr,
       L"tamber::core::windows::Sysprep::WaitForOobe(): Timed out waiting for Oobe",
       L"tamber::core::windows::Sysprep::WaitForOobe(): WaitForStringValue Failed: 0x%X"},
  };
  const int index = static_cast<int>(phase);
  const Texts& texts = kTexts[index];
  const wchar_t* target = PhaseTarget(index);
  bool local = false;
  bool& hit = reached != nullptr ? *reached : local;
  hit = false;

  const uint32_t limit = util::Tunables(registry_).SysprepMaxWaitTime(static_cast<util::SysprepPhase>(index));
  Log(LogLevel::Debug, texts.calling);
  bool found = false;
  const int32_t result = registry_->WaitForStringValue(kImageStateValue, target, limit, &found,
                                                       system_->GetShutdownEvent(), util::regtype::kSetupState);
  if (texts.returned != nullptr) Log(LogLevel::Debug, texts.returned);

  auto finished = [&] {
    hit = true;
    if (texts.finished == nullptr) {
      Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForOobe(): Found expected value for OOBE: %ws",
          std::wstring(target));
      Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForOobe(): Oobe Completed");
    } else {
      Log(LogLevel::Debug, texts.finished);
    }
    return true;
  };
  if (result == 0 && found) return finished();
  if (system_->IsShutdownEventSet()) {
    // The agent is stopping. A phase that finished as the machine went down is still finished: one more
    // look, so that its marker is not lost to a race with the restart setup asked for.
    std::wstring state;
    if (registry_->GetValue(kImageStateValue, &state, util::regtype::kSetupState) == 0 && state == target) {
      return finished();
    }
    return true;
  }
  if (result == 0 || result == kWaitTimedOut) {
    Log(LogLevel::Warn, texts.timedOut);
    return false;
  }
  Log(LogLevel::Error, texts.failed, Hex(result));
  return false;
}

bool Sysprep::WaitForGeneralize(bool* reached) { return WaitForPhase(Phase::Generalize, reached); }
bool Sysprep::WaitForSpecialize(bool* reached) { return WaitForPhase(Phase::Specialize, reached); }
bool Sysprep::WaitForOobe(bool* reached) { return WaitForPhase(Phase::Oobe, reached); }

bool Sysprep::WaitForSysprep(bool clone) {
  if (persistentInfo_->Is(Persisted::CloneSysprepCompleted)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForSysprep(): Sysprep Customization Already Completed");
    return true;
  }
  support_->Start(Timing::TotalSysprep);
  util::NotifyHaldenAgent().MarkCustomizationInProgress();
  const std::wstring sysprepTime = Support::ValueName(Timing::TotalSysprep);
  // A wait that ended because the agent is stopping has not seen its phase finish: no marker is set for
  // it, and the next start waits again.
  if (clone && !persistentInfo_->Is(Persisted::CloneSysprepGeneralizeCompleted)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForSysprep(): Waiting For Sysprep Generalize");
    state_->SetCustomizationState(util::status::kCustomizationBegin, 0u, "Customization", "Customization Is Running",
                                  0);
    bool reached = false;
    if (!WaitForGeneralize(&reached)) {
      Log(LogLevel::Warn, L"tamber::core::windows::Sysprep::WaitForSysprep(): Failed Waiting For Generalize");
      return false;
    }
    if (!reached) return true;
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForSysprep(): Generalize Completed");
    persistentInfo_->Set(Persisted::CloneSysprepGeneralizeCompleted);
    persistentInfo_->FlushKeys();
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForSysprep(): Sysprep Time at end of Generalize: %dms",
        support_->Stop(Timing::TotalSysprep));
  }
  if (!persistentInfo_->Is(Persisted::CloneSysprepSpecializeCompleted)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForSysprep(): Waiting For Sysprep Specialize");
    state_->SetCustomizationState(util::status::kSpecialize, 0u, "Customization", "Customization Is Running", 0);
    bool reached = false;
    if (!WaitForSpecialize(&reached)) {
      Log(LogLevel::Warn, L"tamber::core::windows::Sysprep::WaitForSysprep(): Failed Waiting For Specialize");
      return false;
    }
    if (!reached) return true;
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForSysprep(): Specialize Completed");
    persistentInfo_->Set(Persisted::CloneSysprepSpecializeCompleted);
    persistentInfo_->FlushKeys();
    const uint32_t sinceBoot = platform::GetTickCount();
    support_->SetValue(sysprepTime, sinceBoot);
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForSysprep(): Sysprep Time at end of Specialize: %dms",
        sinceBoot);
  }
  if (persistentInfo_->Is(Persisted::CloneSysprepOobeCompleted)) return true;
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForSysprep(): Waiting For Sysprep OOBE");
  bool reached = false;
  if (!WaitForOobe(&reached)) {
    Log(LogLevel::Warn, L"tamber::core::windows::Sysprep::WaitForSysprep(): Failed Waiting For OOBE");
    return false;
  }
  if (!reached) return true;
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForSysprep(): Sysprep Completed");
  persistentInfo_->Set(Persisted::CloneSysprepOobeCompleted);
  const uint32_t sinceBoot = platform::GetTickCount();
  support_->SetValue(sysprepTime, sinceBoot);
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::WaitForSysprep(): Sysprep Time at end of OOBE: %dms",
      sinceBoot);
  persistentInfo_->Set(Persisted::CloneSysprepCompleted);
  persistentInfo_->Set(Persisted::CloneShutdown, 1);
  persistentInfo_->FlushKeys();
  return true;
}

bool Sysprep::CustomizeClone() {
  if (!WaitForSysprep(/*clone=*/true)) {
    Log(LogLevel::Warn, L"tamber::core::windows::Sysprep::CustomizeClone(): Sysprep Customization Failed");
    if (system_->IsShutdownEventSet()) {
      SetError(kErrorSysprep, "Sysprep");  // not recorded while stopping
    } else {
      state_->SetCustomizationState(util::status::kError, kErrorSysprep, "Sysprep", Description(kErrorSysprepFailed),
                                    0);
    }
    Log(LogLevel::Debug,
        L"tamber::core::windows::Sysprep::CustomizeClone(): Total Clone Sysprep Customization Time: %dms",
        platform::GetTickCount());
    return false;
  }
  if (system_->IsShutdownEventSet()) {
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeClone(): Shutdown Event Set, Exiting");
    return true;
  }
  if (persistentInfo_->Is(Persisted::CloneCustomizationCompleted)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeClone(): Clone Customization Already Completed");
    return true;
  }
  support_->Start(Timing::TotalCustomization);
  const bool preShutdown = persistentInfo_->Is(Persisted::CloneShutdown);
  if (preShutdown) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Sysprep::CustomizeClone(): Total Clone Sysprep Customization Time: %dms",
        platform::GetTickCount());
  }
  if (!OkToCustomizeClone()) return false;
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeClone(): Starting Clone QX Customization");
  domainJoin_->GetHostName(nullptr);
  domainJoin_->GetDomainName(nullptr);
  if (preShutdown) {
    if (!CustomizeClonePreShutdown()) {
      Log(LogLevel::Error,
          L"tamber::core::windows::Sysprep::CustomizeClone(): CustomizeCloneSysprepPreShutdown Failed");
      return false;
    }
    return true;
  }
  if (!CustomizeClonePostShutdown()) {
    Log(LogLevel::Error, L"tamber::core::windows::Sysprep::CustomizeClone(): CustomizeCloneSysprepPostShutdown Failed");
    return false;
  }
  return true;
}

bool Sysprep::CustomizeClonePreShutdown() {
  agentIntegration_->ParseAgentIntegrationValues(AgentIntegration::kPreCustomization);
  if (script_->SecureScripts(type_->IsFastRefresh())) {
    Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeClonePreShutdown(): SecureScripts Succeeded");
  } else {
    Log(LogLevel::Warn, L"tamber::core::windows::Sysprep::CustomizeClonePreShutdown(): Failed Securing Scripts");
  }
  if (sysprepDomainJoin_) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Sysprep::CustomizeClonePreShutdown(): Sysprep domain join enabled. Skipping agent domain join.");
    std::wstring domain;
    domainJoin_->GetDomainName(&domain);
    common::util::DomainServices directory;
    const std::wstring controller = directory.GetCurrentDC(domain);
    if (!controller.empty()) domainJoin_->SetPreferredDC(controller);
    const std::wstring site = directory.GetCurrentSite();
    if (!site.empty()) domainJoin_->SetPreferredSite(site);
    persistentInfo_->Set(Persisted::CloneRenamed);
    persistentInfo_->Set(Persisted::CloneJoinedDomain);
  } else {
    persistentInfo_->Set(Persisted::CloneShutdown, 1);
    if (!persistentInfo_->Is(Persisted::CloneRenamed)) {
      const int32_t renamed = domainJoin_->RenameMachine();
      if (renamed != 0) {
        Log(LogLevel::Warn, L"tamber::core::windows::Sysprep::CustomizeClonePreShutdown(): RenameMachine Failed: 0x%X",
            Hex(renamed));
        SetError(kErrorRename, "Rename");
        return false;
      }
      Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeClonePreShutdown(): RenameMachine Succeeded");
      persistentInfo_->Set(Persisted::CloneRenamed);
    }
    if (!persistentInfo_->Is(Persisted::CloneJoinedDomain)) {
      if (!domainJoin_->JoinCloneToDomainSysprep()) {
        Log(LogLevel::Warn,
            L"tamber::core::windows::Sysprep::CustomizeClonePreShutdown(): Failed Joining Clone To Domain: 0x%X",
            Hex(kEFail));
        SetError(kErrorDomainJoin, "Domain Join");
        return false;
      }
      Log(LogLevel::Debug,
          L"tamber::core::windows::Sysprep::CustomizeClonePreShutdown(): Clone Sysprep Domain Join Succeeded");
      domainJoin_->ClearSecuredMachinePwdInfo();
    }
  }
  state_->SetCustomizationState(util::status::kSnapshotting, 0u, "Customization", "Customization Is Running", 0);
  persistentInfo_->MarkCloneShutdownDone();
  persistentInfo_->FlushKeys();  // the hypervisor's snapshot must hold the markers
  Log(LogLevel::Debug,
      L"tamber::core::windows::Sysprep::CustomizeClonePreShutdown(): Clone Customization Time Before Shutdown: %dms",
      support_->Elapsed(Timing::TotalCustomization));
  return true;
}

bool Sysprep::CustomizeClonePostShutdown() {
  std::string status;
  state_->GetCustomizationState(&status);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): Clone customization state is: %S", status);
  uint32_t sibling = 0;
  const bool siblingRead = util::NotifyHaldenAgent().GetStatus(&sibling) == 0;
  if (status != util::status::kPostSnapshotting || !siblingRead ||
      sibling != util::NotifyHaldenAgent::kCustomizationPostCheckpointing) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): Unexpected clone customization state %S or sibling status %d (read: %d); resetting the states",
        status, static_cast<int32_t>(sibling), siblingRead ? 1 : 0);
    state_->SetCustomizationState(util::status::kRunning, 0u, "Customization", "Customization Is Running", 0);
  }
  if (type_->IsFastRefresh()) {
    if (!CustomizeCloneFastRefresh()) {
      Log(LogLevel::Warn,
          L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): Clone Fast Refresh Failed. Error: %d",
          static_cast<int32_t>(kErrorDomainJoin));
    } else {
      Log(LogLevel::Debug,
          L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): Clone Fast Refresh Succeeded");
    }
  }
  if (!domainJoin_->VerifyTrustEx()) {
    Log(LogLevel::Warn, L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): VerifyTrustEx Failed");
    SetError(kErrorDomainTrust, kTrustCategory);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): Trust Verification Succeeded");
  domainJoin_->UpdateUPN();
  if (!PreparePersistentDisks()) {
    Log(LogLevel::Warn, L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): PreparePersistentDisks Failed");
    SetError(kErrorPersistentDisks, "Persistent Disks");
    return false;
  }
  const uint32_t begin = platform::GetTickCount();
  const bool completed = CompleteCustomization();
  const uint32_t elapsed = platform::GetTickCount() - begin;
  if (completed) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): CompleteCustomization Succeeded in %dms",
        elapsed);
  } else {
    Log(LogLevel::Error,
        L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): CompleteCustomization Failed in %dms", elapsed);
  }
  if (sysprepDomainJoin_ && type_->IsFastRefresh() && persistentInfo_->Is(Persisted::CloneCustomizationCompleted)) {
    if (guestInfo_.SetValue("fastRefresh.enabled", "1")) {
      Log(LogLevel::Debug, L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): Fast Refresh re-enabled");
    } else {
      Log(LogLevel::Warn,
          L"tamber::core::windows::Sysprep::CustomizeClonePostShutdown(): Failed re-enabling fast refresh");
    }
  }
  return completed;
}

bool Sysprep::CustomizeCloneFastRefresh() {
  Log(LogLevel::Debug,
      L"tamber::core::windows::Sysprep::CustomizeCloneFastRefresh(): Performing Fast Refresh Customization");
  if (domainJoin_->RestoreMachinePassword() && domainJoin_->VerifyTrustEx()) return true;
  SetError(kErrorDomainJoin, "Domain Join");
  Log(LogLevel::Error, L"tamber::core::windows::Sysprep::CustomizeCloneFastRefresh(): Clone: %S",
      Description(kErrorDomainJoin));
  return false;
}

}  // namespace tamber::core::windows
