// Fuzzes the readings of values that come from outside the guest: the customization flags as the C
// library's atoi reads them (and their text form), and the lines of the simulated service control
// manager's protocol. Any text must be read without fault, and what is read must be consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/util/CustomizationFlags.h"
#include "platform/sim/services/SimServiceHost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  int32_t flags = tamber::core::util::AtoiCompatible(text);
  auto name = tamber::core::util::CustomizationFlagsText(static_cast<tamber::core::util::CustomizationFlagBits>(flags));
  if (name.empty()) std::abort();

  std::string line(text);
  for (const auto& word : tamber::platform::sim::SplitProtocolLine(line)) {
    if (word.empty()) std::abort();
    auto number = tamber::platform::sim::ParseProtocolNumber(word);
    if (number && std::to_string(*number) != word && word.front() != '0') std::abort();
  }
  return 0;
}
