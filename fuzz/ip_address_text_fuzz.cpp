// Fuzzes the address formatter: every IPv6 address, scope id and port must give a text that the C
// library reads back to the same sixteen bytes, with the zone and port where they belong.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/device/IpAddressText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 22) return 0;
  uint32_t scope;
  uint16_t port;
  std::memcpy(&scope, data + 16, 4);
  std::memcpy(&port, data + 20, 2);
  std::wstring wide = tamber::common::windows::device::Ipv6AddressToString(data, scope, port);
  std::string text;
  for (wchar_t c : wide) {
    if (c > 0x7F) std::abort();
    text.push_back(static_cast<char>(c));
  }
  if (port != 0) {
    auto close = text.rfind("]:");
    if (text.front() != '[' || close == std::string::npos) std::abort();
    if (std::stoul(text.substr(close + 2)) != ntohs(port)) std::abort();
    text = text.substr(1, close - 1);
  }
  auto percent = text.find('%');
  if ((percent != std::string::npos) != (scope != 0)) std::abort();
  if (percent != std::string::npos) {
    if (std::stoul(text.substr(percent + 1)) != scope) std::abort();
    text.resize(percent);
  }
  uint8_t parsed[16];
  if (inet_pton(AF_INET6, text.c_str(), parsed) != 1 || std::memcmp(parsed, data, 16) != 0) std::abort();
  uint8_t four[4];
  std::wstring dotted = tamber::common::windows::device::Ipv4AddressToString(data);
  std::string narrow(dotted.begin(), dotted.end());
  if (inet_pton(AF_INET, narrow.c_str(), four) != 1 || std::memcmp(four, data, 4) != 0) std::abort();
  return 0;
}
