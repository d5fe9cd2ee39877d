// A card that answers the driver's mailbox from a script: each posted
// request takes the next scripted answer (or a default "no error" reply),
// and every request the driver posted is kept for inspection. It lets unit
// tests drive the driver's own logic byte by byte on the virtual clock.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "support/virtual_platform.h"

namespace orvtiw::test {

using Bytes = std::vector<std::uint8_t>;

struct ScriptedAnswer {
    enum class Mode { Reply, NoAcknowledge, AcknowledgeOnly };
    Mode mode = Mode::Reply;
    Bytes reply;               // the reply bytes after the length word
    std::uint32_t delayMs = 0; // before the reply appears ('A')
    int replySizeOverride = -1; // write this length word instead of the reply's size
    std::uint32_t giveUpAfterMs = 0; // AcknowledgeOnly: return hostCommand to 0 after this long (0: never)
};

class ScriptedCard {
public:
    explicit ScriptedCard(VirtualPlatform &platform);

    std::deque<ScriptedAnswer> answers;
    // Computes the reply when no scripted answer is left; default: {2, 0}.
    std::function<Bytes(const Bytes &request)> responder;
    bool answerReset = true;
    bool clearCommandAfterTaken = true;

    std::vector<Bytes> requests;
    int resets = 0;

    void queueReply(Bytes reply) { answers.push_back(ScriptedAnswer{ScriptedAnswer::Mode::Reply, std::move(reply)}); }
    void queue(ScriptedAnswer a) { answers.push_back(std::move(a)); }

private:
    void step(std::uint32_t now);
    VirtualPlatform &platform_;
    bool pending_ = false;
    bool taken_ = false; // the posted request has been taken
    std::uint32_t replyAt_ = 0;
    ScriptedAnswer current_;
};

// Replies in the shapes the adapter uses.
Bytes OkReply();                                        // kind 2
Bytes ConnectReply(std::uint8_t secondary);             // kind 2, connected secondary
Bytes MhiuErrorReply(std::uint16_t code);               // kind 0
Bytes PrimitiveErrorReply(std::uint8_t code);           // kind 1, byte 5 zero
Bytes ReadReply(const Bytes &data);                     // kind 1, data from byte 8
Bytes ListReply(const Bytes &secondaries);              // kind 2, then the list

} // namespace orvtiw::test
