// The Windows guest for the Wine tier: the real machine (the run's own Wine prefix), with the
// agent's registry keys removed before each test so that every test starts from a machine on which
// the agent never ran.
#include "core/util/Singleton.h"
#include "platform/Registry.h"
#include "platform/Types.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

const wchar_t* const kAgentKeys[] = {
    L"SOFTWARE\\Talvora",
    L"SYSTEM\\CurrentControlSet\\services\\tlv-velocyn-ga",
};

// Empty on success, else the key that could not be removed and why.
std::wstring RemoveAgentKeys() {
  for (const wchar_t* key : kAgentKeys) {
    uint32_t error = platform::RegDeleteTree(platform::HKeyLocalMachine(), key);
    if (error != platform::kErrorSuccess && error != platform::kErrorFileNotFound) {
      return std::wstring(L"HKLM\\") + key + L": error " + std::to_wstring(error);
    }
  }
  return {};
}

class Win32Environment : public ::testing::Environment {
 public:
  void TearDown() override { RemoveAgentKeys(); }
};

}  // namespace

::testing::Environment* CreateTestEnvironment() { return new Win32Environment; }

void GuestTest::SetUp() {
  core::util::ResetSingletonsForTest();  // cached keys would point at the keys removed below
  std::wstring failure = RemoveAgentKeys();
  ASSERT_TRUE(failure.empty()) << "cannot clean the machine: " << ::testing::PrintToString(failure);
}

void GuestTest::TearDown() {}

}  // namespace tamber::test
