#include "core/windows/Script.h"

#include <algorithm>
#include <cstring>

#include "common/security/FileProtection.h"
#include "common/security/SecureMemory.h"
#include "common/util/EnvironmentUtil.h"
#include "common/util/StringConverter.h"
#include "common/util/Util.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/Registry.h"
#include "core/util/Tunables.h"
#include "framework/log/Log.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/Process.h"

namespace tamber::core::windows {

using common::i18n::StringConverter;
using common::security::FileProtection;
using common::windows::HResultFromWin32;
using common::windows::UniqueFile;
using common::windows::WipeMemory;
using util::Persisted;

struct Script::Kind {
  const char* label;
  const char* command;
  const char* hashFile;
  Persisted configured;
  Persisted secured;
};

namespace {

constexpr uint32_t kMaxSecureFolderLength = 258;

uint32_t Hex(int32_t code) { return static_cast<uint32_t>(code); }
uint32_t LastErrorHResult() { return Hex(HResultFromWin32(platform::GetLastError())); }

std::wstring Wide(const std::string& text) { return StringConverter::Utf8ToWString(text); }

// A path with a blank goes in quotes, so that the system does not try its leading pieces as programs.
std::string Quoted(const std::string& path) { return path.find(' ') == std::string::npos ? path : "\"" + path + "\""; }

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool ContainsIgnoringCase(const std::string& text, const std::string& part) {
  if (part.size() > text.size()) return false;
  for (size_t start = 0; start + part.size() <= text.size(); ++start) {
    size_t i = 0;
    while (i < part.size() && FoldAscii(text[start + i]) == FoldAscii(part[i])) ++i;
    if (i == part.size()) return true;
  }
  return false;
}

// The regular expression's \s in the C locale.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsComponentChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || IsSpace(c) || c == '_' ||
         c == '.' || c == '-';
}

// Closes the CNG handles of one digest.
struct DigestHandles {
  platform::BCryptAlgHandle algorithm = nullptr;
  platform::BCryptHashHandle hash = nullptr;
  ~DigestHandles() {
    if (hash != nullptr) platform::BCryptDestroyHash(hash);
    if (algorithm != nullptr) platform::BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

}  // namespace

const Script::Kind& Script::Describe(ScriptKind kind) {
  static const Kind kPostCustomization{"Post-Customization", "info-get guestinfo.scripts.PostCustomization",
                                       "PostCustomizationHash.txt", Persisted::PostCustScriptConfigured,
                                       Persisted::PostCustScriptSecured};
  static const Kind kPreShutdown{"Pre-Shutdown", "info-get guestinfo.scripts.PreShutdown", "PreShutdownHash.txt",
                                 Persisted::PreShutdownScriptConfigured, Persisted::PreShutdownScriptSecured};
  return kind == ScriptKind::PostCustomization ? kPostCustomization : kPreShutdown;
}

Script::Script()
    : persistentInfo_(util::CustomizationPersistentInfo::Instance()), registry_(util::Registry::Instance()) {}

Script::~Script() = default;

// ---- the value -----------------------------------------------------------------------------------

bool Script::GetScriptPath(const Kind& kind, std::string* value) {
  char* reply = nullptr;
  const bool configured = guestInfo_.Run(kind.command, &reply, nullptr);
  // The value ends at its first null character, as the digest does.
  *value = configured && reply != nullptr ? std::string(reply) : std::string();
  guestInfo_.FreeValue(&reply);
  if (configured) {
    Log(LogLevel::Debug, L"tamber::core::windows::Script::GetScriptPath(): Script Name: %S, Script Path: %S",
        std::string(kind.label), *value);
  } else {
    Log(LogLevel::Debug, L"tamber::core::windows::Script::GetScriptPath(): Script Not Configured: %S",
        std::string(kind.command));
  }
  return configured;
}

bool Script::IsScriptPathToken(const std::string& path) {
  // ([a-zA-Z]:)?(\\[a-zA-Z0-9\s_.-]+)+\\? as a whole: the components are delimited by backslashes, so
  // one pass decides it.
  size_t i = 0;
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'))) {
    i = 2;
  }
  size_t components = 0;
  while (i < path.size()) {
    if (path[i] != '\\') return false;
    ++i;
    size_t start = i;
    while (i < path.size() && IsComponentChar(path[i])) ++i;
    if (i == start) {
      // Only the one trailing backslash may stand without a component after it.
      return i == path.size() && components > 0;
    }
    ++components;
  }
  return components > 0;
}

std::string Script::SecureFolder() {
  if (!secureFolder_.empty()) return secureFolder_;
  std::wstring expanded = common::windows::util::Util::ExpandEnvString(kSecureFolderText);
  if (expanded.empty() || expanded.size() > kMaxSecureFolderLength) return {};
  if (expanded.back() != L'\\') expanded.push_back(L'\\');
  secureFolder_ = StringConverter::ToUtf8String(expanded);
  return secureFolder_;
}

std::string Script::BuildSecurePath(const std::string& scriptPath) {
  size_t slash = scriptPath.find_last_of('\\');
  return SecureFolder() + (slash == std::string::npos ? scriptPath : scriptPath.substr(slash + 1));
}

bool Script::TokenizePath(const std::string& text, std::vector<std::string>* paths) {
  paths->clear();
  std::string accumulated;
  bool lastWasDirectory = false;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    size_t end = text.find(' ', i);
    if (end == std::string::npos) end = text.size();
    if (!accumulated.empty()) accumulated.push_back(' ');
    accumulated.append(text, i, end - i);
    i = end;
    const uint32_t attributes = platform::GetFileAttributes(Wide(accumulated).c_str());
    lastWasDirectory =
        attributes != platform::kInvalidFileAttributes && (attributes & platform::kFileAttributeDirectory) != 0;
    if (lastWasDirectory || attributes == platform::kInvalidFileAttributes) continue;
    paths->push_back(accumulated);
    accumulated.clear();
  }
  if (!paths->empty()) return true;
  if (lastWasDirectory) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::TokenizePath(): Path Is A Directory");
  } else {
    Log(LogLevel::Error, L"tamber::core::windows::Script::TokenizePath(): Path Doesn't Exist");
  }
  return false;
}

bool Script::ParsePath(const std::string& value, ScriptCommand* command) {
  if (value.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::ParsePath(): Original Path Is Empty");
    return false;
  }
  if (value.size() < 2) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::ParsePath(): Original Path Is Too Short");
    return false;
  }
  if (value.size() > kMaxValueLength) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Script::ParsePath(): Original Path Is Too Long: %zu Bytes, At Most %zu", value.size(),
        kMaxValueLength);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Script::ParsePath(): Original Path: %S", value);

  const size_t first = value.find('"');
  const size_t last = value.rfind('"');
  if (first == std::string::npos || first == last) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::ParsePath(): Original Path Was Not Properly Quoted");
    return false;
  }
  const std::string pathList = value.substr(first + 1, last - first - 1);
  if (Wide(pathList).size() > kMaxPathListLength) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::ParsePath(): Path List Is Too Long: %zu Characters",
        Wide(pathList).size());
    return false;
  }
  // One separator after the closing quote, then the arguments to the end.
  std::string arguments;
  if (value.size() - last - 1 >= 2) {
    arguments = value.substr(last + 2);
    Log(LogLevel::Debug, L"tamber::core::windows::Script::ParsePath(): Arguments: %S", arguments);
  }

  std::vector<std::string> paths;
  if (!TokenizePath(pathList, &paths)) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::ParsePath(): TokenizePath Returned No Valid Script Paths");
    return false;
  }
  if (paths.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::ParsePath(): First Token Must Not Be Empty");
    return false;
  }
  if (!IsScriptPathToken(paths[0])) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::ParsePath(): First Token Must Be A Path");
    return false;
  }
  std::string commandLine;
  ScriptCommand parsed;
  if (paths.size() == 1) {
    parsed.scriptPath = paths[0];
  } else {
    if (!IsScriptPathToken(paths[1])) {
      Log(LogLevel::Error, L"tamber::core::windows::Script::ParsePath(): Second Token Must Be A Path");
      return false;
    }
    // The interpreter runs where it stands; only the script is copied.
    parsed.scriptPath = paths[1];
    commandLine = Quoted(paths[0]) + " ";
    Log(LogLevel::Debug, L"tamber::core::windows::Script::ParsePath(): Interpreter Path: %S", paths[0]);
  }
  if (SecureFolder().empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::ParsePath(): Secure Folder Is Not Available");
    return false;
  }
  parsed.securePath = BuildSecurePath(parsed.scriptPath);
  commandLine += Quoted(parsed.securePath);
  if (!arguments.empty()) commandLine += " " + arguments;
  parsed.commandLine = Wide(commandLine);
  if (parsed.commandLine.size() > kMaxCommandLineLength) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Script::ParsePath(): Command Line Is Too Long: %zu Characters, At Most %zu",
        parsed.commandLine.size(), kMaxCommandLineLength);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Script::ParsePath(): Script Path: %S", parsed.scriptPath);
  Log(LogLevel::Debug, L"tamber::core::windows::Script::ParsePath(): Secure Path: %S", parsed.securePath);
  Log(LogLevel::Debug, L"tamber::core::windows::Script::ParsePath(): New Script Path W: %ws", parsed.commandLine);
  *command = std::move(parsed);
  return true;
}

bool Script::GetHash(const std::string& value, uint8_t (&digest)[kDigestLength]) {
  char buffer[kMaxValueLength + 1] = {};
  std::memcpy(buffer, value.data(), std::min(value.size(), kMaxValueLength));
  const uint32_t length = static_cast<uint32_t>(std::strlen(buffer));
  bool ok = false;
  {
    DigestHandles handles;
    if (platform::BCryptOpenAlgorithmProvider(&handles.algorithm, platform::kBCryptSha256Algorithm, nullptr, 0) !=
            platform::kStatusSuccess ||
        platform::BCryptCreateHash(handles.algorithm, &handles.hash, nullptr, 0, nullptr, 0, 0) !=
            platform::kStatusSuccess) {
      Log(LogLevel::Error, L"tamber::core::windows::Script::GetHash(): Failed Initalizing Digest");
    } else if (platform::BCryptHashData(handles.hash, reinterpret_cast<const uint8_t*>(buffer), length, 0) !=
               platform::kStatusSuccess) {
      Log(LogLevel::Error, L"tamber::core::windows::Script::GetHash(): Failed Updating Digest");
    } else if (platform::BCryptFinishHash(handles.hash, digest, kDigestLength, 0) != platform::kStatusSuccess) {
      Log(LogLevel::Error, L"tamber::core::windows::Script::GetHash(): Failed Finalizing Digest");
    } else {
      ok = true;
    }
  }
  WipeMemory(buffer, sizeof(buffer));
  if (!ok) WipeMemory(digest, kDigestLength);
  return ok;
}

// ---- securing ------------------------------------------------------------------------------------

bool Script::CreateTempDir(std::string* folder) {
  const std::string path = SecureFolder();
  if (secureFolderReady_) {
    *folder = path;
    return true;
  }
  if (path.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::CreateTempDir(): Failed Creating Temp Directory: %S, 0x%X",
        std::string(), 206u);  // ERROR_FILENAME_EXCED_RANGE
    return false;
  }
  const std::wstring directory = Wide(path.substr(0, path.size() - 1));
  const uint32_t error = FileProtection::CreateFolder(directory);
  if (error == platform::kErrorSuccess) {
    Log(LogLevel::Debug, L"tamber::core::windows::Script::CreateTempDir(): Created Temp Directory: %S", path);
  } else if (error == platform::kErrorAlreadyExists) {
    Log(LogLevel::Debug, L"tamber::core::windows::Script::CreateTempDir(): Temp Directory Already Exists: %S", path);
    // The temporary directory lets users make folders, and what they make they own: a folder of this
    // name is the agent's only when nobody else can change it.
    if (!FileProtection::IsPlainDirectory(directory)) {
      Log(LogLevel::Error,
          L"tamber::core::windows::Script::CreateTempDir(): Temp Directory Is Not A Plain Directory, Cannot Use It: %S",
          path);
      return false;
    }
    std::wstring reason;
    if (!FileProtection::IsTrusted(directory, &reason)) {
      Log(LogLevel::Warn,
          L"tamber::core::windows::Script::CreateTempDir(): Temp Directory Is Not Trusted (%ws), Resetting Its Owner And Protection: %S",
          reason, path);
      const uint32_t reset = FileProtection::ResetFolder(directory);
      if (reset != platform::kErrorSuccess || !FileProtection::IsTrusted(directory, &reason)) {
        Log(LogLevel::Error,
            L"tamber::core::windows::Script::CreateTempDir(): Failed Securing Temp Directory: %S, 0x%X", path, reset);
        return false;
      }
      Log(LogLevel::Info,
          L"tamber::core::windows::Script::CreateTempDir(): Temp Directory Owner And Protection Reset: %S", path);
    }
  } else {
    Log(LogLevel::Error, L"tamber::core::windows::Script::CreateTempDir(): Failed Creating Temp Directory: %S, 0x%X",
        path, error);
    return false;
  }
  secureFolderReady_ = true;
  *folder = path;
  return true;
}

bool Script::ScriptInSecureFolder(const std::string& scriptPath, const std::string& securePath) {
  if (scriptPath.empty() || securePath.empty()) return false;
  if (!ContainsIgnoringCase(scriptPath, SecureFolder()) || scriptPath.size() != securePath.size()) return false;
  for (size_t i = 0; i < scriptPath.size(); ++i) {
    if (FoldAscii(scriptPath[i]) != FoldAscii(securePath[i])) return false;
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::Script::ScriptInSecureFolder(): Script Already In Secure Path, Nothing To Do");
  return true;
}

bool Script::CopyScript(const std::string& scriptPath, const std::string& securePath, const char* label) {
  if (scriptPath.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::CopyScript(): ScriptPath Is Empty");
    return false;
  }
  if (securePath.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::CopyScript(): SecurePath Is Empty");
    return false;
  }
  if (label == nullptr || *label == '\0') {
    Log(LogLevel::Error, L"tamber::core::windows::Script::CopyScript(): ScriptName Is Empty");
    return false;
  }
  // A copy already there keeps its own owner and protection when it is overwritten; the new one must
  // take the folder's.
  const std::wstring target = Wide(securePath);
  platform::DeleteFile(target.c_str());
  if (!platform::CopyFile(Wide(scriptPath).c_str(), target.c_str(), /*failIfExists=*/true)) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::CopyScript(): Failed Securing %S Script, 0x%X",
        std::string(label), LastErrorHResult());
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Script::CopyScript(): Secured %S Script", std::string(label));
  return true;
}

bool Script::SecureScript(const Kind& kind) {
  const std::string label = kind.label;
  std::string value;
  const bool configured = GetScriptPath(kind, &value);
  (&kind == &Describe(ScriptKind::PostCustomization) ? postCustomizationConfigured_ : preShutdownConfigured_) =
      configured;
  if (!configured || value.empty()) {
    Log(LogLevel::Warn, L"tamber::core::windows::Script::SecureScript(): Script Path Not Configured: %S", label);
    return false;
  }
  ScriptCommand command;
  if (!ParsePath(value, &command)) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::SecureScript(): Failed Parsing Script Path, Cannot Continue");
    return false;
  }
  uint8_t digest[kDigestLength] = {};
  if (!GetHash(value, digest)) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::SecureScript(): Failed Computing %S Hash", label);
    return false;
  }
  struct WipeDigest {
    uint8_t* data;
    ~WipeDigest() { WipeMemory(data, kDigestLength); }
  } wipe{digest};

  std::string folder;
  if (!CreateTempDir(&folder)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Script::SecureScript(): Secure Folder Cannot Be Trusted, Not Securing %S Script",
        label);
    return false;
  }
  const std::string hashPath = folder + kind.hashFile;
  const std::wstring wideHashPath = Wide(hashPath);
  // A new file, so that it takes the folder's protection whatever stood there before.
  platform::DeleteFile(wideHashPath.c_str());
  UniqueFile hashFile(platform::CreateFile(wideHashPath.c_str(), platform::kGenericWrite, platform::kFileShareRead,
                                           platform::kCreateNew, platform::kFileAttributeHidden));
  if (!hashFile) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Script::SecureScript(): Failed Creating %S, Hash File.  Path: %S: 0x%X", label,
        hashPath, LastErrorHResult());
    return false;
  }
  uint32_t written = 0;
  if (!platform::WriteFile(hashFile.get(), digest, kDigestLength, &written) || written != kDigestLength) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::SecureScript(): Failed Writing %S Hash File: 0x%X", label,
        LastErrorHResult());
    return false;
  }
  hashFile.reset();
  if (!ScriptInSecureFolder(command.scriptPath, command.securePath) &&
      !CopyScript(command.scriptPath, command.securePath, kind.label)) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::SecureScript(): Failed Securing %S Script, 0x%X", label,
        LastErrorHResult());
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Script::SecureScript(): Secured %S Script", label);
  return true;
}

bool Script::SecureScripts(bool fastRefresh) {
  if (persistentInfo_->Is(Persisted::ScriptsSecured)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Script::SecureScripts(): Scripts Already Secured");
    return true;
  }
  const Kind& post = Describe(ScriptKind::PostCustomization);
  const Kind& pre = Describe(ScriptKind::PreShutdown);
  if (fastRefresh && persistentInfo_->Is(Persisted::PostCustomizationScriptDisabled)) {
    Log(LogLevel::Info,
        L"tamber::core::windows::Script::SecureScripts(): Post-Customization Script Disabled for Fast Refresh");
  } else if (persistentInfo_->Is(post.secured)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Script::SecureScripts(): Post-Customization Script Already Secured");
  } else {
    const bool secured = SecureScript(post);
    if (postCustomizationConfigured_) persistentInfo_->Set(post.configured);
    if (secured) persistentInfo_->Set(post.secured);
  }
  if (persistentInfo_->Is(pre.secured)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Script::SecureScripts(): Pre-Shutdown Script Already Secured");
  } else {
    const bool secured = SecureScript(pre);
    if (preShutdownConfigured_) persistentInfo_->Set(pre.configured);
    if (secured) persistentInfo_->Set(pre.secured);
  }
  const bool postConfigured = persistentInfo_->Is(post.configured);
  const bool preConfigured = persistentInfo_->Is(pre.configured);
  if ((postConfigured || preConfigured) && (!postConfigured || persistentInfo_->Is(post.secured)) &&
      (!preConfigured || persistentInfo_->Is(pre.secured))) {
    persistentInfo_->Set(Persisted::ScriptsSecured);
  }
  return true;
}

// ---- running -------------------------------------------------------------------------------------

bool Script::IsSecuredCopyTrusted(const Kind& kind, const ScriptCommand& command) {
  const std::string folder = SecureFolder();
  const std::wstring objects[] = {Wide(folder.substr(0, folder.size() - 1)), Wide(folder + kind.hashFile),
                                  Wide(command.securePath)};
  for (const auto& object : objects) {
    std::wstring reason;
    if (object == objects[0] && !FileProtection::IsPlainDirectory(object)) reason = L"not a plain directory";
    if (reason.empty() && FileProtection::IsTrusted(object, &reason)) continue;
    Log(LogLevel::Error,
        L"tamber::core::windows::Script::RunCustomizationScript(): %S Script Is Not Trusted, Cannot Run It: %ws: %ws",
        std::string(kind.label), object, reason);
    return false;
  }
  return true;
}

bool Script::RunCustomizationScript(const Kind& kind, bool wasConfigured) {
  const std::string label = kind.label;
  std::string value;
  GetScriptPath(kind, &value);
  if (value.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::RunCustomizationScript(): Failed Getting %S",
        std::string(kind.command));
    if (wasConfigured) {
      Log(LogLevel::Warn,
          L"tamber::core::windows::Script::RunCustomizationScript(): %S Script Was Configured At Beginning Of Customization, But Is No Longer Configured. Cannot Run Script",
          label);
      return false;
    }
    Log(LogLevel::Warn, L"tamber::core::windows::Script::RunCustomizationScript(): %S Script Not Configured", label);
    return true;
  }
  if (!wasConfigured) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Script::RunCustomizationScript(): %S Script Is Now Configured, But Wasn't At Start Of Customization. Cannot Run Script",
        label);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Script::RunCustomizationScript(): %S Script Path: %S", label, value);
  ScriptCommand command;
  if (!ParsePath(value, &command)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Script::RunCustomizationScript(): Failed Parsing Script Path, Cannot Continue");
    return false;
  }
  uint8_t digest[kDigestLength] = {};
  uint8_t stored[kDigestLength] = {};
  struct WipeDigests {
    uint8_t* first;
    uint8_t* second;
    ~WipeDigests() {
      WipeMemory(first, kDigestLength);
      WipeMemory(second, kDigestLength);
    }
  } wipe{digest, stored};
  if (!GetHash(value, digest)) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::RunCustomizationScript(): Failed Computing %S Hash", label);
    return false;
  }
  // What was secured must still be the agent's alone, or someone else may have put their own digest and
  // script in its place.
  if (!IsSecuredCopyTrusted(kind, command)) return false;

  const std::string hashPath = SecureFolder() + kind.hashFile;
  UniqueFile hashFile(platform::CreateFile(Wide(hashPath).c_str(), platform::kGenericRead, platform::kFileShareRead,
                                           platform::kOpenExisting, platform::kFileAttributeNormal));
  if (!hashFile) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Script::RunCustomizationScript(): Failed Opening %S Hash File. Path: %S: 0x%X", label,
        hashPath, LastErrorHResult());
    return false;
  }
  uint32_t read = 0;
  if (!platform::ReadFile(hashFile.get(), stored, kDigestLength, &read) || read != kDigestLength) {
    Log(LogLevel::Error, L"tamber::core::windows::Script::RunCustomizationScript(): Failed Reading %S Hash File: 0x%X",
        label, read == kDigestLength ? LastErrorHResult() : Hex(HResultFromWin32(platform::kErrorHandleEof)));
    return false;
  }
  hashFile.reset();
  if (std::memcmp(digest, stored, kDigestLength) != 0) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Script::RunCustomizationScript(): %S Script Hash Validation Failed, Cannot Run It",
        label);
    return false;
  }

  const uint32_t timeoutMs = util::Tunables(registry_).Get(util::Tunable::ExecScriptTimeout);
  const uint32_t logOutput = persistentInfo_->Get(Persisted::ScriptLogOutput);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Script::RunCustomizationScript(): Running %S script: %ws with timeout: %dms, LogScriptOutput: %d",
      label, command.commandLine, timeoutMs, logOutput);
  std::string output;
  // A script that outlives its time is ended with everything it started, so nothing of it runs on.
  if (common::util::Util::RunScript(command.commandLine, output, logOutput == 1, timeoutMs,
                                    common::util::Util::OnTimeout::EndProcessTree)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Script::RunCustomizationScript(): Finished Running %S Script: %ws",
        label, command.commandLine);
    return true;
  }
  Log(LogLevel::Error, L"tamber::core::windows::Script::RunCustomizationScript(): Failed Running %S Script: %ws.",
      label, command.commandLine);
  return false;
}

bool Script::RunPostCustomizationScript(bool fastRefresh) {
  if (!persistentInfo_->Is(Persisted::PostCustScriptConfigured)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Script::RunPostCustomizationScript(): Post-Customization Script Was Not Configured");
    return true;
  }
  if (!persistentInfo_->Is(Persisted::PostCustScriptSecured)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Script::RunPostCustomizationScript(): Cannot Execute Post-Customization Script. It Was Not Secured");
    return false;
  }
  if (fastRefresh && persistentInfo_->Is(Persisted::PostCustomizationScriptDisabled)) {
    Log(LogLevel::Info,
        L"tamber::core::windows::Script::RunPostCustomizationScript(): Post-Customization Script Disabled for Fast Refresh");
    return true;
  }
  if (RunCustomizationScript(Describe(ScriptKind::PostCustomization), /*wasConfigured=*/true)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Script::RunPostCustomizationScript(): Post-Customization Script Succeeded");
    return true;
  }
  Log(LogLevel::Error,
      L"tamber::core::windows::Script::RunPostCustomizationScript(): Post-Customization Script Failed");
  return false;
}

bool Script::RunPreShutdownScript() {
  if (!persistentInfo_->Is(Persisted::PreShutdownScriptConfigured)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Script::RunPreShutdownScript(): Pre-Shutdown Script Was Not Configured");
    return true;
  }
  if (!persistentInfo_->Is(Persisted::PreShutdownScriptSecured)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Script::RunPreShutdownScript(): Failed To Execute Pre-Shutdown Script. It Was Not Secured");
    return false;
  }
  if (RunCustomizationScript(Describe(ScriptKind::PreShutdown), /*wasConfigured=*/true)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Script::RunPreShutdownScript(): Pre-Shutdown Script Succeeded");
    return true;
  }
  Log(LogLevel::Error, L"tamber::core::windows::Script::RunPreShutdownScript(): Pre-Shutdown Script Failed");
  return false;
}

bool Script::IsPreShutdownScriptReady() {
  return persistentInfo_->Is(Persisted::PreShutdownScriptConfigured) &&
         persistentInfo_->Is(Persisted::PreShutdownScriptSecured);
}

}  // namespace tamber::core::windows
