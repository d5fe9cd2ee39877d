#include "served_cards.h"

#include <cstdio>

#include "control_commands.h"
#include "device_file.h"
#include "text_fields.h"

using orvtiw::text::ParseHex;
using orvtiw::text::SplitFields;

namespace tiwaysim {

bool PlanCards(const std::vector<std::uint16_t> &segments, std::vector<CardPlan> &plans, std::string &error) {
    for (std::uint16_t seg : segments) {
        if (FindCard(plans, seg) == nullptr) {
            plans.push_back(CardPlan{seg, Network::Default()});
        }
    }
    if (plans.empty()) {
        plans.push_back(CardPlan{0xC800, Network::Default()});
    }
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const std::uint32_t start = std::uint32_t{plans[i].segment} << 4;
        char buf[96];
        if (start + kWindowSize > kDeviceSize) {
            std::snprintf(buf, sizeof buf, "card %04X: its window would end past the 1 MiB device", plans[i].segment);
            error = buf;
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            const std::uint32_t other = std::uint32_t{plans[j].segment} << 4;
            if (start < other + kWindowSize && other < start + kWindowSize) {
                std::snprintf(buf, sizeof buf, "cards %04X and %04X share memory", plans[j].segment, plans[i].segment);
                error = buf;
                return false;
            }
        }
    }
    return true;
}

std::vector<std::unique_ptr<ServedCard>> MakeServedCards(std::vector<CardPlan> &plans) {
    std::vector<std::unique_ptr<ServedCard>> cards;
    for (CardPlan &plan : plans) {
        cards.push_back(std::make_unique<ServedCard>(plan.segment, plan.network));
    }
    return cards;
}

std::string ApplyServedControl(std::string_view line, std::vector<std::unique_ptr<ServedCard>> &cards) {
    const auto fields = SplitFields(line);
    if (fields.size() >= 3 && fields[0] == "card") {
        const auto seg = ParseHex(fields[1], 0xFFFF);
        for (auto &c : cards) {
            if (seg && c->segment == *seg) {
                const std::size_t rest = static_cast<std::size_t>(fields[2].data() - line.data());
                return ApplyCardControl(line.substr(rest), c->card, c->adapter);
            }
        }
        return "error: no card " + std::string(fields[1]);
    }
    std::string firstError;
    std::string answer;
    for (auto &c : cards) {
        std::string one = ApplyCardControl(line, c->card, c->adapter);
        if (one.rfind("error", 0) != 0) {
            answer = std::move(one);
        } else if (firstError.empty()) {
            firstError = std::move(one);
        }
    }
    return answer.empty() ? firstError : answer;
}

} // namespace tiwaysim
