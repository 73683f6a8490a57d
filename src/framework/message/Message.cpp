#include "framework/message/Message.h"

#include <algorithm>

#include "framework/log/Log.h"

namespace CORE {

using tamber::Log;
using tamber::LogLevel;

namespace {

bool SupportedEncoding(long encoding) { return encoding == kEncodingUtf8 || encoding == kEncodingUtf16; }

}  // namespace

bool Message::FlattenMemberStrings(long encoding, ByteData& strings, uint16_t lengths[4]) const {
  if (!SupportedEncoding(encoding)) {
    Log(LogLevel::Error, L"CORE::Message::FlattenMemberStrings(): Unsupported char encoding code=%ld", encoding);
    return false;
  }
  const std::wstring* members[4] = {&queueName, &queueHint, &messageId, &replyToId};
  size_t units = 0;
  for (int i = 0; i < 4; ++i) {
    if (!CharEncConverter::ConvertFromUtf16(*members[i], encoding, strings, &units, 0xFFFF)) {
      // One message per member, each naming its member as the text says.
      switch (i) {
        case 0:
          Log(LogLevel::Error,
              L"CORE::Message::FlattenMemberStrings(): Failed to encode/serialize queueName, encoding=%s",
              EncodingName(encoding));
          break;
        case 1:
          Log(LogLevel::Error,
              L"CORE::Message::FlattenMemberStrings(): Failed to encode/serialize queueHint, encoding=%s",
              EncodingName(encoding));
          break;
        case 2:
          Log(LogLevel::Error,
              L"CORE::Message::FlattenMemberStrings(): Failed to encode/serialize messageId, encoding=%s",
              EncodingName(encoding));
          break;
        default:
          Log(LogLevel::Error,
              L"CORE::Message::FlattenMemberStrings(): Failed to encode/serialize replyToId, encoding=%s",
              EncodingName(encoding));
          break;
      }
      return false;
    }
    lengths[i] = static_cast<uint16_t>(units);
  }
  return true;
}

bool Message::Flatten(long encoding, ByteData& out) const {
  if (!SupportedEncoding(encoding)) {
    Log(LogLevel::Error, L"CORE::Message::Flatten(): Unsupported char encoding code=%ld", encoding);
    return false;
  }
  // The areas are built apart, each bounded by what the output can still take, and then laid out
  // one after the other: entries, binary block, binary values, strings.
  const size_t room = out.Left();
  std::vector<uint8_t> entryBytes, binaryBytes, stringBytes;
  ByteData entries = ByteData::Writer(&entryBytes, room);
  ByteData binaries = ByteData::Writer(&binaryBytes, room);
  ByteData strings = ByteData::Writer(&stringBytes, room);

  uint16_t lengths[4] = {};
  if (!FlattenMemberStrings(encoding, strings, lengths)) return false;
  const size_t blockSize = binary ? binary->data.size() : 0;
  if (blockSize > 0xFFFFFFFFu || (binary && blockSize > room)) {
    Log(LogLevel::Error, L"CORE::Message::Flatten(): Failed to serialize binary data to output buffer, size=%d",
        static_cast<int>(std::min<size_t>(blockSize, 0x7FFFFFFF)));
    return false;
  }
  if (!bag.flatten(encoding, entries, binaries, strings)) return false;

  const size_t count = entryBytes.size() / kPropertyEntrySize;
  if (count > 0xFFFFFFFFu || binaryBytes.size() > 0xFFFFFFFFu || stringBytes.size() > 0xFFFFFFFFu) {
    return out.CheckReqdBytes(static_cast<size_t>(-1));
  }
  uint16_t flags = encoding == kEncodingUtf8 ? kMessageFlagUtf8 : kMessageFlagUtf16;
  if (binary) flags |= kMessageFlagBinary;

  out.Reserve(kMessageHeaderSize + entryBytes.size() + blockSize + binaryBytes.size() + stringBytes.size());
  const bool ok =
      out.AppendU16(flags) && out.AppendU16(kind) && out.AppendU16(lengths[0]) && out.AppendU16(lengths[1]) &&
      out.AppendU16(lengths[2]) && out.AppendU16(lengths[3]) && out.AppendU32(static_cast<uint32_t>(count)) &&
      out.AppendU32(static_cast<uint32_t>(stringBytes.size())) && out.AppendU32(static_cast<uint32_t>(blockSize)) &&
      out.AppendU32(static_cast<uint32_t>(binaryBytes.size())) && out.Append(entryBytes.data(), entryBytes.size());
  if (!ok) return false;
  if (binary && !out.Append(binary->data.data(), blockSize)) {
    Log(LogLevel::Error, L"CORE::Message::Flatten(): Failed to serialize binary data to output buffer, size=%d",
        static_cast<int>(std::min<size_t>(blockSize, 0x7FFFFFFF)));
    return false;
  }
  return out.Append(binaryBytes.data(), binaryBytes.size()) && out.Append(stringBytes.data(), stringBytes.size());
}

bool Message::Flatten(long encoding, std::vector<uint8_t>* out, size_t maxSize) const {
  ByteData writer = ByteData::Writer(out, maxSize);
  if (Flatten(encoding, writer)) return true;
  if (out != nullptr) out->clear();
  return false;
}

bool Message::Parse(const uint8_t* data, size_t size, long encoding) {
  Clear();
  ByteData reader = ByteData::Reader(data, size);
  uint16_t flags = 0;
  uint16_t lengths[4] = {};
  uint32_t count = 0, stringSize = 0, blockSize = 0, binarySize = 0;
  if (!reader.ReadU16(&flags) || !reader.ReadU16(&kind) || !reader.ReadU16(&lengths[0]) ||
      !reader.ReadU16(&lengths[1]) || !reader.ReadU16(&lengths[2]) || !reader.ReadU16(&lengths[3]) ||
      !reader.ReadU32(&count) || !reader.ReadU32(&stringSize) || !reader.ReadU32(&blockSize) ||
      !reader.ReadU32(&binarySize)) {
    Clear();
    return false;
  }
  // The sender's flags name the encoding it used; a message that names none is read as the caller says.
  const bool utf8 = (flags & kMessageFlagUtf8) != 0;
  const bool utf16 = (flags & kMessageFlagUtf16) != 0;
  long wire = utf8 && utf16 ? 0 : utf8 ? kEncodingUtf8 : utf16 ? kEncodingUtf16 : encoding;
  if (!SupportedEncoding(wire)) wire = 0;

  // Every area must lie inside the input before anything is taken from it; the sizes are checked
  // against the bytes left, so no length field can make us allocate or read beyond the input.
  const uint8_t* entryData = nullptr;
  const uint8_t* blockData = nullptr;
  const uint8_t* binaryData = nullptr;
  const uint8_t* stringData = nullptr;
  const uint64_t entryBytes = static_cast<uint64_t>(count) * kPropertyEntrySize;
  const bool hasBlock = (flags & kMessageFlagBinary) != 0;
  if (entryBytes > reader.Left() || !reader.Read(static_cast<size_t>(entryBytes), &entryData)) {
    if (entryBytes > reader.Left())
      reader.CheckDestBytes(entryBytes > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(entryBytes));
    Clear();
    return false;
  }
  if ((!hasBlock && blockSize != 0)) {
    Log(LogLevel::Error, L"CORE::ByteData::CheckDestBytes(): Invalid source length");
    Clear();
    return false;
  }
  if (!reader.Read(blockSize, &blockData) || !reader.Read(binarySize, &binaryData) ||
      !reader.Read(stringSize, &stringData)) {
    Clear();
    return false;
  }
  if (reader.Left() != 0) {
    Log(LogLevel::Error, L"CORE::ByteData::CheckDestBytes(): Invalid source length");
    Clear();
    return false;
  }

  ByteData strings = ByteData::Reader(stringData, stringSize);
  std::wstring* members[4] = {&queueName, &queueHint, &messageId, &replyToId};
  for (int i = 0; i < 4; ++i) {
    if (wire == 0 || !CharEncConverter::ConvertToUtf16(strings, lengths[i], wire, members[i])) {
      switch (i) {
        case 0:
          Log(LogLevel::Error, L"CORE::Message::Parse(): Failed to read/re-encode queueName, encoding=%s",
              EncodingName(wire));
          break;
        case 1:
          Log(LogLevel::Error, L"CORE::Message::Parse(): Failed to read/re-encode queueHint, encoding=%s",
              EncodingName(wire));
          break;
        case 2:
          Log(LogLevel::Error, L"CORE::Message::Parse(): Failed to read/re-encode messageId, encoding=%s",
              EncodingName(wire));
          break;
        default:
          Log(LogLevel::Error, L"CORE::Message::Parse(): Failed to read/re-encode replyToId, encoding=%s",
              EncodingName(wire));
          break;
      }
      Clear();
      return false;
    }
  }
  if (hasBlock) binary = MsgBinary{std::vector<uint8_t>(blockData, blockData + blockSize)};
  ByteData entries = ByteData::Reader(entryData, static_cast<size_t>(entryBytes));
  ByteData binaries = ByteData::Reader(binaryData, binarySize);
  if (!bag.load(wire, count, entries, binaries, strings)) {
    Clear();
    return false;
  }
  return true;
}

void Message::Clear() {
  kind = 0;
  queueName.clear();
  queueHint.clear();
  messageId.clear();
  replyToId.clear();
  bag.Clear();
  binary.reset();
}

bool Message::operator==(const Message& other) const {
  return kind == other.kind && queueName == other.queueName && queueHint == other.queueHint &&
         messageId == other.messageId && replyToId == other.replyToId && bag == other.bag && binary == other.binary;
}

}  // namespace CORE
