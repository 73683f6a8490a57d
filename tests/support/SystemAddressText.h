// The operating system's own address formatters (RtlIpv4AddressToStringW, RtlIpv6AddressToStringExW),
// to hold the agent's formatter against them. The simulated guest has none: the calls return false.
#pragma once

#include <cstdint>
#include <string>

namespace tamber::test {

bool SystemIpv4AddressText(const uint8_t* address, std::wstring* text);
bool SystemIpv6AddressText(const uint8_t* address, uint32_t scopeId, uint16_t portNetworkOrder, std::wstring* text);

}  // namespace tamber::test
