// Fuzzes the log formatter's reading of format strings: any format text with any mix of arguments
// must either format within the limit or throw std::invalid_argument, never anything else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/log/Format.h"

using tamber::framework::log::FormatArg;
using tamber::framework::log::FormatText;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Byte 0: output limit; byte 1: how many arguments; byte 2: argument kinds' seed. The rest is
  // split into the format (two bytes per wide character, as UTF-16 would carry it) and a narrow
  // string argument.
  size_t maxChars = (static_cast<size_t>(data[0]) * 37) % 9000;
  size_t count = data[1] % 9;
  uint8_t seed = data[2];
  data += 3;
  size = size - 3;
  size_t formatBytes = (size * 3 / 4) & ~size_t{1};
  std::wstring format;
  for (size_t i = 0; i + 1 < formatBytes; i += 2) {
    format.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  std::string narrow(reinterpret_cast<const char*>(data + formatBytes), size - formatBytes);
  std::wstring wide(format.rbegin(), format.rend());

  std::vector<FormatArg> args;
  for (size_t i = 0; i < count; ++i) {
    switch ((seed + i * 7) % 12) {
      case 0:
        args.emplace_back(static_cast<int>(seed) - 128);
        break;
      case 1:
        args.emplace_back(static_cast<uint32_t>(0xFFFFFFF0u + seed));
        break;
      case 2:
        args.emplace_back(static_cast<int64_t>(-1) * seed);
        break;
      case 3:
        args.emplace_back(static_cast<uint64_t>(seed) << 40);
        break;
      case 4:
        args.emplace_back(static_cast<double>(seed) / 3.0);
        break;
      case 5:
        args.emplace_back(wide);
        break;
      case 6:
        args.emplace_back(narrow);
        break;
      case 7:
        args.emplace_back(reinterpret_cast<const void*>(uintptr_t{0xDEADBEEF} * seed));
        break;
      case 8:
        args.emplace_back(static_cast<char>(seed));
        break;
      case 9:
        args.emplace_back(static_cast<wchar_t>(seed * 257));
        break;
      case 10:
        args.emplace_back(static_cast<const wchar_t*>(nullptr));
        break;
      default:
        args.emplace_back(seed % 2 == 0);
        break;
    }
  }
  try {
    std::wstring text = FormatText(format, args.data(), args.size(), maxChars);
    if (text.size() > maxChars) std::abort();
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
