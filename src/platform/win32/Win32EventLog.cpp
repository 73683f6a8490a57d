#include <windows.h>
// The seam's own names, not the SDK's character-set macros.
#undef RegisterEventSource
#undef ReportEvent

#include "platform/EventLog.h"

namespace tamber::platform {

EventSourceHandle RegisterEventSource(const wchar_t* sourceName) { return ::RegisterEventSourceW(nullptr, sourceName); }

bool ReportEvent(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t eventId, uint16_t stringCount,
                 const wchar_t** strings) {
  return ::ReportEventW(static_cast<HANDLE>(source), type, category, eventId, nullptr, stringCount, 0, strings,
                        nullptr) != FALSE;
}

bool DeregisterEventSource(EventSourceHandle source) {
  return ::DeregisterEventSource(static_cast<HANDLE>(source)) != FALSE;
}

}  // namespace tamber::platform
