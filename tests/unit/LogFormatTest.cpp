// The log formatter: Windows printf semantics over wide format strings, with typed arguments.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "framework/log/Format.h"

namespace tamber::framework::log {
namespace {

template <class... Args>
std::wstring Fmt(const wchar_t* format, const Args&... args) {
  const FormatArg packed[] = {FormatArg(args)..., FormatArg()};
  return FormatText(format, packed, sizeof...(Args), 8192);
}

template <class... Args>
bool Throws(const wchar_t* format, const Args&... args) {
  try {
    Fmt(format, args...);
    return false;
  } catch (const std::invalid_argument&) {
    return true;
  }
}

TEST(LogFormatTest, IntegersReinterpretAtTheArgumentsNaturalWidth) {
  EXPECT_EQ(Fmt(L"%d %i %u", 42, -42, 42u), L"42 -42 42");
  EXPECT_EQ(Fmt(L"0x%X", -1), L"0xFFFFFFFF");  // an int read as unsigned
  EXPECT_EQ(Fmt(L"%x", 0xBEEFu), L"beef");
  EXPECT_EQ(Fmt(L"%u", -1), L"4294967295");
  EXPECT_EQ(Fmt(L"%d", 0xFFFFFFFFu), L"-1");
  EXPECT_EQ(Fmt(L"%lX %lu %ld", 0x80070005u, 7ul, -7l), L"80070005 7 -7");
  EXPECT_EQ(Fmt(L"%I64u %I64d %I64X", uint64_t{18446744073709551615ull}, int64_t{-5}, int64_t{-1}),
            L"18446744073709551615 -5 FFFFFFFFFFFFFFFF");
  EXPECT_EQ(Fmt(L"%I64X", -1), L"FFFFFFFFFFFFFFFF");        // the prefix widens an int to 64 bits
  EXPECT_EQ(Fmt(L"%X", int64_t{-1}), L"FFFFFFFFFFFFFFFF");  // a 64-bit argument keeps its width
  EXPECT_EQ(Fmt(L"%llu %lld %zu", 1ull << 40, -(1ll << 40), size_t{12345}), L"1099511627776 -1099511627776 12345");
  EXPECT_EQ(Fmt(L"%hX %hhx %hd", -1, -1, 0x18000), L"FFFF ff -32768");
  EXPECT_EQ(Fmt(L"%o %#o %#x %#X %#x", 8, 8, 255, 255, 0), L"10 010 0xff 0XFF 0");
  EXPECT_EQ(Fmt(L"%d %u", true, static_cast<uint8_t>(200)), L"1 200");
  enum class Color : int { Red = 3 };
  EXPECT_EQ(Fmt(L"%d", Color::Red), L"3");
}

TEST(LogFormatTest, FlagsWidthAndPrecision) {
  EXPECT_EQ(Fmt(L"[%5d|%-5d|%05d|%+d|% d|%+d]", 42, 42, -42, 42, 42, -3), L"[   42|42   |-0042|+42| 42|-3]");
  EXPECT_EQ(Fmt(L"[%.3d|%8.3x|%-8.3X|%.0d|%05.2d]", 7, 10, 10, 0, 1), L"[007|     00a|00A     ||   01]");
  EXPECT_EQ(Fmt(L"[%08X]", 0x1234), L"[00001234]");
  EXPECT_EQ(Fmt(L"[%*d|%-*d|%*d]", 5, 1, 4, 2, -4, 3), L"[    1|2   |3   ]");
  EXPECT_EQ(Fmt(L"[%.*s|%.*d]", 2, L"abcdef", 4, 9), L"[ab|0009]");
  EXPECT_EQ(Fmt(L"[%.*s]", -1, L"abc"), L"[abc]");  // a negative precision counts as none
}

TEST(LogFormatTest, PointersCharactersAndPercent) {
  EXPECT_EQ(Fmt(L"%p", reinterpret_cast<const void*>(uintptr_t{0x1234})), L"0000000000001234");
  EXPECT_EQ(Fmt(L"%p", static_cast<const void*>(nullptr)), L"0000000000000000");
  EXPECT_EQ(Fmt(L"[%20p]", reinterpret_cast<const void*>(uintptr_t{0xABCDEF})), L"[    0000000000ABCDEF]");
  EXPECT_EQ(Fmt(L"%c%c%C|%-3c|%3c", L'w', 'n', 'N', L'a', L'b'), L"wnN|a  |  b");
  EXPECT_EQ(Fmt(L"100%% done %%d"), L"100% done %d");
}

TEST(LogFormatTest, StringsTakeTheArgumentsWidthWhereTheFormatAllowsIt) {
  std::wstring wide = L"HKLM\\Software";
  std::string narrow = "narrow";
  EXPECT_EQ(Fmt(L"%ws|%ls|%s|%s", wide, L"lit", wide, narrow), L"HKLM\\Software|lit|HKLM\\Software|narrow");
  EXPECT_EQ(Fmt(L"%S|%hs", narrow, "c"), L"narrow|c");
  EXPECT_EQ(Fmt(L"[%8ws|%-8S|%.3s|%5.2S]", L"ab", "cd", L"abcdef", "xyz"), L"[      ab|cd      |abc|   xy]");
  EXPECT_EQ(Fmt(L"%ws %S", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)), L"(null) (null)");
  // UTF-8 narrow text is shown as the characters it encodes.
  EXPECT_EQ(Fmt(L"%S!",
                "Gr\xC3\xBC\xC3\x9F"
                "e \xE2\x82\xAC"),
            L"Gr\u00FC\u00DFe \u20AC!");
  EXPECT_EQ(Fmt(L"%S", "\xF0\x9F\x98\x80"), std::wstring(L"\U0001F600"));
  EXPECT_EQ(Fmt(L"[%S]",
                "a\xFF"
                "b\xC3"),
            L"[a\uFFFDb\uFFFD]");  // malformed bytes never throw
}

TEST(LogFormatTest, FloatingPoint) {
  EXPECT_EQ(Fmt(L"%f|%.2f|%8.3f|%-8.1f|", 3.14159, 2.005, -2.5, 1.25), L"3.141590|2.00|  -2.500|1.2     |");
  EXPECT_EQ(Fmt(L"%e|%.2E|%g|%G", 12345.678, 0.000123, 0.0001, 1e20), L"1.234568e+04|1.23E-04|0.0001|1E+20");
  EXPECT_EQ(Fmt(L"%+.1f|%05.1f|%#.0f", 1.0, 2.5, 3.0), L"+1.0|002.5|3.");
}

TEST(LogFormatTest, OutputIsCutAtTheLimit) {
  std::wstring longText(10000, L'x');
  const FormatArg args[] = {FormatArg(longText)};
  std::wstring text = FormatText(L"%ws tail", args, 1, 8192);
  EXPECT_EQ(text.size(), 8192u);
  EXPECT_TRUE(text == std::wstring(8192, L'x'));
  EXPECT_EQ(FormatText(L"abcdef", nullptr, 0, 3), L"abc");
  const FormatArg width[] = {FormatArg(1)};
  EXPECT_EQ(FormatText(L"%2000000000d", width, 1, 5), L"     ");  // a huge width costs nothing
  const FormatArg precision[] = {FormatArg(1.0)};
  EXPECT_EQ(FormatText(L"%.100000f", precision, 1, 8192).size(), 8192u);
  // The cut never leaves half a character behind.
  const FormatArg emoji[] = {FormatArg("a\xF0\x9F\x98\x80")};
  std::wstring cut = FormatText(L"%S", emoji, 1, 2);
  EXPECT_EQ(cut, sizeof(wchar_t) == 2 ? std::wstring(L"a") : std::wstring(L"a\U0001F600"));
}

TEST(LogFormatTest, AppendingKeepsWhatWasThere) {
  std::wstring out = L"prefix:";
  const FormatArg args[] = {FormatArg(5)};
  FormatTextTo(out, L"%d", args, 1, 8192);
  EXPECT_EQ(out, L"prefix:5");
}

TEST(LogFormatTest, MalformedSpecificationsAndMismatchedArgumentsThrow) {
  EXPECT_TRUE(Throws(L"ends with %"));
  EXPECT_TRUE(Throws(L"%5", 1));
  EXPECT_TRUE(Throws(L"%-", 1));
  EXPECT_TRUE(Throws(L"%.", 1));
  EXPECT_TRUE(Throws(L"%q", 1));
  EXPECT_TRUE(Throws(L"%n", 1));    // never writes through an argument
  EXPECT_TRUE(Throws(L"%I6d", 1));  // neither I32 nor I64
  EXPECT_TRUE(Throws(L"%I3d", 1));
  EXPECT_TRUE(Throws(L"%Lx", 1));
  EXPECT_TRUE(Throws(L"%ld"));               // missing argument
  EXPECT_TRUE(Throws(L"%d %d", 1));          // one missing
  EXPECT_TRUE(Throws(L"%*d", L"w", 1));      // width from a string
  EXPECT_TRUE(Throws(L"%d", L"text"));       // integer from a string
  EXPECT_TRUE(Throws(L"%ws", "narrow"));     // wide conversion, narrow argument
  EXPECT_TRUE(Throws(L"%S", L"wide"));       // narrow conversion, wide argument
  EXPECT_TRUE(Throws(L"%s", 5));             // string from an integer
  EXPECT_TRUE(Throws(L"%f", 5));             // float from an integer
  EXPECT_TRUE(Throws(L"%x", 1.5));           // integer from a float
  EXPECT_TRUE(Throws(L"%c", L"c"));          // character from a string
  EXPECT_TRUE(Throws(L"%99999999999d", 1));  // width beyond int
  EXPECT_FALSE(Throws(L"%d", 1, 2));         // extra arguments are ignored, as in C
}

}  // namespace
}  // namespace tamber::framework::log
