// Address texts exactly as the system's own formatters print them (RtlIpv4AddressToStringW and
// RtlIpv6AddressToStringExW), so that what the agent logs and compares matches what Windows shows.
#pragma once

#include <cstdint>
#include <string>

namespace tamber::common::windows::device {

// Four bytes in network order as "a.b.c.d".
std::wstring Ipv4AddressToString(const uint8_t* address);

// Sixteen bytes in network order. Zeros compressed as Windows does it (the first longest run of two or
// more zero groups becomes "::"), lower-case hex, the last 32 bits in dotted form for IPv4-compatible,
// IPv4-mapped, IPv4-translated and ISATAP addresses. A non-zero scope id adds "%N"; a non-zero port
// (network order) wraps the address in brackets and adds ":port".
std::wstring Ipv6AddressToString(const uint8_t* address, uint32_t scopeId = 0, uint16_t portNetworkOrder = 0);

}  // namespace tamber::common::windows::device
