#include "framework/message/ByteData.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "framework/log/Log.h"

namespace CORE {

using tamber::Log;
using tamber::LogLevel;

namespace {

// Counts in the messages are printed as the 32-bit longs the peer knows.
long AsLong(size_t value) {
  return value > static_cast<size_t>(std::numeric_limits<int32_t>::max()) ? std::numeric_limits<int32_t>::max()
                                                                          : static_cast<long>(value);
}

}  // namespace

const char* EncodingName(long encoding) {
  switch (encoding) {
    case kEncodingUtf8:
      return "UTF-8";
    case kEncodingUtf16:
      return "UTF-16";
    default:
      return "unknown";
  }
}

ByteData ByteData::Writer(std::vector<uint8_t>* out, size_t total) {
  ByteData data;
  data.out_ = out;
  data.total_ = total;
  if (out != nullptr) out->clear();
  return data;
}

ByteData ByteData::Reader(const uint8_t* data, size_t size) {
  ByteData reader;
  reader.in_ = data;
  reader.total_ = data == nullptr ? 0 : size;
  return reader;
}

bool ByteData::CheckReqdBytes(size_t required) const {
  if (out_ == nullptr) {
    Log(LogLevel::Error, L"CORE::ByteData::CheckReqdBytes(): Invalid input buffer");
    return false;
  }
  if (required > total_ - consumed_) {
    Log(LogLevel::Error,
        L"CORE::ByteData::CheckReqdBytes(): Not enough buffer left, total=%ld, consumed=%ld, required=%ld",
        AsLong(total_), AsLong(consumed_), AsLong(required));
    return false;
  }
  return true;
}

bool ByteData::Append(const void* data, size_t size) {
  if (!CheckReqdBytes(size)) return false;
  if (size == 0) return true;
  const auto* bytes = static_cast<const uint8_t*>(data);
  out_->insert(out_->end(), bytes, bytes + size);
  consumed_ += size;
  return true;
}

// The fixed-size fields are pushed byte by byte: for a few bytes that is cheaper than growing
// the vector by a span.
bool ByteData::AppendU16(uint16_t value) {
  if (out_ == nullptr || total_ - consumed_ < 2) return CheckReqdBytes(2);
  out_->push_back(static_cast<uint8_t>(value >> 8));
  out_->push_back(static_cast<uint8_t>(value));
  consumed_ += 2;
  return true;
}

bool ByteData::AppendU32(uint32_t value) {
  if (out_ == nullptr || total_ - consumed_ < 4) return CheckReqdBytes(4);
  for (int i = 0; i < 4; ++i) out_->push_back(static_cast<uint8_t>(value >> (24 - 8 * i)));
  consumed_ += 4;
  return true;
}

uint8_t* ByteData::Extend(size_t size) {
  if (out_ == nullptr || total_ - consumed_ < size) {
    CheckReqdBytes(size);
    return nullptr;
  }
  const size_t end = out_->size();
  out_->resize(end + size);
  consumed_ += size;
  return out_->data() + end;
}

void ByteData::Reserve(size_t size) {
  if (out_ != nullptr) out_->reserve(out_->size() + std::min(size, Left()));
}

bool ByteData::PatchU16(size_t offset, uint16_t value) {
  if (out_ == nullptr || offset > consumed_ || consumed_ - offset < 2) return CheckReqdBytes(total_ + 1);
  (*out_)[offset] = static_cast<uint8_t>(value >> 8);
  (*out_)[offset + 1] = static_cast<uint8_t>(value);
  return true;
}

bool ByteData::PatchU32(size_t offset, uint32_t value) {
  if (out_ == nullptr || offset > consumed_ || consumed_ - offset < 4) return CheckReqdBytes(total_ + 1);
  for (int i = 0; i < 4; ++i) (*out_)[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  return true;
}

bool ByteData::CheckDestBytes(size_t required) const {
  if (in_ == nullptr && total_ == 0 && required > 0) {
    Log(LogLevel::Error, L"CORE::ByteData::CheckDestBytes(): Invalid source length");
    return false;
  }
  if (required > total_ - consumed_) {
    Log(LogLevel::Error,
        L"CORE::ByteData::CheckDestBytes(): Not enough buffer left, total=%ld, consumed=%ld, required=%ld",
        AsLong(total_), AsLong(consumed_), AsLong(required));
    return false;
  }
  return true;
}

bool ByteData::Read(size_t size, const uint8_t** data) {
  if (!CheckDestBytes(size)) return false;
  *data = in_ == nullptr ? nullptr : in_ + consumed_;
  consumed_ += size;
  return true;
}

bool ByteData::ReadU16(uint16_t* value) {
  const uint8_t* p = nullptr;
  if (!Read(2, &p)) return false;
  *value = static_cast<uint16_t>((p[0] << 8) | p[1]);
  return true;
}

bool ByteData::ReadU32(uint32_t* value) {
  const uint8_t* p = nullptr;
  if (!Read(4, &p)) return false;
  *value = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
  return true;
}

// --- text ---------------------------------------------------------------------------------------

namespace {

// Code points of a wide string. With a 16-bit wchar_t, pairs are combined; a lone surrogate is kept
// as its own value so that UTF-16 stays lossless (UTF-8 refuses it).
template <class Fn>
bool ForEachCodePoint(const std::wstring& text, Fn&& fn) {
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = static_cast<uint32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
        uint32_t low = static_cast<uint32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    if (!fn(c)) return false;
  }
  return true;
}

wchar_t* PutWide(wchar_t* out, uint32_t c) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0x10000) {
      c -= 0x10000;
      *out++ = static_cast<wchar_t>(0xD800 + (c >> 10));
      *out++ = static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
      return out;
    }
  }
  *out++ = static_cast<wchar_t>(c);
  return out;
}

bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

size_t Utf8Length(uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Little-endian code units; a code point above the basic plane as its pair.
uint8_t* PutUtf16(uint8_t* to, uint32_t c) {
  auto put = [&](uint32_t unit) {
    *to++ = static_cast<uint8_t>(unit);
    *to++ = static_cast<uint8_t>(unit >> 8);
  };
  if (c >= 0x10000) {
    put(0xD800 + ((c - 0x10000) >> 10));
    put(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    put(c);
  }
  return to;
}

uint8_t* PutUtf8(uint8_t* to, uint32_t c) {
  if (c < 0x80) {
    *to++ = static_cast<uint8_t>(c);
  } else if (c < 0x800) {
    *to++ = static_cast<uint8_t>(0xC0 | (c >> 6));
    *to++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *to++ = static_cast<uint8_t>(0xE0 | (c >> 12));
    *to++ = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    *to++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
  } else {
    *to++ = static_cast<uint8_t>(0xF0 | (c >> 18));
    *to++ = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
    *to++ = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    *to++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
  }
  return to;
}

}  // namespace

bool CharEncConverter::ConvertFromUtf16(const std::wstring& text, long encoding, ByteData& out, size_t* units,
                                        size_t maxUnits) {
  if (!out.IsWriter() || units == nullptr) {
    Log(LogLevel::Error, L"CORE::CharEncConverter::ConvertFromUtf16(): No buffer available to copy string");
    return false;
  }
  *units = 0;
  const bool utf16 = encoding == kEncodingUtf16;  // else UTF-8: the caller has checked the code
  // Most text is ASCII, or below the surrogates in UTF-16: one unit per character, copied in a
  // loop the compiler can vectorize.
  // (Compared unsigned: a 32-bit wchar_t may be negative, which is no character at all.)
  uint32_t highest = 0;
  for (wchar_t c : text) highest = std::max(highest, static_cast<uint32_t>(c));
  if (highest < (utf16 ? 0xD800u : 0x80u)) {
    *units = text.size();
    if (*units > maxUnits) return false;
    uint8_t* to = text.empty() ? nullptr : out.Extend(utf16 ? 2 * text.size() : text.size());
    if (to == nullptr) return text.empty();
    if (utf16) {
      for (size_t i = 0; i < text.size(); ++i) {
        to[2 * i] = static_cast<uint8_t>(text[i]);
        to[2 * i + 1] = static_cast<uint8_t>(static_cast<uint32_t>(text[i]) >> 8);
      }
    } else {
      for (size_t i = 0; i < text.size(); ++i) to[i] = static_cast<uint8_t>(text[i]);
    }
    return true;
  }
  // Other text: a first pass checks it and counts its bytes, so that the output grows once, and
  // a second encodes it there.
  size_t size = 0;
  const bool ok = ForEachCodePoint(text, [&](uint32_t c) {
    if (c > 0x10FFFF || (!utf16 && IsSurrogate(c))) return false;
    size += utf16 ? (c >= 0x10000 ? 4 : 2) : Utf8Length(c);
    return true;
  });
  if (!ok) {
    Log(LogLevel::Error, L"CORE::CharEncConverter::ConvertFromUtf16(): Failed to convert(UTF16 to UTF8), Error=%s",
        utf16 ? "code point out of range" : "invalid code point");
    return false;
  }
  *units = utf16 ? size / 2 : size;
  if (*units > maxUnits) return false;
  if (size == 0) return true;
  uint8_t* to = out.Extend(size);
  if (to == nullptr) return false;
  ForEachCodePoint(text, [&](uint32_t c) {
    to = utf16 ? PutUtf16(to, c) : PutUtf8(to, c);
    return true;
  });
  return true;
}

bool CharEncConverter::ConvertToUtf16(ByteData& reader, size_t units, long encoding, std::wstring* text) {
  text->clear();
  if (encoding == kEncodingUtf16) {
    if (units > reader.Left() / 2) {
      Log(LogLevel::Error,
          L"CORE::CharEncConverter::ConvertToUtf16(): Not enough bytes left to read from(Utf16 to Utf16), found=%ld, need=%ld",
          static_cast<long>(reader.Left() > 0x7FFFFFFF ? 0x7FFFFFFF : reader.Left()),
          static_cast<long>(units > 0x3FFFFFFF ? 0x7FFFFFFF : units * 2));
      return false;
    }
    const uint8_t* p = nullptr;
    if (!reader.Read(units * 2, &p)) return false;
    // Written in place: the text is never longer than its units, and pairs only shorten it.
    text->resize(units);
    wchar_t* out = text->data();
    for (size_t i = 0; i < units; ++i) {
      uint32_t c = p[2 * i] | (static_cast<uint32_t>(p[2 * i + 1]) << 8);
      if constexpr (sizeof(wchar_t) != 2) {
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
          uint32_t low = p[2 * i + 2] | (static_cast<uint32_t>(p[2 * i + 3]) << 8);
          if (low >= 0xDC00 && low <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
          }
        }
      }
      *out++ = static_cast<wchar_t>(c);
    }
    text->resize(static_cast<size_t>(out - text->data()));
    return true;
  }
  if (units > reader.Left()) {
    Log(LogLevel::Error,
        L"CORE::CharEncConverter::ConvertToUtf16(): Not enough bytes left to read from(Utf8 to Utf16), found=%ld, need=%ld",
        static_cast<long>(reader.Left() > 0x7FFFFFFF ? 0x7FFFFFFF : reader.Left()),
        static_cast<long>(units > 0x7FFFFFFF ? 0x7FFFFFFF : units));
    return false;
  }
  const uint8_t* p = nullptr;
  if (!reader.Read(units, &p)) return false;
  // Written in place, as above: a byte never yields more than one unit.
  text->resize(units);
  wchar_t* out = text->data();
  const char* error = nullptr;
  for (size_t i = 0; i < units && error == nullptr;) {
    // Runs of ASCII, the bulk of what peers send, are copied without decoding.
    while (i < units && p[i] < 0x80) *out++ = static_cast<wchar_t>(p[i++]);
    if (i == units) break;
    uint8_t b = p[i];
    uint32_t c = 0;
    size_t extra = 0;
    uint32_t min = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, extra = 1, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, extra = 2, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, extra = 3, min = 0x10000;
    } else {
      error = "invalid lead byte";
      break;
    }
    if (extra > units - i - 1) {
      error = "truncated sequence";
      break;
    }
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) {
        error = "invalid continuation byte";
        break;
      }
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (error != nullptr) break;
    if (c < min) {
      error = "overlong sequence";
    } else if (c > 0x10FFFF || IsSurrogate(c)) {
      error = "invalid code point";
    } else {
      out = PutWide(out, c);
      i += extra + 1;
    }
  }
  if (error != nullptr) {
    Log(LogLevel::Error, L"CORE::CharEncConverter::ConvertToUtf16(): Failed to convert(UTF8 to UTF16) Error=%s", error);
    text->clear();
    return false;
  }
  text->resize(static_cast<size_t>(out - text->data()));
  return true;
}

}  // namespace CORE
