// The flavour in which Windows' own sysprep gives each clone its identity (customization type 1). The
// internal template only hands over to forking; the replica restarts once, then patches the answer file
// so that its network settings follow the adapters by name instead of by MAC address; each clone waits
// until setup reports generalize, specialize and the out-of-box experience finished, then is renamed and
// joined (or takes sysprep's own join), asks the hypervisor for its snapshot and completes after the
// power cycle. Every phase leaves a marker, so a restart in the middle goes on where it stopped.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/windows/Customization.h"

namespace tamber::core::windows {

class Sysprep : public Customization {
 public:
  // MAC text ("02-54-56-01-02-03") to adapter name (interface alias).
  using InterfaceAliasMap = std::unordered_map<std::wstring, std::wstring>;

  static constexpr const wchar_t* kScriptFileName = L"SetSysprepXmlInterfaceId.ps1";
  static constexpr const wchar_t* kAnswerFile = L"C:\\Windows\\Panther\\unattend.xml";
  static constexpr uint32_t kUpdateAttempts = 6;
  static constexpr uint32_t kUpdateAttemptDelayMs = 5000;

  Sysprep();
  ~Sysprep() override;

  bool CustomizeIT() override;
  // The base one: nothing to do.
  bool CustomizeParent() override;
  bool CustomizeReplica() override;
  bool CustomizeClone() override;

  // Patches the answer file's interface identifiers (MAC text → adapter name) through the script.
  virtual bool UpdateSysprepXmlInterfaceId();
  virtual bool DeleteSysprepXmlScript();
  // The sysprep phases of this machine; true when all are finished or the agent is stopping.
  virtual bool WaitForSysprep(bool clone);
  // Each waits for its ImageState. True when the state was reached (*reached set) or the agent is
  // stopping (*reached left false unless the state had been reached by then).
  virtual bool WaitForGeneralize(bool* reached = nullptr);
  virtual bool WaitForSpecialize(bool* reached = nullptr);
  virtual bool WaitForOobe(bool* reached = nullptr);
  virtual bool CustomizeClonePreShutdown();
  virtual bool CustomizeClonePostShutdown();
  virtual bool CustomizeCloneFastRefresh();

  // The script's text, as written to its file.
  static const char* SysprepXmlScriptText();
  // The map as a PowerShell hash literal: @{'mac'='name';...}, each text a single-quoted string with its
  // quotes doubled, entries in MAC order.
  static std::wstring BuildInterfaceAliasLiteral(const InterfaceAliasMap& map);
  // One argument of a Windows command line that the child's runtime splits back into exactly this text.
  static std::wstring QuoteCommandLineArgument(const std::wstring& argument);

  bool IsSysprepDomainJoin() const { return sysprepDomainJoin_; }

 protected:
  // Seams for the tests: the adapter utilities' MAC-to-name map and the PowerShell runs.
  virtual bool GetInterfaceAliasMap(InterfaceAliasMap* map);
  virtual bool RunPowerShell(const std::wstring& commandLine, std::string* output);
  // Where the script is written: the agent's protected folder; empty when it cannot be had.
  virtual std::wstring ScriptFolder();
  // The pause before each attempt of the script.
  virtual uint32_t UpdateAttemptDelayMs() const { return kUpdateAttemptDelayMs; }

 private:
  enum class Phase { Generalize, Specialize, Oobe };
  bool WaitForPhase(Phase phase, bool* reached);
  bool WriteSysprepXmlScript(const std::wstring& path);
  void RestoreExecutionPolicy(const std::string& policy);
  void SetError(uint32_t code, const char* category);
  std::string Description(uint32_t code);

  bool sysprepDomainJoin_ = false;
  std::wstring scriptPath_;  // the script written by UpdateSysprepXmlInterfaceId, until deleted
};

}  // namespace tamber::core::windows
