#include "support/scripted_card.h"

#include "link/mailbox.h"

namespace orvtiw::test {

ScriptedCard::ScriptedCard(VirtualPlatform &platform) : platform_(platform) {
    platform_.onMillisecond = [this](std::uint32_t now) { step(now); };
}

void ScriptedCard::step(std::uint32_t now) {
    std::uint8_t *m = platform_.cardWindow();
    std::uint8_t &command = m[Mailbox::kHostCommand];
    std::uint8_t &status = m[Mailbox::kCardStatus];
    if (pending_) {
        if (current_.mode == ScriptedAnswer::Mode::Reply && now >= replyAt_) {
            const std::size_t n = current_.reply.size();
            const int size = current_.replySizeOverride >= 0 ? current_.replySizeOverride : static_cast<int>(n);
            m[Mailbox::kReplySize] = static_cast<std::uint8_t>(size >> 8);
            m[Mailbox::kReplySize + 1] = static_cast<std::uint8_t>(size);
            for (std::size_t i = 0; i < n && i < Mailbox::kReplyRoom; ++i) {
                m[Mailbox::kReplyData + i] = current_.reply[i];
            }
            status = kStatusReplyReady;
            pending_ = false;
        } else if (current_.mode == ScriptedAnswer::Mode::AcknowledgeOnly && current_.giveUpAfterMs != 0 &&
                   now >= replyAt_ + current_.giveUpAfterMs) {
            command = kCommandIdle; // a card that abandons the request without a reply
            taken_ = false;
            pending_ = false;
        }
        return;
    }
    if (command != kCommandRequest) {
        taken_ = false;
    }
    if (command == kCommandReset) {
        if (answerReset) {
            ++resets;
            status = kStatusResetDone;
            command = kCommandIdle;
        }
    } else if (command == kCommandRequest && !taken_) {
        taken_ = true;
        const int size = m[Mailbox::kRequestSize] * 256 + m[Mailbox::kRequestSize + 1];
        Bytes request(m + Mailbox::kRequestData, m + Mailbox::kRequestData + size);
        requests.push_back(request);
        if (!answers.empty()) {
            current_ = answers.front();
            answers.pop_front();
        } else {
            current_ = ScriptedAnswer{ScriptedAnswer::Mode::Reply, responder ? responder(request) : OkReply()};
        }
        if (current_.mode == ScriptedAnswer::Mode::NoAcknowledge) {
            return; // the request stays posted
        }
        status = kStatusAccepted;
        pending_ = true;
        replyAt_ = now + current_.delayMs;
        if (current_.mode == ScriptedAnswer::Mode::Reply && current_.delayMs == 0) {
            step(now);
        }
    } else if (command == kCommandReplyTaken && clearCommandAfterTaken) {
        command = kCommandIdle;
        taken_ = false;
    }
}

Bytes OkReply() {
    return {0x02, 0x00};
}

Bytes ConnectReply(std::uint8_t secondary) {
    return {0x02, secondary};
}

Bytes MhiuErrorReply(std::uint16_t code) {
    return {0x00, static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
}

Bytes PrimitiveErrorReply(std::uint8_t code) {
    return {0x01, 0x00, 0x00, 0x00, code, 0x00};
}

Bytes ReadReply(const Bytes &data) {
    Bytes reply{0x01, 0x00, 0x00, 0x20, 0x00, 0x00};
    reply.insert(reply.end(), data.begin(), data.end());
    return reply;
}

Bytes ListReply(const Bytes &secondaries) {
    Bytes reply{0x02};
    reply.insert(reply.end(), secondaries.begin(), secondaries.end());
    return reply;
}

} // namespace orvtiw::test
