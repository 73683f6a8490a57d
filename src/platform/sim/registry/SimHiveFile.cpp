#include "platform/sim/registry/SimHiveFile.h"

#include <array>
#include <fstream>
#include <system_error>
#include <unordered_set>

namespace tamber::platform::sim::hive {
namespace {

constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 4 + 4 + 8;  // magic, version, body length
constexpr size_t kTrailerSize = 4;         // CRC-32 of the body

uint32_t Crc32(const uint8_t* data, size_t size) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> entries{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entries[i] = c;
    }
    return entries;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

class Writer {
 public:
  void U32(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes_.push_back(static_cast<uint8_t>(value >> shift));
  }
  void U64(uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) bytes_.push_back(static_cast<uint8_t>(value >> shift));
  }
  // Every wchar_t is kept whole (32 bits), so names that are not valid UTF-16 still round-trip.
  void Text(const std::wstring& text) {
    U32(static_cast<uint32_t>(text.size()));
    for (wchar_t ch : text) U32(static_cast<uint32_t>(ch));
  }
  void Bytes(const std::vector<uint8_t>& data) {
    U32(static_cast<uint32_t>(data.size()));
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  }
  void KeyTree(const Key& key) {
    Text(key.name);
    U32(static_cast<uint32_t>(key.values.size()));
    for (const auto& value : key.values) {
      Text(value.name);
      U32(value.type);
      Bytes(value.data);
    }
    U32(static_cast<uint32_t>(key.subkeys.size()));
    for (const auto& subkey : key.subkeys) KeyTree(subkey);
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool U32(uint32_t* value) {
    if (size_ - pos_ < 4) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) *value |= static_cast<uint32_t>(data_[pos_ + i]) << (8 * i);
    pos_ += 4;
    return true;
  }
  bool U64(uint64_t* value) {
    uint32_t low = 0, high = 0;
    if (!U32(&low) || !U32(&high)) return false;
    *value = (static_cast<uint64_t>(high) << 32) | low;
    return true;
  }
  // A count of items that each take at least minItemBytes: refuse counts the rest of the data
  // cannot hold, so a damaged length never makes us reserve or loop for nothing.
  bool Count(uint32_t* count, size_t minItemBytes) {
    if (!U32(count)) return false;
    return static_cast<uint64_t>(*count) * minItemBytes <= size_ - pos_;
  }
  bool Text(std::wstring* text) {
    uint32_t length = 0;
    if (!Count(&length, 4)) return false;
    text->resize(length);
    for (uint32_t i = 0; i < length; ++i) {
      uint32_t ch = 0;
      if (!U32(&ch)) return false;
      (*text)[i] = static_cast<wchar_t>(ch);
    }
    return true;
  }
  bool Bytes(std::vector<uint8_t>* bytes) {
    uint32_t length = 0;
    if (!Count(&length, 1)) return false;
    bytes->assign(data_ + pos_, data_ + pos_ + length);
    pos_ += length;
    return true;
  }
  bool KeyTree(Key* key, size_t depth) {
    if (depth > kMaxDepth) return false;
    if (!Text(&key->name)) return false;
    uint32_t valueCount = 0;
    if (!Count(&valueCount, 12)) return false;
    std::unordered_set<std::wstring> seen;
    key->values.resize(valueCount);
    for (auto& value : key->values) {
      if (!Text(&value.name) || !U32(&value.type) || !Bytes(&value.data)) return false;
      if (!seen.insert(FoldName(value.name)).second) return false;
    }
    uint32_t subkeyCount = 0;
    if (!Count(&subkeyCount, 12)) return false;
    seen.clear();
    key->subkeys.resize(subkeyCount);
    for (auto& subkey : key->subkeys) {
      if (!KeyTree(&subkey, depth + 1)) return false;
      if (subkey.name.empty() || subkey.name.find(L'\\') != std::wstring::npos) return false;
      if (!seen.insert(FoldName(subkey.name)).second) return false;
    }
    return true;
  }
  bool AtEnd() const { return pos_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

std::wstring FoldName(std::wstring_view name) {
  std::wstring folded(name);
  for (auto& ch : folded) {
    auto code = static_cast<uint32_t>(ch);
    if (code >= L'a' && code <= L'z') {
      code -= 0x20;
    } else if ((code >= 0xE0 && code <= 0xFE && code != 0xF7) || (code >= 0x3B1 && code <= 0x3C9 && code != 0x3C2) ||
               (code >= 0x430 && code <= 0x44F)) {
      code -= 0x20;  // Latin-1, Greek and Cyrillic small letters
    } else if (code >= 0x450 && code <= 0x45F) {
      code -= 0x50;
    }
    ch = static_cast<wchar_t>(code);
  }
  return folded;
}

std::vector<uint8_t> Encode(const Key& root, FileKind kind) {
  Writer body;
  body.KeyTree(root);
  Writer file;
  file.U32(static_cast<uint32_t>(kind));
  file.U32(kVersion);
  file.U64(body.bytes().size());
  auto& out = file.bytes();
  out.insert(out.end(), body.bytes().begin(), body.bytes().end());
  file.U32(Crc32(body.bytes().data(), body.bytes().size()));
  return std::move(out);
}

bool Decode(const uint8_t* data, size_t size, FileKind kind, Key* root) {
  if (data == nullptr || size < kHeaderSize + kTrailerSize) return false;
  Reader header(data, kHeaderSize);
  uint32_t magic = 0, version = 0;
  uint64_t bodySize = 0;
  if (!header.U32(&magic) || !header.U32(&version) || !header.U64(&bodySize)) return false;
  if (magic != static_cast<uint32_t>(kind) || version != kVersion) return false;
  if (bodySize != size - kHeaderSize - kTrailerSize) return false;
  const uint8_t* body = data + kHeaderSize;
  Reader trailer(body + bodySize, kTrailerSize);
  uint32_t crc = 0;
  if (!trailer.U32(&crc) || crc != Crc32(body, bodySize)) return false;
  Reader reader(body, bodySize);
  Key decoded;
  if (!reader.KeyTree(&decoded, 0) || !reader.AtEnd()) return false;
  *root = std::move(decoded);
  return true;
}

bool WriteFileAtomically(const std::filesystem::path& file, const std::vector<uint8_t>& bytes) {
  auto temp = file;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      out.close();
      std::error_code ignored;
      std::filesystem::remove(temp, ignored);
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temp, file, error);
  if (error) {
    std::filesystem::remove(temp, error);
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::filesystem::path& file, std::vector<uint8_t>* bytes) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  auto end = in.tellg();
  if (end < 0) return false;
  in.seekg(0, std::ios::beg);
  std::vector<uint8_t> content(static_cast<size_t>(end));
  if (!content.empty() && !in.read(reinterpret_cast<char*>(content.data()), end)) return false;
  *bytes = std::move(content);
  return true;
}

}  // namespace tamber::platform::sim::hive
