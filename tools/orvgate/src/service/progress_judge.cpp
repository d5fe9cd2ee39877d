#include "service/progress_judge.h"

namespace orvgate::service {

void ProgressJudge::Watch(std::string name, const Heartbeat &beat) {
    parts_.push_back(Part{std::move(name), &beat});
}

std::optional<HeldPart> ProgressJudge::Held(Clock::time_point now) const {
    std::optional<HeldPart> held;
    for (const Part &p : parts_) {
        const Clock::duration since = now - p.beat->Last();
        if (since >= limit_ && (!held || since > held->since)) {
            held = HeldPart{p.name, since};
        }
    }
    return held;
}

} // namespace orvgate::service
