// Expansion of environment references, and the environment calls beneath it.
#include <algorithm>
#include <cwctype>
#include <string>

#include "common/util/EnvironmentUtil.h"
#include "platform/Environment.h"
#include "platform/Types.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

using common::windows::util::Util;

const wchar_t kVariable[] = L"VELOCYN_TEST_EXPAND_DIR";

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });
  return text;
}

class ExpandEnvStringTest : public GuestTest {
 protected:
  void SetUp() override {
    GuestTest::SetUp();
    ASSERT_TRUE(platform::SetEnvironmentVariable(kVariable, L"C:\\Data"));
  }
  void TearDown() override {
    platform::SetEnvironmentVariable(kVariable, nullptr);
    GuestTest::TearDown();
  }
  size_t Logged(LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log_.Count(level, fragment);
  }
  LogCapture log_;
};

TEST_F(ExpandEnvStringTest, ReplacesKnownReferencesWhateverTheirCase) {
  EXPECT_EQ(Util::ExpandEnvString(L"%velocyn_test_expand_dir%\\x and %VELOCYN_TEST_EXPAND_DIR%"),
            L"C:\\Data\\x and C:\\Data");
  EXPECT_EQ(
      Logged(LogLevel::Debug,
             L"tamber::common::windows::util::Util::ExpandEnvString(): Input string %velocyn_test_expand_dir%\\x"),
      1u);
  EXPECT_EQ(Logged(LogLevel::Debug,
                   L"tamber::common::windows::util::Util::ExpandEnvString(): Expanded string C:\\Data\\x and C:\\Data"),
            1u);
  EXPECT_EQ(Lower(Util::ExpandEnvString(L"%SystemRoot%\\System32")), L"c:\\windows\\system32");
}

TEST_F(ExpandEnvStringTest, LeavesUnknownAndUnfinishedReferencesAsWritten) {
  for (const std::wstring text : {L"%VELOCYN_NO_SUCH_VARIABLE%\\y", L"100%", L"%%", L"", L"no references"}) {
    EXPECT_EQ(Util::ExpandEnvString(text), text);
  }
  // The closing sign of an unknown reference is not reused as an opening one.
  EXPECT_EQ(Util::ExpandEnvString(L"%VELOCYN_NO_SUCH_VARIABLE%VELOCYN_TEST_EXPAND_DIR%"),
            L"%VELOCYN_NO_SUCH_VARIABLE%VELOCYN_TEST_EXPAND_DIR%");
  EXPECT_EQ(Logged(LogLevel::Error, L"Unable to expand"), 0u);
}

// The Win32 conventions of the environment calls.
TEST_F(ExpandEnvStringTest, EnvironmentCallsFollowTheWin32SizeConventions) {
  using namespace platform;
  // Expansion: the size includes the null, and a buffer too small is only told the size.
  EXPECT_EQ(ExpandEnvironmentStrings(L"[%VELOCYN_TEST_EXPAND_DIR%]", nullptr, 0), 10u);
  wchar_t small[4] = {L'q', L'q', L'q', L'\0'};
  EXPECT_EQ(ExpandEnvironmentStrings(L"[%VELOCYN_TEST_EXPAND_DIR%]", small, 4), 10u);
  wchar_t exact[10];
  EXPECT_EQ(ExpandEnvironmentStrings(L"[%VELOCYN_TEST_EXPAND_DIR%]", exact, 10), 10u);
  EXPECT_EQ(std::wstring(exact), L"[C:\\Data]");

  // Reading: the length without the null when it fits, else the size needed.
  wchar_t value[16];
  EXPECT_EQ(GetEnvironmentVariable(L"velocyn_test_expand_dir", value, 16), 7u);
  EXPECT_EQ(std::wstring(value), L"C:\\Data");
  EXPECT_EQ(GetEnvironmentVariable(kVariable, value, 7), 8u);
  EXPECT_EQ(GetEnvironmentVariable(kVariable, nullptr, 0), 8u);

  ASSERT_TRUE(SetEnvironmentVariable(kVariable, nullptr));
  SetLastError(0);
  EXPECT_EQ(GetEnvironmentVariable(kVariable, value, 16), 0u);
  EXPECT_EQ(GetLastError(), kErrorEnvvarNotFound);
}

}  // namespace
}  // namespace tamber::test
