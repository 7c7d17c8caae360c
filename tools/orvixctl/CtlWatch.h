#pragma once
// `orvixctl watch`: events printed as they arrive, received the way the tray application receives
// them: the queue posts its registered message to a message target of the main thread, whose
// handler drains the queue with GetEvent.
#include "CtlClient.h"

#include <cstdio>
#include <optional>

struct WatchLimits {
    std::optional<unsigned> count;     // end after this many events
    std::optional<unsigned> timeoutMs; // end after this long
};

// Sets up the notify target, links the client and prints every event until SIGINT or SIGTERM,
// the limits, or the loss of the service link (exit code kExitNoService). With a count that the
// time-out cut short the result is kExitTimeout.
CtlStatus Watch(CtlClient& client, const WatchLimits& limits, std::FILE* out);
