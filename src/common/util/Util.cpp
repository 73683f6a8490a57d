#include "common/util/Util.h"

#include <memory>
#include <new>

#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "platform/Process.h"
#include "platform/Sync.h"

namespace tamber::common::util {

using windows::HResultFromWin32;
using windows::UniqueHandle;

namespace {
constexpr uint32_t kPollMilliseconds = 1000;
}  // namespace

bool Util::RunScript(const std::wstring& commandLine, std::string& output, bool logOutput, uint32_t timeoutMs,
                     OnTimeout onTimeout) {
  output.clear();
  if (commandLine.empty()) {
    Log(LogLevel::Warn, L"tamber::common::util::Util::RunScript(): Skipping empty script");
    return true;
  }
  const bool endTree = onTimeout == OnTimeout::EndProcessTree;
  // The job holds the child and what it starts. Should the agent end while the child runs, the job
  // goes with its last handle and takes the tree along.
  UniqueHandle job;
  if (endTree) {
    job.reset(platform::CreateJobObject());
    if (!job || !platform::SetJobObjectLimitFlags(job.get(), platform::kJobObjectLimitKillOnJobClose)) {
      Log(LogLevel::Error, L"tamber::common::util::Util::RunScript(): Failed Creating Job Object: 0x%X",
          HResultFromWin32(platform::GetLastError()));
      return false;
    }
  }

  // The child reads its standard input from the first pipe and writes standard output and standard
  // error into the second.
  UniqueHandle inRead;
  UniqueHandle inWrite;
  if (!platform::CreatePipe(inRead.put(), inWrite.put(), /*inheritHandles=*/true, 0)) {
    Log(LogLevel::Error, L"tamber::common::util::Util::RunScript(): Failed Creating In Read Pipe");
    return false;
  }
  UniqueHandle outRead;
  UniqueHandle outWrite;
  if (!platform::CreatePipe(outRead.put(), outWrite.put(), /*inheritHandles=*/true, 0)) {
    Log(LogLevel::Error, L"tamber::common::util::Util::RunScript(): Failed Creating Out Read Pipe");
    return false;
  }

  platform::StartupInfo startup;
  startup.useStdHandles = true;
  startup.stdInput = inRead.get();
  startup.stdOutput = outWrite.get();
  startup.stdError = outWrite.get();
  platform::ProcessInformation created;
  // Suspended until it is in the job, so that nothing it starts escapes the job.
  const uint32_t flags = platform::kCreateNoWindow | (endTree ? platform::kCreateSuspended : 0);
  if (!platform::CreateProcess(commandLine, /*inheritHandles=*/true, flags, startup, &created)) {
    Log(LogLevel::Error, L"tamber::common::util::Util::RunScript(): Failed Creating Process: 0x%X",
        HResultFromWin32(platform::GetLastError()));
    return false;
  }
  UniqueHandle process(created.process);
  UniqueHandle thread(created.thread);
  if (endTree) {
    if (!platform::AssignProcessToJobObject(job.get(), process.get())) {
      Log(LogLevel::Error, L"tamber::common::util::Util::RunScript(): Failed Assigning Process To Job: 0x%X",
          HResultFromWin32(platform::GetLastError()));
      platform::TerminateProcess(process.get(), 1);
      return false;
    }
    platform::ResumeThread(thread.get());
  }
  Log(LogLevel::Debug, L"tamber::common::util::Util::RunScript(): Created Process");

  // Only the child holds the write end now, so the pipe reports its end when the child exits.
  outWrite.reset();
  inRead.reset();

  GetScriptOutput(outRead.get(), process.get(), timeoutMs / 1000, logOutput, output);

  // A failed query counts as a failed script, as does a child still running after the time-out.
  uint32_t exitCode = platform::kStillActive;
  platform::GetExitCodeProcess(process.get(), &exitCode);
  if (endTree) {
    if (exitCode == platform::kStillActive) {
      Log(LogLevel::Error, L"tamber::common::util::Util::RunScript(): Ending Script Process Tree After Time-Out");
      if (!platform::TerminateJobObject(job.get(), platform::kErrorTimeout)) {
        Log(LogLevel::Error, L"tamber::common::util::Util::RunScript(): Failed Ending Script Process Tree: 0x%X",
            HResultFromWin32(platform::GetLastError()));
      }
    } else {
      // Ended in time: what it started to run on by itself (a service it launched) stays, as without a job.
      platform::SetJobObjectLimitFlags(job.get(), 0);
    }
  }
  if (exitCode == 0) {
    Log(LogLevel::Debug, L"tamber::common::util::Util::RunScript(): Script Returned True");
    return true;
  }
  Log(LogLevel::Debug, L"tamber::common::util::Util::RunScript(): Script Returned False");
  return false;
}

bool Util::RunScript(const std::wstring& commandLine) {
  std::string discarded;
  return RunScript(commandLine, discarded, /*logOutput=*/true, platform::kInfinite);
}

void Util::GetScriptOutput(platform::Handle readPipe, platform::Handle process, uint32_t timeoutSeconds, bool logOutput,
                           std::string& output) {
  std::unique_ptr<char[]> buffer;
  uint32_t bufferSize = 0;
  bool terminated = false;
  uint32_t polls = 0;
  for (;;) {
    uint32_t available = 0;
    if (!platform::PeekNamedPipe(readPipe, &available)) {
      uint32_t error = platform::GetLastError();
      available = 0;
      if (error == platform::kErrorBrokenPipe) {
        Log(LogLevel::Warn, L"tamber::common::util::Util::GetScriptOutput(): Pipe Has Ended: dwAvail: %d", available);
      } else {
        Log(LogLevel::Error, L"tamber::common::util::Util::GetScriptOutput(): PeekNamedPipe Failed: 0x%X",
            HResultFromWin32(error));
      }
    }

    if (available > 0) {
      if (bufferSize < available + 1) {
        std::unique_ptr<char[]> larger(new (std::nothrow) char[available + 1]());
        if (!larger) break;
        buffer = std::move(larger);
        bufferSize = available + 1;
      }
      uint32_t read = 0;
      if (platform::ReadFile(readPipe, buffer.get(), available, &read)) {
        buffer[read] = '\0';
        std::string_view chunk(buffer.get(), read);
        output.append(chunk);
        if (logOutput) LogScriptOutput(chunk);
      } else {
        Log(LogLevel::Error, L"tamber::common::util::Util::GetScriptOutput(): ReadFile Failed: 0x%X",
            HResultFromWin32(platform::GetLastError()));
      }
    } else if (terminated) {
      break;  // the child has ended and its output is drained
    }

    if (platform::WaitForSingleObject(process, kPollMilliseconds) == platform::kWaitObject0 && !terminated) {
      Log(LogLevel::Debug, L"tamber::common::util::Util::GetScriptOutput(): Process Has Terminated");
      terminated = true;
    }

    if (++polls > timeoutSeconds) {
      Log(LogLevel::Error, L"tamber::common::util::Util::GetScriptOutput(): Timed out waiting for script");
      break;
    }
  }
}

void Util::LogScriptOutput(std::string_view chunk) {
  size_t start = 0;
  while (start <= chunk.size()) {
    size_t end = chunk.find('\n', start);
    if (end == std::string_view::npos) end = chunk.size();
    if (end > start) {
      Log(LogLevel::Debug, L"tamber::common::util::Util::LogScriptOutput(): %S", chunk.substr(start, end - start));
    }
    start = end + 1;
  }
}

}  // namespace tamber::common::util
