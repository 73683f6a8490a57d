// Stack trace seam: the return addresses of the calling thread and readable names for them.
#pragma once

#include <cstdint>
#include <string>

namespace tamber::platform {

// RtlCaptureStackBackTrace: fills backTrace with up to framesToCapture return addresses, skipping the
// first framesToSkip frames (this call's own frame is never included); returns how many it wrote.
uint16_t CaptureStackBackTrace(uint32_t framesToSkip, uint32_t framesToCapture, void** backTrace);

// "module!symbol+0x1a" where symbols are available, else "module+0x1234", else the bare address.
std::string DescribeCodeAddress(void* address);

}  // namespace tamber::platform
