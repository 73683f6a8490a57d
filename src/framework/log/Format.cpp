#include "framework/log/Format.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <stdexcept>

#include "framework/log/Utf8.h"

namespace tamber::framework::log {

int64_t FormatArg::AsSigned() const {
  switch (kind_) {
    case Kind::Signed:
      return signed_;
    case Kind::Unsigned:
    case Kind::Pointer:
      return static_cast<int64_t>(unsigned_);
    case Kind::Float:
      return static_cast<int64_t>(float_);
    default:
      return 0;
  }
}

uint64_t FormatArg::AsUnsigned() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<uint64_t>(signed_);
    case Kind::Unsigned:
    case Kind::Pointer:
      return unsigned_;
    case Kind::Float:
      return static_cast<uint64_t>(float_);
    default:
      return 0;
  }
}

double FormatArg::AsFloat() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<double>(signed_);
    case Kind::Unsigned:
    case Kind::Pointer:
      return static_cast<double>(unsigned_);
    case Kind::Float:
      return float_;
    default:
      return 0;
  }
}

namespace {

// Beyond this many digits a double's decimal expansion is exact zeros; longer precisions are padded.
constexpr int kMaxFloatPrecision = 1100;

enum class Size { None, Hh, H, L, Ll, BigL, W, I, I32, I64, Z, J, T };

struct Spec {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  bool zero = false;
  size_t width = 0;
  int precision = -1;  // -1: not given
  Size size = Size::None;
  wchar_t conversion = 0;
};

[[noreturn]] void Fail(const char* why) { throw std::invalid_argument(why); }

// Bounded output: everything past the limit is dropped, and the caller stops once it is full.
class Sink {
 public:
  Sink(std::wstring& out, size_t maxChars) : out_(out), limit_(out.size() + maxChars) {
    if (limit_ < out.size()) limit_ = SIZE_MAX;  // overflow: no practical limit
  }
  bool Full() const { return out_.size() >= limit_; }
  size_t Room() const { return Full() ? 0 : limit_ - out_.size(); }
  void Put(wchar_t c) {
    if (!Full()) out_.push_back(c);
  }
  void Put(std::wstring_view text) { out_.append(text.substr(0, Room())); }
  void PutAscii(const char* text, size_t length) {
    size_t n = std::min(length, Room());
    for (size_t i = 0; i < n; ++i) out_.push_back(static_cast<wchar_t>(static_cast<unsigned char>(text[i])));
  }
  void Fill(wchar_t c, size_t count) { out_.append(std::min(count, Room()), c); }
  // A cut must not leave half a surrogate pair behind.
  void Finish() {
    if constexpr (sizeof(wchar_t) == 2) {
      if (Full() && !out_.empty()) {
        auto last = static_cast<uint32_t>(out_.back()) & 0xFFFF;
        if (last >= 0xD800 && last <= 0xDBFF) out_.pop_back();
      }
    }
  }

 private:
  std::wstring& out_;
  size_t limit_;
};

class Formatter {
 public:
  Formatter(std::wstring& out, std::wstring_view format, const FormatArg* args, size_t count, size_t maxChars)
      : sink_(out, maxChars), format_(format), args_(args), count_(count) {}

  void Run() {
    size_t pos = 0;
    while (pos < format_.size() && !sink_.Full()) {
      size_t percent = format_.find(L'%', pos);
      if (percent == std::wstring_view::npos) {
        sink_.Put(format_.substr(pos));
        break;
      }
      sink_.Put(format_.substr(pos, percent - pos));
      pos = percent + 1;
      if (pos < format_.size() && format_[pos] == L'%') {
        sink_.Put(L'%');
        ++pos;
        continue;
      }
      Spec spec = Parse(pos);
      Convert(spec);
    }
    sink_.Finish();
  }

 private:
  wchar_t At(size_t pos) const {
    if (pos >= format_.size()) Fail("format specification cut short");
    return format_[pos];
  }

  const FormatArg& NextArg() {
    if (next_ >= count_) Fail("missing format argument");
    return args_[next_++];
  }

  int64_t NextIntArg() {
    const FormatArg& arg = NextArg();
    if (arg.kind() != FormatArg::Kind::Signed && arg.kind() != FormatArg::Kind::Unsigned) Fail("'*' needs an integer");
    // A '*' argument is an int: reinterpret at 32 bits.
    return static_cast<int32_t>(static_cast<uint32_t>(arg.AsUnsigned()));
  }

  size_t ParseNumber(size_t& pos) {
    uint64_t value = 0;
    while (pos < format_.size() && format_[pos] >= L'0' && format_[pos] <= L'9') {
      value = value * 10 + static_cast<uint64_t>(format_[pos] - L'0');
      if (value > INT_MAX) Fail("width or precision too large");
      ++pos;
    }
    return static_cast<size_t>(value);
  }

  Spec Parse(size_t& pos) {
    Spec spec;
    for (;; ++pos) {
      wchar_t c = At(pos);
      if (c == L'-') {
        spec.left = true;
      } else if (c == L'+') {
        spec.plus = true;
      } else if (c == L' ') {
        spec.space = true;
      } else if (c == L'#') {
        spec.alt = true;
      } else if (c == L'0') {
        spec.zero = true;
      } else {
        break;
      }
    }
    if (At(pos) == L'*') {
      ++pos;
      int64_t width = NextIntArg();
      if (width < 0) {
        spec.left = true;
        width = -width;
      }
      spec.width = static_cast<size_t>(width);
    } else {
      spec.width = ParseNumber(pos);
    }
    if (At(pos) == L'.') {
      ++pos;
      if (At(pos) == L'*') {
        ++pos;
        int64_t precision = NextIntArg();
        spec.precision = precision < 0 ? -1 : static_cast<int>(precision);
      } else {
        spec.precision = static_cast<int>(ParseNumber(pos));
      }
    }
    switch (At(pos)) {
      case L'h':
        ++pos;
        spec.size = Size::H;
        if (At(pos) == L'h') ++pos, spec.size = Size::Hh;
        break;
      case L'l':
        ++pos;
        spec.size = Size::L;
        if (At(pos) == L'l') ++pos, spec.size = Size::Ll;
        break;
      case L'L':
        ++pos, spec.size = Size::BigL;
        break;
      case L'w':
        ++pos, spec.size = Size::W;
        break;
      case L'z':
        ++pos, spec.size = Size::Z;
        break;
      case L'j':
        ++pos, spec.size = Size::J;
        break;
      case L't':
        ++pos, spec.size = Size::T;
        break;
      case L'I':
        ++pos;
        if (At(pos) == L'6') {
          if (At(pos + 1) != L'4') Fail("bad I64 prefix");
          pos += 2, spec.size = Size::I64;
        } else if (At(pos) == L'3') {
          if (At(pos + 1) != L'2') Fail("bad I32 prefix");
          pos += 2, spec.size = Size::I32;
        } else {
          spec.size = Size::I;
        }
        break;
      default:
        break;
    }
    spec.conversion = At(pos++);
    return spec;
  }

  void Convert(const Spec& spec) {
    switch (spec.conversion) {
      case L'd':
      case L'i':
      case L'u':
      case L'x':
      case L'X':
      case L'o':
        Integer(spec);
        break;
      case L'p':
        Pointer(spec);
        break;
      case L'c':
      case L'C':
        Character(spec);
        break;
      case L's':
      case L'S':
        String(spec);
        break;
      case L'f':
      case L'F':
      case L'e':
      case L'E':
      case L'g':
      case L'G':
      case L'a':
      case L'A':
        Float(spec);
        break;
      default:
        // %n among them: writing through an argument is never allowed.
        Fail("unknown conversion");
    }
  }

  static unsigned IntegerBits(const Spec& spec, const FormatArg& arg) {
    switch (spec.size) {
      case Size::Hh:
        return 8;
      case Size::H:
        return 16;
      case Size::None:
      case Size::L:  // long is 32 bits on Windows; a wider argument keeps its width
      case Size::I32:
        return arg.Bits() < 32 ? 32 : arg.Bits();
      case Size::Ll:
      case Size::I64:
      case Size::I:
      case Size::Z:
      case Size::J:
      case Size::T:
        return 64;
      default:
        Fail("size prefix does not fit an integer");
    }
  }

  static bool IsInteger(const FormatArg& arg) {
    return arg.kind() == FormatArg::Kind::Signed || arg.kind() == FormatArg::Kind::Unsigned ||
           arg.kind() == FormatArg::Kind::Pointer;
  }

  // Pads text (sign/prefix, zeros, digits) to the field width.
  void Field(const Spec& spec, std::string_view prefix, size_t zeros, std::string_view digits) {
    size_t length = prefix.size() + zeros + digits.size();
    size_t pad = spec.width > length ? spec.width - length : 0;
    if (!spec.left && !spec.zero) sink_.Fill(L' ', pad);
    sink_.PutAscii(prefix.data(), prefix.size());
    if (!spec.left && spec.zero) sink_.Fill(L'0', pad);
    sink_.Fill(L'0', zeros);
    sink_.PutAscii(digits.data(), digits.size());
    if (spec.left) sink_.Fill(L' ', pad);
  }

  void Integer(const Spec& spec) {
    const FormatArg& arg = NextArg();
    if (!IsInteger(arg)) Fail("integer conversion of a non-integer argument");
    unsigned bits = IntegerBits(spec, arg);
    uint64_t raw = arg.AsUnsigned();
    uint64_t mask = bits >= 64 ? ~uint64_t{0} : ((uint64_t{1} << bits) - 1);
    raw &= mask;
    bool negative = false;
    uint64_t magnitude = raw;
    bool isSigned = spec.conversion == L'd' || spec.conversion == L'i';
    if (isSigned && bits < 64 && (raw >> (bits - 1)) != 0) {
      negative = true;
      magnitude = (~raw + 1) & mask;
    } else if (isSigned && bits == 64 && static_cast<int64_t>(raw) < 0) {
      negative = true;
      magnitude = ~raw + 1;
    }

    char buffer[32];
    char* end = buffer + sizeof(buffer);
    char* p = end;
    unsigned base = 10;
    const char* digitSet = "0123456789abcdef";
    if (spec.conversion == L'x') base = 16;
    if (spec.conversion == L'X') base = 16, digitSet = "0123456789ABCDEF";
    if (spec.conversion == L'o') base = 8;
    for (uint64_t v = magnitude; v != 0; v /= base) *--p = digitSet[v % base];
    if (magnitude == 0 && spec.precision != 0) *--p = '0';
    std::string_view digits(p, static_cast<size_t>(end - p));

    std::string_view prefix;
    if (negative) {
      prefix = "-";
    } else if (isSigned && spec.plus) {
      prefix = "+";
    } else if (isSigned && spec.space) {
      prefix = " ";
    } else if (spec.alt && magnitude != 0 && base == 16) {
      prefix = spec.conversion == L'x' ? "0x" : "0X";
    }
    size_t zeros = 0;
    if (spec.precision >= 0 && static_cast<size_t>(spec.precision) > digits.size()) {
      zeros = static_cast<size_t>(spec.precision) - digits.size();
    }
    if (spec.alt && base == 8 && zeros == 0 && (digits.empty() || digits[0] != '0')) zeros = 1;
    Spec field = spec;
    if (spec.precision >= 0) field.zero = false;  // a precision turns the 0 flag off, as in C
    Field(field, prefix, zeros, digits);
  }

  void Pointer(const Spec& spec) {
    const FormatArg& arg = NextArg();
    if (!IsInteger(arg)) Fail("%p of a non-pointer argument");
    uint64_t value = arg.AsUnsigned();
    if (arg.kind() != FormatArg::Kind::Pointer && arg.Bits() < 64) value &= 0xFFFFFFFFu;
    char digits[16];
    for (int i = 15; i >= 0; --i, value >>= 4) digits[i] = "0123456789ABCDEF"[value & 0xF];
    Spec field = spec;
    field.zero = false;
    Field(field, spec.alt ? "0X" : "", 0, std::string_view(digits, 16));
  }

  void Character(const Spec& spec) {
    const FormatArg& arg = NextArg();
    if (arg.kind() != FormatArg::Kind::Signed && arg.kind() != FormatArg::Kind::Unsigned) {
      Fail("%c of a non-character argument");
    }
    bool narrow = spec.size == Size::H || (spec.conversion == L'C' && spec.size != Size::L && spec.size != Size::W);
    if (spec.size != Size::None && spec.size != Size::H && spec.size != Size::L && spec.size != Size::W) {
      Fail("size prefix does not fit a character");
    }
    uint64_t value = arg.AsUnsigned();
    uint32_t code = narrow ? static_cast<uint32_t>(value & 0xFF) : static_cast<uint32_t>(value & 0xFFFFFFFF);
    if constexpr (sizeof(wchar_t) == 2) {
      if (!narrow) code &= 0xFFFF;
    }
    std::wstring one;
    if constexpr (sizeof(wchar_t) == 2) {
      one.push_back(static_cast<wchar_t>(code));
    } else {
      AppendCodePoint(one, code);
    }
    Text(spec, one, one.size());
  }

  void String(const Spec& spec) {
    const FormatArg& arg = NextArg();
    bool wantWide;
    bool either = false;
    switch (spec.size) {
      case Size::None:
        either = spec.conversion == L's';
        wantWide = false;
        break;
      case Size::H:
        wantWide = false;
        break;
      case Size::L:
      case Size::W:
        wantWide = true;
        break;
      default:
        Fail("size prefix does not fit a string");
    }
    size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
    if (arg.kind() == FormatArg::Kind::Wide && (either || wantWide)) {
      std::wstring_view text = arg.WideText();
      if (limit < text.size()) text = text.substr(0, limit);
      Text(spec, text, text.size());
    } else if (arg.kind() == FormatArg::Kind::Narrow && (either || !wantWide)) {
      std::string_view text = arg.NarrowText();
      // Only as much as can still be shown is decoded.
      size_t shown = std::max(sink_.Room(), spec.width);
      size_t room = std::min(limit, shown == SIZE_MAX ? SIZE_MAX : shown + 1);
      std::wstring wide;
      for (size_t pos = 0; pos < text.size() && wide.size() < room;)
        AppendCodePoint(wide, NextUtf8CodePoint(text, pos));
      if (wide.size() > limit) wide.resize(limit);
      Text(spec, wide, wide.size());
    } else {
      Fail("string conversion of a mismatched argument");
    }
  }

  void Text(const Spec& spec, std::wstring_view text, size_t length) {
    size_t pad = spec.width > length ? spec.width - length : 0;
    if (!spec.left) sink_.Fill(spec.zero ? L'0' : L' ', pad);
    sink_.Put(text);
    if (spec.left) sink_.Fill(L' ', pad);
  }

  void Float(const Spec& spec) {
    const FormatArg& arg = NextArg();
    if (arg.kind() != FormatArg::Kind::Float) Fail("floating-point conversion of a non-float argument");
    if (spec.size != Size::None && spec.size != Size::L && spec.size != Size::BigL) {
      Fail("size prefix does not fit a float");
    }
    double value = arg.AsFloat();
    bool upper =
        spec.conversion == L'F' || spec.conversion == L'E' || spec.conversion == L'G' || spec.conversion == L'A';
    bool negative = std::signbit(value);
    std::string_view sign = negative ? "-" : spec.plus ? "+" : spec.space ? " " : "";
    double magnitude = std::fabs(value);
    if (!std::isfinite(magnitude)) {
      std::string_view text = std::isnan(magnitude) ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
      Spec field = spec;
      field.zero = false;
      Field(field, sign, 0, text);
      return;
    }
    wchar_t lower = static_cast<wchar_t>(spec.conversion | 0x20);
    int precision = spec.precision < 0 ? (lower == L'a' ? -1 : 6) : spec.precision;
    int extraZeros = 0;
    if (precision > kMaxFloatPrecision) {
      extraZeros = precision - kMaxFloatPrecision;
      precision = kMaxFloatPrecision;
    }
    std::chars_format form = lower == L'f'   ? std::chars_format::fixed
                             : lower == L'e' ? std::chars_format::scientific
                             : lower == L'g' ? std::chars_format::general
                                             : std::chars_format::hex;
    if (lower == L'g' && precision == 0) precision = 1;
    std::string text(kMaxFloatPrecision + 400, '\0');
    std::to_chars_result result =
        precision < 0 ? std::to_chars(text.data(), text.data() + text.size(), magnitude, form)
                      : std::to_chars(text.data(), text.data() + text.size(), magnitude, form, precision);
    if (result.ec != std::errc()) Fail("floating-point value cannot be shown");
    text.resize(static_cast<size_t>(result.ptr - text.data()));
    size_t exponent = text.find_first_of(lower == L'a' ? "p" : "e");
    if (exponent == std::string::npos) exponent = text.size();
    if (lower == L'g' && spec.alt) {
      // '#' keeps trailing zeros: pad to the significant digits asked for.
      size_t significant = 0;
      bool leading = true;
      for (size_t i = 0; i < exponent; ++i) {
        if (text[i] < '0' || text[i] > '9') continue;
        if (leading && text[i] == '0') continue;
        leading = false;
        ++significant;
      }
      if (significant == 0) significant = 1;
      if (text.find('.') == std::string::npos) text.insert(exponent, "."), ++exponent;
      if (static_cast<size_t>(precision) > significant) {
        text.insert(exponent, static_cast<size_t>(precision) - significant, '0');
        exponent += static_cast<size_t>(precision) - significant;
      }
    } else if (spec.alt && text.find('.') == std::string::npos) {
      text.insert(exponent, ".");
      ++exponent;
    }
    if (extraZeros > 0 && lower != L'g') {
      text.insert(exponent, std::min(static_cast<size_t>(extraZeros), sink_.Room()), '0');
    }
    if (upper) {
      for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    std::string_view prefix = sign;
    std::string signAndHex;
    if (lower == L'a') {
      signAndHex = std::string(sign) + (upper ? "0X" : "0x");
      prefix = signAndHex;
    }
    Field(spec, prefix, 0, text);
  }

  Sink sink_;
  std::wstring_view format_;
  const FormatArg* args_;
  size_t count_;
  size_t next_ = 0;
};

}  // namespace

void FormatTextTo(std::wstring& out, std::wstring_view format, const FormatArg* args, size_t count, size_t maxChars) {
  Formatter(out, format, args, count, maxChars).Run();
}

std::wstring FormatText(std::wstring_view format, const FormatArg* args, size_t count, size_t maxChars) {
  std::wstring out;
  FormatTextTo(out, format, args, count, maxChars);
  return out;
}

}  // namespace tamber::framework::log
