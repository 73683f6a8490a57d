// Environment and UTF-8 text of the simulated guest. The environment is the host's with the
// variables every Windows machine has laid over it; names compare without regard to case.
#include <unistd.h>

#include <cwctype>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Environment.h"
#include "platform/Types.h"

extern char** environ;

namespace tamber::platform {
namespace {

constexpr uint32_t kErrorInvalidFlags = 1004;
constexpr uint32_t kWcErrInvalidChars = 0x80;
constexpr char32_t kReplacement = 0xFFFD;

// ---- UTF-8 ------------------------------------------------------------------------------------------

// Decodes one code point at data[i]; an ill-formed sequence yields U+FFFD and consumes its maximal
// subpart (the longest prefix that could still have become well-formed), as Windows does.
char32_t DecodeUtf8(const unsigned char* data, size_t size, size_t* i, bool* valid) {
  unsigned char lead = data[*i];
  *valid = true;
  if (lead < 0x80) {
    ++*i;
    return lead;
  }
  size_t length;
  char32_t value;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    ++*i;
    *valid = false;
    return kReplacement;
  }
  size_t j = *i + 1;
  for (size_t k = 1; k < length; ++k, ++j) {
    unsigned char lowBound = k == 1 ? low : 0x80;
    unsigned char highBound = k == 1 ? high : 0xBF;
    if (j >= size || data[j] < lowBound || data[j] > highBound) {
      *i = j;
      *valid = false;
      return kReplacement;
    }
    value = (value << 6) | (data[j] & 0x3F);
  }
  *i = j;
  return value;
}

// Appends the UTF-8 form of a code point; false for a surrogate or a value beyond U+10FFFF, which
// are written as U+FFFD.
bool EncodeUtf8(char32_t c, std::string& out) {
  bool valid = c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
  if (!valid) c = kReplacement;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return valid;
}

// The checks both conversions share. Returns false (last error set) when the call is malformed.
template <class In, class Out>
bool CheckConversion(uint32_t codePage, const In* source, int sourceLength, const Out* output, int outputSize) {
  if (codePage != kCodePageUtf8 || source == nullptr || sourceLength == 0 || sourceLength < -1 || outputSize < 0 ||
      (outputSize > 0 && output == nullptr) ||
      (outputSize > 0 && static_cast<const void*>(source) == static_cast<const void*>(output))) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return true;
}

template <class T>
size_t SourceLength(const T* source, int sourceLength) {
  if (sourceLength >= 0) return static_cast<size_t>(sourceLength);
  return std::basic_string_view<T>(source).size() + 1;  // -1: up to and including the null
}

// ---- the environment ----------------------------------------------------------------------------

bool SameName(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i]))) return false;
  }
  return true;
}

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  int size = MultiByteToWideChar(kCodePageUtf8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(kCodePageUtf8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
  return result;
}

class EnvironmentBlock {
 public:
  EnvironmentBlock() {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      std::string_view text(*entry);
      auto eq = text.find('=', 1);  // names like "=C:" begin with the sign
      if (eq == std::string_view::npos) continue;
      Set(Widen(text.substr(0, eq)), Widen(text.substr(eq + 1)));
    }
    // What a service running as LocalSystem finds on a 64-bit Windows machine.
    const std::pair<const wchar_t*, const wchar_t*> defaults[] = {
        {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
        {L"CommonProgramFiles", L"C:\\Program Files\\Common Files"},
        {L"CommonProgramFiles(x86)", L"C:\\Program Files (x86)\\Common Files"},
        {L"CommonProgramW6432", L"C:\\Program Files\\Common Files"},
        {L"COMPUTERNAME", L"WIN-GUEST"},
        {L"ComSpec", L"C:\\Windows\\system32\\cmd.exe"},
        {L"DriverData", L"C:\\Windows\\System32\\Drivers\\DriverData"},
        {L"NUMBER_OF_PROCESSORS", L"2"},
        {L"OS", L"Windows_NT"},
        {L"Path",
         L"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem;"
         L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\"},
        {L"PATHEXT", L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC"},
        {L"PROCESSOR_ARCHITECTURE", L"AMD64"},
        {L"ProgramData", L"C:\\ProgramData"},
        {L"ProgramFiles", L"C:\\Program Files"},
        {L"ProgramFiles(x86)", L"C:\\Program Files (x86)"},
        {L"ProgramW6432", L"C:\\Program Files"},
        {L"PUBLIC", L"C:\\Users\\Public"},
        {L"SystemDrive", L"C:"},
        {L"SystemRoot", L"C:\\Windows"},
        {L"TEMP", L"C:\\Windows\\TEMP"},
        {L"TMP", L"C:\\Windows\\TEMP"},
        {L"USERDOMAIN", L"WORKGROUP"},
        {L"USERNAME", L"SYSTEM"},
        {L"USERPROFILE", L"C:\\Windows\\system32\\config\\systemprofile"},
        {L"windir", L"C:\\Windows"},
    };
    for (const auto& [name, value] : defaults) {
      Remove(name);  // the Windows spelling of the name wins over the host's
      Set(name, value);
    }
  }

  const std::wstring* Find(std::wstring_view name) const {
    for (const auto& entry : entries_) {
      if (SameName(entry.first, name)) return &entry.second;
    }
    return nullptr;
  }
  void Set(std::wstring name, std::wstring value) {
    for (auto& entry : entries_) {
      if (SameName(entry.first, name)) {
        entry.second = std::move(value);
        return;
      }
    }
    entries_.emplace_back(std::move(name), std::move(value));
  }
  void Remove(std::wstring_view name) {
    std::erase_if(entries_, [&](const auto& entry) { return SameName(entry.first, name); });
  }

 private:
  std::vector<std::pair<std::wstring, std::wstring>> entries_;
};

std::mutex& EnvironmentLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

EnvironmentBlock& Block() {
  static auto* block = new EnvironmentBlock;
  return *block;
}

}  // namespace

uint32_t ExpandEnvironmentStrings(const wchar_t* source, wchar_t* destination, uint32_t size) {
  if (source == nullptr || (size > 0 && destination == nullptr)) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  std::wstring_view text(source);
  std::wstring result;
  {
    std::lock_guard<std::mutex> guard(EnvironmentLock());
    auto& block = Block();
    size_t i = 0;
    while (i < text.size()) {
      if (text[i] != L'%') {
        auto next = text.find(L'%', i);
        if (next == std::wstring_view::npos) next = text.size();
        result.append(text.substr(i, next - i));
        i = next;
        continue;
      }
      auto close = text.find(L'%', i + 1);
      if (close == std::wstring_view::npos) {  // an unfinished reference stays as written
        result.append(text.substr(i));
        break;
      }
      auto name = text.substr(i + 1, close - i - 1);
      const std::wstring* value = name.empty() ? nullptr : block.Find(name);
      if (value != nullptr) {
        result.append(*value);
      } else {
        result.append(text.substr(i, close - i + 1));  // unknown: "%NAME%" as written
      }
      i = close + 1;
    }
  }
  uint32_t needed = static_cast<uint32_t>(result.size() + 1);
  if (size >= needed) {
    result.copy(destination, result.size());
    destination[result.size()] = L'\0';
  }
  return needed;
}

uint32_t GetEnvironmentVariable(const wchar_t* name, wchar_t* buffer, uint32_t size) {
  if (name == nullptr || (size > 0 && buffer == nullptr)) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  std::lock_guard<std::mutex> guard(EnvironmentLock());
  const std::wstring* value = Block().Find(name);
  if (value == nullptr) {
    SetLastError(kErrorEnvvarNotFound);
    return 0;
  }
  if (size <= value->size()) return static_cast<uint32_t>(value->size() + 1);
  value->copy(buffer, value->size());
  buffer[value->size()] = L'\0';
  if (value->empty()) SetLastError(kErrorSuccess);  // 0 is then a success the caller can tell
  return static_cast<uint32_t>(value->size());
}

bool SetEnvironmentVariable(const wchar_t* name, const wchar_t* value) {
  if (name == nullptr || *name == L'\0' || std::wstring_view(name).find(L'=', 1) != std::wstring_view::npos) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::lock_guard<std::mutex> guard(EnvironmentLock());
  if (value == nullptr) {
    Block().Remove(name);
  } else {
    Block().Set(name, value);
  }
  return true;
}

int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const wchar_t* source, int sourceLength, char* output,
                        int outputSize) {
  if (!CheckConversion(codePage, source, sourceLength, output, outputSize)) return 0;
  if ((flags & ~kWcErrInvalidChars) != 0) {
    SetLastError(kErrorInvalidFlags);
    return 0;
  }
  // wchar_t holds a whole code point here, so a surrogate is always unpaired.
  size_t length = SourceLength(source, sourceLength);
  std::string converted;
  converted.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    if (!EncodeUtf8(static_cast<char32_t>(source[i]), converted) && (flags & kWcErrInvalidChars) != 0) {
      SetLastError(kErrorNoUnicodeTranslation);
      return 0;
    }
  }
  if (converted.size() > 0x7FFFFFFF) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  int needed = static_cast<int>(converted.size());
  if (outputSize == 0) return needed;
  if (outputSize < needed) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  converted.copy(output, converted.size());
  return needed;
}

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source, int sourceLength, wchar_t* output,
                        int outputSize) {
  if (!CheckConversion(codePage, source, sourceLength, output, outputSize)) return 0;
  if ((flags & ~kMbErrInvalidChars) != 0) {
    SetLastError(kErrorInvalidFlags);
    return 0;
  }
  size_t length = SourceLength(source, sourceLength);
  const auto* data = reinterpret_cast<const unsigned char*>(source);
  std::wstring converted;
  converted.reserve(length);
  for (size_t i = 0; i < length;) {
    bool valid = true;
    char32_t c = DecodeUtf8(data, length, &i, &valid);
    if (!valid && (flags & kMbErrInvalidChars) != 0) {
      SetLastError(kErrorNoUnicodeTranslation);
      return 0;
    }
    converted.push_back(static_cast<wchar_t>(c));
  }
  int needed = static_cast<int>(converted.size());
  if (outputSize == 0) return needed;
  if (outputSize < needed) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  converted.copy(output, converted.size());
  return needed;
}

}  // namespace tamber::platform
