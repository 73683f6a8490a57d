// Fuzzes what a peer process controls: Message::Parse over raw bytes in either encoding, and the
// packet frame reader over a raw stream. Whatever parses must flatten again, and the flattened form
// must be a fixed point of parse and flatten.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "framework/log/Format.h"
#include "framework/log/Log.h"
#include "framework/message/Message.h"
#include "framework/message/PacketFrame.h"

// The target links only the message sources and the formatter: every log call is formatted (so a
// message whose arguments do not fit its format is a finding) and then dropped.
namespace tamber::framework::log {
bool IsLevelEnabled(LogLevel) { return true; }
void LogFormatted(LogLevel, const wchar_t* format, const FormatArg* args, size_t count) {
  (void)FormatText(format, args, count, 4096);
}
}  // namespace tamber::framework::log

namespace {

void CheckFixedPoint(const CORE::Message& parsed) {
  std::vector<uint8_t> first, second;
  // UTF-16 carries every string a parse can produce.
  if (!parsed.Flatten(CORE::kEncodingUtf16, &first)) std::abort();
  CORE::Message again;
  if (!again.Parse(first, CORE::kEncodingUtf16)) std::abort();
  if (!again.Flatten(CORE::kEncodingUtf16, &second) || second != first) std::abort();
}

void ParseOne(const uint8_t* data, size_t size, long encoding) {
  CORE::Message message;
  if (message.Parse(data, size, encoding)) {
    CheckFixedPoint(message);
  } else if (!(message == CORE::Message())) {
    std::abort();  // a failed parse leaves nothing behind
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 3;
  ++data;
  --size;
  if (mode < 2) {
    ParseOne(data, size, mode == 0 ? CORE::kEncodingUtf8 : CORE::kEncodingUtf16);
    return 0;
  }
  // A stream of packets, reassembled with a small limit, each message parsed.
  size_t at = 0;
  CORE::FrameSource source = [&](uint8_t* out, size_t want) {
    if (size - at < want) return false;
    for (size_t i = 0; i < want; ++i) out[i] = data[at + i];
    at += want;
    return true;
  };
  CORE::FrameReader reader(1 << 16);
  std::vector<uint8_t> message;
  while (reader.ReadMessage(source, &message)) ParseOne(message.data(), message.size(), CORE::kEncodingUtf16);
  return 0;
}
