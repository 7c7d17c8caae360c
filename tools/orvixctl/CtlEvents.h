#pragma once
// Events of the library's queue as orvixctl prints them, one line each:
//     event: <word> [<connection>] [<text>]
// with the words connecting, connected, disconnecting, disconnected, information, update, query,
// service-lost (others as event-<code>); line breaks inside a text are written as \n.
#include "CtlClient.h"

#include <cstdio>
#include <optional>
#include <string>

struct CtlEvent {
    platform::ULONG code = 0;
    std::string connection;             // name of the connection the event is about
    std::optional<std::string> context; // address, reason, information or question text
};

// Takes the oldest event out of the queue, waiting at most `waitMs`; frees its text and releases
// its interface. std::nullopt when the queue stayed empty (`hr` gets the result).
std::optional<CtlEvent> TakeEvent(IZa32VUEvent* queue, platform::ULONG waitMs,
                                  platform::HRESULT* hr = nullptr);

std::string EventWord(platform::ULONG code);
std::string FormatEvent(const CtlEvent& event);
// Text on one line: CR, LF and TAB as \r \n \t, other control characters dropped.
std::string OneLine(const std::string& text);

// Prints every event queued now (without waiting); returns how many.
int PrintQueuedEvents(IZa32VUEvent* queue, std::FILE* out);
