// The Windows tools every simulated guest has, by the names the agent's command lines use.
#include "platform/sim/tools/SimTools.h"

namespace tamber::platform::sim {

std::vector<std::pair<std::wstring, ToolFunction>> BuiltinTools() {
  return {{L"ipconfig", SimIpconfigTool()},   {L"nltest", SimNltestTool()},        {L"w32tm", SimW32tmTool()},
          {L"gpupdate", SimGpupdateTool()},   {L"Format.com", SimFormatTool()},    {L"sysprep", SimSysprepTool()},
          {L"windeploy", SimWindeployTool()}, {L"powershell", SimPowerShellTool()}};
}

void RegisterBuiltinTools() {
  for (auto& [name, tool] : BuiltinTools()) RegisterTool(name, std::move(tool));
}

}  // namespace tamber::platform::sim
