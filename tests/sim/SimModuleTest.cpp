// The simulated version lookup: an image's version comes from its resource section; any other file is
// searched for the version block; damaged images are refused without harm.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Module.h"
#include "platform/Types.h"
#include "platform/sim/machine/SimPaths.h"
#include "service/Resources.h"
#include "support/TestEnvironment.h"

namespace tamber::platform {
namespace {

class SimModuleTest : public test::GuestTest {
 protected:
  // Writes bytes to C:\<name> and returns the Windows path.
  static std::wstring Put(const std::wstring& name, const std::string& bytes) {
    const std::wstring path = L"C:\\" + name;
    std::ofstream(sim::HostPath(path), std::ios::binary) << bytes;
    return path;
  }
  static std::optional<FixedFileInfo> Version(const std::wstring& path) {
    std::vector<uint8_t> block(GetFileVersionInfoSize(path.c_str()));
    if (block.empty() || !GetFileVersionInfo(path.c_str(), static_cast<uint32_t>(block.size()), block.data())) {
      return std::nullopt;
    }
    void* value = nullptr;
    uint32_t length = 0;
    if (!VerQueryValue(block.data(), L"\\", &value, &length) || length != sizeof(FixedFileInfo)) return std::nullopt;
    FixedFileInfo info;
    std::memcpy(&info, value, sizeof(info));
    return info;
  }
  static std::string Block(uint32_t versionMS) {
    FixedFileInfo info;
    info.signature = kFixedFileInfoSignature;
    info.strucVersion = 0x00010000;
    info.fileVersionMS = versionMS;
    info.fileOS = 0x00040004;
    info.fileType = 1;
    return std::string(reinterpret_cast<const char*>(&info), sizeof(info));
  }
};

TEST_F(SimModuleTest, AnImageIsReadFromItsResourceSectionAndOtherFilesAreSearched) {
  // This test program carries the agent's resources: a copy of it answers with the agent's version.
  std::string image;
  {
    std::ifstream in("/proc/self/exe", std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  auto own = Version(Put(L"agent.exe", image));
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(own->fileVersionMS, static_cast<uint32_t>((VELOCYN_VERSION_MAJOR << 16) | VELOCYN_VERSION_MINOR));

  auto other = Version(Put(L"other.dll", std::string(1001, 'x') + Block(0x00070003) + "tail"));
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->fileVersionMS, 0x00070003u);
}

TEST_F(SimModuleTest, DamagedImagesAreRefusedWithoutHarm) {
  Elf64_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS64;
  header.e_shentsize = sizeof(Elf64_Shdr);
  const std::string headerBytes(reinterpret_cast<const char*>(&header), sizeof(header));

  // Truncated in its header; a section table far beyond the end; a name table index out of range.
  std::vector<std::string> damaged = {headerBytes.substr(0, 20)};
  Elf64_Ehdr far = header;
  far.e_shnum = 3;
  far.e_shoff = 1ull << 40;
  damaged.emplace_back(reinterpret_cast<const char*>(&far), sizeof(far));
  Elf64_Ehdr badNames = header;
  badNames.e_shnum = 1;
  badNames.e_shoff = sizeof(header);
  badNames.e_shstrndx = 5;
  Elf64_Shdr section{};
  section.sh_name = 0xFFFFFFFF;
  damaged.push_back(std::string(reinterpret_cast<const char*>(&badNames), sizeof(badNames)) +
                    std::string(reinterpret_cast<const char*>(&section), sizeof(section)));
  int index = 0;
  for (const auto& bytes : damaged) {
    const auto path = Put(L"damaged" + std::to_wstring(index++) + L".exe", bytes);
    EXPECT_EQ(GetFileVersionInfoSize(path.c_str()), 0u) << index;
    EXPECT_EQ(GetLastError(), kErrorResourceTypeNotFound) << index;
  }
  // A damaged header in front of a version block still finds the block by the search.
  auto found = Version(Put(L"damaged-with-block.exe", damaged[1] + Block(0x00020001)));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->fileVersionMS, 0x00020001u);
}

}  // namespace
}  // namespace tamber::platform
