// The packet frame a channel puts around flattened messages.
//
// Each packet is preceded by a 4-byte big-endian word: the low 21 bits give the packet's size, the
// top 11 bits its frame flags. A packet is smaller than 2 MiB. A message that does not fit in one
// packet travels as a first chunk, continuation chunks and a last chunk, each starting with the same
// 8-byte big-endian chunk message id; the first chunk then gives the whole message's size (8 bytes,
// big-endian) before its data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace CORE {

constexpr uint32_t kPacketSizeMask = 0x1FFFFF;
constexpr uint32_t kMaxPacketSize = 0x1FFFFF;  // below 0x200000
constexpr uint16_t kFrameFlagsMask = 0x7FF;
// Frame flags. A packet with none of the chunk flags is a whole message.
constexpr uint16_t kFrameChunkFirst = 0x001;
constexpr uint16_t kFrameChunkNext = 0x002;
constexpr uint16_t kFrameChunkLast = 0x004;
constexpr size_t kChunkIdSize = 8;
constexpr size_t kChunkTotalSize = 8;

uint32_t EncodeFrameWord(uint32_t size, uint16_t flags);
void DecodeFrameWord(uint32_t word, uint32_t* size, uint16_t* flags);

// Writes a message as one packet or as chunks; write sends bytes and returns false on failure.
// maxPacket (tests make it small) must leave room for the chunk headers.
using FrameSink = std::function<bool(const uint8_t* data, size_t size)>;
bool WriteFramedMessage(const uint8_t* message, size_t size, uint64_t chunkMessageId, const FrameSink& write,
                        uint32_t maxPacket = kMaxPacketSize);

// Reads exactly size bytes; false at the end of the stream or on failure.
using FrameSource = std::function<bool(uint8_t* data, size_t size)>;

// Reassembles messages from packets. Refuses (logs and returns Error) packets that break the framing:
// unknown flags, a chunk of another message, a continuation without a first chunk, more data than the
// first chunk announced, a message above the size limit. After an error the stream is unusable.
class FrameReader {
 public:
  enum class Result { Message, NeedMore, Error };
  explicit FrameReader(size_t maxMessageSize);

  // Adds one packet's payload; Message when it completes a message (moved into *message).
  Result AddPacket(uint16_t flags, const uint8_t* payload, size_t size, std::vector<uint8_t>* message);
  // Reads packets from the source until a whole message; false at the end of the stream or on error.
  bool ReadMessage(const FrameSource& read, std::vector<uint8_t>* message);

 private:
  size_t maxMessageSize_;
  bool inChunk_ = false;
  uint64_t chunkId_ = 0;
  uint64_t expected_ = 0;
  std::vector<uint8_t> pending_;
};

}  // namespace CORE
