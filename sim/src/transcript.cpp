#include "sim/transcript.h"

#include <cstdio>

#include "sim/flash_model.h"

namespace korvel::sim {
namespace {

void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

}  // namespace

std::string TranscriptLine(const TranscriptEntry& entry) {
    std::string out = "{\"session\":" + std::to_string(entry.session) +
                      ",\"index\":" + std::to_string(entry.index) + ",\"kind\":";
    AppendJsonString(out, entry.kind);
    out += ",\"address\":";
    if (entry.address) {
        AppendJsonString(out, HexAddress(*entry.address));
    } else {
        out += "null";
    }
    out += ",\"length\":" + std::to_string(entry.length) + ",\"answer\":";
    out += entry.answer ? std::to_string(*entry.answer) : std::string("null");
    if (!entry.detail.empty()) {
        out += ",\"detail\":";
        AppendJsonString(out, entry.detail);
    }
    out += '}';
    return out;
}

}  // namespace korvel::sim
