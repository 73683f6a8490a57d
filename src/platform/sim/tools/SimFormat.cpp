// The simulated "Format.com": formats the data volume at a drive letter as NTFS with a label, on the
// storage model (SimStorage.h). Only what the agent asks for is understood: the drive, /FS:NTFS, /V:label,
// /Q and /FORCE (no prompt). Anything else is refused with the tool's usage error and exit code 1.
// Fault plan: FormatFails=<exit code> makes it fail without touching the volume.
#include <exception>
#include <string>

#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/storage/SimStorage.h"
#include "platform/sim/tools/SimToolSupport.h"
#include "platform/sim/tools/SimTools.h"

namespace tamber::platform::sim {
namespace {

constexpr const char* kUsage = "Invalid parameter - \r\n";

uint32_t Format(ToolContext& context) {
  const auto& argv = context.Argv();
  if (!Machine::IsBooted()) return 1;
  std::wstring drive;
  std::wstring fileSystem;
  std::wstring label;
  bool quick = false;
  bool force = false;
  for (size_t i = 1; i < argv.size(); ++i) {
    std::wstring name;
    std::wstring value;
    if (SplitToolOption(argv[i], &name, &value)) {
      if (name == L"fs") {
        fileSystem = LowerAscii(value);
      } else if (name == L"v") {
        label = value;
      } else if (name == L"q") {
        quick = true;
      } else if (name == L"force") {
        force = true;
      } else {
        context.Out(std::string(kUsage));
        return 1;
      }
    } else if (drive.empty()) {
      drive = argv[i];
    } else {
      context.Out(std::string(kUsage));
      return 1;
    }
  }
  if (drive.size() != 2 || drive[1] != L':' || fileSystem != L"ntfs" || !force) {
    context.Out("Required parameter missing -\r\n");
    return 1;
  }
  context.Out("The type of the file system is RAW.\r\nThe new file system is NTFS.\r\n");
  context.Out(quick ? "QuickFormatting the volume...\r\n" : "Formatting the volume...\r\n");
  if (auto fault = FaultPlan::Get("FormatFails")) {
    context.Out("Format failed.\r\n");
    try {
      uint32_t code = static_cast<uint32_t>(std::stoul(*fault, nullptr, 0));
      return code == 0 ? 4 : code;
    } catch (...) {
      return 4;
    }
  }
  std::string error;
  if (!FormatVolume(drive[0], NarrowUtf8(label), &error)) {
    context.Out(error + "\r\n");
    return 4;
  }
  context.Out("Creating file system structures.\r\nFormat complete.\r\n");
  return 0;
}

}  // namespace

ToolFunction SimFormatTool() {
  return [](ToolContext& context) -> uint32_t {
    try {
      return Format(context);
    } catch (const std::exception&) {  // the machine went away under a late run
      return 1;
    }
  };
}

}  // namespace tamber::platform::sim
