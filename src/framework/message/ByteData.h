// Bounded byte buffers and the text encodings of the message wire format. Every read and write is
// checked against what is left, so that a message from another process can never make us read or
// write outside a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace CORE {

// Character encoding codes of a flattened message.
constexpr long kEncodingUtf8 = 1;
constexpr long kEncodingUtf16 = 2;

// "UTF-8", "UTF-16" or "unknown", for messages.
const char* EncodingName(long encoding);

// A writer appends to a vector up to a fixed total; a reader walks a borrowed span. Failures are
// logged with the counts, and the object is left as it was.
class ByteData {
 public:
  // Writer: at most total bytes may be appended to *out (which is cleared).
  static ByteData Writer(std::vector<uint8_t>* out, size_t total);
  // Reader over size bytes at data (borrowed: it must outlive the reader).
  static ByteData Reader(const uint8_t* data, size_t size);

  size_t Total() const { return total_; }
  size_t Consumed() const { return consumed_; }
  size_t Left() const { return total_ - consumed_; }

  // Writing.
  bool CheckReqdBytes(size_t required) const;
  bool Append(const void* data, size_t size);
  bool AppendU16(uint16_t value);
  bool AppendU32(uint32_t value);
  // Room for size more bytes at the end, filled by the caller; nullptr (logged) past the total.
  uint8_t* Extend(size_t size);
  // Capacity for size more bytes (within what is left), so that appends do not reallocate.
  void Reserve(size_t size);
  bool IsWriter() const { return out_ != nullptr; }
  // Overwrites bytes already written (header fields known only at the end).
  bool PatchU16(size_t offset, uint16_t value);
  bool PatchU32(size_t offset, uint32_t value);

  // Reading.
  bool CheckDestBytes(size_t required) const;
  bool Read(size_t size, const uint8_t** data);
  bool ReadU16(uint16_t* value);
  bool ReadU32(uint32_t* value);

 private:
  std::vector<uint8_t>* out_ = nullptr;
  const uint8_t* in_ = nullptr;
  size_t total_ = 0;
  size_t consumed_ = 0;
};

// Strict conversions between wide strings and the wire encodings. UTF-16 on the wire is always
// little-endian code units, whatever the width of wchar_t.
class CharEncConverter {
 public:
  // Appends text in the encoding to out; *units receives its length in encoding units. False on
  // text that has no form in the encoding or no room in out (both logged), and on text longer than
  // maxUnits (left to the caller to tell, with nothing appended).
  static bool ConvertFromUtf16(const std::wstring& text, long encoding, ByteData& out, size_t* units,
                               size_t maxUnits = static_cast<size_t>(-1));
  // Decodes units encoding units (bytes for UTF-8, 16-bit units for UTF-16) from the reader.
  static bool ConvertToUtf16(ByteData& reader, size_t units, long encoding, std::wstring* text);
};

}  // namespace CORE
