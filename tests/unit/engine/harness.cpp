#include "harness.h"

#include <cstdio>
#include <sstream>

#include "support/srec_writer.h"

namespace enginetest {

std::vector<std::string> Transcript::Only(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : Lines()) {
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
}

int Transcript::Find(const std::string& prefix, size_t from) const {
    const auto lines = Lines();
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    }
    return -1;
}

RecordingClient::RecordingClient(Transcript& transcript) : transcript_(transcript) {
    ownerWindow = WindowFromNumber(0x1234);
    flags = 0;
    portWord = 1;
    readerType = KvTal64;
    applicationFile[0] = '\0';
    driverFile[0] = '\0';
}

void RecordingClient::KvSetMessage(char* text) {
    transcript_.Add(std::string("KvSetMessage ") + (text ? text : "(null)"));
}
void RecordingClient::KvpBarSetRange(short lower, short upper) {
    transcript_.Add("KvpBarSetRange " + std::to_string(lower) + " " + std::to_string(upper));
}
void RecordingClient::KvpBarSetStep(int step) {
    transcript_.Add("KvpBarSetStep " + std::to_string(step));
}
void RecordingClient::KvpBarStepIt() {
    transcript_.Add("KvpBarStepIt");
}
int RecordingClient::KvpBarSetPos(int position) {
    positions.push_back(position);
    transcript_.Add("KvpBarSetPos " + std::to_string(position));
    return 0;
}
void RecordingClient::KvFinTelechargement(char* text, int code) {
    transcript_.Add("KvFinTelechargement " + std::to_string(code) + " " + (text ? text : "(null)"));
}
bool RecordingClient::KvIsCanceled() {
    ++queries;
    const bool cancel = cancelAtQuery != 0 && queries >= cancelAtQuery;
    transcript_.Add(std::string("KvIsCanceled ") + (cancel ? "true" : "false"));
    return cancel;
}

void EngineTest::SetUp() {
    zrfake::Reset();
    zrfake::SetLog([this](const std::string& line) { transcript.Add(line); });
    KvSetTimeSource(
        [](uint32_t ms, void* context) {
            auto* self = static_cast<EngineTest*>(context);
            self->now += ms;
            self->transcript.Add("Sleep " + std::to_string(ms));
        },
        [](void* context) -> uint64_t { return static_cast<EngineTest*>(context)->now.load(); },
        this);
    KvSetMessageBoxHandler(
        [](HWND owner, const char* text, const char* caption, unsigned style, void* context) {
            auto* self = static_cast<EngineTest*>(context);
            std::ostringstream line;
            line << caption << "|" << text << "|" << std::hex << style << std::dec
                 << "|owner=" << WindowNumber(owner);
            self->boxes.push_back(line.str());
            self->transcript.Add("MessageBox " + line.str());
            return (style & 0xF) == MB_YESNO ? self->yesNoAnswer : IDOK;
        },
        this);
    KvSetDebugSink(
        [](const char* line, void* context) {
            static_cast<EngineTest*>(context)->transcript.Add(std::string("Debug ") + line);
        },
        this);
}

void EngineTest::TearDown() {
    zrfake::SetLog(nullptr);
    KvSetTimeSource(nullptr, nullptr, nullptr);
    KvSetMessageBoxHandler(nullptr, nullptr);
    KvSetDebugSink(nullptr, nullptr);
}

std::string EngineTest::WriteText(const std::string& name, const std::string& text) {
    return temp.Write(name, text);
}

std::string EngineTest::WriteSrec(const std::string& name, const std::vector<uint8_t>& image,
                                  uint32_t address) {
    return WriteText(name, korvel::testkit::SrecText({{address, image}}, {.end = 0x2000}));
}

void EngineTest::Prepare(RecordingClient& client, eReaderType type, const std::string& path,
                         uint32_t flags) {
    client.readerType = type;
    client.flags = flags;
    std::snprintf(client.applicationFile, sizeof client.applicationFile, "%s", path.c_str());
}

std::vector<uint32_t> EngineTest::Pauses() const {
    std::vector<uint32_t> pauses;
    for (const std::string& line : transcript.Only("Sleep ")) {
        pauses.push_back(static_cast<uint32_t>(std::stoul(line.substr(6))));
    }
    return pauses;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

}  // namespace enginetest
