#include "platform/sim/machine/SimPaths.h"

#include <cwctype>
#include <system_error>
#include <vector>

#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/storage/SimStorage.h"

namespace tamber::platform::sim {
namespace {

// NTFS compares names through an upper-case table; ASCII plus the C library's folding is close
// enough for the names the agent uses.
wchar_t Fold(wchar_t c) {
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - (L'a' - L'A'));
  if (c < 0x80) return c;
  return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

// The drive letter and the components below the drive root, or false when the path is not absolute.
bool SplitWindowsPath(std::wstring path, wchar_t* drive, std::vector<std::wstring>* components) {
  if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
  if (path.size() < 3 || !std::iswalpha(static_cast<wint_t>(path[0])) || path[0] > 0x7F || path[1] != L':' ||
      (path[2] != L'\\' && path[2] != L'/')) {
    return false;
  }
  *drive = Fold(path[0]);
  std::wstring current;
  auto flush = [&] {
    if (current.empty() || current == L".") {
    } else if (current == L"..") {
      if (!components->empty()) components->pop_back();
    } else {
      components->push_back(current);
    }
    current.clear();
  };
  for (size_t i = 3; i < path.size(); ++i) {
    if (path[i] == L'\\' || path[i] == L'/') {
      flush();
    } else {
      current.push_back(path[i]);
    }
  }
  flush();
  return true;
}

}  // namespace

std::filesystem::path HostPath(const std::wstring& windowsPath) {
  if (!Machine::IsBooted()) return {};
  std::vector<std::wstring> components;
  wchar_t drive = 0;
  if (!SplitWindowsPath(windowsPath, &drive, &components)) return {};
  // C: is the system volume; any other letter leads to the volume mounted there, if it has files.
  std::filesystem::path host = drive == L'C' ? Machine::DriveRoot() : VolumeRootForLetter(drive);
  if (host.empty()) return {};
  // The agent mostly names paths as they are spelled on disk: when the whole path, or all of it but its
  // last component, exists as written, one look settles what the look per component would find.
  std::vector<std::string> narrowed;
  narrowed.reserve(components.size());
  for (const auto& component : components) narrowed.push_back(NarrowUtf8(component));
  size_t exact = 0;
  {
    std::error_code error;
    std::filesystem::path whole = host;
    for (const auto& part : narrowed) whole /= part;
    if (std::filesystem::exists(whole, error)) return whole;
    if (!narrowed.empty() && std::filesystem::exists(whole.parent_path(), error)) exact = narrowed.size() - 1;
  }
  for (size_t i = 0; i < exact; ++i) host /= narrowed[i];
  bool exists = true;
  for (size_t i = exact; i < components.size(); ++i) {
    const auto& component = components[i];
    const std::string& narrow = narrowed[i];
    if (exists) {
      std::error_code error;
      if (std::filesystem::exists(host / narrow, error)) {
        host /= narrow;
        continue;
      }
      bool found = false;
      for (std::filesystem::directory_iterator it(host, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (SameName(WidenUtf8(name), component)) {
          host /= name;
          found = true;
          break;
        }
      }
      if (found) continue;
      exists = false;
    }
    host /= narrow;
  }
  return host;
}

std::string NarrowUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t ch : text) {
    auto code = static_cast<uint32_t>(ch);
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

std::wstring WidenUtf8(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    auto byte = static_cast<uint8_t>(text[pos++]);
    if (byte < 0x80) {
      out.push_back(static_cast<wchar_t>(byte));
      continue;
    }
    int extra = (byte & 0xE0) == 0xC0 ? 1 : (byte & 0xF0) == 0xE0 ? 2 : (byte & 0xF8) == 0xF0 ? 3 : -1;
    uint32_t code = extra == 1 ? byte & 0x1Fu : extra == 2 ? byte & 0x0Fu : byte & 0x07u;
    uint32_t minimum = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
    bool valid = extra > 0;
    for (int i = 0; valid && i < extra; ++i) {
      if (pos >= text.size() || (static_cast<uint8_t>(text[pos]) & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      code = (code << 6) | (static_cast<uint8_t>(text[pos++]) & 0x3F);
    }
    if (!valid || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    out.push_back(static_cast<wchar_t>(code));
  }
  return out;
}

}  // namespace tamber::platform::sim
