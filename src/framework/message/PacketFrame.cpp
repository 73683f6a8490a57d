#include "framework/message/PacketFrame.h"

#include <algorithm>

#include "framework/log/Log.h"

namespace CORE {

using tamber::Log;
using tamber::LogLevel;

namespace {

void PutU64(uint8_t* p, uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(value >> (56 - 8 * i));
}

uint64_t GetU64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | p[i];
  return value;
}

bool WritePacket(const FrameSink& write, uint16_t flags, const uint8_t* head, size_t headSize, const uint8_t* data,
                 size_t size) {
  uint8_t word[4];
  const uint32_t value = EncodeFrameWord(static_cast<uint32_t>(headSize + size), flags);
  for (int i = 0; i < 4; ++i) word[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  // One write per packet keeps packets whole when several threads share a stream under a lock.
  std::vector<uint8_t> packet;
  packet.reserve(4 + headSize + size);
  packet.insert(packet.end(), word, word + 4);
  packet.insert(packet.end(), head, head + headSize);
  if (size > 0) packet.insert(packet.end(), data, data + size);
  return write(packet.data(), packet.size());
}

}  // namespace

uint32_t EncodeFrameWord(uint32_t size, uint16_t flags) {
  return (static_cast<uint32_t>(flags & kFrameFlagsMask) << 21) | (size & kPacketSizeMask);
}

void DecodeFrameWord(uint32_t word, uint32_t* size, uint16_t* flags) {
  *size = word & kPacketSizeMask;
  *flags = static_cast<uint16_t>(word >> 21);
}

bool WriteFramedMessage(const uint8_t* message, size_t size, uint64_t chunkMessageId, const FrameSink& write,
                        uint32_t maxPacket) {
  maxPacket = std::min(maxPacket, kMaxPacketSize);
  if (maxPacket <= kChunkIdSize + kChunkTotalSize) return false;
  if (size <= maxPacket) return WritePacket(write, 0, nullptr, 0, message, size);

  uint8_t head[kChunkIdSize + kChunkTotalSize];
  PutU64(head, chunkMessageId);
  PutU64(head + kChunkIdSize, size);
  size_t offset = std::min<size_t>(size, maxPacket - sizeof(head));
  if (!WritePacket(write, kFrameChunkFirst, head, sizeof(head), message, offset)) return false;
  while (offset < size) {
    const size_t part = std::min<size_t>(size - offset, maxPacket - kChunkIdSize);
    const bool last = offset + part == size;
    if (!WritePacket(write, last ? kFrameChunkLast : kFrameChunkNext, head, kChunkIdSize, message + offset, part)) {
      return false;
    }
    offset += part;
  }
  return true;
}

FrameReader::FrameReader(size_t maxMessageSize) : maxMessageSize_(maxMessageSize) {}

FrameReader::Result FrameReader::AddPacket(uint16_t flags, const uint8_t* payload, size_t size,
                                           std::vector<uint8_t>* message) {
  auto fail = [&](const char* why) {
    Log(LogLevel::Error, L"CORE::FrameReader::AddPacket(): Invalid packet, %s, flags=0x%X, size=%d", why,
        static_cast<unsigned>(flags), static_cast<int>(std::min<size_t>(size, 0x7FFFFFFF)));
    inChunk_ = false;
    pending_.clear();
    pending_.shrink_to_fit();
    return Result::Error;
  };
  if (size > kMaxPacketSize) return fail("packet too large");
  const uint16_t chunkFlags = flags & (kFrameChunkFirst | kFrameChunkNext | kFrameChunkLast);
  if ((flags & ~chunkFlags) != 0) return fail("unknown frame flags");
  if (chunkFlags == 0) {
    if (inChunk_) return fail("whole message inside a chunked one");
    if (size > maxMessageSize_) return fail("message too large");
    message->assign(payload, payload + size);
    return Result::Message;
  }
  if (chunkFlags == kFrameChunkFirst) {
    if (inChunk_) return fail("first chunk inside a chunked message");
    if (size < kChunkIdSize + kChunkTotalSize) return fail("short first chunk");
    chunkId_ = GetU64(payload);
    expected_ = GetU64(payload + kChunkIdSize);
    const size_t data = size - kChunkIdSize - kChunkTotalSize;
    if (expected_ > maxMessageSize_) return fail("message too large");
    if (data >= expected_) return fail("first chunk holds the whole message");
    inChunk_ = true;
    pending_.clear();
    // Memory grows with the data that really arrives, never with the announced size alone.
    pending_.assign(payload + kChunkIdSize + kChunkTotalSize, payload + size);
    return Result::NeedMore;
  }
  if (chunkFlags != kFrameChunkNext && chunkFlags != kFrameChunkLast) return fail("conflicting chunk flags");
  if (!inChunk_) return fail("chunk without a first chunk");
  if (size < kChunkIdSize) return fail("short chunk");
  if (GetU64(payload) != chunkId_) return fail("chunk of another message");
  const size_t data = size - kChunkIdSize;
  if (data > expected_ - pending_.size()) return fail("more data than announced");
  pending_.insert(pending_.end(), payload + kChunkIdSize, payload + size);
  const bool complete = pending_.size() == expected_;
  if (chunkFlags == kFrameChunkNext) {
    if (complete) return fail("continuation chunk completes the message");
    return Result::NeedMore;
  }
  if (!complete) return fail("last chunk before the announced size");
  inChunk_ = false;
  *message = std::move(pending_);
  pending_ = {};
  return Result::Message;
}

bool FrameReader::ReadMessage(const FrameSource& read, std::vector<uint8_t>* message) {
  std::vector<uint8_t> payload;
  for (;;) {
    uint8_t word[4];
    if (!read(word, sizeof(word))) return false;
    const uint32_t value = (static_cast<uint32_t>(word[0]) << 24) | (static_cast<uint32_t>(word[1]) << 16) |
                           (static_cast<uint32_t>(word[2]) << 8) | word[3];
    uint32_t size = 0;
    uint16_t flags = 0;
    DecodeFrameWord(value, &size, &flags);
    // Memory follows the bytes that really arrive, not the size a peer announces.
    payload.clear();
    while (payload.size() < size) {
      const size_t have = payload.size();
      const size_t part = std::min<size_t>(size - have, 64 * 1024);
      payload.resize(have + part);
      if (!read(payload.data() + have, part)) return false;
    }
    switch (AddPacket(flags, payload.data(), size, message)) {
      case Result::Message:
        return true;
      case Result::Error:
        return false;
      case Result::NeedMore:
        break;
    }
  }
}

}  // namespace CORE
