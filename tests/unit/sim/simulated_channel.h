// A channel whose card is the simulated one: the virtual platform steps the
// card model once per virtual millisecond, and the driver's own mailbox code
// talks to it through an Instance in host-style memory.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "adapter.h"
#include "card.h"
#include "channel/instance.h"
#include "link/mailbox.h"
#include "network.h"
#include "support/virtual_platform.h"

namespace tiwaysim::test {

class SimulatedChannel {
public:
    explicit SimulatedChannel(Network net = Network::Default(), std::uint32_t startTick = 0x10000u)
        : vp(startTick), network(std::move(net)), adapter(network), card(adapter),
          inst(*reinterpret_cast<orvtiw::Instance *>(storage_.data())) {
        vp.onMillisecond = [this](std::uint32_t now) { card.Step(vp.cardWindow(), now); };
        inst.channel = 3;
        inst.device = vp.handle;
        inst.window = vp.cardWindow();
        inst.replyTimeout = 1000;
        call.instance = &inst;
        call.op = 0;
        call.channel = 3;
        call.reserved12 = 0;
        call.params = nullptr;
    }
    SimulatedChannel(const SimulatedChannel &) = delete;
    SimulatedChannel &operator=(const SimulatedChannel &) = delete;

    // The driver's reset handshake: 1 when the card answered.
    int Reset() { return orvtiw::ResetAdapter(inst); }

    // Posts `request` with the driver's Transact: 0 or -1.
    int Exchange(const std::vector<std::uint8_t> &request) {
        std::copy(request.begin(), request.end(), inst.request);
        inst.requestLength = static_cast<std::int32_t>(request.size());
        return orvtiw::Transact(inst);
    }
    int Exchange(std::initializer_list<std::uint8_t> request) { return Exchange(std::vector<std::uint8_t>(request)); }

    // The reply bytes after the length word, as far as they were copied.
    std::vector<std::uint8_t> Reply() const {
        const auto n = static_cast<std::size_t>(std::max(inst.replyLength - 2, 0));
        return std::vector<std::uint8_t>(inst.reply + 2, inst.reply + 2 + n);
    }
    std::uint16_t ReplySizeField() const { return static_cast<std::uint16_t>(inst.reply[0] << 8 | inst.reply[1]); }

    std::uint8_t HostCommand() { return vp.card[orvtiw::Mailbox::kHostCommand]; }
    std::uint8_t CardStatus() { return vp.card[orvtiw::Mailbox::kCardStatus]; }

    orvtiw::test::VirtualPlatform vp;
    Network network;
    Adapter adapter;
    Card card;

private:
    alignas(16) std::array<std::uint8_t, static_cast<std::size_t>(orvtiw::kInstanceSize)> storage_{};

public:
    orvtiw::Instance &inst;
    CallRecord call{};
};

} // namespace tiwaysim::test
