#include "exchange.h"

#include <algorithm>
#include <cstring>

#include "status.h"

namespace cordane {

namespace {

void PutAddress(uint8_t* out, uint32_t address) {
    out[0] = static_cast<uint8_t>(address >> 16);
    out[1] = static_cast<uint8_t>(address >> 8);
    out[2] = static_cast<uint8_t>(address);
}

// Places header and payload one behind the other in `frame`; returns the frame's length, or 0
// for a payload length the loader cannot take.
size_t Compose(const LoaderHeader& record, const uint8_t* payload,
               std::array<uint8_t, kHeaderSize + kMaxPayload>& frame) {
    if (record.length < 0 || static_cast<size_t>(record.length) > kMaxPayload) return 0;
    const auto header = BuildLoaderHeader(record);
    std::copy(header.begin(), header.end(), frame.begin());
    if (record.length > 0) std::memcpy(frame.data() + kHeaderSize, payload, record.length);
    return kHeaderSize + static_cast<size_t>(record.length);
}

// Calls ZrGetMessage until it has something other than "nothing yet".
int FetchAnswer(int32_t handle, uint8_t* answer, int* length) {
    int other = 0;
    int result;
    do {
        *length = 0;
        result = ZrGetMessage(handle, answer, length, &other);
    } while (result == ZR_PENDING);
    return result;
}

// The status an exchange ends with when the fetch fails.
int FetchFailureStatus(int result) {
    return result == ZR_TIMEOUT ? kStatusNoReply : kStatusCommunication;
}

}  // namespace

std::array<uint8_t, kHeaderSize> BuildLoaderHeader(const LoaderHeader& record) {
    std::array<uint8_t, kHeaderSize> header{};
    const auto length = static_cast<uint16_t>(record.length);
    header[0] = static_cast<uint8_t>(length / 256);
    header[1] = static_cast<uint8_t>(length % 256);
    header[2] = static_cast<uint8_t>(record.command);
    PutAddress(&header[3], record.start);
    PutAddress(&header[6], record.load);
    return header;
}

int ExchangeLoaderFrame(LinkHandle& link, const uint8_t* payload, const LoaderHeader& record) {
    std::array<uint8_t, kHeaderSize + kMaxPayload> frame;
    const size_t length = Compose(record, payload, frame);
    if (length == 0 || ZrSendMessage(link.Get(), frame.data(), static_cast<int>(length)) != 0) {
        link.Close();
        return kStatusCommunication;
    }
    std::array<uint8_t, ZR_REPLY_BUFFER> answer{};
    int answerLength = 0;
    const int result = FetchAnswer(link.Get(), answer.data(), &answerLength);
    if (result != ZR_OK) {
        link.Close();
        return FetchFailureStatus(result);
    }
    // An empty answer carries no status byte: the line delivered nothing the loader said.
    if (answerLength <= 0) {
        link.Close();
        return kStatusCommunication;
    }
    if (answer[0] != 0) {
        link.Close();
        return answer[0];
    }
    return kStatusOk;
}

int DetectionExchange(int32_t handle, const uint8_t* payload, const LoaderHeader& record,
                      uint8_t* answer, size_t capacity, int* answerLength) {
    *answerLength = 0;
    std::array<uint8_t, kHeaderSize + kMaxPayload> frame;
    const size_t length = Compose(record, payload, frame);
    if (length == 0 || ZrSendMessage(handle, frame.data(), static_cast<int>(length)) != 0) return 1;
    std::array<uint8_t, ZR_REPLY_BUFFER> reply{};
    int replyLength = 0;
    const int result = FetchAnswer(handle, reply.data(), &replyLength);
    if (result != ZR_OK) return result;
    const size_t count =
        std::min({static_cast<size_t>(std::max(replyLength, 0)), capacity, reply.size()});
    std::memcpy(answer, reply.data(), count);
    *answerLength = static_cast<int>(count);
    if (count == 0) return kStatusCommunication;
    return reply[0];
}

void CheckCancel(Job& job) {
    if (job.client.KvIsCanceled()) job.FailStatus(kStatusCancelled);
}

void InlineExchange::Send(const uint8_t* frame, size_t length) {
    if (ZrSendMessage(job_.link.Get(), frame, static_cast<int>(length)) != 0) {
        job_.FailStatus(kStatusCommunication);
    }
}

void InlineExchange::Await(bool cancelCheck) {
    int answerLength = 0;
    const int result = FetchAnswer(job_.link.Get(), answer_.data(), &answerLength);
    if (result != ZR_OK) job_.FailStatus(FetchFailureStatus(result));
    if (cancelCheck) CheckCancel(job_);
    if (answerLength <= 0) job_.FailStatus(kStatusCommunication);
    if (answer_[0] != 0) job_.Fail(answer_[0], kDownloadErrorText);
}

void InlineExchange::ExchangeAddressed(const LoaderHeader& record, const uint8_t* payload,
                                       bool cancelCheck) {
    const size_t length = Compose(record, payload, frame_);
    if (length == 0) job_.FailStatus(kStatusCommunication);
    Exchange(frame_.data(), length, cancelCheck);
}

}  // namespace cordane
