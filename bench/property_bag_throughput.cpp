// Property-bag throughput: how fast a 64 KiB message of mixed items is flattened and parsed, in
// each encoding. Prints MB/s (of flattened bytes); no assertions.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "framework/message/Message.h"

namespace {

using Clock = std::chrono::steady_clock;

// Text, binary, integer and nested items until the flattened message reaches 64 KiB.
CORE::Message MixedMessage() {
  std::mt19937 rng(64);
  CORE::Message message;
  message.queueName = L"CloneHelper";
  message.queueHint = L"PrepClone";
  message.messageId = L"1234-1";
  std::vector<uint8_t> bytes;
  for (int i = 0; message.Flatten(CORE::kEncodingUtf16, &bytes) && bytes.size() < 64 * 1024; ++i) {
    const std::wstring name = L"item-" + std::to_wstring(i);
    switch (i % 5) {
      case 0:
        message.bag.AddText(name, std::wstring(20 + rng() % 200, L'a' + static_cast<wchar_t>(i % 26)));
        break;
      case 1:
        message.bag.AddText(name, L"caf\u00E9 \u4E2D\u6587 " + std::to_wstring(rng()));
        break;
      case 2:
        message.bag.AddBinary(name, std::vector<uint8_t>(16 + rng() % 512, static_cast<uint8_t>(i)));
        break;
      case 3:
        message.bag.AddInteger(name, static_cast<int64_t>(rng()) * 7919);
        break;
      default: {
        CORE::Properties& nested = message.bag.AddBag(name);
        nested.AddText(L"KP_ALGID", L"SHA256");
        nested.AddBinary(L"blob", std::vector<uint8_t>(64, 0x5A));
        break;
      }
    }
  }
  return message;
}

template <class Fn>
double MegabytesPerSecond(size_t bytesPerRun, Fn&& run) {
  size_t runs = 0;
  const auto start = Clock::now();
  auto elapsed = Clock::duration::zero();
  while (elapsed < std::chrono::seconds(2)) {
    for (int i = 0; i < 50; ++i) run();
    runs += 50;
    elapsed = Clock::now() - start;
  }
  const double seconds = std::chrono::duration<double>(elapsed).count();
  return static_cast<double>(bytesPerRun) * static_cast<double>(runs) / seconds / (1024.0 * 1024.0);
}

}  // namespace

int main() {
  const CORE::Message message = MixedMessage();
  std::printf("message: %zu items (%zu wire entries)\n", message.bag.Size(), message.bag.ElementCount());
  for (long encoding : {CORE::kEncodingUtf16, CORE::kEncodingUtf8}) {
    std::vector<uint8_t> bytes;
    if (!message.Flatten(encoding, &bytes)) return 1;
    const double flatten = MegabytesPerSecond(bytes.size(), [&] {
      std::vector<uint8_t> out;
      if (!message.Flatten(encoding, &out)) std::abort();
    });
    const double parse = MegabytesPerSecond(bytes.size(), [&] {
      CORE::Message parsed;
      if (!parsed.Parse(bytes, encoding)) std::abort();
    });
    std::printf("%-6s %6zu bytes  flatten %8.1f MB/s  parse %8.1f MB/s\n", CORE::EncodingName(encoding), bytes.size(),
                flatten, parse);
  }
  return 0;
}
