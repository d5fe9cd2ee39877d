// The cards one tiwaysim process serves: the network of each (from the
// configuration, or the default network), its adapter and card model, and
// where its window lies in the memory device.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "adapter.h"
#include "card.h"
#include "network_config.h"

namespace tiwaysim {

inline constexpr std::uint32_t kWindowSize = 0x800;

struct ServedCard {
    ServedCard(std::uint16_t seg, Network &net) : segment(seg), adapter(net), card(adapter) {}
    std::uint16_t segment;
    Adapter adapter;
    Card card;
    std::uint8_t *window = nullptr;
};

// The cards named on the command line and in the configuration, in that
// order; C800 when neither names one. A card without a configuration gets
// the default network. False with a message for a window that would not
// fit the 1 MiB device.
bool PlanCards(const std::vector<std::uint16_t> &segments, std::vector<CardPlan> &plans, std::string &error);

// One ServedCard per plan; `plans` must not change size afterwards.
std::vector<std::unique_ptr<ServedCard>> MakeServedCards(std::vector<CardPlan> &plans);

// One control command: "card C800 delay 500" for one card; anything else
// for every card that can take it ("disconnect 3" for the card that has
// secondary 3), answered by the last that took it, or by the first card's
// error when none did.
std::string ApplyServedControl(std::string_view line, std::vector<std::unique_ptr<ServedCard>> &cards);

} // namespace tiwaysim
