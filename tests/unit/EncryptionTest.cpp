// Obfuscation of the machine password: Base64 both ways, the key derivation, AES-128-CFB128 against the
// standard vectors and a fixed known answer (the same text from CNG under Wine and from OpenSSL), and
// what is logged, which must never carry a seed or a secret.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/security/Encryption.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

using common::windows::Encryption;

constexpr char kHostName[] = "clone-07";
constexpr char kCloneUuid[] = "4c4c4544-0042-3610-8052-b4c04f4d3232";
constexpr char kPassword[] = "Pa55w0rd!";
// The same data and seeds through an independent tool: key and IV are the halves of
// SHA-256("clone-07" "4c4c4544-..."), AES-128-CFB128, standard Base64.
constexpr char kPasswordText[] = "joU2O/oOgipU";
constexpr char kTenBytesText[] = "3uUBDYk79kl9yQ==";  // bytes 0 to 9

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

class EncryptionTest : public GuestTest {
 protected:
  LogCapture log_;

  size_t Count(LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log_.Count(level, fragment);
  }

  // Obfuscated text, or "(failed)".
  static std::string Obfuscate(const char* seed1, const char* seed2, const std::vector<uint8_t>& data) {
    char* text = nullptr;
    uint32_t length = 0;
    if (!Encryption::obfuscate(seed1, seed2, data.data(), static_cast<uint32_t>(data.size()), &text, &length)) {
      EXPECT_EQ(text, nullptr);
      return "(failed)";
    }
    EXPECT_EQ(std::strlen(text), length);
    std::string result(text, length);
    Encryption::FreeData(&text, &length);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 0u);
    return result;
  }

  static bool Unobfuscate(const char* seed1, const char* seed2, const char* text, std::vector<uint8_t>* data) {
    uint8_t* plain = nullptr;
    uint32_t length = 0;
    if (!Encryption::unobfuscate(seed1, seed2, text, &plain, &length)) {
      EXPECT_EQ(plain, nullptr);
      return false;
    }
    data->assign(plain, plain + length);
    Encryption::FreeData(&plain, &length);
    return true;
  }

  static std::string Encode(const std::vector<uint8_t>& data) {
    char* text = nullptr;
    uint32_t length = 0;
    EXPECT_TRUE(Encryption::encode(data.data(), static_cast<uint32_t>(data.size()), &text, &length));
    std::string result(text != nullptr ? text : "", length);
    Encryption::FreeData(&text, &length);
    return result;
  }

  // The decoded bytes as text, or "(failed)".
  static std::string Decode(const char* text) {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    if (!Encryption::decode(text, &data, &length)) return "(failed)";
    std::string result(reinterpret_cast<char*>(data), length);
    Encryption::FreeData(&data, &length);
    return result;
  }
};

TEST_F(EncryptionTest, EncodeAndDecodeFollowTheStandardVectors) {
  const struct {
    const char* plain;
    const char* encoded;
  } vectors[] = {{"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},     {"foob", "Zm9vYg=="},
                 {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF", "+/8="}};
  for (const auto& v : vectors) {
    EXPECT_EQ(Encode(Bytes(v.plain)), v.encoded);
    EXPECT_EQ(Decode(v.encoded), v.plain);
  }
  EXPECT_EQ(Encode({}), "");
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::string text = Encode(all);
  EXPECT_EQ(text.size(), (256u + 2) / 3 * 4);
  EXPECT_EQ(Decode(text.c_str()), std::string(all.begin(), all.end()));
}

TEST_F(EncryptionTest, DecodeSkipsWhitespaceStopsAtPaddingAndSizesFromWhatItDecodes) {
  EXPECT_EQ(Decode("Zm9v\r\nYmFy"), "foobar");
  EXPECT_EQ(Decode(" Zm 9v\tYg== "), "foob");
  EXPECT_EQ(Decode("Zm8=anything after padding"), "fo");
  // Unpadded text decodes to what it holds (a buffer sized from the text's length would be short).
  EXPECT_EQ(Decode("Zm8"), "fo");
  EXPECT_EQ(Decode("Zg"), "f");
  EXPECT_EQ(Count(LogLevel::Error, L"decode()"), 0u);
}

TEST_F(EncryptionTest, DecodeRefusesTextItCannotDecodeAndSaysWhy) {
  EXPECT_EQ(Decode("Zm9v*Zm9v"), "(failed)");
  EXPECT_EQ(Count(LogLevel::Error, L"tamber::common::windows::Encryption::decode(): Failed Decoding String [9]"), 1u);
  EXPECT_EQ(Count(LogLevel::Error, L"decode(): Input string has invalid encoding chars"), 1u);

  // Five characters cannot make whole bytes: the characters are valid, the count is not.
  EXPECT_EQ(Decode("Zm9vY"), "(failed)");
  EXPECT_EQ(Count(LogLevel::Error, L"decode(): Failed Decoding String [5]"), 1u);
  EXPECT_EQ(Count(LogLevel::Debug, L"decode(): Input string has valid encoding chars"), 1u);

  EXPECT_EQ(Decode(""), "(failed)");
  EXPECT_EQ(Decode("===="), "(failed)");
  EXPECT_EQ(Decode(nullptr), "(failed)");
  uint8_t* data = nullptr;
  EXPECT_FALSE(Encryption::decode("Zm9v", &data, nullptr));
  EXPECT_EQ(data, nullptr);
}

TEST_F(EncryptionTest, AesCfb128MatchesTheStandardVectorsForWholeAndPartialBlocks) {
  const auto key = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  const auto iv = FromHex("000102030405060708090a0b0c0d0e0f");
  const auto plain = FromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const auto expected = FromHex(
      "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
      "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6");
  // A stream mode: any prefix of the data gives the same prefix of the ciphertext.
  for (uint32_t length : {64u, 50u, 16u, 10u, 1u}) {
    uint8_t* cipher = nullptr;
    uint32_t cipherLength = 0;
    ASSERT_TRUE(Encryption::encrypt(key.data(), iv.data(), plain.data(), length, &cipher, &cipherLength));
    ASSERT_EQ(cipherLength, length);
    EXPECT_EQ(std::vector<uint8_t>(cipher, cipher + length),
              std::vector<uint8_t>(expected.begin(), expected.begin() + length))
        << length << " bytes";
    uint8_t* back = nullptr;
    uint32_t backLength = 0;
    ASSERT_TRUE(Encryption::decrypt(key.data(), iv.data(), cipher, cipherLength, &back, &backLength));
    EXPECT_EQ(std::vector<uint8_t>(back, back + backLength),
              std::vector<uint8_t>(plain.begin(), plain.begin() + length));
    Encryption::FreeData(&cipher, &cipherLength);
    Encryption::FreeData(&back, &backLength);
  }
}

TEST_F(EncryptionTest, SeedsGiveTheKeyAndIvAsHalvesOfTheirDigest) {
  uint8_t key[16];
  uint8_t iv[16];
  ASSERT_TRUE(Encryption::initCryptoParams("ab", "c", key, iv));
  // SHA-256("abc"): the seeds are joined without separator or terminator.
  const auto digest = FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(std::vector<uint8_t>(key, key + 16), std::vector<uint8_t>(digest.begin(), digest.begin() + 16));
  EXPECT_EQ(std::vector<uint8_t>(iv, iv + 16), std::vector<uint8_t>(digest.begin() + 16, digest.end()));

  uint8_t out[32];
  ASSERT_EQ(Encryption::computeHash(reinterpret_cast<const uint8_t*>("abc"), 3, out), 32u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 32), digest);
  EXPECT_EQ(Encryption::computeHash(nullptr, 3, out), 0u);
  EXPECT_EQ(Count(LogLevel::Debug, L"tamber::common::windows::Encryption::computeHash(): Invalid parameters"), 1u);
}

TEST_F(EncryptionTest, ObfuscationGivesTheKnownTextAndComesBack) {
  EXPECT_EQ(Obfuscate(kHostName, kCloneUuid, Bytes(kPassword)), kPasswordText);
  std::vector<uint8_t> plain;
  ASSERT_TRUE(Unobfuscate(kHostName, kCloneUuid, kPasswordText, &plain));
  EXPECT_EQ(plain, Bytes(kPassword));

  // Ten bytes: sixteen characters with two padding characters, and back to the same ten bytes.
  std::vector<uint8_t> ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::string text = Obfuscate(kHostName, kCloneUuid, ten);
  EXPECT_EQ(text, kTenBytesText);
  ASSERT_EQ(text.size(), 16u);
  EXPECT_EQ(text.substr(14), "==");
  ASSERT_TRUE(Unobfuscate(kHostName, kCloneUuid, text.c_str(), &plain));
  EXPECT_EQ(plain, ten);

  // Any bytes, with whole and partial blocks.
  std::vector<uint8_t> long_(100);
  for (size_t i = 0; i < long_.size(); ++i) long_[i] = static_cast<uint8_t>(i * 37 + 11);
  ASSERT_TRUE(Unobfuscate("a", "b", Obfuscate("a", "b", long_).c_str(), &plain));
  EXPECT_EQ(plain, long_);
}

TEST_F(EncryptionTest, OtherSeedsGiveOtherTextAndWrongSeedsWrongBytesWithoutError) {
  const auto data = Bytes(kPassword);
  const std::string text = Obfuscate(kHostName, kCloneUuid, data);
  EXPECT_NE(Obfuscate("clone-08", kCloneUuid, data), text);
  EXPECT_NE(Obfuscate(kHostName, "4c4c4544-0042-3610-8052-b4c04f4d3233", data), text);
  // Where one seed ends and the other begins is not part of the key.
  EXPECT_EQ(Obfuscate("clone-074c4c", "4544-0042-3610-8052-b4c04f4d3232", data), text);

  std::vector<uint8_t> plain;
  ASSERT_TRUE(Unobfuscate("clone-08", kCloneUuid, text.c_str(), &plain));  // CFB has no integrity check
  EXPECT_EQ(plain.size(), data.size());
  EXPECT_NE(plain, data);
  EXPECT_EQ(Count(LogLevel::Error, L"Encryption"), 0u);
}

TEST_F(EncryptionTest, SeedsOf129CharactersOrMoreAreRefused) {
  const std::string seed64(64, 'h');
  const std::string seed65(65, 'u');
  uint8_t key[16];
  uint8_t iv[16];
  EXPECT_TRUE(Encryption::initCryptoParams(seed64.c_str(), std::string(64, 'u').c_str(), key, iv));  // 128
  EXPECT_FALSE(Encryption::initCryptoParams(seed64.c_str(), seed65.c_str(), key, iv));               // 129
  EXPECT_FALSE(Encryption::initCryptoParams(std::string(5000, 'h').c_str(), "", key, iv));
  EXPECT_EQ(
      Count(LogLevel::Error,
            L"tamber::common::windows::Encryption::initCryptoParams(): Insufficient buff size for crypto parameters"),
      2u);

  EXPECT_EQ(Obfuscate(seed64.c_str(), seed65.c_str(), Bytes(kPassword)), "(failed)");
  EXPECT_EQ(Count(LogLevel::Error, L"tamber::common::windows::Encryption::obfuscate(): initCryptoParams Failed"), 1u);
  std::vector<uint8_t> plain;
  EXPECT_FALSE(Unobfuscate(seed64.c_str(), seed65.c_str(), kPasswordText, &plain));
  EXPECT_EQ(Count(LogLevel::Error, L"tamber::common::windows::Encryption::unobfuscate(): initCryptoParams Failed"), 1u);
}

TEST_F(EncryptionTest, MissingArgumentsAreRefusedWithTheirMessages) {
  const auto data = Bytes(kPassword);
  char* text = nullptr;
  uint32_t length = 7;
  EXPECT_FALSE(Encryption::obfuscate(nullptr, kCloneUuid, data.data(), 9, &text, &length));
  EXPECT_FALSE(Encryption::obfuscate(kHostName, kCloneUuid, nullptr, 9, &text, &length));
  EXPECT_FALSE(Encryption::obfuscate(kHostName, kCloneUuid, data.data(), 0, &text, &length));  // no password
  EXPECT_EQ(Count(LogLevel::Debug, L"tamber::common::windows::Encryption::obfuscate(): Invalid input parameters"), 3u);
  EXPECT_FALSE(Encryption::obfuscate(kHostName, kCloneUuid, data.data(), 9, nullptr, &length));
  EXPECT_EQ(Count(LogLevel::Debug, L"tamber::common::windows::Encryption::obfuscate(): Invalid output parameters"), 1u);

  uint8_t* plain = nullptr;
  EXPECT_FALSE(Encryption::unobfuscate(kHostName, nullptr, kPasswordText, &plain, &length));
  EXPECT_FALSE(Encryption::unobfuscate(kHostName, kCloneUuid, nullptr, &plain, &length));
  EXPECT_EQ(Count(LogLevel::Debug, L"tamber::common::windows::Encryption::unobfuscate(): Invalid input parameters"),
            2u);
  EXPECT_FALSE(Encryption::unobfuscate(kHostName, kCloneUuid, kPasswordText, nullptr, &length));
  EXPECT_EQ(Count(LogLevel::Debug, L"tamber::common::windows::Encryption::unobfuscate(): Invalid output parameters"),
            1u);
  uint8_t key[16];
  EXPECT_FALSE(Encryption::initCryptoParams(kHostName, kCloneUuid, key, nullptr));
  EXPECT_EQ(Count(LogLevel::Debug, L"initCryptoParams(): Invalid crypto parameters"), 1u);
  // Outputs are left as they were.
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(plain, nullptr);
  EXPECT_EQ(length, 7u);
}

TEST_F(EncryptionTest, BadObfuscatedTextFailsAndLeavesNothingBehind) {
  uint8_t* plain = nullptr;
  uint32_t length = 0;
  EXPECT_FALSE(Encryption::unobfuscate(kHostName, kCloneUuid, "joU2O/o!gipU", &plain, &length));
  EXPECT_FALSE(Encryption::unobfuscate(kHostName, kCloneUuid, "", &plain, &length));
  EXPECT_EQ(plain, nullptr);
  EXPECT_EQ(Count(LogLevel::Error, L"tamber::common::windows::Encryption::unobfuscate(): Failed Decoding data"), 2u);
}

TEST_F(EncryptionTest, NothingLoggedCarriesASeedOrASecret) {
  const auto data = Bytes(kPassword);
  std::string text = Obfuscate(kHostName, kCloneUuid, data);
  std::vector<uint8_t> plain;
  Unobfuscate(kHostName, kCloneUuid, text.c_str(), &plain);
  Unobfuscate(kHostName, kCloneUuid, "Zm9v*", &plain);
  Unobfuscate(kHostName, std::string(200, 'x').c_str(), text.c_str(), &plain);
  Obfuscate(kHostName, std::string(200, 'x').c_str(), data);
  uint8_t key[16];
  uint8_t iv[16];
  Encryption::initCryptoParams(kHostName, kCloneUuid, key, iv);
  framework::log::FlushLog();
  const auto entries = log_.Entries();
  EXPECT_FALSE(entries.empty());  // the failures above are logged
  for (const auto& entry : entries) {
    for (const std::string& secret : {std::string(kHostName), std::string(kCloneUuid), std::string(kPassword), text}) {
      EXPECT_EQ(entry.text.find(Widen(secret)), std::wstring::npos)
          << "logged: " << ::testing::PrintToString(entry.text);
    }
  }
}

}  // namespace
}  // namespace tamber::test
