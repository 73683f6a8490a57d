#include "support/SystemAddressText.h"

namespace tamber::test {

bool SystemIpv4AddressText(const uint8_t*, std::wstring*) { return false; }
bool SystemIpv6AddressText(const uint8_t*, uint32_t, uint16_t, std::wstring*) { return false; }

}  // namespace tamber::test
