// Fuzzes the reading of the obfuscated machine password, which comes from guest variables set outside
// the guest: Base64 decoding and unobfuscation of any text with any seeds must neither crash nor read
// past a buffer. What decodes must encode back to a text that decodes the same; what unobfuscates must
// obfuscate back to the canonical form of the text; and any bytes obfuscated with any seeds must come
// back unchanged (or, with seeds of 129 characters or more, be refused both ways).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/security/Encryption.h"

using tamber::common::windows::Encryption;

namespace {

std::string Encode(const uint8_t* data, uint32_t length) {
  char* text = nullptr;
  uint32_t textLength = 0;
  if (!Encryption::encode(data, length, &text, &textLength)) std::abort();
  if (std::strlen(text) != textLength || textLength != (length + 2) / 3 * 4) std::abort();
  std::string result(text, textLength);
  Encryption::FreeData(&text, &textLength);
  return result;
}

// The decoded bytes, or false.
bool Decode(const std::string& text, std::vector<uint8_t>* bytes) {
  uint8_t* data = nullptr;
  uint32_t length = 0;
  if (!Encryption::decode(text.c_str(), &data, &length)) {
    if (data != nullptr) std::abort();
    return false;
  }
  bytes->assign(data, data + length);
  Encryption::FreeData(&data, &length);
  if (data != nullptr || length != 0) std::abort();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string seed1 = input.ConsumeRandomLengthString(160);
  const std::string seed2 = input.ConsumeRandomLengthString(160);
  const std::vector<uint8_t> payload = input.ConsumeRemainingBytes<uint8_t>();
  const std::string text(payload.begin(), payload.end());  // as a C string it ends at its first null
  const bool seedsFit = std::strlen(seed1.c_str()) + std::strlen(seed2.c_str()) < Encryption::kSeedBufferSize;

  std::vector<uint8_t> decoded;
  const bool decodes = Decode(text, &decoded);
  if (decodes) {
    std::vector<uint8_t> again;
    if (!Decode(Encode(decoded.data(), static_cast<uint32_t>(decoded.size())), &again) || again != decoded) {
      std::abort();
    }
  }

  uint8_t* plain = nullptr;
  uint32_t plainLength = 0;
  const bool unobfuscated = Encryption::unobfuscate(seed1.c_str(), seed2.c_str(), text.c_str(), &plain, &plainLength);
  if (unobfuscated != (decodes && seedsFit)) std::abort();
  if (unobfuscated) {
    if (plainLength != decoded.size()) std::abort();
    char* back = nullptr;
    uint32_t backLength = 0;
    if (!Encryption::obfuscate(seed1.c_str(), seed2.c_str(), plain, plainLength, &back, &backLength)) std::abort();
    if (std::string(back, backLength) != Encode(decoded.data(), static_cast<uint32_t>(decoded.size()))) std::abort();
    Encryption::FreeData(&back, &backLength);
    Encryption::FreeData(&plain, &plainLength);
  }

  if (!payload.empty()) {
    char* obfuscated = nullptr;
    uint32_t obfuscatedLength = 0;
    const bool done = Encryption::obfuscate(seed1.c_str(), seed2.c_str(), payload.data(),
                                            static_cast<uint32_t>(payload.size()), &obfuscated, &obfuscatedLength);
    if (done != seedsFit) std::abort();
    if (done) {
      if (!Encryption::unobfuscate(seed1.c_str(), seed2.c_str(), obfuscated, &plain, &plainLength)) std::abort();
      if (std::vector<uint8_t>(plain, plain + plainLength) != payload) std::abort();
      Encryption::FreeData(&plain, &plainLength);
      Encryption::FreeData(&obfuscated, &obfuscatedLength);
    }
  }
  return 0;
}
