// The simulated loader's view of the running executable: its string table and version resource. An
// executable registers them from a static initialiser of its own (the Windows build carries the same
// data in its resource script), and the version resource is also written into the executable file,
// where GetFileVersionInfo finds it as it finds the resource of a real image.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/Module.h"

namespace tamber::platform::sim {

struct ModuleResources {
  std::map<uint32_t, std::wstring> strings;
};

void RegisterModuleResources(const ModuleResources& resources);

// The simulated DbgHelp (SimDbgHelp.cpp): whether a module handle is it, and its exports by name.
bool IsDbgHelpModule(ModuleHandle module);
void* DbgHelpProcAddress(const char* name);

// The SetProcessDEPPolicy of the simulated kernel32 records what it was asked; tests read it.
bool ProcessDepEnabled();

}  // namespace tamber::platform::sim
