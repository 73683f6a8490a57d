// Control of the log writer behind Log(). The writer needs no set-up: the first message reads the
// settings (LogConfig.h), starts one writer thread and opens the files.
//
// Files: the main file "<FileNameBase>-YYYY-MM-DD-HHMMSS.txt" receives INFO and above while
// "logEnabled" is on; the debug file "<DebugNameBase>-....txt" receives every line that passes the
// filter while debug logging is on. Both are UTF-8 without a byte-order mark (ASCII lines stay
// byte-for-byte what the layout says, and non-ASCII text is never lost to a code page), lines end
// in CR LF. A new file is started when the local date changes, and for the debug file also when it
// reaches "MaxDebugLogSizeMB"; on start the latest file of the day is reopened. Files that stay
// idle for "InactivityTimeoutSeconds" are closed and reopened by the next line. The writer's own
// timers (inactivity, flush wait) run on the host clock: they pace I/O, not agent behaviour.
//
// A message travels: filter (atomic), formatting on the calling thread, the observer (also on the
// calling thread), the line layout in UTF-8 on the calling thread, then one append to the queue's
// byte buffer under a short lock. The writer swaps the whole buffer out and writes it in one call.
#pragma once

#include <string>
#include <string_view>

#include "framework/log/Log.h"

namespace tamber::framework::log {

// Waits until every message logged before the call is in the files (or dropped by a guard).
void FlushLog();
// Flushes, stops the writer thread and closes the files. Later messages are written by the calling
// thread itself. Runs by itself at process exit.
void ShutdownLog();
// Test only: shuts the writer down and forgets the settings, the files and the once-only guards, so
// that the next message initialises the facility again (in the simulated machine booted now).
void ResetLogForTest();
// When on, a full queue makes the caller wait for room instead of dropping the message. Off by
// default, as the agent must never stall on its log; the throughput benchmark turns it on.
void SetLogBlockWhenQueueFull(bool block);
// Test only: holds the writer thread (messages queue up, and the queue guard can be seen at work).
void PauseLogWriterForTest(bool paused);
// Names the calling thread in the line layout ("<name>"); the default is the thread id in decimal.
void SetLogThreadName(std::wstring_view name);
// The program's version for the start line (the default is "1.0.0.0"); set before the first message.
void SetLogProgramVersion(std::wstring_view version);
// Reads the settings again: level switches, guards and clean-up figures take effect at once, and
// turning debug logging on or off is recorded in the main file.
void ReloadLogConfig();
// The file being written ("" when there is none), once what is queued has been written.
std::wstring CurrentLogFilePath(bool debugFile);
// One message from a crash handler, already formatted. It never waits long for the queue: a thread
// that crashed while it held the queue's lock never gives it back. When the lock cannot be had, or the
// writer does not write the line in time, the line goes straight into the open files.
void LogCrashText(LogLevel level, std::wstring_view text);
// Test only: takes (or gives back) the queue's lock on the calling thread, as a thread that crashes in
// the middle of a message leaves it.
void HoldLogQueueLockForTest(bool hold);
// The last text the facility reported about itself (open errors, write errors), for tests.
std::wstring LastLogSystemMessage();

}  // namespace tamber::framework::log
