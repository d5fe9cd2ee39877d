// The adapter card's firmware side of the shared-memory mailbox, as a step
// function over the card memory: unit tests call Step once per virtual
// millisecond, tiwaysim calls StepMicros from its real-time loop. What the
// card answers is left to a RequestHandler, so the handshake stays apart
// from the MHIU commands.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "fault_switches.h"
#include "link/mailbox.h"

namespace tiwaysim {

class RequestHandler {
public:
    virtual ~RequestHandler() = default;
    // Computes the reply to `request` into `reply` (room `room` bytes) and
    // returns its length, or nothing when the request is to go unanswered.
    virtual std::optional<std::size_t> Handle(const std::uint8_t *request, std::size_t length, std::uint8_t *reply,
                                              std::size_t room, const FaultSwitches &faults) = 0;
    // The card was reset.
    virtual void Reset(const FaultSwitches &faults) = 0;
};

// One finished exchange, for tracing.
struct Exchange {
    enum class Outcome { Replied, Lost, Swallowed };
    Outcome outcome;
    std::vector<std::uint8_t> request;
    std::vector<std::uint8_t> reply; // the reply bytes the card produced
    std::uint16_t replySizeField;    // what went into replySize
    std::uint32_t nowMs;             // the card's clock in ms, modulo 2^32
};

// Bits a byte takes on the TIWAY line: the line rate is its net data rate,
// so no start or stop bits are counted.
inline constexpr std::uint32_t kLineBitsPerByte = 8;

// Microseconds that `bytes` bytes take on a line of `bitsPerSecond`, rounded
// up; 0 for a rate of 0 (no line modelled).
std::uint64_t LineTimeUs(std::size_t bytes, std::uint32_t bitsPerSecond);

class Card {
public:
    explicit Card(RequestHandler &handler) : handler_(handler) {}

    FaultSwitches faults;
    // The line to the controllers, in bits per second (0: none): a reply is
    // ready once the request and the reply have crossed it. Part of the
    // set-up, not a fault, so clearing the faults leaves it.
    std::uint32_t lineBitsPerSecond = 0;

    // Called for every request that was answered, lost or swallowed.
    std::function<void(const Exchange &)> onExchange;
    // Called for every reset the card answered.
    std::function<void(std::uint32_t nowMs)> onReset;

    // One look at the mailbox at `window` (at least Mailbox::kSize bytes)
    // at time `nowUs` (microseconds, never going back); acts on what the
    // host has written.
    void StepMicros(std::uint8_t *window, std::uint64_t nowUs);
    // The same on a wrapping millisecond tick, as the driver's clock counts:
    // the card carries the time on across the wrap. Use one entry or the
    // other on a card, not both.
    void Step(std::uint8_t *window, std::uint32_t nowMs);

    // Counters, for tests and the trace.
    std::uint64_t resets() const { return resets_; }
    std::uint64_t requests() const { return requests_; }

private:
    enum class Phase { Idle, Delaying, Replied, Swallowed };

    void AnswerReset(volatile std::uint8_t *m, std::uint64_t nowUs);
    void Accept(volatile std::uint8_t *m, std::uint64_t nowUs);
    void Deliver(volatile std::uint8_t *m, std::uint64_t nowUs);
    void Lose(volatile std::uint8_t *m, std::uint64_t nowUs, Exchange::Outcome outcome);
    void Report(Exchange::Outcome outcome, std::uint16_t sizeField, std::uint64_t nowUs);

    RequestHandler &handler_;
    Phase phase_ = Phase::Idle;
    std::uint64_t acceptedAtUs_ = 0;
    std::uint64_t waitUs_ = 0; // from acceptance to the reply
    // The millisecond entry's tick, widened: msClock_ keeps counting where
    // the 32-bit tick wraps, and equals the tick modulo 2^32.
    std::uint32_t lastTickMs_ = 0;
    std::uint64_t msClock_ = 0;
    std::array<std::uint8_t, orvtiw::Mailbox::kRequestRoom> request_{};
    std::size_t requestLength_ = 0;
    std::array<std::uint8_t, orvtiw::Mailbox::kReplyRoom> reply_{};
    std::size_t replyLength_ = 0;
    std::uint64_t resets_ = 0;
    std::uint64_t requests_ = 0;
};

} // namespace tiwaysim
