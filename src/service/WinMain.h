#pragma once

#include "platform/Module.h"

namespace tamber::service {

// The process body: checks that the service is installed, enables the two privileges the agent needs,
// and hands the process to the service control dispatcher. Returns the process exit code.
int wWinMain(platform::ModuleHandle instance);

}  // namespace tamber::service
