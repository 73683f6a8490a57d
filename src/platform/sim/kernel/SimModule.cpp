#include "platform/sim/kernel/SimModule.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Types.h"
#include "platform/sim/machine/SimPaths.h"

namespace tamber::platform {

namespace {

constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kFixedFileInfoStrucVersion = 0x00010000;
// The block GetFileVersionInfo hands out: a tag of our own, then the fixed file information.
constexpr char kVersionBlockTag[4] = {'V', 'S', 'I', 'M'};

struct LoaderState {
  std::mutex mutex;
  sim::ModuleResources resources;
};

LoaderState& Loader() {
  static LoaderState state;
  return state;
}

std::atomic<bool> g_depEnabled{false};

// The modules every process has loaded.
const wchar_t* const kLoadedModules[] = {L"kernel32.dll", L"ntdll.dll", L"kernelbase.dll", L"advapi32.dll"};
int g_moduleAnchors[std::size(kLoadedModules)];
int g_executableAnchor;

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

int SimSetProcessDepPolicy(uint32_t flags) {
  g_depEnabled = (flags & 1u) != 0;
  return 1;
}

// The last file found to have a version, by identity: callers ask for the size and then the block, and
// finding it means reading the whole executable.
struct VersionCache {
  std::mutex mutex;
  bool valid = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  FixedFileInfo info{};

  bool Holds(const struct stat& status) const {
    return valid && device == status.st_dev && inode == status.st_ino && size == status.st_size &&
           modified.tv_sec == status.st_mtim.tv_sec && modified.tv_nsec == status.st_mtim.tv_nsec;
  }
};
VersionCache g_versionCache;

// The image's resource section (".rsrc", as in a Windows image), found through the ELF section headers:
// a few small reads instead of a scan of the whole file. nullopt when the file has no such section.
std::optional<FixedFileInfo> ReadResourceSection(int fd) {
  constexpr uint16_t kMostSections = 4096;
  Elf64_Ehdr header{};
  if (::pread(fd, &header, sizeof(header), 0) != static_cast<ssize_t>(sizeof(header)) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 || header.e_shnum > kMostSections ||
      header.e_shstrndx >= header.e_shnum) {
    return std::nullopt;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  const auto tableBytes = static_cast<ssize_t>(sections.size() * sizeof(Elf64_Shdr));
  if (::pread(fd, sections.data(), static_cast<size_t>(tableBytes), static_cast<off_t>(header.e_shoff)) != tableBytes) {
    return std::nullopt;
  }
  const Elf64_Shdr& names = sections[header.e_shstrndx];
  if (names.sh_size == 0 || names.sh_size > (1u << 20)) return std::nullopt;
  std::string table(names.sh_size, '\0');
  if (::pread(fd, table.data(), table.size(), static_cast<off_t>(names.sh_offset)) !=
      static_cast<ssize_t>(table.size())) {
    return std::nullopt;
  }
  table.push_back('\0');  // a table without its last terminator still ends
  for (const auto& section : sections) {
    if (section.sh_name >= names.sh_size || std::strcmp(table.c_str() + section.sh_name, ".rsrc") != 0) continue;
    FixedFileInfo found;
    if (section.sh_type == SHT_NOBITS || section.sh_size < sizeof(found) ||
        ::pread(fd, &found, sizeof(found), static_cast<off_t>(section.sh_offset)) !=
            static_cast<ssize_t>(sizeof(found)) ||
        found.signature != kFixedFileInfoSignature) {
      return std::nullopt;
    }
    return found;
  }
  return std::nullopt;
}

bool ReadFixedFileInfo(const wchar_t* fileName, FixedFileInfo* info) {
  auto path = sim::HostPath(fileName == nullptr ? L"" : fileName);
  int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    if (fd >= 0) ::close(fd);
    SetLastError(kErrorFileNotFound);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(g_versionCache.mutex);
    if (g_versionCache.Holds(status)) {
      ::close(fd);
      *info = g_versionCache.info;
      return true;
    }
  }
  bool found = false;
  if (auto resource = ReadResourceSection(fd)) {
    *info = *resource;
    found = true;
  }
  size_t size = found ? 0 : static_cast<size_t>(status.st_size);
  void* mapped = size == 0 ? MAP_FAILED : ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (mapped != MAP_FAILED) {
    const uint32_t header[2] = {kFixedFileInfoSignature, kFixedFileInfoStrucVersion};
    // The two words can also appear by chance (as an immediate in code, say): take the first match
    // that reads as the version of an application or library.
    const char* end = static_cast<const char*>(mapped) + size;
    for (const char* at = static_cast<const char*>(mapped); at < end && !found; ++at) {
      at = static_cast<const char*>(::memmem(at, static_cast<size_t>(end - at), header, sizeof(header)));
      if (at == nullptr || static_cast<size_t>(end - at) < sizeof(FixedFileInfo)) break;
      std::memcpy(info, at, sizeof(FixedFileInfo));
      found = (info->fileType == 1 || info->fileType == 2) && info->fileOS != 0;
    }
    ::munmap(mapped, size);
  }
  if (!found) {
    SetLastError(kErrorResourceTypeNotFound);
    return false;
  }
  std::lock_guard<std::mutex> guard(g_versionCache.mutex);
  g_versionCache.valid = true;
  g_versionCache.device = status.st_dev;
  g_versionCache.inode = status.st_ino;
  g_versionCache.size = status.st_size;
  g_versionCache.modified = status.st_mtim;
  g_versionCache.info = *info;
  return true;
}

}  // namespace

namespace sim {

void RegisterModuleResources(const ModuleResources& resources) {
  std::lock_guard<std::mutex> guard(Loader().mutex);
  Loader().resources = resources;
}

bool ProcessDepEnabled() { return g_depEnabled; }

}  // namespace sim

ModuleHandle GetExecutableModule() { return &g_executableAnchor; }

int LoadString(ModuleHandle module, uint32_t id, wchar_t* buffer, int bufferSize) {
  if (module != &g_executableAnchor || buffer == nullptr || bufferSize <= 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  std::lock_guard<std::mutex> guard(Loader().mutex);
  auto it = Loader().resources.strings.find(id);
  if (it == Loader().resources.strings.end()) {
    buffer[0] = L'\0';
    SetLastError(kErrorResourceNameNotFound);
    return 0;
  }
  // As LoadStringW: truncated to the buffer, always terminated.
  size_t copied = std::min(it->second.size(), static_cast<size_t>(bufferSize - 1));
  std::wmemcpy(buffer, it->second.data(), copied);
  buffer[copied] = L'\0';
  return static_cast<int>(copied);
}

ModuleHandle GetModuleHandle(const wchar_t* moduleName) {
  if (moduleName == nullptr) return &g_executableAnchor;
  std::wstring name = Lower(moduleName);
  if (name.find(L'.') == std::wstring::npos) name += L".dll";
  for (size_t i = 0; i < std::size(kLoadedModules); ++i) {
    if (name == kLoadedModules[i]) return &g_moduleAnchors[i];
  }
  SetLastError(kErrorModNotFound);
  return nullptr;
}

void* GetProcAddress(ModuleHandle module, const char* procName) {
  if (sim::IsDbgHelpModule(module)) return sim::DbgHelpProcAddress(procName);
  if (module == &g_moduleAnchors[0] && procName != nullptr && std::strcmp(procName, "SetProcessDEPPolicy") == 0) {
    return reinterpret_cast<void*>(&SimSetProcessDepPolicy);
  }
  SetLastError(kErrorProcNotFound);
  return nullptr;
}

uint32_t GetFileVersionInfoSize(const wchar_t* fileName) {
  FixedFileInfo info;
  if (!ReadFixedFileInfo(fileName, &info)) return 0;
  return static_cast<uint32_t>(sizeof(kVersionBlockTag) + sizeof(FixedFileInfo));
}

bool GetFileVersionInfo(const wchar_t* fileName, uint32_t size, void* data) {
  FixedFileInfo info;
  if (!ReadFixedFileInfo(fileName, &info)) return false;
  if (data == nullptr || size < sizeof(kVersionBlockTag) + sizeof(FixedFileInfo)) {
    SetLastError(kErrorInsufficientBuffer);
    return false;
  }
  std::memcpy(data, kVersionBlockTag, sizeof(kVersionBlockTag));
  std::memcpy(static_cast<char*>(data) + sizeof(kVersionBlockTag), &info, sizeof(info));
  return true;
}

bool VerQueryValue(const void* data, const wchar_t* subBlock, void** value, uint32_t* length) {
  if (data == nullptr || subBlock == nullptr || value == nullptr || length == nullptr ||
      std::memcmp(data, kVersionBlockTag, sizeof(kVersionBlockTag)) != 0 || std::wcscmp(subBlock, L"\\") != 0) {
    SetLastError(kErrorResourceTypeNotFound);
    return false;
  }
  *value = const_cast<char*>(static_cast<const char*>(data)) + sizeof(kVersionBlockTag);
  *length = sizeof(FixedFileInfo);
  return true;
}

namespace {
thread_local int t_comInitCount = 0;
}  // namespace

int32_t CoInitialize() {
  // S_OK for the first call on a thread, S_FALSE after, as COM answers.
  return t_comInitCount++ == 0 ? 0 : 1;
}

void CoUninitialize() {
  if (t_comInitCount > 0) --t_comInitCount;
}

}  // namespace tamber::platform
