#include "card.h"

#include <algorithm>
#include <atomic>

#include "reply_codes.h"

namespace tiwaysim {
namespace {

using orvtiw::Mailbox;

// The host is another processor: fences keep the data it announced visible
// before we act on its command, and our reply before the status that
// announces it.
void Fence() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

std::size_t Offset(int offset) {
    return static_cast<std::size_t>(offset);
}

std::uint32_t TickMs(std::uint64_t nowUs) {
    return static_cast<std::uint32_t>(nowUs / 1000);
}

} // namespace

std::uint64_t LineTimeUs(std::size_t bytes, std::uint32_t bitsPerSecond) {
    if (bitsPerSecond == 0) {
        return 0;
    }
    const std::uint64_t bitMicros = std::uint64_t{bytes} * kLineBitsPerByte * 1000000u;
    return (bitMicros + bitsPerSecond - 1) / bitsPerSecond;
}

void Card::Step(std::uint8_t *window, std::uint32_t nowMs) {
    msClock_ += static_cast<std::uint32_t>(nowMs - lastTickMs_);
    lastTickMs_ = nowMs;
    StepMicros(window, msClock_ * 1000u);
}

void Card::StepMicros(std::uint8_t *window, std::uint64_t nowUs) {
    volatile std::uint8_t *m = window;
    const std::uint8_t command = m[Offset(Mailbox::kHostCommand)];
    switch (command) {
    case orvtiw::kCommandReset:
        if (!faults.noReset) {
            AnswerReset(m, nowUs);
        }
        return;
    case orvtiw::kCommandRequest:
        if (phase_ == Phase::Idle) {
            // A deaf card leaves the request standing; it is taken once the
            // switch is off again, as a card that recovered would.
            if (!faults.dropAck) {
                Accept(m, nowUs);
            }
        } else if (phase_ == Phase::Delaying && nowUs - acceptedAtUs_ >= waitUs_) {
            Deliver(m, nowUs);
        }
        return;
    case orvtiw::kCommandReplyTaken:
        phase_ = Phase::Idle;
        if (!faults.keepCommand) {
            m[Offset(Mailbox::kHostCommand)] = orvtiw::kCommandIdle;
        }
        return;
    default:
        return;
    }
}

void Card::AnswerReset(volatile std::uint8_t *m, std::uint64_t nowUs) {
    handler_.Reset(faults);
    phase_ = Phase::Idle;
    ++resets_;
    // The command byte goes idle first, so a host that sees '!' may post at once.
    m[Offset(Mailbox::kHostCommand)] = orvtiw::kCommandIdle;
    Fence();
    m[Offset(Mailbox::kCardStatus)] = orvtiw::kStatusResetDone;
    if (onReset) {
        onReset(TickMs(nowUs));
    }
}

void Card::Accept(volatile std::uint8_t *m, std::uint64_t nowUs) {
    Fence();
    ++requests_;
    const std::size_t declared = static_cast<std::size_t>(m[Offset(Mailbox::kRequestSize)]) << 8 |
                                 m[Offset(Mailbox::kRequestSize + 1)];
    // A size beyond the request area would run into the reply area: the
    // card takes what fits and the handler judges the lengths.
    requestLength_ = std::min(declared, request_.size());
    for (std::size_t i = 0; i < requestLength_; ++i) {
        request_[i] = m[Offset(Mailbox::kRequestData) + i];
    }
    replyLength_ = 0;

    if (faults.ackNoReply) {
        m[Offset(Mailbox::kCardStatus)] = orvtiw::kStatusAccepted;
        phase_ = Phase::Swallowed;
        Report(Exchange::Outcome::Swallowed, 0, nowUs);
        return;
    }
    if (faults.failNext > 0) {
        --faults.failNext;
        Lose(m, nowUs, Exchange::Outcome::Lost);
        return;
    }
    std::optional<std::size_t> length;
    if (declared > request_.size()) {
        reply_[0] = kKindMhiuError;
        reply_[1] = static_cast<std::uint8_t>(kMhiuMalformed >> 8);
        reply_[2] = static_cast<std::uint8_t>(kMhiuMalformed & 0xFF);
        length = 3;
    } else {
        length = handler_.Handle(request_.data(), requestLength_, reply_.data(), reply_.size(), faults);
    }
    if (!length) {
        Lose(m, nowUs, Exchange::Outcome::Lost);
        return;
    }
    replyLength_ = std::min(*length, reply_.size());
    // The request and its reply both cross the line; a delay comes on top.
    waitUs_ = std::uint64_t{faults.replyDelayMs} * 1000u +
              LineTimeUs(requestLength_ + replyLength_, lineBitsPerSecond);
    if (waitUs_ == 0) {
        Deliver(m, nowUs);
        return;
    }
    acceptedAtUs_ = nowUs;
    phase_ = Phase::Delaying;
    m[Offset(Mailbox::kCardStatus)] = orvtiw::kStatusAccepted;
}

void Card::Deliver(volatile std::uint8_t *m, std::uint64_t nowUs) {
    const std::uint16_t sizeField =
        faults.forcedReplySize ? *faults.forcedReplySize : static_cast<std::uint16_t>(replyLength_);
    // A forced size beyond the true reply is backed by zero bytes, as far as
    // the reply area reaches.
    const std::size_t written = std::max(replyLength_, std::min<std::size_t>(sizeField, reply_.size()));
    m[Offset(Mailbox::kReplySize)] = static_cast<std::uint8_t>(sizeField >> 8);
    m[Offset(Mailbox::kReplySize + 1)] = static_cast<std::uint8_t>(sizeField & 0xFF);
    for (std::size_t i = 0; i < written; ++i) {
        m[Offset(Mailbox::kReplyData) + i] = i < replyLength_ ? reply_[i] : std::uint8_t{0};
    }
    Fence();
    m[Offset(Mailbox::kCardStatus)] = orvtiw::kStatusReplyReady;
    phase_ = Phase::Replied;
    Report(Exchange::Outcome::Replied, sizeField, nowUs);
}

void Card::Lose(volatile std::uint8_t *m, std::uint64_t nowUs, Exchange::Outcome outcome) {
    // Accepted and taken, but no reply follows: the host times out waiting
    // for it and may post the next request straight away.
    replyLength_ = 0;
    m[Offset(Mailbox::kCardStatus)] = orvtiw::kStatusAccepted;
    Fence();
    m[Offset(Mailbox::kHostCommand)] = orvtiw::kCommandIdle;
    phase_ = Phase::Idle;
    Report(outcome, 0, nowUs);
}

void Card::Report(Exchange::Outcome outcome, std::uint16_t sizeField, std::uint64_t nowUs) {
    if (!onExchange) {
        return;
    }
    Exchange e{outcome,
               std::vector<std::uint8_t>(request_.begin(), request_.begin() + static_cast<std::ptrdiff_t>(requestLength_)),
               std::vector<std::uint8_t>(reply_.begin(), reply_.begin() + static_cast<std::ptrdiff_t>(replyLength_)),
               sizeField, TickMs(nowUs)};
    onExchange(e);
}

} // namespace tiwaysim
