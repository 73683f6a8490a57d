// Kernel objects that ReadFile/WriteFile act on in the simulated guest (files, pipe ends).
// Each kind implements its own transfer; the Win32 entry points only look the handle up and
// forward to it, so one ReadFile serves a file handle and a pipe handle alike.
#pragma once

#include <cstdint>

#include "platform/sim/kernel/SimKernel.h"

namespace tamber::platform::sim {

class StreamObject : public KernelObject {
 public:
  // Files and pipe ends are not waitable in this guest.
  bool IsWaitable() const override { return false; }

  // ReadFile semantics: on success *bytesRead holds the count (0 at the end of a file); a pipe read
  // blocks until data arrives and fails with ERROR_BROKEN_PIPE once every writer is gone and the
  // pipe is empty. On failure the object sets the thread's last error and returns false.
  virtual bool Read(void* buffer, uint32_t bytesToRead, uint32_t* bytesRead) = 0;
  // WriteFile semantics: writes all bytes or fails with the last error set (ERROR_ACCESS_DENIED on a
  // handle opened without write access, ERROR_BROKEN_PIPE when no reader remains).
  virtual bool Write(const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten) = 0;
};

}  // namespace tamber::platform::sim
