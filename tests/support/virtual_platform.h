// A platform for unit tests: records every call the driver makes, keeps a
// virtual millisecond clock that only sleeping advances, and steps a card
// model once per virtual millisecond, so that any time-out runs in no real
// time. One instance at a time; it installs itself for its lifetime.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/platform.h"

namespace orvtiw::test {

struct OpenCall {
    std::string path;
    std::uint32_t access, shareMode, disposition, flags;
};

struct ControlCall {
    DeviceHandle device;
    std::uint32_t code;
    std::vector<std::uint8_t> input;
    std::uint32_t outSize;
    bool bytesReturnedGiven;
};

class VirtualPlatform {
public:
    explicit VirtualPlatform(std::uint32_t startTick = 0x10000u, std::size_t cardMemorySize = 0x800);
    ~VirtualPlatform();
    VirtualPlatform(const VirtualPlatform &) = delete;
    VirtualPlatform &operator=(const VirtualPlatform &) = delete;

    // The card memory that a successful map hands out.
    std::vector<std::uint8_t> card;
    std::uint8_t *cardWindow() { return card.data(); }

    // Virtual clock.
    std::uint32_t now;
    std::uint64_t sleptMs = 0;
    std::vector<std::uint32_t> sleeps;
    std::uint64_t tickReads = 0;

    // Called after every virtual millisecond with the new time: the card's
    // side of the memory.
    std::function<void(std::uint32_t now)> onMillisecond;

    // Switches.
    bool failOpen = false;
    bool failMap = false;
    bool mapWritesOutputOnFailure = false; // the failing driver still writes an address
    bool mapReturnsNull = false;           // the call succeeds with a zero address
    DeviceHandle handle = 7;

    // Records.
    std::vector<OpenCall> opens;
    std::vector<ControlCall> controls;
    std::vector<DeviceHandle> closes;

    // Map calls only / unmap calls only.
    std::vector<ControlCall> controlsWithCode(std::uint32_t code) const;
    std::size_t systemCalls() const { return opens.size() + controls.size() + closes.size(); }

    // Advances the clock as a sleep would (for card-side timing in tests).
    void advance(std::uint32_t ms);

private:
    PlatformCalls calls_;
};

} // namespace orvtiw::test
