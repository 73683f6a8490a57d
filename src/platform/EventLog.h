// Event log seam: the Application log's event source calls (RegisterEventSourceW, ReportEventW,
// DeregisterEventSource) with their arguments and results. The agent reports there what it cannot write
// to its own log: a service has no console to print on.
#pragma once

#include <cstdint>

#include "platform/Types.h"

namespace tamber::platform {

using EventSourceHandle = void*;

// Event types.
constexpr uint16_t kEventLogErrorType = 0x0001;
constexpr uint16_t kEventLogWarningType = 0x0002;
constexpr uint16_t kEventLogInformationType = 0x0004;

// RegisterEventSourceW on the local machine (server null); null on failure (GetLastError).
EventSourceHandle RegisterEventSource(const wchar_t* sourceName);
// ReportEventW without a user SID or raw data; strings holds stringCount texts.
bool ReportEvent(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t eventId, uint16_t stringCount,
                 const wchar_t** strings);
bool DeregisterEventSource(EventSourceHandle source);

}  // namespace tamber::platform
