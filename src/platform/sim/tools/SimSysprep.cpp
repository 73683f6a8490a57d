// The simulated "sysprep.exe" (C:\Windows\System32\Sysprep) and the setup program it leaves for the next
// boot, "windeploy.exe" (C:\Windows\System32\oobe). Both act on the setup model of SimSetup.h.
// sysprep understands the switches Windows documents for it: /generalize, /oobe, /audit, /mode:vm,
// /quiet, /quit, /reboot, /shutdown and /unattend:FILE. The model generalizes for the out-of-box
// experience only: /audit, a run without /generalize, or /mode:vm without /generalize /oobe is refused,
// as are unknown switches and more than one of /quit, /reboot and /shutdown. Sysprep has no console:
// its reasons go to setup's logs (C:\Windows\Panther\setuperr.log) and, for people running it by hand,
// to standard error. Exit code 0 on success, 1 otherwise.
#include <exception>
#include <string>

#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/setup/SimSetup.h"
#include "platform/sim/tools/SimToolSupport.h"
#include "platform/sim/tools/SimTools.h"

namespace tamber::platform::sim {
namespace {

uint32_t Refuse(ToolContext& context, const std::string& reason) {
  SetupLog("sysprep: " + reason, /*error=*/true);
  context.Err("sysprep: " + reason + "\r\n");
  return 1;
}

uint32_t Sysprep(ToolContext& context) {
  if (!Machine::IsBooted()) return 1;
  const auto& argv = context.Argv();
  bool generalize = false;
  bool oobe = false;
  bool vmMode = false;
  int powerSwitches = 0;
  AfterGeneralize after = AfterGeneralize::Quit;
  std::wstring answerFile;
  for (size_t i = 1; i < argv.size(); ++i) {
    std::wstring name;
    std::wstring value;
    if (!SplitToolOption(argv[i], &name, &value)) return Refuse(context, "unknown argument " + NarrowUtf8(argv[i]));
    if (name == L"generalize") {
      generalize = true;
    } else if (name == L"oobe") {
      oobe = true;
    } else if (name == L"audit") {
      return Refuse(context, "/audit is not part of this model");
    } else if (name == L"mode") {
      if (LowerAscii(value) != L"vm") return Refuse(context, "unknown mode " + NarrowUtf8(value));
      vmMode = true;
    } else if (name == L"quiet") {
      // No user interface either way.
    } else if (name == L"quit" || name == L"reboot" || name == L"shutdown") {
      ++powerSwitches;
      after = name == L"quit"     ? AfterGeneralize::Quit
              : name == L"reboot" ? AfterGeneralize::Reboot
                                  : AfterGeneralize::Shutdown;
    } else if (name == L"unattend") {
      if (value.empty()) return Refuse(context, "/unattend needs an answer file");
      answerFile = value;
    } else {
      return Refuse(context, "unknown switch /" + NarrowUtf8(name));
    }
  }
  if (powerSwitches > 1) return Refuse(context, "only one of /quit, /reboot and /shutdown may be given");
  if (!generalize || !oobe) return Refuse(context, "only /generalize /oobe is part of this model");
  if (vmMode && !(generalize && oobe)) return Refuse(context, "/mode:vm needs /generalize and /oobe");
  std::string message;
  const uint32_t code = RunGeneralize(
      answerFile, after, [&context] { return context.Terminated(); }, &message);
  if (code != 0) context.Err("sysprep: " + message + "\r\n");
  return code;
}

uint32_t Windeploy(ToolContext& context) {
  if (!Machine::IsBooted()) return 1;
  std::string message;
  const uint32_t code = RunSpecialize([&context] { return context.Terminated(); }, &message);
  if (code != 0) context.Err("windeploy: " + message + "\r\n");
  return code;
}

template <uint32_t (*Tool)(ToolContext&)>
ToolFunction Guarded() {
  return [](ToolContext& context) -> uint32_t {
    try {
      return Tool(context);
    } catch (const std::exception&) {  // the machine went away under a late run
      return 1;
    }
  };
}

}  // namespace

ToolFunction SimSysprepTool() { return Guarded<Sysprep>(); }
ToolFunction SimWindeployTool() { return Guarded<Windeploy>(); }

}  // namespace tamber::platform::sim
