#pragma once
// The library's log target: the host's log writer, shared by every object of the library and by
// the pipe transport. Null (the start) means that nothing is logged.
#include "common/LogOutput.h"

// Sets the process-wide log target (SetLogOutObject hands the host's writer over; null switches
// logging off). The writer must outlive its use as the target.
void SetLibLogTarget(CLogOutput* pLogOut);
CLogOutput* GetLibLogTarget();

// Writes one debug-channel line through the target, when one is set.
template <typename... A> void LibTraceInfo(std::uint32_t cat, const char16_t* fmt, A&&... a) {
    if (CLogOutput* log = GetLibLogTarget())
        log->TraceInfo(cat, fmt, a...);
}
template <typename... A> void LibTraceWarn(std::uint32_t cat, const char16_t* fmt, A&&... a) {
    if (CLogOutput* log = GetLibLogTarget())
        log->TraceWarn(cat, fmt, a...);
}
template <typename... A> void LibTraceFatal(std::uint32_t cat, const char16_t* fmt, A&&... a) {
    if (CLogOutput* log = GetLibLogTarget())
        log->TraceFatal(cat, fmt, a...);
}
