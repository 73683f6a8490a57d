// A small type-safe printf over wide format strings with Windows semantics: %ws/%ls wide text, %S narrow
// text, %s either (the argument decides), %d %i %u %x %X %lX %I64u %zu %p %c, flags, width, precision.
// Never hand these format strings to the C library.
//
// Integers print as C would after reinterpreting the argument at its natural width: 32 bits for int
// and smaller types, 64 bits for 64-bit types and for the 64-bit size prefixes (I64, ll, z, j, t, I),
// 8 or 16 bits with hh or h. So %X of int -1 is FFFFFFFF and %I64X of int -1 is FFFFFFFFFFFFFFFF.
// %p prints 16 upper-case hex digits, as 64-bit Windows does. Narrow text is UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace tamber::framework::log {

class FormatArg {
 public:
  enum class Kind { None, Signed, Unsigned, Float, Wide, Narrow, Pointer };

  FormatArg() = default;
  // clang-format off
  template <class T>
    requires(std::is_integral_v<T> && std::is_signed_v<T> && !std::is_same_v<T, wchar_t> && !std::is_same_v<T, char>)
  FormatArg(T value) : kind_(Kind::Signed), bits_(NaturalBits(sizeof(T))), signed_(value) {}
  template <class T>
    requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, wchar_t> && !std::is_same_v<T, bool>)
  FormatArg(T value) : kind_(Kind::Unsigned), bits_(NaturalBits(sizeof(T))), unsigned_(value) {}
  template <class T>
    requires std::is_enum_v<T>
  FormatArg(T value) : FormatArg(static_cast<std::underlying_type_t<T>>(value)) {}
  // clang-format on
  FormatArg(bool value) : kind_(Kind::Signed), signed_(value ? 1 : 0) {}
  FormatArg(char value) : kind_(Kind::Signed), signed_(static_cast<unsigned char>(value)) {}
  FormatArg(wchar_t value) : kind_(Kind::Unsigned), unsigned_(static_cast<uint32_t>(value)) {}
  FormatArg(double value) : kind_(Kind::Float), float_(value) {}
  FormatArg(const wchar_t* value) : kind_(Kind::Wide), wide_(value ? value : L"(null)") {}
  FormatArg(const std::wstring& value) : kind_(Kind::Wide), wide_(value) {}
  FormatArg(std::wstring_view value) : kind_(Kind::Wide), wide_(value) {}
  FormatArg(const char* value) : kind_(Kind::Narrow), narrow_(value ? value : "(null)") {}
  FormatArg(const std::string& value) : kind_(Kind::Narrow), narrow_(value) {}
  FormatArg(std::string_view value) : kind_(Kind::Narrow), narrow_(value) {}
  FormatArg(const void* value)
      : kind_(Kind::Pointer), bits_(NaturalBits(sizeof(void*))), unsigned_(reinterpret_cast<uintptr_t>(value)) {}
  FormatArg(std::nullptr_t) : kind_(Kind::Pointer), bits_(NaturalBits(sizeof(void*))), unsigned_(0) {}

  Kind kind() const { return kind_; }
  // Width in bits at which C would pass the argument (after integer promotion).
  unsigned Bits() const { return bits_; }
  int64_t AsSigned() const;
  uint64_t AsUnsigned() const;
  double AsFloat() const;
  std::wstring_view WideText() const { return wide_; }
  std::string_view NarrowText() const { return narrow_; }

 private:
  static constexpr uint8_t NaturalBits(size_t bytes) { return bytes <= 4 ? 32 : static_cast<uint8_t>(bytes * 8); }

  Kind kind_ = Kind::None;
  uint8_t bits_ = 32;
  int64_t signed_ = 0;
  uint64_t unsigned_ = 0;
  double float_ = 0;
  std::wstring_view wide_;
  std::string_view narrow_;
};

// Formats into at most maxChars characters (longer output is cut). Throws std::invalid_argument on a
// malformed specification or an argument that cannot serve its conversion, so that the caller can
// substitute its marker text.
std::wstring FormatText(std::wstring_view format, const FormatArg* args, size_t count, size_t maxChars);
// The same, appending to out (which keeps its capacity between calls). On a throw, out may hold part of
// the text after its original contents.
void FormatTextTo(std::wstring& out, std::wstring_view format, const FormatArg* args, size_t count, size_t maxChars);

}  // namespace tamber::framework::log
