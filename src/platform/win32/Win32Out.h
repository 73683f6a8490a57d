// Out-parameters whose seam type differs from the SDK's (uint32_t and DWORD, void* and HKEY): the
// SDK call sees a local that starts with the caller's value and is written back afterwards, so a
// call that leaves its out-parameter alone leaves the caller's alone too. A null pointer stays null.
#pragma once

namespace tamber::platform::win32 {

template <class Api, class Seam>
class Out {
 public:
  explicit Out(Seam* target) : target_(target), value_(target ? static_cast<Api>(*target) : Api{}) {}
  ~Out() {
    if (target_) *target_ = static_cast<Seam>(value_);
  }
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;

  Api* get() { return target_ ? &value_ : nullptr; }

 private:
  Seam* target_;
  Api value_;
};

}  // namespace tamber::platform::win32
