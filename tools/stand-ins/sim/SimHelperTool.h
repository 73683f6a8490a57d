// The helper stand-in as the simulated guest's program at the helper's path. Each start runs the
// stand-in program (tqaprep) as a separate host process and carries the named events across the
// process boundary, which the simulated guest's kernel objects do not cross: the tool creates
// "QX_HELPER_TOOL_SHUTDOWN", sets "QX_HELPER_TOOL_READY" when the program reports ready, and closes
// the program's standard input when the shutdown event is set. A terminated tool ends its program.
#pragma once

#include <filesystem>

namespace tamber::standins {

// Registers the tool at "C:\Program Files\Talvora\Quorvel\Agent\bin\tqaprep.exe", running the host
// program at hostProgram.
void RegisterSimHelperTool(const std::filesystem::path& hostProgram);
void UnregisterSimHelperTool();

}  // namespace tamber::standins
