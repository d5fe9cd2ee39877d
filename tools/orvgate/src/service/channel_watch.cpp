#include "service/channel_watch.h"

#include <cmath>

namespace orvgate::service {
namespace {

std::string LostText(const CardStatus &card) {
    return "channel " + std::to_string(card.channel) + ": " +
           (card.health.last.text.empty() ? std::string("no answer") : card.health.last.text);
}

} // namespace

ChannelWatch::Verdict ChannelWatch::Look(const std::vector<CardStatus> &cards, Clock::time_point now) {
    std::size_t answering = 0;
    std::string lost;
    for (const CardStatus &card : cards) {
        if (!card.health.Failing()) {
            ++answering;
        } else {
            lost += (lost.empty() ? "" : "; ") + LostText(card);
        }
    }
    // A cold start that succeeded leaves its channel unknown rather than
    // failing: its card answered.
    answered_ = answered_ || answering > 0;
    Verdict v;
    if (answered_) {
        v.status = std::to_string(answering) + " of " + std::to_string(cards.size()) + " channel" +
                   (cards.size() == 1 ? "" : "s") + " answer" + (lost.empty() ? "" : "; lost: " + lost);
        return v;
    }
    const Clock::duration waited = now - started_;
    if (limit_.count() > 0 && waited >= limit_) {
        v.giveUp = true;
        v.status = "no channel answered within " + std::to_string(static_cast<long>(std::lround(Seconds(limit_)))) +
                   " s: " + lost;
        return v;
    }
    v.status = "no channel answers yet: " + lost;
    if (limit_.count() > 0) {
        const auto left = static_cast<long>(std::ceil(Seconds(limit_ - waited)));
        v.status += "; exits in " + std::to_string(left) + " s unless one does";
    }
    return v;
}

} // namespace orvgate::service
