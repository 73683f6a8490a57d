// The simulated guest's environment and its UTF-8 conversion in the cases where Windows has its own
// answer (replacement of ill-formed sequences, code points without a UTF-8 form, flags).
#include <string>

#include "platform/Environment.h"
#include "platform/Types.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

using namespace platform;

std::wstring Decode(const std::string& bytes) {
  int size = MultiByteToWideChar(kCodePageUtf8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(size), L'\0');
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size),
            size);
  return text;
}

TEST(SimUtf8, EachMaximalIllFormedSubpartBecomesOneReplacement) {
  const std::wstring r(1, L'\uFFFD');
  EXPECT_EQ(Decode("\xE2\x82"), r);                      // truncated three-byte sequence
  EXPECT_EQ(Decode("\xE2\x82x"), r + L"x");              // cut short by an ASCII byte
  EXPECT_EQ(Decode("\xED\xA0\x80"), r + r + r);          // an encoded surrogate
  EXPECT_EQ(Decode("\xC0\xAF"), r + r);                  // overlong
  EXPECT_EQ(Decode("\xF4\x90\x80\x80"), r + r + r + r);  // beyond U+10FFFF
  EXPECT_EQ(Decode("\x80\xBF"), r + r);                  // stray continuation bytes
  EXPECT_EQ(Decode("\xF0\x9F\x98\x80"), std::wstring(1, static_cast<wchar_t>(0x1F600)));
}

TEST(SimUtf8, CodePointsWithoutUtf8FormAreReplacedOrRejected) {
  const wchar_t bad[] = {L'a', static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0x110000), L'\0'};
  char out[16] = {};
  EXPECT_EQ(WideCharToMultiByte(kCodePageUtf8, 0, bad, -1, out, sizeof(out)), 8);
  EXPECT_EQ(std::string(out), "a\xEF\xBF\xBD\xEF\xBF\xBD");
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(kCodePageUtf8, 0x80 /*WC_ERR_INVALID_CHARS*/, bad, -1, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), kErrorNoUnicodeTranslation);
}

TEST(SimUtf8, RejectsOtherCodePagesAndFlags) {
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", -1, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0x1 /*MB_PRECOMPOSED*/, "a", -1, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), 1004u);  // ERROR_INVALID_FLAGS
  EXPECT_EQ(WideCharToMultiByte(kCodePageUtf8, 0, L"a", -2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST(SimEnvironment, HasTheWindowsVariablesOverTheHostOnes) {
  wchar_t value[64];
  ASSERT_GT(GetEnvironmentVariable(L"systemroot", value, 64), 0u);
  EXPECT_EQ(std::wstring(value), L"C:\\Windows");
  ASSERT_GT(GetEnvironmentVariable(L"TEMP", value, 64), 0u);
  EXPECT_EQ(std::wstring(value), L"C:\\Windows\\TEMP");
  ASSERT_GT(GetEnvironmentVariable(L"ProgramData", value, 64), 0u);
  EXPECT_EQ(std::wstring(value), L"C:\\ProgramData");

  // An empty value is found: 0 with no error.
  ASSERT_TRUE(SetEnvironmentVariable(L"VELOCYN_EMPTY", L""));
  SetLastError(99);
  EXPECT_EQ(GetEnvironmentVariable(L"VELOCYN_EMPTY", value, 64), 0u);
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(SetEnvironmentVariable(L"VELOCYN_EMPTY", nullptr));
  EXPECT_FALSE(SetEnvironmentVariable(L"A=B", L"x"));
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

}  // namespace
}  // namespace tamber::test
