// On-disk form of the simulated registry: a hive's durable layer, and the files of RegSaveKey.
// Binary, length-prefixed and checksummed, so that any name or value round-trips and a damaged file is
// recognised instead of half-loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tamber::platform::sim::hive {

struct Value {
  std::wstring name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct Key {
  std::wstring name;
  std::vector<Value> values;  // in the order they were first set
  std::vector<Key> subkeys;
};

// A hive file and a saved key use different magic numbers, so one cannot be loaded as the other.
enum class FileKind : uint32_t { Hive = 0x48525356, SavedKey = 0x4B525356 };  // "VSRH", "VSRK"

// Deeper trees are refused, as Windows refuses keys nested more than 512 levels.
constexpr size_t kMaxDepth = 512;

std::vector<uint8_t> Encode(const Key& root, FileKind kind);
// False on anything malformed (bad magic, checksum, lengths, depth, duplicate names); reads nothing
// past size; *root is only assigned on success.
bool Decode(const uint8_t* data, size_t size, FileKind kind, Key* root);

// The registry's case-insensitive form of a name (Windows compares key and value names without case).
std::wstring FoldName(std::wstring_view name);

// Writes through a temporary file in the same directory and renames it over the target, so that the
// target holds either the old or the new content, never a mixture.
bool WriteFileAtomically(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);
bool ReadWholeFile(const std::filesystem::path& file, std::vector<uint8_t>* bytes);

}  // namespace tamber::platform::sim::hive
