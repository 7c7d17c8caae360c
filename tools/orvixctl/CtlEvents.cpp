#include "CtlEvents.h"

using namespace platform;

std::optional<CtlEvent> TakeEvent(IZa32VUEvent* queue, ULONG waitMs, HRESULT* hr) {
    ULONG code = 0;
    LONG_PTR context = 0;
    LONG_PTR iface = 0;
    const HRESULT result = queue->GetEvent(&code, &context, &iface, waitMs);
    if (hr)
        *hr = result;
    if (result != S_OK)
        return std::nullopt;
    // Both belong to us now, whatever happens below.
    const Bstr text = Bstr::attach(reinterpret_cast<BSTR>(context));
    const auto unknown = ComPtr<IUnknown>::attach(reinterpret_cast<IUnknown*>(iface));

    CtlEvent event;
    event.code = code;
    if (!text.is_null())
        event.context = Utf8(text.view());
    if (unknown) {
        ComPtr<IZa32VUConnection> connection;
        if (succeeded(unknown.query(connection)))
            event.connection = ConnectionName(connection.get());
    }
    return event;
}

std::string EventWord(ULONG code) {
    switch (code) {
    case SCEVENT_CONNECTING:
        return "connecting";
    case SCEVENT_CONNECTED:
        return "connected";
    case SCEVENT_DISCONNECTING:
        return "disconnecting";
    case SCEVENT_DISCONNECTED:
        return "disconnected";
    case SCEVENT_INFORMATION:
        return "information";
    case SCEVENT_UPDATE:
        return "update";
    case SCEVENT_SERVICELOST:
        return "service-lost";
    case SCEVENT_QUERY:
        return "query";
    default:
        return "event-" + std::to_string(code);
    }
}

std::string OneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)
                out += c;
        }
    }
    return out;
}

std::string FormatEvent(const CtlEvent& event) {
    std::string line = "event: " + EventWord(event.code);
    if (!event.connection.empty())
        line += " " + OneLine(event.connection);
    if (event.context && !event.context->empty())
        line += " " + OneLine(*event.context);
    return line;
}

int PrintQueuedEvents(IZa32VUEvent* queue, std::FILE* out) {
    int count = 0;
    while (auto event = TakeEvent(queue, 0)) {
        std::fprintf(out, "%s\n", FormatEvent(*event).c_str());
        ++count;
    }
    return count;
}
