// Fuzzes the simulated setup's answer-file reader (pugixml underneath): any bytes must parse or be
// refused without fault, and every interface it reads has a component it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/sim/setup/SimUnattend.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tamber::platform::sim::UnattendSpecialize pass;
  std::string error;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (tamber::platform::sim::ParseUnattendSpecialize(text, &pass, &error)) {
    for (const auto& entry : pass.interfaces) {
      if (entry.component.empty()) std::abort();
    }
  } else if (error.empty()) {
    std::abort();
  }
  return 0;
}
