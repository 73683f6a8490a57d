#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/StackTrace.h"

namespace tamber::platform {

uint16_t CaptureStackBackTrace(uint32_t framesToSkip, uint32_t framesToCapture, void** backTrace) {
  if (backTrace == nullptr || framesToCapture == 0) return 0;
  framesToCapture = std::min<uint32_t>(framesToCapture, 0xFFFF);
  std::vector<void*> frames(static_cast<size_t>(framesToCapture) + framesToSkip + 1);
  int count = ::backtrace(frames.data(), static_cast<int>(frames.size()));
  uint32_t first = framesToSkip + 1;  // leave out this function's own frame
  uint16_t written = 0;
  for (uint32_t i = first; i < static_cast<uint32_t>(count) && written < framesToCapture; ++i) {
    backTrace[written++] = frames[i];
  }
  return written;
}

std::string DescribeCodeAddress(void* address) {
  char text[64];
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    std::snprintf(text, sizeof text, "%p", address);
    return text;
  }
  std::string module = info.dli_fname;
  if (auto slash = module.rfind('/'); slash != std::string::npos) module.erase(0, slash + 1);
  if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string symbol = (status == 0 && demangled != nullptr) ? demangled : info.dli_sname;
    std::free(demangled);
    std::snprintf(text, sizeof text, "+0x%zx",
                  static_cast<size_t>(static_cast<char*>(address) - static_cast<char*>(info.dli_saddr)));
    return module + "!" + symbol + text;
  }
  std::snprintf(text, sizeof text, "+0x%zx",
                static_cast<size_t>(static_cast<char*>(address) - static_cast<char*>(info.dli_fbase)));
  return module + text;
}

}  // namespace tamber::platform
