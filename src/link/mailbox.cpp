#include "link/mailbox.h"

#include <atomic>
#include <cstring>

#include "channel/logging.h"
#include "channel/status.h"
#include "link/big_endian.h"
#include "link/messages.h"
#include "link/platform.h"

namespace orvtiw {
namespace {

// The card is a processor of its own sharing this memory: every access goes
// through volatile so that no read is cached and no write is dropped or
// reordered by the compiler, and fences keep the data before the command
// byte that announces it.
std::uint8_t ReadCard(const Instance &inst, int offset) {
    return static_cast<const volatile std::uint8_t *>(inst.window)[offset];
}

void WriteCard(Instance &inst, int offset, std::uint8_t value) {
    static_cast<volatile std::uint8_t *>(inst.window)[offset] = value;
}

void WriteCommand(Instance &inst, std::uint8_t command) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    WriteCard(inst, Mailbox::kHostCommand, command);
}

// Polls a handshake byte every millisecond until it holds an awaited value
// or the limit passes; the last read decides, so a value that arrives just
// as the limit passes still counts.
template <typename Awaited>
bool WaitOnHandshake(const Instance &inst, int offset, std::uint32_t limit, Awaited awaited) {
    const PlatformCalls &os = Platform();
    const std::uint32_t start = os.tickCount();
    for (;;) {
        if (awaited(ReadCard(inst, offset))) {
            break;
        }
        if (TimeElapsed(start, limit) == 1) {
            break;
        }
        os.sleepMs(kPollIntervalMs);
    }
    const bool ok = awaited(ReadCard(inst, offset));
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return ok;
}

} // namespace

int TimeElapsed(std::uint32_t start, std::uint32_t limit) {
    const std::uint32_t passed = Platform().tickCount() - start;
    return passed > limit ? 1 : 0;
}

Done ResetAdapter(Instance &inst) {
    WriteCommand(inst, kCommandReset);
    Platform().sleepMs(kResetPauseMs);
    if (WaitOnHandshake(inst, Mailbox::kCardStatus, kResetWaitMs,
                        [](std::uint8_t v) { return v == kStatusResetDone; })) {
        return kDone;
    }
    ORV_LOG(kLogError, msg::kResetNoAnswer, ChannelOf(inst));
    return kNotDone;
}

Done SendStr(Instance &inst) {
    if (inst.device == kInvalidDevice) {
        ORV_LOG(kLogError, msg::kSendNotOpen, ChannelOf(inst));
        return kNotDone;
    }
    // A longer request would run over replySize and the handshake bytes.
    const std::int32_t length = inst.requestLength;
    if (length < 0 || length > Mailbox::kRequestRoom) {
        ORV_LOG(kLogError, msg::kSendBadLength, ChannelOf(inst), static_cast<int>(length));
        return kNotDone;
    }
    if (!WaitOnHandshake(inst, Mailbox::kHostCommand, kPreviousCommandWaitMs,
                         [](std::uint8_t v) { return v == kCommandIdle; })) {
        ORV_LOG(kLogError, msg::kPreviousNotCleared, ChannelOf(inst));
        return kNotDone;
    }
    std::uint8_t size[2];
    PutBE16(static_cast<std::uint16_t>(length), size);
    WriteCard(inst, Mailbox::kRequestSize, size[0]);
    WriteCard(inst, Mailbox::kRequestSize + 1, size[1]);
    for (int i = 0; i < length; ++i) {
        WriteCard(inst, Mailbox::kRequestData + i, inst.request[i]);
    }
    WriteCard(inst, Mailbox::kCardStatus, kStatusCleared);
    WriteCommand(inst, kCommandRequest);
    if (WaitOnHandshake(inst, Mailbox::kCardStatus, static_cast<std::uint32_t>(inst.replyTimeout),
                        [](std::uint8_t v) { return v == kStatusAccepted || v == kStatusReplyReady; })) {
        return kDone;
    }
    ORV_LOG(kLogError, msg::kNoAcknowledge, ChannelOf(inst));
    return kNotDone;
}

Done RecvStr(Instance &inst) {
    if (inst.device == kInvalidDevice) {
        ORV_LOG(kLogError, msg::kRecvNotOpen, ChannelOf(inst));
        return kNotDone;
    }
    if (!WaitOnHandshake(inst, Mailbox::kCardStatus, static_cast<std::uint32_t>(inst.replyTimeout),
                         [](std::uint8_t v) { return v == kStatusReplyReady; })) {
        ORV_LOG(kLogError, msg::kReplyTimeout, ChannelOf(inst));
        return kNotDone;
    }
    const std::uint8_t sizeField[2] = {ReadCard(inst, Mailbox::kReplySize), ReadCard(inst, Mailbox::kReplySize + 1)};
    std::uint16_t n = 0;
    GetBE16(sizeField, &n);
    int count = n + 2;
    if (count > kReplyBufferSize) {
        ORV_LOG(kLogConfig, msg::kReplyTruncated, ChannelOf(inst));
        count = kReplyBufferSize;
    }
    for (int i = 0; i < count; ++i) {
        inst.reply[i] = ReadCard(inst, Mailbox::kReplySize + i);
    }
    // Bytes past this reply are cleared, so that a short reply can never be
    // judged or read by the bytes an earlier reply left behind.
    std::memset(inst.reply + count, 0, static_cast<std::size_t>(kReplyBufferSize - count));
    inst.replyLength = count;
    WriteCommand(inst, kCommandReplyTaken);
    return kDone;
}

Exchange Transact(Instance &inst) {
    if (SendStr(inst) == kDone && RecvStr(inst) == kDone) {
        return kExchangeOk;
    }
    return kExchangeFailed;
}

} // namespace orvtiw
