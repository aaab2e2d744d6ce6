#include "sim/transcript.h"

#include "base/hex.h"
#include "base/json_writer.h"

namespace korvel::sim {

std::string TranscriptLine(const TranscriptEntry& entry) {
    // Every control character as \u00XX: the form the transcripts have always had.
    base::JsonWriter json(base::JsonEscapes::Unicode);
    json.BeginObject();
    json.Key("session").Unsigned(entry.session);
    json.Key("index").Unsigned(entry.index);
    json.Key("kind").String(entry.kind);
    json.Key("address");
    if (entry.address) {
        json.String(base::HexNumber(*entry.address, 4));
    } else {
        json.Null();
    }
    json.Key("length").Unsigned(entry.length);
    json.Key("answer");
    if (entry.answer) {
        json.Unsigned(*entry.answer);
    } else {
        json.Null();
    }
    if (!entry.detail.empty()) json.Key("detail").String(entry.detail);
    json.EndObject();
    return json.text();
}

}  // namespace korvel::sim
