// The message wire format: byte layout, encodings, nesting, and the parser's defence against bytes
// that another process made.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "framework/message/Message.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using CORE::kEncodingUtf16;
using CORE::kEncodingUtf8;
using CORE::Message;
using CORE::Properties;
using CORE::Property;
using test::LogCapture;

using Bytes = std::vector<uint8_t>;

// The wire format needs no machine, but the log writer wants one to write to.
class PropertyBagTest : public test::GuestTest {};

uint32_t U32At(const Bytes& b, size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}
uint16_t U16At(const Bytes& b, size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }

// Builds wire bytes by hand, so that the parser can be fed exactly what a peer might send.
struct Wire {
  uint16_t flags = CORE::kMessageFlagUtf16;
  uint16_t kind = 0;
  uint16_t lengths[4] = {};
  std::vector<std::pair<uint16_t, uint32_t>> entries;
  Bytes block, binaries, strings;
  int64_t countOverride = -1;

  void Utf16(const std::u16string& text) {
    for (char16_t c : text) {
      strings.push_back(static_cast<uint8_t>(c));
      strings.push_back(static_cast<uint8_t>(c >> 8));
    }
  }
  Bytes Build() const {
    Bytes out;
    auto u16 = [&](uint16_t v) {
      out.push_back(static_cast<uint8_t>(v >> 8));
      out.push_back(static_cast<uint8_t>(v));
    };
    auto u32 = [&](uint32_t v) {
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (24 - 8 * i)));
    };
    u16(flags);
    u16(kind);
    for (uint16_t l : lengths) u16(l);
    u32(countOverride >= 0 ? static_cast<uint32_t>(countOverride) : static_cast<uint32_t>(entries.size()));
    u32(static_cast<uint32_t>(strings.size()));
    u32(static_cast<uint32_t>(block.size()));
    u32(static_cast<uint32_t>(binaries.size()));
    for (auto [name, descriptor] : entries) {
      u16(name);
      u32(descriptor);
    }
    out.insert(out.end(), block.begin(), block.end());
    out.insert(out.end(), binaries.begin(), binaries.end());
    out.insert(out.end(), strings.begin(), strings.end());
    return out;
  }
};

TEST_F(PropertyBagTest, EmptyMessageIsTheBareHeader) {
  Message message;
  Bytes bytes;
  ASSERT_TRUE(message.Flatten(kEncodingUtf16, &bytes));
  Bytes expected(28, 0);
  expected[1] = 0x08;  // UTF-16 flag, nothing else
  EXPECT_EQ(bytes, expected);
  ASSERT_TRUE(message.Flatten(kEncodingUtf8, &bytes));
  expected[1] = 0x04;
  EXPECT_EQ(bytes, expected);

  Message parsed;
  parsed.queueName = L"stale";
  ASSERT_TRUE(parsed.Parse(bytes, kEncodingUtf16));
  EXPECT_EQ(parsed, message);
}

TEST_F(PropertyBagTest, LayoutIsByteExact) {
  Message message;
  message.kind = 0x0102;
  message.queueName = L"Q";
  message.queueHint = L"hi";
  message.replyToId = L"r";
  message.binary = CORE::MsgBinary{{0xAA, 0xBB}};
  message.bag.AddText(L"t", L"v");
  message.bag.AddBinary(L"b", Bytes{1, 2, 3});
  message.bag.AddBag(L"s").AddText(L"x", L"");
  Bytes bytes;
  ASSERT_TRUE(message.Flatten(kEncodingUtf8, &bytes));

  Wire w;
  w.flags = CORE::kMessageFlagUtf8 | CORE::kMessageFlagBinary;
  w.kind = 0x0102;
  w.lengths[0] = 1, w.lengths[1] = 2, w.lengths[2] = 0, w.lengths[3] = 1;
  w.entries = {{1, 1}, {1, 0x80000003}, {1, 0xFFFFFFFF}, {1, 0}, {0, 0xFFFFFFFF}};
  w.block = {0xAA, 0xBB};
  w.binaries = {1, 2, 3};
  const std::string strings =
      "Qhir"
      "tv"
      "b"
      "s"
      "x";
  w.strings.assign(strings.begin(), strings.end());
  EXPECT_EQ(bytes, w.Build());
  EXPECT_EQ(message.bag.ElementCount(), 5u);

  Message parsed;
  ASSERT_TRUE(parsed.Parse(bytes, kEncodingUtf16));  // the message's own flag names UTF-8
  EXPECT_EQ(parsed, message);
}

TEST_F(PropertyBagTest, EmptyNestedBagIsAnOpeningAndAClosingEntry) {
  Message message;
  message.bag.AddBag(L"sub");
  Bytes bytes;
  ASSERT_TRUE(message.Flatten(kEncodingUtf16, &bytes));
  ASSERT_EQ(bytes.size(), 28u + 12u + 6u);
  EXPECT_EQ(U32At(bytes, 12), 2u);
  EXPECT_EQ(U32At(bytes, 16), 6u);  // "sub" in UTF-16, the closing entry adds nothing
  EXPECT_EQ(U16At(bytes, 28), 3u);
  EXPECT_EQ(U32At(bytes, 30), 0xFFFFFFFFu);
  EXPECT_EQ(U16At(bytes, 34), 0u);
  EXPECT_EQ(U32At(bytes, 36), 0xFFFFFFFFu);
  Message parsed;
  ASSERT_TRUE(parsed.Parse(bytes, kEncodingUtf16));
  ASSERT_NE(parsed.bag.GetBag(L"sub"), nullptr);
  EXPECT_TRUE(parsed.bag.GetBag(L"sub")->Empty());
}

TEST_F(PropertyBagTest, LengthsCountEncodingUnits) {
  Message message;
  message.bag.AddText(L"n", L"h\u00E9llo");  // five characters, one of them two bytes in UTF-8
  Bytes utf16, utf8;
  ASSERT_TRUE(message.Flatten(kEncodingUtf16, &utf16));
  ASSERT_TRUE(message.Flatten(kEncodingUtf8, &utf8));
  EXPECT_EQ(U32At(utf16, 30), 5u);
  EXPECT_EQ(U32At(utf16, 16), 2u + 10u);
  EXPECT_EQ(U32At(utf8, 30), 6u);
  EXPECT_EQ(U32At(utf8, 16), 1u + 6u);

  // A character outside the basic plane is two UTF-16 units (little-endian) and four UTF-8 bytes.
  Message astral;
  astral.queueName = std::wstring(1, static_cast<wchar_t>(0x1F600));
  if (sizeof(wchar_t) == 2) astral.queueName = L"\xD83D\xDE00";
  ASSERT_TRUE(astral.Flatten(kEncodingUtf16, &utf16));
  EXPECT_EQ(U16At(utf16, 4), 2u);
  EXPECT_EQ(Bytes(utf16.begin() + 28, utf16.end()), (Bytes{0x3D, 0xD8, 0x00, 0xDE}));
  ASSERT_TRUE(astral.Flatten(kEncodingUtf8, &utf8));
  EXPECT_EQ(U16At(utf8, 4), 4u);
  Message back;
  ASSERT_TRUE(back.Parse(utf16, kEncodingUtf16));
  EXPECT_EQ(back.queueName, astral.queueName);
  ASSERT_TRUE(back.Parse(utf8, kEncodingUtf8));
  EXPECT_EQ(back.queueName, astral.queueName);
}

TEST_F(PropertyBagTest, EmptyBinaryComesBackAsEmptyText) {
  Message message;
  message.bag.AddBinary(L"empty", Bytes{});
  Bytes bytes;
  ASSERT_TRUE(message.Flatten(kEncodingUtf16, &bytes));
  EXPECT_EQ(U32At(bytes, 30), 0u);
  EXPECT_EQ(U32At(bytes, 24), 0u);
  Message parsed;
  ASSERT_TRUE(parsed.Parse(bytes, kEncodingUtf16));
  const Property* item = parsed.bag.Find(L"empty");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->kind, Property::Kind::Text);
  EXPECT_TRUE(item->text.empty());
}

TEST_F(PropertyBagTest, BagApi) {
  CORE::PropertyBag bag;
  bag.AddInteger(L"gen", -42);
  bag.AddText(L"dup", L"first");
  bag.AddText(L"dup", L"second");
  bag.AddBag(L"transform").AddText(L"KP_ALGID", L"SHA256");
  bag.AddBinary(L"bin", "\x01\x02", 2);
  int64_t value = 0;
  EXPECT_TRUE(bag.GetInteger(L"gen", &value));
  EXPECT_EQ(value, -42);
  std::wstring text;
  EXPECT_TRUE(bag.GetText(L"dup", &text));
  EXPECT_EQ(text, L"first");
  EXPECT_FALSE(bag.GetText(L"bin", &text));  // wrong kind
  EXPECT_FALSE(bag.GetInteger(L"dup", &value));
  bag.AddText(L"big", L"9223372036854775808");
  EXPECT_FALSE(bag.GetInteger(L"big", &value));
  EXPECT_EQ(bag.ElementCount(), 8u);  // 6 items + the nested one + its closing entry
  Properties copy = bag;
  const_cast<Properties*>(bag.GetBag(L"transform"))->AddText(L"more", L"x");
  EXPECT_EQ(copy.GetBag(L"transform")->Size(), 1u);  // copies are deep
  EXPECT_EQ(bag.Remove(L"dup"), 2u);
  bag.SetErrorText(L"boom");
  bag.SetErrorCode(30001);
  EXPECT_EQ(bag.GetErrorText(), L"boom");
  EXPECT_EQ(bag.GetErrorCode(), 30001);
  bag.Clear();
  EXPECT_TRUE(bag.Empty());
  EXPECT_FALSE(bag.HasErrorText());
  EXPECT_EQ(bag.GetErrorCode(), 0);
}

// --- random round trips ---------------------------------------------------------------------------

std::wstring RandomText(std::mt19937& rng, size_t maxLength) {
  static const uint32_t kAlphabet[] = {'a', 'Z', '0', ' ', ';', 0xE9, 0x4E2D, 0xFFFD, 0x1F600, 0x10FFFF};
  std::wstring text;
  const size_t length = rng() % (maxLength + 1);
  for (size_t i = 0; i < length; ++i) {
    uint32_t c = kAlphabet[rng() % (sizeof(kAlphabet) / sizeof(kAlphabet[0]))];
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      c -= 0x10000;
      text.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
      text.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
    } else {
      text.push_back(static_cast<wchar_t>(c));
    }
  }
  return text;
}

void FillRandom(std::mt19937& rng, Properties& bag, int depth) {
  const int items = static_cast<int>(rng() % 6);
  for (int i = 0; i < items; ++i) {
    std::wstring name = RandomText(rng, 8);
    switch (rng() % (depth < 4 ? 4 : 3)) {
      case 0:
        bag.AddText(name, RandomText(rng, 20));
        break;
      case 1: {
        Bytes data(1 + rng() % 40);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        bag.AddBinary(name, data);
        break;
      }
      case 2:
        bag.AddInteger(name, static_cast<int64_t>(rng()) - 0x7FFFFFFF);
        break;
      default:
        FillRandom(rng, bag.AddBag(name.empty() ? L"n" : name), depth + 1);
        break;
    }
  }
}

TEST_F(PropertyBagTest, RandomMessagesRoundTripInBothEncodings) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 300; ++round) {
    Message message;
    message.kind = static_cast<uint16_t>(rng());
    message.queueName = RandomText(rng, 10);
    message.queueHint = RandomText(rng, 10);
    message.messageId = RandomText(rng, 10);
    message.replyToId = RandomText(rng, 10);
    if (rng() % 2) message.binary = CORE::MsgBinary{Bytes(rng() % 5, 0x5A)};
    FillRandom(rng, message.bag, 0);
    for (long encoding : {kEncodingUtf8, kEncodingUtf16}) {
      SCOPED_TRACE(testing::Message() << "round " << round << " encoding " << encoding);
      Bytes bytes;
      ASSERT_TRUE(message.Flatten(encoding, &bytes));
      EXPECT_EQ(U32At(bytes, 12), message.bag.ElementCount());
      Message parsed;
      ASSERT_TRUE(parsed.Parse(bytes, encoding));
      EXPECT_EQ(parsed, message);
      Bytes again;
      ASSERT_TRUE(parsed.Flatten(encoding, &again));
      EXPECT_EQ(again, bytes);
      // Any cut of a valid message is refused cleanly.
      const size_t cut = rng() % bytes.size();
      EXPECT_FALSE(parsed.Parse(bytes.data(), cut, encoding));
      EXPECT_TRUE(parsed.bag.Empty());
    }
  }
}

// --- failures -------------------------------------------------------------------------------------

TEST_F(PropertyBagTest, FlattenFailuresAreLoggedVerbatim) {
  LogCapture log;
  Message message;
  Bytes bytes;
  EXPECT_FALSE(message.Flatten(3, &bytes));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"CORE::Message::Flatten(): Unsupported char encoding code=3"));

  message.bag.AddText(L"name", L"value");
  EXPECT_FALSE(message.Flatten(kEncodingUtf16, &bytes, 30));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"CORE::ByteData::CheckReqdBytes(): Not enough buffer left, total="));
  EXPECT_TRUE(bytes.empty());

  const std::wstring loneSurrogate(1, static_cast<wchar_t>(0xD800));
  Message badName;
  badName.bag.AddText(loneSurrogate, L"v");
  EXPECT_FALSE(badName.Flatten(kEncodingUtf8, &bytes));
  EXPECT_TRUE(log.Contains(LogLevel::Error,
                           L"CORE::CharEncConverter::ConvertFromUtf16(): Failed to convert(UTF16 to UTF8), Error="));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"CORE::Properties::flatten(): Failed to re-encode/serialize item name="));
  EXPECT_TRUE(badName.Flatten(kEncodingUtf16, &bytes));  // UTF-16 carries any code unit

  Message badValue;
  badValue.bag.AddText(L"n", loneSurrogate);
  EXPECT_FALSE(badValue.Flatten(kEncodingUtf8, &bytes));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"CORE::Properties::flatten(): Failed to re-encode/serialize item value, item name=n, encoding=UTF-8"));

  Message longQueue;
  longQueue.queueHint = std::wstring(0x10000, L'q');
  EXPECT_FALSE(longQueue.Flatten(kEncodingUtf16, &bytes));
  EXPECT_TRUE(
      log.Contains(LogLevel::Error,
                   L"CORE::Message::FlattenMemberStrings(): Failed to encode/serialize queueHint, encoding=UTF-16"));

  Message unnamedBag;
  unnamedBag.bag.AddBag(L"");
  EXPECT_FALSE(unnamedBag.Flatten(kEncodingUtf16, &bytes));

  Message big;
  big.bag.AddBinary(L"blob", Bytes(100, 1));
  EXPECT_FALSE(big.Flatten(kEncodingUtf16, &bytes, 64));
  EXPECT_TRUE(log.Contains(LogLevel::Error,
                           L"CORE::Properties::flatten(): Failed to serialize binary data, item name=blob, size=100"));
}

struct ParseCase {
  const char* what;
  Bytes bytes;
  std::vector<std::wstring> messages;
};

TEST_F(PropertyBagTest, ParseFailuresAreLoggedVerbatim) {
  std::vector<ParseCase> cases;
  {
    Bytes shortHeader(10, 0);
    cases.push_back({"short header",
                     shortHeader,
                     {L"CORE::ByteData::CheckDestBytes(): Not enough buffer left, total=10, consumed=10, required=2"}});
  }
  const wchar_t* members[] = {L"queueName", L"queueHint", L"messageId", L"replyToId"};
  for (int i = 0; i < 4; ++i) {
    Wire w;
    w.flags = CORE::kMessageFlagUtf8;
    w.lengths[i] = 1;
    w.strings = {0xFF};
    cases.push_back(
        {"bad address string",
         w.Build(),
         {L"CORE::CharEncConverter::ConvertToUtf16(): Failed to convert(UTF8 to UTF16) Error=",
          std::wstring(L"CORE::Message::Parse(): Failed to read/re-encode ") + members[i] + L", encoding=UTF-8"}});
  }
  {
    Wire w;
    w.entries = {{4, 1}};
    w.Utf16(u"ab");
    cases.push_back(
        {"name beyond strings",
         w.Build(),
         {L"CORE::CharEncConverter::ConvertToUtf16(): Not enough bytes left to read from(Utf16 to Utf16), found=4, need=8",
          L"CORE::Properties::load(): Message invalid, failed to get Property name, encoding=UTF-16"}});
  }
  {
    Wire w;
    w.entries = {{4, 0xFFFFFFFF}};
    w.Utf16(u"ab");
    cases.push_back(
        {"bag name beyond strings",
         w.Build(),
         {L"CORE::Properties::load(): Message invalid, failed to get Property value name, encoding=UTF-16"}});
  }
  {
    Wire w;
    w.entries = {{1, 0x8000000A}};
    w.Utf16(u"b");
    w.binaries = {1, 2, 3};
    cases.push_back(
        {"binary beyond its area",
         w.Build(),
         {L"CORE::Properties::load(): Message invalid, buffer not found to copy binary data, required=10, name=b"}});
  }
  {
    Wire w;
    w.flags = CORE::kMessageFlagUtf8;
    w.entries = {{1, 3}};
    w.strings = {'t', 'a', 0xC3};
    cases.push_back(
        {"text value cut",
         w.Build(),
         {L"CORE::CharEncConverter::ConvertToUtf16(): Not enough bytes left to read from(Utf8 to Utf16), found=2, need=3",
          L"CORE::Properties::load(): Message invalid, failed to get Property value data(string), name=t, encoding=UTF-8"}});
  }
  {
    Wire w;
    w.entries = {{0, 0xFFFFFFFF}};
    cases.push_back({"close without open",
                     w.Build(),
                     {L"CORE::Properties::load(): Message invalid, subbag expected but not found"}});
  }
  {
    Wire w;
    w.entries = {{1, 0xFFFFFFFF}, {1, 0xFFFFFFFF}, {0, 0xFFFFFFFF}};
    w.Utf16(u"ab");
    cases.push_back({"open left unclosed",
                     w.Build(),
                     {L"CORE::Properties::load(): Message invalid, unmatched subbag left without an end"}});
  }
  {
    Wire w;
    w.countOverride = 0x7FFFFFFF;  // no memory may be taken on the word of a length field
    cases.push_back({"entry count beyond the input",
                     w.Build(),
                     {L"CORE::ByteData::CheckDestBytes(): Not enough buffer left, total=28, consumed=28"}});
  }
  {
    Wire w;
    Bytes bytes = w.Build();
    bytes.push_back(0);
    cases.push_back({"trailing byte", bytes, {L"CORE::ByteData::CheckDestBytes(): Invalid source length"}});
  }
  {
    Wire w;
    w.block = {1};  // a block without its flag
    cases.push_back({"unflagged block", w.Build(), {L"CORE::ByteData::CheckDestBytes(): Invalid source length"}});
  }
  {
    Wire w;
    w.flags = CORE::kMessageFlagUtf8 | CORE::kMessageFlagUtf16;
    w.lengths[0] = 1;
    w.strings = {'q'};
    cases.push_back({"two encodings",
                     w.Build(),
                     {L"CORE::Message::Parse(): Failed to read/re-encode queueName, encoding=unknown"}});
  }
  {
    // A nesting bomb: far more open bags than any stack could recurse through.
    Wire w;
    w.flags = CORE::kMessageFlagUtf8;
    for (int i = 0; i < 100000; ++i) {
      w.entries.push_back({1, 0xFFFFFFFF});
      w.strings.push_back('n');
    }
    cases.push_back(
        {"nesting bomb", w.Build(), {L"CORE::Properties::load(): Message invalid, subbags nested deeper than 64"}});
  }
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    Message message;
    EXPECT_FALSE(message.Parse(c.bytes, kEncodingUtf16));
    EXPECT_EQ(message, Message());
    for (const std::wstring& text : c.messages)
      EXPECT_TRUE(log.Contains(LogLevel::Error, text)) << std::string(text.begin(), text.end());
  }
}

TEST_F(PropertyBagTest, DeepestAllowedNestingRoundTrips) {
  Message message;
  Properties* bag = &message.bag;
  for (size_t i = 0; i < CORE::kMaxBagDepth; ++i) bag = &bag->AddBag(L"d");
  Bytes bytes;
  ASSERT_TRUE(message.Flatten(kEncodingUtf16, &bytes));
  Message parsed;
  ASSERT_TRUE(parsed.Parse(bytes, kEncodingUtf16));
  EXPECT_EQ(parsed, message);
  bag->AddBag(L"one too many");
  EXPECT_FALSE(message.Flatten(kEncodingUtf16, &bytes));
}

}  // namespace
}  // namespace tamber

namespace tamber {
namespace {

// Text is decoded with ASCII runs copied in bulk: what follows a run must still be decoded and
// checked, and a failure after a run must leave no partial text.
TEST(CharEncConverterTest, Utf8AsciiRunsAroundOtherSequences) {
  struct Case {
    std::string bytes;
    bool ok;
    std::wstring text;
  };
  // A code point past the first plane is one wchar_t here, a surrogate pair where wchar_t has 16 bits.
  const std::wstring grin = sizeof(wchar_t) == 2
                                ? std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)}
                                : std::wstring(1, static_cast<wchar_t>(0x1F600));
  const Case cases[] = {
      {"ab\xC3\xA9"
       "cd\xE4\xB8\xAD",
       true, L"ab\u00E9cd\u4E2D"},
      {"\xF0\x9F\x98\x80z", true, grin + L"z"},
      {"abc\xC3", false, L""},          // truncated after a run
      {"abc\xE0\x80\x80", false, L""},  // overlong after a run
      {"abc\x80", false, L""},          // continuation byte where a lead byte belongs
      {std::string(300, 'x'), true, std::wstring(300, L'x')},
  };
  for (const Case& c : cases) {
    CORE::ByteData reader = CORE::ByteData::Reader(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size());
    std::wstring text = L"stale";
    EXPECT_EQ(CORE::CharEncConverter::ConvertToUtf16(reader, c.bytes.size(), kEncodingUtf8, &text), c.ok) << c.bytes;
    EXPECT_EQ(text, c.text) << c.bytes;
  }
}

// Text is encoded straight into the area it belongs to: one unit per character while it allows,
// every character checked otherwise. Either way the bytes and counts match, a text that does not
// fit or exceeds its limit adds nothing, and what was written before stays.
TEST(CharEncConverterTest, EncodingAppendsExactBytesOrNothing) {
  struct Case {
    std::wstring text;
    long encoding;
    Bytes bytes;
  };
  const Case cases[] = {
      {L"a\x7F", kEncodingUtf8, {'a', 0x7F}},
      {L"a\x80", kEncodingUtf8, {'a', 0xC2, 0x80}},
      {L"\xD7FF", kEncodingUtf16, {0xFF, 0xD7}},
      {L"\xE000z", kEncodingUtf16, {0x00, 0xE0, 'z', 0}},
      {L"", kEncodingUtf8, {}},
  };
  for (const Case& c : cases) {
    Bytes out;
    CORE::ByteData writer = CORE::ByteData::Writer(&out, 64);
    ASSERT_TRUE(writer.Append("#", 1));
    size_t units = 99;
    ASSERT_TRUE(CORE::CharEncConverter::ConvertFromUtf16(c.text, c.encoding, writer, &units));
    Bytes expected{'#'};
    expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(out, expected);
    EXPECT_EQ(writer.Consumed(), out.size());
    EXPECT_EQ(units, c.encoding == kEncodingUtf8 ? c.bytes.size() : c.bytes.size() / 2);
  }

  LogCapture log;
  Bytes out;
  CORE::ByteData small = CORE::ByteData::Writer(&out, 4);
  size_t units = 0;
  for (const std::wstring& text : {std::wstring(L"abcde"), std::wstring(L"\u00E9\u00E9\u00E9")}) {
    EXPECT_FALSE(CORE::CharEncConverter::ConvertFromUtf16(text, kEncodingUtf8, small, &units));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(small.Consumed(), 0u);
  }
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"CORE::ByteData::CheckReqdBytes(): Not enough buffer left, total=4"));
  // Over the limit: refused without a message (the caller names the item), the units still told.
  EXPECT_FALSE(CORE::CharEncConverter::ConvertFromUtf16(L"\u00E9\u00E9", kEncodingUtf8, small, &units, 3));
  EXPECT_EQ(units, 4u);
  EXPECT_TRUE(out.empty());

  // A 32-bit wchar_t below zero is no character: refused, not cut to its low bits.
  std::wstring negative = L"a";
  negative.push_back(static_cast<wchar_t>(-1));
  Bytes room;
  CORE::ByteData roomy = CORE::ByteData::Writer(&room, 64);
  if (sizeof(wchar_t) == 4) {
    EXPECT_FALSE(CORE::CharEncConverter::ConvertFromUtf16(negative, kEncodingUtf8, roomy, &units));
    EXPECT_FALSE(CORE::CharEncConverter::ConvertFromUtf16(negative, kEncodingUtf16, roomy, &units));
    EXPECT_TRUE(room.empty());
  }

  CORE::ByteData reader = CORE::ByteData::Reader(nullptr, 0);
  EXPECT_FALSE(CORE::CharEncConverter::ConvertFromUtf16(L"a", kEncodingUtf8, reader, &units));
  EXPECT_TRUE(
      log.Contains(LogLevel::Error, L"CORE::CharEncConverter::ConvertFromUtf16(): No buffer available to copy string"));
}

// A member string may have 0xFFFF units: the limit counts units of the encoding, so one text can
// fit in one encoding and not in the other.
TEST(CharEncConverterTest, MemberLimitCountsUnitsOfTheEncoding) {
  Message message;
  message.queueName = std::wstring(0xFFFF, L'q');
  Bytes bytes;
  EXPECT_TRUE(message.Flatten(kEncodingUtf16, &bytes));
  message.queueName = std::wstring(0x8000, L'\u00E9');
  EXPECT_TRUE(message.Flatten(kEncodingUtf16, &bytes));
  EXPECT_FALSE(message.Flatten(kEncodingUtf8, &bytes));  // two bytes each: 0x10000 units
  EXPECT_TRUE(bytes.empty());
}

}  // namespace
}  // namespace tamber
