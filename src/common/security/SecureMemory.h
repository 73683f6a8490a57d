// Memory for secrets (passwords, checksums, keys, seeds, digests and whatever was decrypted): wiped
// before it is freed or leaves scope, on every path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamber::common::windows {

// Overwrites with zeros through volatile stores, so that the compiler cannot drop them as dead.
void WipeMemory(void* data, size_t size);

// A zero-filled block of the process heap (null when the heap refuses). The block records its own
// size, so that FreeSecret wipes all of it whatever size its owner believes it has.
void* AllocateSecret(size_t size);
// Wipes and frees a block of AllocateSecret; null is ignored.
void FreeSecret(void* block);

// Owns one block of AllocateSecret until it is released to a caller.
class SecureBuffer {
 public:
  SecureBuffer() = default;
  // Check Valid(): the heap may refuse.
  explicit SecureBuffer(size_t size) : data_(static_cast<uint8_t*>(AllocateSecret(size))), size_(data_ ? size : 0) {}
  ~SecureBuffer() { Reset(); }
  SecureBuffer(const SecureBuffer&) = delete;
  SecureBuffer& operator=(const SecureBuffer&) = delete;
  SecureBuffer(SecureBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  SecureBuffer& operator=(SecureBuffer&& other) noexcept;

  bool Valid() const { return data_ != nullptr; }
  uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }
  // Hands the block to a caller, who frees it with FreeSecret.
  uint8_t* Release();
  void Reset();

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Wipes memory it does not own (a local array, a caller's output) when the scope ends.
class ScopedWipe {
 public:
  ScopedWipe(void* data, size_t size) : data_(data), size_(size) {}
  ~ScopedWipe() { WipeMemory(data_, size_); }
  ScopedWipe(const ScopedWipe&) = delete;
  ScopedWipe& operator=(const ScopedWipe&) = delete;

 private:
  void* data_;
  size_t size_;
};

}  // namespace tamber::common::windows
