// A message of the framework and its flattened (wire) form.
//
// Flattened layout, every integer big-endian:
//   0  u16 flags: 0x0002 binary block present, 0x0004 strings UTF-8, 0x0008 strings UTF-16
//   2  u16 message kind
//   4  u16 x4 lengths (encoding units) of queueName, queueHint, messageId, replyToId
//   12 u32 number of property entries N
//   16 u32 string area size, 20 u32 binary block size, 24 u32 binary-value area size
//   28 N entries of 6 bytes: u16 name length, u32 descriptor (0xFFFFFFFF opens a nested bag, or closes
//      one when the name length is 0; 0x80000000+n a binary value of n bytes; else text length)
//   then the binary block, the binary-value area, and the string area (the four address strings,
//   then per entry its name and, for text, its value). Strings carry no terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "framework/message/ByteData.h"
#include "framework/message/PropertyBag.h"

namespace CORE {

// Binary block a message may carry outside its bag.
struct MsgBinary {
  std::vector<uint8_t> data;
  bool operator==(const MsgBinary&) const = default;
};

constexpr uint16_t kMessageFlagBinary = 0x0002;
constexpr uint16_t kMessageFlagUtf8 = 0x0004;
constexpr uint16_t kMessageFlagUtf16 = 0x0008;
constexpr size_t kMessageHeaderSize = 28;
constexpr size_t kPropertyEntrySize = 6;

class Message {
 public:
  uint16_t kind = 0;
  std::wstring queueName;
  std::wstring queueHint;
  std::wstring messageId;
  std::wstring replyToId;
  PropertyBag bag;
  std::optional<MsgBinary> binary;

  // Writes the flattened message into out, which may hold at most out's total. False (logged) on an
  // unsupported encoding, a string the encoding cannot carry, or too small a buffer.
  bool Flatten(long encoding, ByteData& out) const;
  // The same into a vector, at most maxSize bytes.
  bool Flatten(long encoding, std::vector<uint8_t>* out, size_t maxSize = kMaxFlattenedSize) const;
  // Replaces this message with the one in the bytes. The strings' encoding is the one the message's
  // flags name, or encoding when they name none. False (logged) on any inconsistency; the message is
  // then left cleared.
  bool Parse(const uint8_t* data, size_t size, long encoding);
  bool Parse(const std::vector<uint8_t>& data, long encoding) { return Parse(data.data(), data.size(), encoding); }

  void Clear();
  bool operator==(const Message& other) const;

  // Largest message the framework flattens or accepts (it travels in chunks of the packet frame).
  static constexpr size_t kMaxFlattenedSize = 64u * 1024 * 1024;

 private:
  bool FlattenMemberStrings(long encoding, ByteData& strings, uint16_t lengths[4]) const;
};

}  // namespace CORE
