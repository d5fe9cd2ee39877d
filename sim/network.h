// The TIWAY network behind one adapter: the controllers at addresses 1..31.
#pragma once

#include <array>
#include <memory>

#include "controller.h"

namespace tiwaysim {

class Network {
public:
    // The controller at `address`, or nullptr when none is there (or the
    // address is outside 1..31).
    Controller *At(int address);
    const Controller *At(int address) const;
    // Puts a fresh controller at `address` (1..31), replacing any; nullptr
    // for an address outside 1..31.
    Controller *Add(int address);

    // Secondaries 1..4, each with the default region set.
    static Network Default();

private:
    std::array<std::unique_ptr<Controller>, 32> secondaries_;
};

} // namespace tiwaysim
