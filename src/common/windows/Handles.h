// Handles as types: one RAII owner per handle kind, built from one policy template. Closing never
// clobbers the thread's last error. Shared owners use the deleters below.
#pragma once

#include <memory>
#include <utility>

#include "platform/Lsa.h"
#include "platform/Registry.h"
#include "platform/Types.h"

namespace tamber::common::windows {

template <class T, auto Close, auto IsValid>
class UniqueAny {
 public:
  UniqueAny() = default;
  explicit UniqueAny(T value) : value_(value) {}
  ~UniqueAny() { reset(); }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  T get() const { return value_; }
  explicit operator bool() const { return IsValid(value_); }
  T release() { return std::exchange(value_, T{}); }
  void reset(T value = T{}) {
    T old = std::exchange(value_, value);
    if (IsValid(old)) {
      uint32_t lastError = platform::GetLastError();
      Close(old);
      platform::SetLastError(lastError);
    }
  }
  // Passes the handle as an out-parameter; whatever was held is closed first.
  T* put() {
    reset();
    return &value_;
  }

 private:
  T value_{};
};

// Null and INVALID_HANDLE_VALUE are different "invalid" values: some calls return one, some the other.
inline bool IsNonNullHandle(platform::Handle h) { return h != nullptr; }
inline bool IsValidFileHandle(platform::Handle h) { return h != nullptr && h != platform::InvalidHandleValue(); }
inline bool IsNonNullKey(platform::HKey k) { return k != nullptr; }
inline void CloseKernelHandle(platform::Handle h) { platform::CloseHandle(h); }
inline void CloseRegistryKey(platform::HKey k) { platform::RegCloseKey(k); }
inline bool IsNonNullLsaHandle(platform::LsaHandle h) { return h != nullptr; }
inline void CloseLsaHandle(platform::LsaHandle h) { platform::LsaClose(h); }

using UniqueHandle = UniqueAny<platform::Handle, &CloseKernelHandle, &IsNonNullHandle>;  // events, processes
using UniqueFile = UniqueAny<platform::Handle, &CloseKernelHandle, &IsValidFileHandle>;  // CreateFile results
using UniqueHKey = UniqueAny<platform::HKey, &CloseRegistryKey, &IsNonNullKey>;
using UniqueLsaHandle = UniqueAny<platform::LsaHandle, &CloseLsaHandle, &IsNonNullLsaHandle>;  // LSA policy

// Deleters for handles held by shared owners.
struct HandleDeleter {
  void operator()(platform::Handle h) const {
    if (h != nullptr && h != platform::InvalidHandleValue()) {
      uint32_t lastError = platform::GetLastError();
      platform::CloseHandle(h);
      platform::SetLastError(lastError);
    }
  }
};
struct HKeyDeleter {
  void operator()(platform::HKey k) const {
    if (k != nullptr) {
      uint32_t lastError = platform::GetLastError();
      platform::RegCloseKey(k);
      platform::SetLastError(lastError);
    }
  }
};

using SharedHandle = std::shared_ptr<void>;  // made with HandleDeleter
using SharedHKey = std::shared_ptr<void>;    // made with HKeyDeleter

inline SharedHandle MakeSharedHandle(platform::Handle h) { return SharedHandle(h, HandleDeleter{}); }
inline SharedHKey MakeSharedHKey(platform::HKey k) { return SharedHKey(k, HKeyDeleter{}); }

// The agent's HRESULT-style result from a Win32 error code, as HRESULT_FROM_WIN32 makes it: a code that
// is already negative as a 32-bit value (the device installer's 0xE000xxxx errors) stays as it is.
constexpr int32_t HResultFromWin32(uint32_t error) {
  if (error == 0 || (error & 0x80000000u) != 0) return static_cast<int32_t>(error);
  return static_cast<int32_t>(0x80070000u | (error & 0xFFFFu));
}
constexpr int32_t kEFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kEInvalidArg = static_cast<int32_t>(0x80070057u);

}  // namespace tamber::common::windows
