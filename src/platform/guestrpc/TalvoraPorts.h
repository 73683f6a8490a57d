// The Talvora hypervisor's guest interface, defined once: how a guest recognises the hypervisor (CPUID)
// and the numbers of its I/O-port message channel. The channel, the emulated hypervisor of the tests and
// the Windows port access all take their numbers from here.
#pragma once

#include <cstdint>

namespace tamber::platform::guestrpc::talvora {

// CPUID: leaf 1 sets ecx bit 31 under any hypervisor; leaf 0x40000000 names the hypervisor in ebx, ecx
// and edx (12 bytes, in that order).
constexpr uint32_t kCpuidFeatureLeaf = 1;
constexpr uint32_t kHypervisorPresentBit = 1u << 31;
constexpr uint32_t kCpuidVendorLeaf = 0x40000000;
constexpr char kSignature[13] = "TalvoraQuorv";

// Every port access carries the magic value in eax; the port in the low word of edx.
constexpr uint32_t kMagic = 0x2B6F91D4;
constexpr uint16_t kPort = 0x3E80;               // one register exchange per access
constexpr uint16_t kHighBandwidthPort = 0x3E81;  // block transfers

// The message command (low word of ecx) and its sub-commands (high word of ecx).
constexpr uint16_t kCommandMessage = 0x27;
constexpr uint16_t kOpen = 0x10;
constexpr uint16_t kSendSize = 0x11;
constexpr uint16_t kSendPayload = 0x12;
constexpr uint16_t kReceiveSize = 0x13;
constexpr uint16_t kReceivePayload = 0x14;
constexpr uint16_t kReceiveStatus = 0x15;
constexpr uint16_t kClose = 0x16;

// Status bits (high word of ecx; of ebx after a block transfer).
constexpr uint16_t kStatusSuccess = 0x0100;
constexpr uint16_t kStatusDoReceive = 0x0200;
constexpr uint16_t kStatusCheckpoint = 0x0400;  // the machine was saved mid-transfer: send again
constexpr uint16_t kStatusHighBandwidth = 0x0800;

// Message types the hypervisor reports in the high word of edx while the guest receives.
constexpr uint16_t kTypeSendSize = 0x21;
constexpr uint16_t kTypeSendPayload = 0x22;

// Block-transfer command (low word of ebx on the high-bandwidth port).
constexpr uint16_t kBlockMessage = 0x0003;

// The open's protocol word: the guest RPC protocol tag "RPCI", optionally with the cookie flag.
constexpr uint32_t kProtocolRpci = 0x49435052;
constexpr uint32_t kFlagCookie = 0x80000000;

}  // namespace tamber::platform::guestrpc::talvora
