// The crypto seam against fixed vectors: both backends must give the same bytes (SHA-256 digests,
// exported key blobs, PKCS #1 v1.5 signatures, which are deterministic, and AES in ECB and CFB mode),
// and a key pair made by either must sign what the other verifies.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "platform/Crypto.h"

namespace tamber::platform {
namespace {

// RSA-2048 test key (made for these tests only) as a full private key blob, its public blob, and
// the PKCS #1 v1.5 signature of SHA-256("abc") with it.
const char kTestKeyFullPrivateBlobHex[] =
    "525341330008000003000000000100008000000080000000010001d79ab9a472b1c9c126c7e0c70fbeeed249500fe531"
    "a46eac0c44211cdecf7ae1b820af044cc8ad0d331230db1da4d42ba8f79436ed10091bef000ef38ff379f4f96eb92d9d"
    "f9b2a04fc323d3afb15d5147b5490190281ccfc72b42ffa26a91050fbbe8b9f338530b1a9abb4c376ec8b4b1baff5e00"
    "d5297a94f2edd5453c49da380558ddd5a513fe73162c67221aea97de33105af0351140ccaa4a59e5c0335d6d95a3dec9"
    "df9973f739759600f3e6d1e0f2df736d8859e8c08a68059af6b12fc1e47331335fd4cfe12372c512a6f0bc6c8e059c14"
    "a122c4fd207aa0b27db87c59eca9521e1b36bd173978a5207808ee3cf39f671d56f0c1b5a3ec7ceedbedcbecfd9d1c4c"
    "5a60d78b03c6fddc4d3a6ebb64097d036d4ccfa5c05732c0557c0348ca7339630fb7d4de370c17f3230f37acffb520a6"
    "f18fbe379b74be17a3bbfe7cb69d16c1528a56f6625e68bd68a7579170e3a0444e5ef481cd591da1a7f6befa5bb80829"
    "3344cf5a39ac4318a15a66a8d0bcae2f5da9f30a0dd3e058e0efade8e5f6b727e129d0347e932e42392ab449ac9914c7"
    "8397f9c37bde93f2ddccfadc1df7257050c7a0145da3f9cedbc239f09847bdd7faf1674b878391df7d9f9dd04081c21a"
    "abb4a5d8574b00ec98619130f0e6a16f7050d648e7c6439f9bd62e445d75df9754a4386add9cdb839b220e0fbc6deaa1"
    "98121c00b13670f99ba25753894e211474e31ff71b7cc02d3077c162826fa9c65477b7d608477457418ab629a95b1646"
    "69daf5c8e2847bc8b37a00b91565863df27625a9ba3d5b683fc9db79a0711cfd461807714fd951783a748a3475237771"
    "bc62523392ebafbb34d69018f5cd97ead5ec925e8e67bf3ae65d54447b5796da915c7f93f2add5adde93fd2ae5886ead"
    "cabc2fdc2b60228a120b7a8f8359e2c8e8c50a3ce648d5c94aef21597faf70d6e21a12b30d98513fb79c6b9d93fecac9"
    "c82fc48dd5d4f6fe4a1e272c1f658701f0946263999878001c050480162ef4971901daa62d02889c1250fdce9bc4453d"
    "935a7805bef1d040ca47187def7ff352763707af5cf4a11468851b1cd43250342f75af48a2e7330dd94f318860250598"
    "0100737dfefa5efda8fb41c65e5ea7266d91421e1a15fb022bd970c1c9985ff8a4b7a11c0b0b9ed5662de440d77fdd10"
    "8e1895a6bf7864df748033d7a0ed0d13eb405913f6a622c780a4c550ddfbb790fe0a4ae08429108afbd8292562d05404"
    "77107388306dd7321ea759198ac6fb686b0f8fc65c5f90b598d50a2c8d4394cf70bf7bba6847d3f7c174b950eaee5100"
    "17b6089e4845696ff59afd21235377be55ebfe572e16975c3267fc51a080679b137dc9e82922116dfb012723eba21e81"
    "497f404e441dc7d321f4d438acf641314336f355cf86e8dc984f46b8d782714c7ff44e055f5235b5e2128d83f2a4393a"
    "991a201f5e1fc5c602ce5cad6c9abcfda139f35ae02ba7d4914522cca558ee83f142cf2769adcca0f8bff38b8734d897"
    "fbf68e0ab43a53b6790b8e5087dd3a29fff193f3d67c784bc97bd16393a1e46f1de4a92757f89367828919870b6e4f87"
    "8e6fe24f3ca58cb615a7eaad78c5d5baceb94381636437ee6a8da1";
const char kTestKeyPublicBlobHex[] =
    "525341310008000003000000000100000000000000000000010001d79ab9a472b1c9c126c7e0c70fbeeed249500fe531"
    "a46eac0c44211cdecf7ae1b820af044cc8ad0d331230db1da4d42ba8f79436ed10091bef000ef38ff379f4f96eb92d9d"
    "f9b2a04fc323d3afb15d5147b5490190281ccfc72b42ffa26a91050fbbe8b9f338530b1a9abb4c376ec8b4b1baff5e00"
    "d5297a94f2edd5453c49da380558ddd5a513fe73162c67221aea97de33105af0351140ccaa4a59e5c0335d6d95a3dec9"
    "df9973f739759600f3e6d1e0f2df736d8859e8c08a68059af6b12fc1e47331335fd4cfe12372c512a6f0bc6c8e059c14"
    "a122c4fd207aa0b27db87c59eca9521e1b36bd173978a5207808ee3cf39f671d56f0c1b5a3ec7ceedbedcb";
const char kAbcSignatureHex[] =
    "3d79503566371714914f20b37c1186fbc9327ab24e4f16d9f60607fe41b1864c37ba7c1362d35d3ec4e9dd6df8fcebb7"
    "9d5aa16623a44c61fc74d96fcea7659a50943f7452a03586af1ca098c14862826d91e79feed2a0422f412b26a5963568"
    "a2c944e658204c47c0728df585d62f3df2d24b819edcac3f4cdde17ade5333e0e69823bf8f60ad3bfee9ecf6c46247c2"
    "0162964fb942d5c7bf3b2c9574f0fb9b369dfa2e5ba2d5724d4d3d8434295197e47e23953a9ade016bf9fe0cfca65b82"
    "b7c534e7d59edfe12682039c3bfedce56733de6215d4472d5ac629388de846b136a38931b26653baec5e97728bdd6f30"
    "df7a708609e4b55f0a7484eda0f71f7b";

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : bytes) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0xF]);
  }
  return hex;
}

std::string Sha256Hex(const std::string& data) {
  BCryptAlgHandle algorithm = nullptr;
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, kBCryptSha256Algorithm, kMsPrimitiveProvider, 0), kStatusSuccess);
  uint32_t objectLength = 0, hashLength = 0, size = 0;
  EXPECT_EQ(BCryptGetProperty(algorithm, kBCryptObjectLength, reinterpret_cast<uint8_t*>(&objectLength), 4, &size, 0),
            kStatusSuccess);
  EXPECT_EQ(BCryptGetProperty(algorithm, kBCryptHashLength, reinterpret_cast<uint8_t*>(&hashLength), 4, &size, 0),
            kStatusSuccess);
  EXPECT_EQ(hashLength, 32u);
  std::vector<uint8_t> object(objectLength), digest(hashLength);
  BCryptHashHandle hash = nullptr;
  EXPECT_EQ(BCryptCreateHash(algorithm, &hash, object.data(), objectLength, nullptr, 0, 0), kStatusSuccess);
  // In two pieces: the digest is of everything hashed.
  size_t half = data.size() / 2;
  EXPECT_EQ(BCryptHashData(hash, reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(half), 0),
            kStatusSuccess);
  EXPECT_EQ(BCryptHashData(hash, reinterpret_cast<const uint8_t*>(data.data()) + half,
                           static_cast<uint32_t>(data.size() - half), 0),
            kStatusSuccess);
  EXPECT_EQ(BCryptFinishHash(hash, digest.data(), hashLength, 0), kStatusSuccess);
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ToHex(digest);
}

struct Rsa {
  BCryptAlgHandle algorithm = nullptr;
  BCryptKeyHandle key = nullptr;
  Rsa() { EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, kBCryptRsaAlgorithm, nullptr, 0), kStatusSuccess); }
  ~Rsa() {
    if (key) BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  NtStatus Import(const wchar_t* type, const std::vector<uint8_t>& blob) {
    return BCryptImportKeyPair(algorithm, nullptr, type, &key, blob.data(), static_cast<uint32_t>(blob.size()), 0);
  }
  std::vector<uint8_t> Export(const wchar_t* type) {
    uint32_t size = 0;
    EXPECT_EQ(BCryptExportKey(key, nullptr, type, nullptr, 0, &size, 0), kStatusSuccess);
    std::vector<uint8_t> blob(size);
    EXPECT_EQ(BCryptExportKey(key, nullptr, type, blob.data(), size, &size, 0), kStatusSuccess);
    blob.resize(size);
    return blob;
  }
  std::vector<uint8_t> Sign(const std::vector<uint8_t>& digest) {
    BCryptPkcs1PaddingInfo padding{kBCryptSha256Algorithm};
    uint32_t size = 0;
    EXPECT_EQ(BCryptSignHash(key, &padding, digest.data(), 32, nullptr, 0, &size, kBCryptPadPkcs1), kStatusSuccess);
    std::vector<uint8_t> signature(size);
    EXPECT_EQ(BCryptSignHash(key, &padding, digest.data(), 32, signature.data(), size, &size, kBCryptPadPkcs1),
              kStatusSuccess);
    signature.resize(size);
    return signature;
  }
  NtStatus Verify(const std::vector<uint8_t>& digest, const std::vector<uint8_t>& signature) {
    BCryptPkcs1PaddingInfo padding{kBCryptSha256Algorithm};
    return BCryptVerifySignature(key, &padding, digest.data(), 32, signature.data(),
                                 static_cast<uint32_t>(signature.size()), kBCryptPadPkcs1);
  }
};

TEST(CryptoSeamTest, Sha256MatchesTheStandardVectors) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000, 'a')), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
}

TEST(CryptoSeamTest, HashCallsRefuseWhatCngRefuses) {
  BCryptAlgHandle algorithm = nullptr;
  // Windows answers STATUS_NOT_FOUND, Wine STATUS_NOT_IMPLEMENTED: a failure either way.
  EXPECT_FALSE(NtSuccess(BCryptOpenAlgorithmProvider(&algorithm, L"NOSUCHALG", kMsPrimitiveProvider, 0)));
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&algorithm, kBCryptSha256Algorithm, nullptr, 0), kStatusSuccess);
  BCryptHashHandle hash = nullptr;
  ASSERT_EQ(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0), kStatusSuccess);
  uint8_t digest[32];
  EXPECT_FALSE(NtSuccess(BCryptFinishHash(hash, digest, 31, 0)));  // the digest length exactly
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
}

TEST(CryptoSeamTest, FixedKeyGivesTheSharedBlobsAndSignature) {
  const auto privateBlob = FromHex(kTestKeyFullPrivateBlobHex);
  const auto digest = FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Rsa key;
  ASSERT_EQ(key.Import(kBCryptRsaFullPrivateBlob, privateBlob), kStatusSuccess);
  EXPECT_EQ(ToHex(key.Export(kBCryptRsaPublicBlob)), kTestKeyPublicBlobHex);
  EXPECT_EQ(ToHex(key.Export(kBCryptRsaFullPrivateBlob)), kTestKeyFullPrivateBlobHex);
  EXPECT_EQ(ToHex(key.Sign(digest)), kAbcSignatureHex);

  Rsa publicKey;
  ASSERT_EQ(publicKey.Import(kBCryptRsaPublicBlob, FromHex(kTestKeyPublicBlobHex)), kStatusSuccess);
  EXPECT_EQ(publicKey.Verify(digest, FromHex(kAbcSignatureHex)), kStatusSuccess);
  auto tampered = FromHex(kAbcSignatureHex);
  tampered[100] ^= 0x01;
  EXPECT_EQ(publicKey.Verify(digest, tampered), kStatusInvalidSignature);
  auto otherDigest = digest;
  otherDigest[0] ^= 0x80;
  EXPECT_EQ(publicKey.Verify(otherDigest, FromHex(kAbcSignatureHex)), kStatusInvalidSignature);
}

TEST(CryptoSeamTest, GeneratedKeyPairSignsWhatItsPublicBlobVerifies) {
  Rsa key;
  ASSERT_EQ(BCryptGenerateKeyPair(key.algorithm, &key.key, 2048, 0), kStatusSuccess);
  ASSERT_EQ(BCryptFinalizeKeyPair(key.key, 0), kStatusSuccess);
  auto publicBlob = key.Export(kBCryptRsaPublicBlob);
  ASSERT_EQ(publicBlob.size(), 24u + 3u + 256u);
  const uint32_t header[6] = {kBCryptRsaPublicMagic, 2048, 3, 256, 0, 0};
  for (int i = 0; i < 6; ++i) {
    uint32_t field = publicBlob[4 * i] | publicBlob[4 * i + 1] << 8 | publicBlob[4 * i + 2] << 16 |
                     static_cast<uint32_t>(publicBlob[4 * i + 3]) << 24;
    EXPECT_EQ(field, header[i]) << "header field " << i;
  }
  std::vector<uint8_t> digest(32, 0x5A);
  auto signature = key.Sign(digest);
  EXPECT_EQ(signature.size(), 256u);
  Rsa verifier;
  ASSERT_EQ(verifier.Import(kBCryptRsaPublicBlob, publicBlob), kStatusSuccess);
  EXPECT_EQ(verifier.Verify(digest, signature), kStatusSuccess);

  // The private blob carries every number in its place: the key it makes signs the same bytes.
  Rsa copy;
  ASSERT_EQ(copy.Import(kBCryptRsaFullPrivateBlob, key.Export(kBCryptRsaFullPrivateBlob)), kStatusSuccess);
  EXPECT_EQ(copy.Sign(digest), signature);

  auto damaged = signature;
  damaged[100] ^= 0x01;
  EXPECT_EQ(verifier.Verify(digest, damaged), kStatusInvalidSignature);
  damaged = signature;
  damaged.pop_back();
  EXPECT_EQ(verifier.Verify(digest, damaged), kStatusInvalidSignature);
}

// AES-128 with the key and IV of NIST SP 800-38A, appendix F.
const char kAesKeyHex[] = "2b7e151628aed2a6abf7158809cf4f3c";
const char kAesIvHex[] = "000102030405060708090a0b0c0d0e0f";
const char kAesPlainHex[] =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
// F.3.13 CFB128-AES128.Encrypt.
const char kAesCfb128CipherHex[] =
    "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
    "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6";
// F.3.7 CFB8-AES128.Encrypt (the first 16 bytes), CNG's feedback when none is set.
const char kAesCfb8CipherHex[] = "3b79424c9c0dd436bace9e0ed4586a4f";
// The IV block under the key alone (ECB): the first CFB-128 stream block.
const char kAesEcbOfIvHex[] = "50fe67cc996d32b6da0937e99bafec60";

std::vector<uint8_t> WideProperty(const wchar_t* text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  return std::vector<uint8_t>(bytes, bytes + (std::wcslen(text) + 1) * sizeof(wchar_t));
}

struct Aes {
  BCryptAlgHandle algorithm = nullptr;
  BCryptKeyHandle key = nullptr;
  // mode null: CNG's default; feedback 0: not set.
  Aes(const wchar_t* mode, uint32_t feedback) {
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, kBCryptAesAlgorithm, nullptr, 0), kStatusSuccess);
    if (mode != nullptr) {
      auto value = WideProperty(mode);
      EXPECT_EQ(BCryptSetProperty(algorithm, kBCryptChainingMode, value.data(), static_cast<uint32_t>(value.size()), 0),
                kStatusSuccess);
    }
    auto secret = FromHex(kAesKeyHex);
    EXPECT_EQ(BCryptGenerateSymmetricKey(algorithm, &key, nullptr, 0, secret.data(), 16, 0), kStatusSuccess);
    if (feedback != 0) {
      EXPECT_EQ(BCryptSetProperty(key, kBCryptMessageBlockLength, reinterpret_cast<const uint8_t*>(&feedback), 4, 0),
                kStatusSuccess);
    }
  }
  ~Aes() {
    if (key) BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  NtStatus Crypt(bool encrypt, const std::vector<uint8_t>& input, std::vector<uint8_t>* iv,
                 std::vector<uint8_t>* output) {
    output->assign(input.size(), 0);
    uint32_t written = 0;
    uint8_t* ivBytes = iv != nullptr ? iv->data() : nullptr;
    uint32_t ivSize = iv != nullptr ? static_cast<uint32_t>(iv->size()) : 0;
    NtStatus status = encrypt
                          ? BCryptEncrypt(key, input.data(), static_cast<uint32_t>(input.size()), nullptr, ivBytes,
                                          ivSize, output->data(), static_cast<uint32_t>(output->size()), &written, 0)
                          : BCryptDecrypt(key, input.data(), static_cast<uint32_t>(input.size()), nullptr, ivBytes,
                                          ivSize, output->data(), static_cast<uint32_t>(output->size()), &written, 0);
    if (NtSuccess(status)) {
      EXPECT_EQ(written, input.size());
    }
    return status;
  }
};

TEST(CryptoSeamTest, AesCfb128MatchesTheStandardVectorsBothWays) {
  Aes aes(kBCryptChainModeCfb, 16);
  auto iv = FromHex(kAesIvHex);
  std::vector<uint8_t> cipher;
  ASSERT_EQ(aes.Crypt(/*encrypt=*/true, FromHex(kAesPlainHex), &iv, &cipher), kStatusSuccess);
  EXPECT_EQ(ToHex(cipher), kAesCfb128CipherHex);
  // The IV now continues the stream: it is the last ciphertext block.
  EXPECT_EQ(ToHex(iv), std::string(kAesCfb128CipherHex).substr(96));

  iv = FromHex(kAesIvHex);
  std::vector<uint8_t> plain;
  ASSERT_EQ(aes.Crypt(/*encrypt=*/false, cipher, &iv, &plain), kStatusSuccess);
  EXPECT_EQ(ToHex(plain), kAesPlainHex);
}

TEST(CryptoSeamTest, AesCfbContinuesAcrossCallsAndWorksInPlace) {
  Aes aes(kBCryptChainModeCfb, 16);
  auto iv = FromHex(kAesIvHex);
  auto buffer = FromHex(kAesPlainHex);
  for (size_t offset = 0; offset < buffer.size(); offset += 32) {
    uint32_t written = 0;
    ASSERT_EQ(BCryptEncrypt(aes.key, buffer.data() + offset, 32, nullptr, iv.data(), 16, buffer.data() + offset, 32,
                            &written, 0),
              kStatusSuccess);
  }
  EXPECT_EQ(ToHex(buffer), kAesCfb128CipherHex);
  iv = FromHex(kAesIvHex);
  uint32_t written = 0;
  ASSERT_EQ(BCryptDecrypt(aes.key, buffer.data(), 64, nullptr, iv.data(), 16, buffer.data(), 64, &written, 0),
            kStatusSuccess);
  EXPECT_EQ(ToHex(buffer), kAesPlainHex);
}

TEST(CryptoSeamTest, AesFeedbackAndModeAreCngDefaultsUnlessSet) {
  auto plain = FromHex(kAesPlainHex);
  plain.resize(16);
  std::vector<uint8_t> out;
  {
    Aes aes(kBCryptChainModeCfb, 0);  // 8-bit feedback
    auto iv = FromHex(kAesIvHex);
    ASSERT_EQ(aes.Crypt(/*encrypt=*/true, plain, &iv, &out), kStatusSuccess);
    EXPECT_EQ(ToHex(out), kAesCfb8CipherHex);
  }
  {
    Aes aes(kBCryptChainModeEcb, 0);
    ASSERT_EQ(aes.Crypt(/*encrypt=*/true, FromHex(kAesIvHex), nullptr, &out), kStatusSuccess);
    EXPECT_EQ(ToHex(out), kAesEcbOfIvHex);
  }
  {
    // A key takes its algorithm's mode when it is made, and its own mode may be set afterwards.
    Aes aes(kBCryptChainModeEcb, 0);
    auto cfb = WideProperty(kBCryptChainModeCfb);
    ASSERT_EQ(BCryptSetProperty(aes.key, kBCryptChainingMode, cfb.data(), static_cast<uint32_t>(cfb.size()), 0),
              kStatusSuccess);
    const uint32_t feedback = 16;
    ASSERT_EQ(BCryptSetProperty(aes.key, kBCryptMessageBlockLength, reinterpret_cast<const uint8_t*>(&feedback), 4, 0),
              kStatusSuccess);
    auto iv = FromHex(kAesIvHex);
    ASSERT_EQ(aes.Crypt(/*encrypt=*/true, plain, &iv, &out), kStatusSuccess);
    EXPECT_EQ(ToHex(out), std::string(kAesCfb128CipherHex).substr(0, 32));
  }
}

TEST(CryptoSeamTest, AesRefusesWhatCngRefuses) {
  Aes aes(kBCryptChainModeCfb, 16);
  std::vector<uint8_t> out;
  auto iv = FromHex(kAesIvHex);
  // No padding: whole blocks only.
  EXPECT_EQ(aes.Crypt(/*encrypt=*/true, std::vector<uint8_t>(10, 0x41), &iv, &out), kStatusInvalidBufferSize);
  // CFB wants a 16-byte IV.
  std::vector<uint8_t> shortIv(8, 0);
  EXPECT_FALSE(NtSuccess(aes.Crypt(/*encrypt=*/true, std::vector<uint8_t>(16, 0x41), &shortIv, &out)));
  const uint32_t feedback = 8;  // neither 8-bit nor the block
  EXPECT_FALSE(NtSuccess(
      BCryptSetProperty(aes.key, kBCryptMessageBlockLength, reinterpret_cast<const uint8_t*>(&feedback), 4, 0)));
  uint32_t size = 0;
  iv = FromHex(kAesIvHex);
  EXPECT_EQ(BCryptEncrypt(aes.key, iv.data(), 16, nullptr, iv.data(), 16, nullptr, 0, &size, 0), kStatusSuccess);
  EXPECT_EQ(size, 16u);  // a null output asks for the size
  BCryptAlgHandle algorithm = nullptr;
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&algorithm, kBCryptAesAlgorithm, nullptr, 0), kStatusSuccess);
  BCryptKeyHandle key = nullptr;
  const uint8_t secret[15] = {};
  EXPECT_FALSE(NtSuccess(BCryptGenerateSymmetricKey(algorithm, &key, nullptr, 0, secret, sizeof(secret), 0)));
  BCryptCloseAlgorithmProvider(algorithm, 0);
}

TEST(CryptoSeamTest, RandomBytesDiffer) {
  std::vector<uint8_t> a(32), b(32);
  ASSERT_EQ(BCryptGenRandom(nullptr, a.data(), 32, kBCryptUseSystemPreferredRng), kStatusSuccess);
  ASSERT_EQ(BCryptGenRandom(nullptr, b.data(), 32, kBCryptUseSystemPreferredRng), kStatusSuccess);
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace tamber::platform
