#pragma once
// Logging helpers of the configuration store: every line goes to the debug channel of the
// given writer, and nothing happens without one.
#include "common/LogOutput.h"

#include <cstdint>
#include <utility>

namespace orvix::config {

// Result codes are shown as "%08x" of their 32-bit value.
inline unsigned Hr(platform::HRESULT hr) {
    return static_cast<unsigned>(hr);
}

template <typename... A>
void TraceInfo(CLogOutput* log, std::uint32_t cat, const char16_t* fmt, A&&... a) {
    if (log)
        log->TraceInfo(cat, fmt, std::forward<A>(a)...);
}
template <typename... A>
void TraceWarn(CLogOutput* log, std::uint32_t cat, const char16_t* fmt, A&&... a) {
    if (log)
        log->TraceWarn(cat, fmt, std::forward<A>(a)...);
}
template <typename... A>
void TraceFatal(CLogOutput* log, std::uint32_t cat, const char16_t* fmt, A&&... a) {
    if (log)
        log->TraceFatal(cat, fmt, std::forward<A>(a)...);
}

} // namespace orvix::config
