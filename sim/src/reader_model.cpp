#include "sim/reader_model.h"

#include <cstdio>
#include <string>
#include <vector>

#include "base/hex.h"
#include "sim/loader_status.h"

namespace korvel::sim {
namespace {

using wire::Kind;

// The frame to send back, encoded; the server around the model sends it.
Reply MakeReply(Kind kind, std::initializer_list<uint8_t> payload, bool loaderAnswer = false) {
    Reply reply;
    reply.bytes = wire::Encode(kind, payload.begin(), payload.size());
    reply.loaderAnswer = loaderAnswer;
    return reply;
}

const char* ResetModeName(uint8_t mode) {
    switch (static_cast<wire::ResetMode>(mode)) {
        case wire::ResetMode::Small:
            return "64 Kb reset";
        case wire::ResetMode::Large:
            return "large reset";
        case wire::ResetMode::Modem:
            return "modem reset";
        case wire::ResetMode::Light:
            return "light reset";
    }
    return "unknown reset";
}

}  // namespace

const char* SessionEndName(SessionEnd why) {
    switch (why) {
        case SessionEnd::EndFrame:
            return "end frame";
        case SessionEnd::Leave:
            return "leave loader";
        case SessionEnd::Reset:
            return "new reset";
        case SessionEnd::HostClosed:
            return "host closed the line";
        case SessionEnd::HangUp:
            return "hang-up";
        case SessionEnd::Exit:
            return "exit";
    }
    return "unknown";
}

ReaderModel::ReaderModel(const ReaderLayout& layout, LoaderKind smallLoader, FaultPlan faults,
                         AppNumber appNumber, std::optional<IdentityBytes> identity,
                         uint32_t failOpens)
    : layout_(layout),
      smallLoader_(smallLoader),
      faults_(std::move(faults)),
      flash_(layout),
      appNumber_(appNumber),
      identity_(identity ? std::move(identity) : DefaultIdentity(layout.reader->type)),
      failOpens_(failOpens) {}

TranscriptEntry ReaderModel::NewEntry(const char* kind, size_t length) const {
    TranscriptEntry entry;
    entry.session = session_;
    entry.kind = kind;
    entry.length = length;
    return entry;
}

void ReaderModel::Emit(const TranscriptEntry& entry) {
    if (observer_ != nullptr) observer_->OnFrame(entry);
}

void ReaderModel::End(SessionEnd why) {
    if (!open_) return;
    open_ = false;
    if (observer_ != nullptr) observer_->OnSessionEnd(why);
}

Reply ReaderModel::Take(const wire::Frame& frame) {
    switch (frame.kind) {
        case Kind::ResetLoader:
            return TakeReset(frame);
        case Kind::Message:
            return TakeMessage(frame);
        case Kind::LeaveLoader:
            return TakeLeave(frame);
        case Kind::EraseData:
            return TakeEraseData(frame);
        case Kind::LoaderReady:
        case Kind::EraseDataDone:
            break;
    }
    // Reader-to-host kinds, or kinds this reader does not know: ignored.
    TranscriptEntry entry = NewEntry("ignored", frame.payload.size());
    char text[80];
    std::snprintf(text, sizeof text, "frame kind 0x%02X means nothing to a reader",
                  static_cast<unsigned>(frame.kind));
    entry.detail = text;
    Emit(entry);
    return {};
}

Reply ReaderModel::TakeReset(const wire::Frame& frame) {
    // An untouched session (a resent reset the host did not wait for) is simply replaced; any
    // other ends here.
    if (open_ && index_ > 0) End(SessionEnd::Reset);
    ++session_;
    detection_ = frame.payload.size() == 1 &&
                 frame.payload[0] == static_cast<uint8_t>(wire::ResetMode::Light);
    index_ = 0;
    loader_.reset();
    ++resets_;

    TranscriptEntry entry = NewEntry("reset", frame.payload.size());
    if (failOpens_ > 0) {
        // The loader did not start: no session opens, so the host's next try is not kept from
        // a --once run by a session that never was.
        --failOpens_;
        open_ = false;
        idleReason_ = "the last reset was made to fail (--fail-open); send ResetLoader again";
        entry.answer = status::kResetFailed;
        entry.detail = "reset " + std::to_string(resets_) + " made to fail (--fail-open)";
        Emit(entry);
        return MakeReply(Kind::LoaderReady, {status::kResetFailed, 0});
    }
    open_ = true;
    uint8_t status = status::kLoaderRunning;
    uint8_t loaderByte = 0;
    if (frame.payload.size() != 1 ||
        frame.payload[0] > static_cast<uint8_t>(wire::ResetMode::Light)) {
        status = status::kResetMalformed;
        entry.detail = "ResetLoader must carry one mode byte, 0 to 3";
    } else if ((layout_.resetModes & (1u << frame.payload[0])) == 0) {
        status = status::kResetRefused;
        entry.detail = std::string("a ") + ResetModeName(frame.payload[0]) +
                       " does not start the loader of a " + layout_.reader->name;
    } else if (frame.payload[0] == static_cast<uint8_t>(wire::ResetMode::Light)) {
        // Every large model takes it; its identity is the layout's unless --id-bytes gave one.
        loader_ = std::make_unique<LightLoader>(identity_.value_or(IdentityBytes{}));
    } else {
        const bool small = frame.payload[0] == static_cast<uint8_t>(wire::ResetMode::Small);
        const LoaderKind kind = small ? smallLoader_ : LoaderKind::Addressed;
        loader_ =
            MakeLoader(kind, flash_, AcceptedRoutines(layout_.reader->type, kind), &appNumber_);
        if (small) loaderByte = kind == LoaderKind::Raw ? wire::kRawLoader : wire::kAddressedLoader;
    }
    if (!loader_) idleReason_ = "the last reset did not start the loader";
    entry.answer = status;
    Emit(entry);
    return MakeReply(Kind::LoaderReady, {status, loaderByte});
}

Reply ReaderModel::TakeMessage(const wire::Frame& frame) {
    ++index_;
    TranscriptEntry entry = NewEntry("ignored", frame.payload.size());
    entry.index = index_;
    if (!loader_) {
        entry.detail = idleReason_;
        Emit(entry);
        return {};
    }
    const auto fault = faults_.find(index_);
    if (fault == faults_.end()) {
        const FrameReport report = loader_->Take(frame.payload);
        entry.kind = report.kind;
        entry.address = report.address;
        // A ReadMemory answer carries the bytes read, not a status byte.
        if (report.answered && !report.data) entry.answer = report.status;
        if (report.data) {
            entry.detail =
                "answered " + (report.data->empty() ? "no bytes" : base::HexBytes(*report.data));
        } else {
            entry.detail = report.reason;
        }
        Emit(entry);
        if (report.endsSession) End(SessionEnd::EndFrame);
        if (!report.answered) return {};
        if (report.data) {
            Reply reply;
            reply.bytes = wire::Encode(Kind::Message, report.data->data(), report.data->size());
            reply.loaderAnswer = true;
            return reply;
        }
        return MakeReply(Kind::Message, {report.status}, true);
    }

    const FrameReport report = loader_->Describe(frame.payload);
    entry.kind = report.kind;
    entry.address = report.address;
    Reply reply;
    switch (fault->second.kind) {
        case FaultKind::Fail: {
            char text[64];
            std::snprintf(text, sizeof text, "fault injected: answered 0x%02X", fault->second.code);
            entry.answer = fault->second.code;
            entry.detail = text;
            reply = MakeReply(Kind::Message, {fault->second.code}, true);
            break;
        }
        case FaultKind::Drop:
            entry.detail = "fault injected: frame dropped, no answer";
            break;
        case FaultKind::HangUp:
            entry.detail = "fault injected: line hung up";
            reply.hangUp = true;
            break;
    }
    Emit(entry);
    if (reply.hangUp) {
        End(SessionEnd::HangUp);
        loader_.reset();
        idleReason_ = "the line was hung up; send ResetLoader first";
    }
    return reply;
}

Reply ReaderModel::TakeLeave(const wire::Frame& frame) {
    Emit(NewEntry("leave", frame.payload.size()));
    End(SessionEnd::Leave);
    loader_.reset();
    idleReason_ = "the reader left its loader; send ResetLoader first";
    return {};
}

Reply ReaderModel::TakeEraseData(const wire::Frame& frame) {
    // Not a loader frame: it is answered whether a loader runs or not, and starts or ends no
    // session.
    TranscriptEntry entry = NewEntry("erase-data", frame.payload.size());
    uint8_t result = status::kDataErased;
    if (!frame.payload.empty()) {
        result = status::kDataEraseMalformed;
        entry.detail = "EraseData carries no payload; got " + std::to_string(frame.payload.size()) +
                       " bytes, nothing erased";
    } else {
        switch (layout_.dataErase) {
            case DataErase::Request:
                flash_.EraseData();
                break;
            case DataErase::Routines:
                result = status::kDataEraseByLoader;
                entry.detail =
                    std::string("a ") + layout_.reader->name +
                    " erases its data flash through its loader (DataFlashEraseCore, then "
                    "DataFlashEraseStart), not on EraseData";
                break;
            case DataErase::None:
                result = status::kNoDataFlash;
                entry.detail = std::string(layout_.reader->name) + " has no data flash";
                break;
        }
    }
    entry.answer = result;
    Emit(entry);
    return MakeReply(Kind::EraseDataDone, {result});
}

void ReaderModel::HostClosed() {
    End(SessionEnd::HostClosed);
    loader_.reset();
    idleReason_ = "the line was closed; send ResetLoader first";
}

void ReaderModel::Exit() {
    End(SessionEnd::Exit);
}

}  // namespace korvel::sim
