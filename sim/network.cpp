#include "network.h"

#include "reply_codes.h"

namespace tiwaysim {

Controller *Network::At(int address) {
    if (address < kMinSecondary || address > kMaxSecondary) {
        return nullptr;
    }
    return secondaries_[static_cast<std::size_t>(address)].get();
}

const Controller *Network::At(int address) const {
    return const_cast<Network *>(this)->At(address);
}

Controller *Network::Add(int address) {
    if (address < kMinSecondary || address > kMaxSecondary) {
        return nullptr;
    }
    auto &slot = secondaries_[static_cast<std::size_t>(address)];
    slot = std::make_unique<Controller>();
    return slot.get();
}

Network Network::Default() {
    Network n;
    for (int a = 1; a <= 4; ++a) {
        AddDefaultRegions(*n.Add(a));
    }
    return n;
}

} // namespace tiwaysim
