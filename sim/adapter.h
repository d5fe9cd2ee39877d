// The adapter's MHIU commands: connecting and listing secondaries, the four
// configuration commands, and carrying read-block and write-block
// primitives to the controllers of its network.
//
// Replies (the bytes at replyData; the driver sees them from its byte 2 on):
//   MHIU error        0, code(BE16)
//   connect 04 a      2, a
//   list 00 06        2, a, a, ...            one byte per connected secondary
//   configuration     2, configured(1/0)      (command 1; the others 2, 0)
//   read block        1, a, 0, 0x20, n(BE16), values ...   n elements, big-endian
//   write block       1, a, 0, 0x30, n(BE16)
//   primitive error   1, a, 0, 0, code, 0     (the driver sees status 0 and the code)
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "card.h"
#include "network.h"

namespace tiwaysim {

class Adapter : public RequestHandler {
public:
    explicit Adapter(Network &network) : network_(network) {}

    std::optional<std::size_t> Handle(const std::uint8_t *request, std::size_t length, std::uint8_t *reply,
                                      std::size_t room, const FaultSwitches &faults) override;
    // Drops every connection; the configuration survives unless the faults
    // say a reset forgets it.
    void Reset(const FaultSwitches &faults) override;

    bool configured() const { return configured_; }
    // Sets or clears the configuration outright, as an adapter that kept its
    // settings from an earlier session (or lost them) comes up.
    void SetConfigured(bool on) {
        configured_ = on;
        configStage_ = 0;
    }
    bool connected(int address) const {
        return address >= 0 && address < 32 && connected_.test(static_cast<std::size_t>(address));
    }
    Network &network() { return network_; }

    // Set whenever a write block changed controller memory (tiwaysim saves it).
    bool memoryChanged = false;

private:
    class Writer;
    void Connect(Writer &w, const std::uint8_t *request, std::size_t length, const FaultSwitches &faults);
    void List(Writer &w);
    std::optional<std::size_t> Configure(Writer &w, const std::uint8_t *request, std::size_t length,
                                         const FaultSwitches &faults);
    void Primitive(Writer &w, const std::uint8_t *request, std::size_t length, const FaultSwitches &faults);
    void ReadBlock(Writer &w, std::uint8_t address, const Region &region, const std::uint8_t *prim, std::size_t n);
    void WriteBlock(Writer &w, std::uint8_t address, Region &region, const std::uint8_t *prim, std::size_t n);

    Network &network_;
    std::bitset<32> connected_;
    bool configured_ = false;
    int configStage_ = 0; // the last configuration command of an unfinished sequence
};

} // namespace tiwaysim
