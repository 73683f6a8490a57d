#include "common/security/SecureMemory.h"

#include <cstring>
#include <limits>

#include "platform/Network.h"

namespace tamber::common::windows {
namespace {

// The size lives in front of the block; 16 bytes keep the block as aligned as the heap's own.
constexpr size_t kHeaderSize = 16;
static_assert(sizeof(size_t) <= kHeaderSize);

}  // namespace

void WipeMemory(void* data, size_t size) {
  if (data == nullptr) return;
  volatile auto* bytes = static_cast<volatile uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

void* AllocateSecret(size_t size) {
  if (size > std::numeric_limits<size_t>::max() - kHeaderSize) return nullptr;
  auto* block = static_cast<uint8_t*>(
      platform::HeapAlloc(platform::GetProcessHeap(), platform::kHeapZeroMemory, size + kHeaderSize));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof(size));
  return block + kHeaderSize;
}

void FreeSecret(void* block) {
  if (block == nullptr) return;
  uint8_t* start = static_cast<uint8_t*>(block) - kHeaderSize;
  size_t size = 0;
  std::memcpy(&size, start, sizeof(size));
  WipeMemory(start, size + kHeaderSize);
  platform::HeapFree(platform::GetProcessHeap(), 0, start);
}

SecureBuffer& SecureBuffer::operator=(SecureBuffer&& other) noexcept {
  if (this != &other) {
    Reset();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

uint8_t* SecureBuffer::Release() {
  uint8_t* data = data_;
  data_ = nullptr;
  size_ = 0;
  return data;
}

void SecureBuffer::Reset() {
  FreeSecret(data_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace tamber::common::windows
