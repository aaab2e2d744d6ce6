// The two download procedures of the 64 Kb readers: raw frames for the first loader, addressed
// frames for the second. Both send the image from the worker's buffer in place and write the
// image signature last.

#include <algorithm>
#include <array>

#include "cordane/routines.h"
#include "engine_state.h"
#include "exchange.h"
#include "procedures.h"

namespace cordane {

namespace {

// A routine followed by zeros up to the length of a raw routine frame.
template <size_t N>
std::array<uint8_t, routines::kPaddedRoutineLength> Padded(const std::array<uint8_t, N>& routine) {
    static_assert(N <= routines::kPaddedRoutineLength);
    std::array<uint8_t, routines::kPaddedRoutineLength> frame{};
    std::copy(routine.begin(), routine.end(), frame.begin());
    return frame;
}

// The 65-byte download descriptor of the raw loader.
std::array<uint8_t, raw::kDescriptorFrame> Descriptor(size_t imageLength) {
    const size_t payload = imageLength - kSignature.size();
    const size_t blocks = payload / raw::kBlock;
    std::array<uint8_t, raw::kDescriptorFrame> frame{};
    frame[0] = raw::kDescriptorTag;
    frame[1] = static_cast<uint8_t>(raw::kPayloadAddress);  // low byte first
    frame[2] = static_cast<uint8_t>(raw::kPayloadAddress >> 8);
    frame[5] = static_cast<uint8_t>(blocks);
    frame[6] = static_cast<uint8_t>(blocks >> 8);
    frame[8] = static_cast<uint8_t>(payload % raw::kBlock);
    frame[9] = static_cast<uint8_t>(raw::kSignatureAddress);
    frame[10] = static_cast<uint8_t>(raw::kSignatureAddress >> 8);
    frame[16] = raw::kSignatureLength;
    return frame;
}

// Bar position while an image is sent: the share already sent, at least 2 %.
int Percent(size_t remaining, size_t imageLength) {
    const auto percent = static_cast<uint32_t>(100u - static_cast<uint32_t>(remaining) * 100u /
                                                          static_cast<uint32_t>(imageLength));
    return static_cast<int>(std::max<uint32_t>(percent, 2));
}

void Completed(Job& job) {
    job.client.KvpBarSetPos(100);
    job.Message("Download completed.");
    KvSleep(timing::kCompletedPause);
}

}  // namespace

void RawDownload(Job& job, uint8_t* buffer, size_t imageLength) {
    InlineExchange exchange(job);
    const bool tal = job.client.readerType == KvTal64;
    const auto erase = tal ? Padded(routines::kEraseTal64) : Padded(routines::kEraseOrb64Raw);
    const auto program = tal ? Padded(routines::kProgramTal64) : Padded(routines::kProgramOrb64Raw);

    KvSleep(timing::kRawFirstPause);
    exchange.Exchange(erase.data(), erase.size(), false);
    KvSleep(timing::kRawPause);
    exchange.Exchange(program.data(), program.size(), false);

    job.Message("Downloading the application...");
    job.client.KvpBarStepIt();

    const auto descriptor = Descriptor(imageLength);
    KvSleep(timing::kRawPause);
    exchange.Send(descriptor.data(), descriptor.size());
    KvSleep(timing::kRawAfterDescriptor);
    exchange.Await(true);

    // Every data frame starts one byte before its block: the loader takes the block from the
    // frame's second byte on. Image index i lives at buffer[1 + i].
    Progress& progress = EngineProgress();
    size_t offset = 0;
    progress.done.store(0, std::memory_order_relaxed);
    for (;;) {
        const uint8_t* frame = buffer + 1 + offset + 1;
        KvSleep(timing::kRawPause);
        if (imageLength - offset - 2 > raw::kBlock) {
            exchange.Exchange(frame, raw::kBlock + 1, true);
            offset += raw::kBlock;
            job.client.KvpBarStepIt();
        } else {
            exchange.Exchange(frame, imageLength - offset - 1, true);
            offset = imageLength;
        }
        progress.done.store(static_cast<uint32_t>(offset), std::memory_order_relaxed);
        job.client.KvpBarSetPos(Percent(imageLength - offset, imageLength));
        if (offset == imageLength || job.client.KvIsCanceled()) break;
    }
    CheckCancel(job);

    KvSleep(timing::kRawPause);
    std::copy(kSignature.begin(), kSignature.end(), buffer + 1);
    exchange.Exchange(buffer, raw::kSignatureFrame, true);

    KvSleep(timing::kRawPause);
    ZrTimeOut(job.link.Get(), timing::kRawEndTimeout);
    exchange.Send(&raw::kEndFrame, 1);
    KvSleep(timing::kRawAfterEnd);
    exchange.Await(false);

    Completed(job);
}

void FramedDownload(Job& job, uint8_t* buffer, size_t imageLength) {
    InlineExchange exchange(job);
    const bool tal = job.client.readerType == KvTal64;
    uint8_t* image = buffer + 1;

    job.Message("Erasing Flash memory...");
    job.client.KvpBarStepIt();

    // KvTal (64 Kb) takes its raw routines padded to a routine frame's length behind this loader.
    const auto eraseTal = Padded(routines::kEraseTal64);
    const auto programTal = Padded(routines::kProgramTal64);
    const uint8_t* erase = tal ? eraseTal.data() : routines::kFlashErase.data();
    const auto eraseLength = tal ? eraseTal.size() : routines::kFlashErase.size();
    const uint8_t* program = tal ? programTal.data() : routines::kProgramOrb64.data();
    const auto programLength = tal ? programTal.size() : routines::kProgramOrb64.size();

    ZrTimeOut(job.link.Get(), timing::kFramedRoutineTimeout);
    exchange.ExchangeAddressed({static_cast<int16_t>(eraseLength), LoaderCommand::RunRoutine,
                                kRoutineAddress, kRoutineAddress},
                               erase, false);
    ZrTimeOut(job.link.Get(), timing::kFramedRoutineTimeout);
    KvSleep(timing::kFramedPause);
    exchange.ExchangeAddressed({static_cast<int16_t>(programLength), LoaderCommand::LoadRoutine,
                                kRoutineAddress, kRoutineAddress},
                               program, false);

    job.client.KvpBarStepIt();
    job.Message("Downloading the application...");

    // The signature is blanked in the first block and written last, so that a download stopped
    // half-way leaves no valid image behind.
    image[0] = 0xFF;
    image[1] = 0xFF;
    Progress& progress = EngineProgress();
    progress.done.store(0, std::memory_order_relaxed);
    size_t block = 0;
    size_t remaining = imageLength;
    auto writeBlock = [&](size_t length) {
        KvSleep(timing::kFramedPause);
        const uint32_t address =
            framed::kImageAddress + static_cast<uint32_t>(block * framed::kBlock);
        exchange.ExchangeAddressed(
            {static_cast<int16_t>(length), LoaderCommand::WriteBlock, 0, address},
            image + block * framed::kBlock, true);
        progress.done.fetch_add(static_cast<uint32_t>(length), std::memory_order_relaxed);
    };
    if (imageLength > framed::kBlock) {
        const size_t fullBlocks = (imageLength - 1) / framed::kBlock;
        for (size_t i = 0; i < fullBlocks; ++i) {
            job.client.KvpBarSetPos(Percent(remaining, imageLength));
            remaining -= framed::kBlock;
            writeBlock(framed::kBlock);
            ++block;
        }
    }
    if (remaining > 0) writeBlock(remaining);
    CheckCancel(job);

    // The signature frame announces 2 payload bytes but has always carried the text "KV" with its
    // terminating 0: 12 bytes on the wire. The loader takes the two the header announces.
    std::array<uint8_t, kHeaderSize + 3> signature{};
    const auto header = BuildLoaderHeader({static_cast<int16_t>(kSignature.size()),
                                           LoaderCommand::WriteBlock, 0, framed::kImageAddress});
    std::copy(header.begin(), header.end(), signature.begin());
    std::copy(kSignature.begin(), kSignature.end(), signature.begin() + kHeaderSize);
    KvSleep(timing::kFramedPause);
    exchange.Exchange(signature.data(), signature.size(), true);
    KvSleep(timing::kFramedPause);
    exchange.ExchangeAddressed({0, LoaderCommand::EndSession, 0, 0}, nullptr, false);

    Completed(job);
}

}  // namespace cordane
