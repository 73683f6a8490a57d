// Windows tools of the simulated guest: programs registered by name that CreateProcess runs on a
// thread of their own instead of starting a host process. Any command line whose program is not
// registered starts a real host process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sim/kernel/SimStreams.h"

namespace tamber::platform::sim {

// What a simulated tool sees of its process: its arguments and its standard handles.
class ToolContext {
 public:
  ToolContext(std::wstring commandLine, std::vector<std::wstring> argv, std::shared_ptr<StreamObject> in,
              std::shared_ptr<StreamObject> out, std::shared_ptr<StreamObject> err);

  const std::wstring& CommandLine() const { return commandLine_; }
  // argv[0] is the program as written on the command line.
  const std::vector<std::wstring>& Argv() const { return argv_; }

  // Writes UTF-8 text to standard output / standard error; false once there is nobody to write to.
  bool Out(std::string_view text);
  bool Err(std::string_view text);
  // Reads standard input to its end (the writers closed it); false when there is no standard input.
  bool ReadAllInput(std::string* text);
  // Set by TerminateProcess: a long-running tool should stop soon after.
  bool Terminated() const { return terminated_; }

  // Called by the process when it is terminated or ends: the tool's handles go away.
  void Detach();

 private:
  std::shared_ptr<StreamObject> Stream(int which);
  bool WriteTo(int which, std::string_view text);

  std::wstring commandLine_;
  std::vector<std::wstring> argv_;
  std::mutex mutex_;
  std::shared_ptr<StreamObject> streams_[3];
  std::atomic<bool> terminated_{false};
};

// The tool's exit code becomes the process's exit code.
using ToolFunction = std::function<uint32_t(ToolContext& context)>;

// The tools every simulated guest has from its start: ipconfig, nltest, w32tm, gpupdate, Format.com,
// sysprep, windeploy and powershell. The tool
// registry begins with them; a test that cleared it registers them again with RegisterBuiltinTools.
std::vector<std::pair<std::wstring, ToolFunction>> BuiltinTools();
void RegisterBuiltinTools();
ToolFunction SimIpconfigTool();
ToolFunction SimNltestTool();
ToolFunction SimW32tmTool();
ToolFunction SimGpupdateTool();
ToolFunction SimFormatTool();
// Windows setup (SimSetup.h): sysprep.exe and the specialize program it leaves for the next boot.
ToolFunction SimSysprepTool();
ToolFunction SimWindeployTool();
// PowerShell as far as the agent uses it (SimPowerShell.h).
ToolFunction SimPowerShellTool();

// Registers a tool. A bare name ("ipconfig", "ipconfig.exe", "Format.com") matches any command
// line whose program has that base name, with or without ".exe"/".com", in any case and from any
// directory; a full Windows path ("C:\Program Files\X\helper.exe") matches only that path.
// Registering a name again replaces the tool.
void RegisterTool(const std::wstring& name, ToolFunction tool);
void UnregisterTool(const std::wstring& name);
void ClearTools();

// Splits a command line as the C runtime of Windows does: the program name ends at the next quote
// when it starts with one, else at white space; in the arguments, 2n backslashes before a quote
// give n backslashes and a delimiting quote, 2n+1 give n backslashes and a literal quote, other
// backslashes are literal, and "" inside a quoted part is a literal quote.
std::vector<std::wstring> SplitCommandLine(std::wstring_view commandLine);

}  // namespace tamber::platform::sim
