// Fuzzes the reading of script values (guestinfo text from the management side) on a simulated guest
// whose drive holds a few scripts, folders and an interpreter: any value must be parsed without fault,
// what is accepted must keep to the limits, and the path pattern must decide as the regular expression
// it stands for.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "core/windows/Script.h"
#include "platform/sim/machine/SimMachine.h"

namespace {

void BootMachine() {
  namespace fs = std::filesystem;
  const fs::path machine = fs::temp_directory_path() / ("velocyn-script-fuzz-" + std::to_string(::getpid()));
  fs::remove_all(machine);
  tamber::platform::sim::Machine::Create(machine);
  tamber::platform::sim::Machine::Boot(machine);
  const fs::path drive = machine / "drive_c";
  fs::create_directories(drive / "Scripts" / "two words");
  fs::create_directories(drive / "Tools");
  for (const char* file : {"Scripts/a.cmd", "Scripts/two words/b c.cmd", "Tools/run.exe", "Windows/Temp/x.cmd"}) {
    std::ofstream(drive / file) << "x";
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  BootMachine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  tamber::core::windows::Script script;
  tamber::core::windows::ScriptCommand command;
  if (script.ParsePath(value, &command)) {
    if (value.size() > tamber::core::windows::Script::kMaxValueLength) std::abort();
    if (command.commandLine.size() > tamber::core::windows::Script::kMaxCommandLineLength) std::abort();
    if (!tamber::core::windows::Script::IsScriptPathToken(command.scriptPath)) std::abort();
    if (command.securePath.rfind(script.SecureFolder(), 0) != 0) std::abort();
  }
  if (size <= 256) {
    static const std::regex pattern(tamber::core::windows::Script::kScriptPathPattern, std::regex::ECMAScript);
    if (tamber::core::windows::Script::IsScriptPathToken(value) != std::regex_match(value, pattern)) std::abort();
  }
  return 0;
}
