#include "served_cards.h"

#include <cstdio>

#include "device_file.h"

namespace tiwaysim {

bool PlanCards(const std::vector<std::uint16_t> &segments, std::vector<CardSpec> &specs, std::string &error) {
    for (std::uint16_t seg : segments) {
        if (FindCard(specs, seg) == nullptr) {
            specs.push_back(CardSpec{seg, Network::Default()});
        }
    }
    if (specs.empty()) {
        specs.push_back(CardSpec{0xC800, Network::Default()});
    }
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const std::uint32_t start = std::uint32_t{specs[i].segment} << 4;
        char buf[96];
        if (start + kWindowSize > kDeviceSize) {
            std::snprintf(buf, sizeof buf, "card %04X: its window would end past the 1 MiB device", specs[i].segment);
            error = buf;
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            const std::uint32_t other = std::uint32_t{specs[j].segment} << 4;
            if (start < other + kWindowSize && other < start + kWindowSize) {
                std::snprintf(buf, sizeof buf, "cards %04X and %04X share memory", specs[j].segment,
                              specs[i].segment);
                error = buf;
                return false;
            }
        }
    }
    return true;
}

std::vector<std::unique_ptr<ServedCard>> MakeServedCards(std::vector<CardSpec> &specs) {
    std::vector<std::unique_ptr<ServedCard>> cards;
    for (CardSpec &spec : specs) {
        cards.push_back(std::make_unique<ServedCard>(spec.segment, spec.network));
    }
    return cards;
}

} // namespace tiwaysim
