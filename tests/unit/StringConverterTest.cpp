// Text conversion between wide strings and UTF-8, and the platform conversion calls beneath it.
#include <string>

#include "common/util/StringConverter.h"
#include "platform/Environment.h"
#include "platform/Types.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

using common::i18n::StringConverter;

// U+1F600 is one wchar_t where wchar_t is 32 bits and a surrogate pair where it is 16.
std::wstring GrinningFace() {
  if constexpr (sizeof(wchar_t) == 2) {
    return std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
  } else {
    return std::wstring(1, static_cast<wchar_t>(0x1F600));
  }
}

class StringConverterTest : public GuestTest {
 protected:
  LogCapture log_;

  size_t Errors() {
    framework::log::FlushLog();
    return log_.Count(LogLevel::Error, L"StringConverter");
  }
};

TEST_F(StringConverterTest, RoundTripsEveryPlaneOfUnicode) {
  const struct {
    std::wstring wide;
    std::string utf8;
  } cases[] = {
      {L"", ""},
      {L"plain ascii 123", "plain ascii 123"},
      {L"Gr\u00FC\u00DFe",
       "Gr\xC3\xBC\xC3\x9F"
       "e"},
      {L"\u65E5\u672C", "\xE6\x97\xA5\xE6\x9C\xAC"},
      {L"x" + GrinningFace() + L"y", "x\xF0\x9F\x98\x80y"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StringConverter::ToUtf8String(c.wide), c.utf8);
    EXPECT_EQ(StringConverter::Utf8ToWString(c.utf8), c.wide);
  }
  EXPECT_EQ(Errors(), 0u);
}

TEST_F(StringConverterTest, IllFormedTextBecomesReplacementCharacters) {
  EXPECT_EQ(StringConverter::Utf8ToWString("a\xFF"
                                           "b"),
            L"a\uFFFDb");
  EXPECT_EQ(StringConverter::Utf8ToWString("\xC3("), L"\uFFFD(");
  // An unpaired surrogate has no UTF-8 form.
  EXPECT_EQ(StringConverter::ToUtf8String(std::wstring{L'a', static_cast<wchar_t>(0xD800), L'b'}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Errors(), 0u);
}

TEST_F(StringConverterTest, ConversionEndsAtTheFirstNull) {
  EXPECT_EQ(StringConverter::ToUtf8String(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(StringConverter::Utf8ToWString(std::string("ab\0cd", 5)), L"ab");
}

// The Win32 conventions of the conversion calls, which the converters rely on.
TEST(Utf8ConversionCalls, FollowTheWin32SizeConventions) {
  using namespace platform;
  const char* text = "h\xC3\xA9";  // "hé"
  // -1 counts the terminating null; an output size of 0 asks for the size.
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, text, -1, nullptr, 0), 3);
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, text, 3, nullptr, 0), 2);
  wchar_t wide[3] = {L'x', L'x', L'x'};
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, text, -1, wide, 3), 3);
  EXPECT_EQ(std::wstring(wide), L"h\u00E9");

  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, text, -1, wide, 2), 0);
  EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);

  EXPECT_EQ(WideCharToMultiByte(kCodePageUtf8, 0, L"h\u00E9", -1, nullptr, 0), 4);
  char narrow[4] = {};
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(kCodePageUtf8, 0, L"h\u00E9", -1, narrow, 3), 0);
  EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
  EXPECT_EQ(WideCharToMultiByte(kCodePageUtf8, 0, L"h\u00E9", -1, narrow, 4), 4);
  EXPECT_EQ(std::string(narrow), text);

  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, text, 0, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST(Utf8ConversionCalls, StrictModeRejectsIllFormedText) {
  using namespace platform;
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, kMbErrInvalidChars, "a\xFF", -1, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), kErrorNoUnicodeTranslation);
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, kMbErrInvalidChars, "a\xC3\xA9", -1, nullptr, 0), 3);
  // Without the flag the bad byte is replaced: "a", U+FFFD, null.
  EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, "a\xFF", -1, nullptr, 0), 3);
}

}  // namespace
}  // namespace tamber::test
