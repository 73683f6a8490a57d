#include "common/device/IpAddressText.h"

namespace tamber::common::windows::device {
namespace {

void AppendDecimal(std::wstring& text, uint32_t value) { text += std::to_wstring(value); }

void AppendHex(std::wstring& text, uint16_t value) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    unsigned digit = (value >> shift) & 0xF;
    if (digit != 0 || started || shift == 0) {
      text += kDigits[digit];
      started = true;
    }
  }
}

}  // namespace

std::wstring Ipv4AddressToString(const uint8_t* address) {
  std::wstring text;
  for (int i = 0; i < 4; ++i) {
    if (i != 0) text += L'.';
    AppendDecimal(text, address[i]);
  }
  return text;
}

std::wstring Ipv6AddressToString(const uint8_t* address, uint32_t scopeId, uint16_t portNetworkOrder) {
  uint16_t words[8];
  for (int i = 0; i < 8; ++i) words[i] = static_cast<uint16_t>((address[2 * i] << 8) | address[2 * i + 1]);

  // Which addresses carry an IPv4 address in their last 32 bits, printed dotted. ISATAP always does;
  // the other forms only when the upper half of those 32 bits is not zero (so "::1" is not "::0.0.0.1").
  bool highZero = words[0] == 0 && words[1] == 0 && words[2] == 0 && words[3] == 0;
  bool compatible = highZero && words[4] == 0 && words[5] == 0;       // ::a.b.c.d
  bool mapped = highZero && words[4] == 0 && words[5] == 0xFFFF;      // ::ffff:a.b.c.d
  bool translated = highZero && words[4] == 0xFFFF && words[5] == 0;  // ::ffff:0:a.b.c.d
  bool isatap = (words[4] & 0xFDFF) == 0 && words[5] == 0x5EFE;       // ...:0:5efe:a.b.c.d
  bool dotted = isatap || ((compatible || mapped || translated) && words[6] != 0);
  int hexWords = dotted ? 6 : 8;

  // The first longest run of at least two zero groups.
  int bestStart = -1;
  int bestLength = 1;
  for (int i = 0; i < hexWords;) {
    if (words[i] != 0) {
      ++i;
      continue;
    }
    int start = i;
    while (i < hexWords && words[i] == 0) ++i;
    if (i - start > bestLength) {
      bestStart = start;
      bestLength = i - start;
    }
  }

  std::wstring text;
  if (portNetworkOrder != 0) text += L'[';
  for (int i = 0; i < hexWords; ++i) {
    if (i == bestStart) {
      text += L"::";
      i += bestLength - 1;
      continue;
    }
    if (i != 0 && i != bestStart + bestLength) text += L':';
    AppendHex(text, words[i]);
  }
  if (dotted) {
    if (bestStart + bestLength != hexWords) text += L':';
    text += Ipv4AddressToString(address + 12);
  }
  if (scopeId != 0) {
    text += L'%';
    AppendDecimal(text, scopeId);
  }
  if (portNetworkOrder != 0) {
    text += L"]:";
    AppendDecimal(text, static_cast<uint16_t>((portNetworkOrder >> 8) | (portNetworkOrder << 8)));
  }
  return text;
}

}  // namespace tamber::common::windows::device
