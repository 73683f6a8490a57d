// The administrator's post-customization and pre-shutdown scripts, handed to each clone through guestinfo.
// At one point of the clone's customization each configured script is secured: copied into the agent's
// own folder under the Windows temporary directory, with the SHA-256 digest of its guestinfo value beside
// it. A script runs later only if its value still has that digest, and only its secured copy runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/util/GuestInfo.h"

namespace tamber::core::util {
class CustomizationPersistentInfo;
class Registry;
}  // namespace tamber::core::util

namespace tamber::core::windows {

enum class ScriptKind { PostCustomization, PreShutdown };

// What a script value says: the script to secure, where its copy goes, and the command line that runs it.
struct ScriptCommand {
  std::string scriptPath;
  std::string securePath;
  std::wstring commandLine;
};

class Script {
 public:
  // The limits of a script value (bytes), its path list and the command line (characters).
  static constexpr size_t kMaxValueLength = 511;
  static constexpr size_t kMaxPathListLength = 511;
  static constexpr size_t kMaxCommandLineLength = 511;
  static constexpr size_t kDigestLength = 32;
  static constexpr const wchar_t* kSecureFolderText = L"%systemroot%\\temp\\talvora\\";

  Script();
  virtual ~Script();
  Script(const Script&) = delete;
  Script& operator=(const Script&) = delete;

  // Secures the configured scripts once; always true.
  virtual bool SecureScripts(bool fastRefresh);
  // True when the script ran successfully or had nothing to do.
  virtual bool RunPostCustomizationScript(bool fastRefresh);
  virtual bool RunPreShutdownScript();
  // A pre-shutdown script is configured and secured.
  virtual bool IsPreShutdownScriptReady();

  // The value's script, secure copy and command line; false (with an error line) for a value that does
  // not follow the grammar or names no existing script.
  bool ParsePath(const std::string& value, ScriptCommand* command);
  // The existing files named by blank-separated text whose paths may themselves hold blanks.
  bool TokenizePath(const std::string& text, std::vector<std::string>* paths);
  // The ECMAScript pattern every script and interpreter path must match as a whole.
  static constexpr const char* kScriptPathPattern = "([a-zA-Z]:)?(\\\\[a-zA-Z0-9\\s_.-]+)+\\\\?";
  // Whether the path matches kScriptPathPattern: an optional drive, then components of letters, digits,
  // white space, underscores, dots and hyphens, each after a backslash, and an optional last backslash.
  static bool IsScriptPathToken(const std::string& path);
  // The secure folder followed by the script's file name.
  std::string BuildSecurePath(const std::string& scriptPath);
  // The secure folder's path, always ending in a backslash; empty when it cannot be had.
  std::string SecureFolder();
  // The secure folder, created with the agent's protection, or reset to it when someone else's folder
  // of that name stands there; false when the folder cannot be made trusted.
  bool CreateTempDir(std::string* folder);

 protected:
  struct Kind;
  static const Kind& Describe(ScriptKind kind);

  // The script value; true when the guestinfo read succeeded.
  bool GetScriptPath(const Kind& kind, std::string* value);
  bool GetHash(const std::string& value, uint8_t (&digest)[kDigestLength]);
  bool SecureScript(const Kind& kind);
  bool ScriptInSecureFolder(const std::string& scriptPath, const std::string& securePath);
  bool CopyScript(const std::string& scriptPath, const std::string& securePath, const char* label);
  // Whether the secure folder, the hash file and the secured copy are still the agent's alone.
  bool IsSecuredCopyTrusted(const Kind& kind, const ScriptCommand& command);
  bool RunCustomizationScript(const Kind& kind, bool wasConfigured);

  util::CustomizationPersistentInfo* persistentInfo_;
  util::Registry* registry_;
  util::GuestInfo guestInfo_;
  std::string secureFolder_;
  bool secureFolderReady_ = false;
  bool postCustomizationConfigured_ = false;
  bool preShutdownConfigured_ = false;
};

}  // namespace tamber::core::windows
