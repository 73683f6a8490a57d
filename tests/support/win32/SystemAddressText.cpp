// The formatters live in ntdll; they are looked up at run time so the tests need no import library.
#include "support/SystemAddressText.h"

#include <windows.h>

namespace tamber::test {
namespace {

using Ipv4ToString = wchar_t*(WINAPI*)(const void* address, wchar_t* buffer);
using Ipv6ToStringEx = LONG(WINAPI*)(const void* address, ULONG scopeId, USHORT port, wchar_t* buffer, ULONG* length);

FARPROC Find(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr ? nullptr : GetProcAddress(ntdll, name);
}

}  // namespace

bool SystemIpv4AddressText(const uint8_t* address, std::wstring* text) {
  auto format = reinterpret_cast<Ipv4ToString>(reinterpret_cast<void*>(Find("RtlIpv4AddressToStringW")));
  if (format == nullptr) return false;
  wchar_t buffer[32] = {};
  format(address, buffer);
  *text = buffer;
  return true;
}

bool SystemIpv6AddressText(const uint8_t* address, uint32_t scopeId, uint16_t portNetworkOrder, std::wstring* text) {
  auto format = reinterpret_cast<Ipv6ToStringEx>(reinterpret_cast<void*>(Find("RtlIpv6AddressToStringExW")));
  if (format == nullptr) return false;
  wchar_t buffer[512] = {};
  ULONG length = 512;
  if (format(address, scopeId, portNetworkOrder, buffer, &length) != 0) return false;
  *text = buffer;
  return true;
}

}  // namespace tamber::test
