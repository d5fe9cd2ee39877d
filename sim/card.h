// The adapter card's firmware side of the shared-memory mailbox, as a step
// function over the card memory: unit tests call Step once per virtual
// millisecond, tiwaysim from its real-time loop. What the card answers is
// left to a RequestHandler, so the handshake stays apart from the MHIU
// commands.
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
    std::uint32_t nowMs;
};

class Card {
public:
    explicit Card(RequestHandler &handler) : handler_(handler) {}

    FaultSwitches faults;

    // Called for every request that was answered, lost or swallowed.
    std::function<void(const Exchange &)> onExchange;
    // Called for every reset the card answered.
    std::function<void(std::uint32_t nowMs)> onReset;

    // One look at the mailbox at `window` (at least Mailbox::kSize bytes)
    // at time `nowMs`; acts on what the host has written.
    void Step(std::uint8_t *window, std::uint32_t nowMs);

    // Counters, for tests and the trace.
    std::uint64_t resets() const { return resets_; }
    std::uint64_t requests() const { return requests_; }

private:
    enum class Phase { Idle, Delaying, Replied, Swallowed };

    void AnswerReset(volatile std::uint8_t *m, std::uint32_t nowMs);
    void Accept(volatile std::uint8_t *m, std::uint32_t nowMs);
    void Deliver(volatile std::uint8_t *m, std::uint32_t nowMs);
    void Lose(volatile std::uint8_t *m, std::uint32_t nowMs, Exchange::Outcome outcome);
    void Report(Exchange::Outcome outcome, std::uint16_t sizeField, std::uint32_t nowMs);

    RequestHandler &handler_;
    Phase phase_ = Phase::Idle;
    std::uint32_t acceptedAt_ = 0;
    std::uint32_t delayMs_ = 0;
    std::array<std::uint8_t, orvtiw::Mailbox::kRequestRoom> request_{};
    std::size_t requestLength_ = 0;
    std::array<std::uint8_t, orvtiw::Mailbox::kReplyRoom> reply_{};
    std::size_t replyLength_ = 0;
    std::uint64_t resets_ = 0;
    std::uint64_t requests_ = 0;
};

} // namespace tiwaysim
