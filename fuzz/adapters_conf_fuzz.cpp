// Fuzzes the simulated adapters' file format, which the command line and tests write by hand: any
// text must parse without fault, and what is printed must read back to the same print.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/sim/network/SimAdapters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto adapters = tamber::platform::sim::ParseAdapters(text);
  std::string printed = tamber::platform::sim::PrintAdapters(adapters);
  auto again = tamber::platform::sim::ParseAdapters(printed);
  if (again.size() != adapters.size()) std::abort();
  if (tamber::platform::sim::PrintAdapters(again) != printed) std::abort();
  return 0;
}
