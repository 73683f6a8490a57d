// Resources of the agent's simulated image: the same data as the Windows resource script. The fixed
// version information is kept in the executable file itself, in its ".rsrc" section, where the simulated
// GetFileVersionInfo finds it as Windows finds a resource in an image.
#include "platform/Module.h"
#include "platform/sim/kernel/SimModule.h"
#include "service/Resources.h"

namespace {

#define VELOCYN_WIDE2(text) L##text
#define VELOCYN_WIDE(text) VELOCYN_WIDE2(text)

constexpr uint32_t kVosNtWindows32 = 0x00040004;
constexpr uint32_t kVftApp = 1;

// In the image's resource section, where the simulated version lookup reads it without a scan.
[[gnu::used, gnu::section(".rsrc")]] const tamber::platform::FixedFileInfo kVersionResource{
    tamber::platform::kFixedFileInfoSignature,
    0x00010000,
    (VELOCYN_VERSION_MAJOR << 16) | VELOCYN_VERSION_MINOR,
    (VELOCYN_VERSION_PATCH << 16) | VELOCYN_VERSION_BUILD,
    (VELOCYN_VERSION_MAJOR << 16) | VELOCYN_VERSION_MINOR,
    (VELOCYN_VERSION_PATCH << 16) | VELOCYN_VERSION_BUILD,
    0x3F,
    0,
    kVosNtWindows32,
    kVftApp,
    0,
    0,
    0};

const bool kRegistered = [] {
  tamber::platform::sim::ModuleResources resources;
  resources.strings[IDS_SERVICENAME] = VELOCYN_WIDE(VELOCYN_SERVICE_NAME_TEXT);
  resources.strings[IDS_DISPLAYNAME] = VELOCYN_WIDE(VELOCYN_DISPLAY_NAME_TEXT);
  tamber::platform::sim::RegisterModuleResources(resources);
  return true;
}();

}  // namespace
