#include "adapter.h"

#include <algorithm>
#include <cstring>

#include "reply_codes.h"

namespace tiwaysim {

// Appends reply bytes, never past the room the card gave.
class Adapter::Writer {
public:
    Writer(std::uint8_t *out, std::size_t room) : out_(out), room_(room) {}
    void Byte(std::uint8_t b) {
        if (n_ < room_) {
            out_[n_++] = b;
        }
    }
    void BE16(std::uint16_t v) {
        Byte(static_cast<std::uint8_t>(v >> 8));
        Byte(static_cast<std::uint8_t>(v & 0xFF));
    }
    void MhiuError(std::uint16_t code) {
        n_ = 0;
        Byte(kKindMhiuError);
        BE16(code);
    }
    void PrimitiveError(std::uint8_t address, std::uint8_t code) {
        n_ = 0;
        for (std::uint8_t b : {kKindPrimitive, address, std::uint8_t{0}, std::uint8_t{0}, code, std::uint8_t{0}}) {
            Byte(b);
        }
    }
    std::size_t size() const { return n_; }
    std::size_t room() const { return room_; }

private:
    std::uint8_t *out_;
    std::size_t room_;
    std::size_t n_ = 0;
};

namespace {

std::uint16_t BE16At(const std::uint8_t *p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

// The four configuration commands, in the order the driver sends them.
struct ConfigCommand {
    std::size_t length;
    std::uint8_t bytes[7];
};
constexpr ConfigCommand kConfigCommands[] = {
    {7, {0x20, 0x01, 0x00, 0x04, 0x03, 0x00, 0x20}},
    {1, {0x11}},
    {7, {0x30, 0x01, 0x6B, 0x6B, 0x09, 0x00, 0x28}},
    {3, {0x19, 0x28, 0x01}},
};

// 1..4 for a configuration command's first byte, else 0.
int ConfigIndex(std::uint8_t first) {
    for (int i = 0; i < 4; ++i) {
        if (kConfigCommands[i].bytes[0] == first) {
            return i + 1;
        }
    }
    return 0;
}

} // namespace

std::optional<std::size_t> Adapter::Handle(const std::uint8_t *request, std::size_t length, std::uint8_t *reply,
                                           std::size_t room, const FaultSwitches &faults) {
    Writer w(reply, room);
    if (length == 0) {
        w.MhiuError(kMhiuMalformed);
        return w.size();
    }
    if (faults.mhiuError) {
        w.MhiuError(*faults.mhiuError);
        return w.size();
    }
    const std::uint8_t command = request[0];
    if (command == kCmdConnect) {
        Connect(w, request, length, faults);
    } else if (command == kCmdControl) {
        if (length >= 2 && request[1] == kCtlListConnected) {
            List(w);
        } else {
            w.MhiuError(kMhiuUnknownCommand);
        }
    } else if (command == kCmdPrimitive) {
        Primitive(w, request, length, faults);
    } else if (ConfigIndex(command) != 0) {
        return Configure(w, request, length, faults);
    } else {
        w.MhiuError(kMhiuUnknownCommand);
    }
    return w.size();
}

void Adapter::Reset(const FaultSwitches &faults) {
    connected_.reset();
    configStage_ = 0;
    if (faults.resetForgetsConfig) {
        configured_ = false;
    }
}

void Adapter::Connect(Writer &w, const std::uint8_t *request, std::size_t length, const FaultSwitches &faults) {
    if (length < 2) {
        w.MhiuError(kMhiuMalformed);
        return;
    }
    const std::uint8_t address = request[1];
    if (network_.At(address) == nullptr) {
        w.MhiuError(kMhiuNoSuchSecondary);
        return;
    }
    if (faults.disconnected.test(address)) {
        connected_.reset(address);
        w.MhiuError(kMhiuSecondaryNoAnswer);
        return;
    }
    connected_.set(address);
    w.Byte(kKindOk);
    w.Byte(address);
}

void Adapter::List(Writer &w) {
    w.Byte(kKindOk);
    for (std::uint8_t a = kMinSecondary; a <= kMaxSecondary; ++a) {
        if (connected_.test(a)) {
            w.Byte(a);
        }
    }
}

std::optional<std::size_t> Adapter::Configure(Writer &w, const std::uint8_t *request, std::size_t length,
                                              const FaultSwitches &faults) {
    const int index = ConfigIndex(request[0]);
    const ConfigCommand &expected = kConfigCommands[index - 1];
    if (length != expected.length || std::memcmp(request, expected.bytes, length) != 0) {
        w.MhiuError(kMhiuMalformed);
        return w.size();
    }
    if (faults.failConfigCommand == index) {
        if (faults.configFailure == ConfigFailure::NoReply) {
            return std::nullopt;
        }
        w.MhiuError(faults.configErrorCode);
        return w.size();
    }
    // Command 1 asks whether the adapter is configured; 2 starts a
    // configuration, and 3 then 4 complete it.
    std::uint8_t answer = 0;
    switch (index) {
    case 1:
        answer = configured_ ? 1 : 0;
        break;
    case 2:
        configured_ = false;
        configStage_ = 2;
        break;
    case 3:
        configStage_ = configStage_ == 2 ? 3 : 0;
        break;
    default:
        if (configStage_ == 3) {
            configured_ = true;
        }
        configStage_ = 0;
        break;
    }
    w.Byte(kKindOk);
    w.Byte(answer);
    return w.size();
}

void Adapter::Primitive(Writer &w, const std::uint8_t *request, std::size_t length, const FaultSwitches &faults) {
    if (length < 4) {
        w.MhiuError(kMhiuMalformed);
        return;
    }
    const std::uint8_t address = request[1];
    const std::size_t primLength = BE16At(request + 2);
    if (4 + primLength != length) {
        w.MhiuError(kMhiuMalformed);
        return;
    }
    Controller *controller = network_.At(address);
    if (controller == nullptr) {
        w.MhiuError(kMhiuNoSuchSecondary);
        return;
    }
    if (faults.disconnected.test(address)) {
        connected_.reset(address);
        w.MhiuError(kMhiuSecondaryNoAnswer);
        return;
    }
    if (!connected_.test(address)) {
        w.MhiuError(kMhiuNotConnected);
        return;
    }
    if (faults.primitiveError) {
        w.PrimitiveError(address, *faults.primitiveError);
        return;
    }
    const std::uint8_t *prim = request + 4;
    if (primLength < 4) {
        w.PrimitiveError(address, kPrimMalformed);
        return;
    }
    const std::uint8_t code = prim[0];
    if (code != kPrimReadBlock && code != kPrimWriteBlock) {
        w.PrimitiveError(address, kPrimUnknownPrimitive);
        return;
    }
    Region *region = controller->Find(prim[1]);
    if (region == nullptr) {
        w.PrimitiveError(address, kPrimUndefinedType);
        return;
    }
    if (code == kPrimReadBlock) {
        ReadBlock(w, address, *region, prim, primLength);
    } else {
        WriteBlock(w, address, *region, prim, primLength);
    }
}

void Adapter::ReadBlock(Writer &w, std::uint8_t address, const Region &region, const std::uint8_t *prim,
                        std::size_t n) {
    if (n != 6) {
        w.PrimitiveError(address, kPrimMalformed);
        return;
    }
    const std::uint16_t count = BE16At(prim + 2);
    const std::uint16_t first = BE16At(prim + 4);
    if (!region.Covers(first, count)) {
        w.PrimitiveError(address, kPrimAddressRange);
        return;
    }
    const std::size_t dataBytes = static_cast<std::size_t>(count) * region.elementBytes;
    constexpr std::size_t kHeader = 6;
    if (kHeader + dataBytes > w.room()) {
        w.PrimitiveError(address, kPrimBlockTooLong);
        return;
    }
    for (std::uint8_t b : {kKindPrimitive, address, std::uint8_t{0}, kPrimReadBlock}) {
        w.Byte(b);
    }
    w.BE16(count);
    const std::uint8_t *data = count > 0 ? region.At(first) : nullptr;
    for (std::size_t i = 0; i < dataBytes; ++i) {
        w.Byte(data[i]);
    }
}

void Adapter::WriteBlock(Writer &w, std::uint8_t address, Region &region, const std::uint8_t *prim, std::size_t n) {
    const std::uint16_t first = BE16At(prim + 2);
    const std::size_t dataBytes = n - 4;
    if (dataBytes % region.elementBytes != 0) {
        w.PrimitiveError(address, kPrimMalformed);
        return;
    }
    const std::size_t count = dataBytes / region.elementBytes;
    if (!region.Covers(first, static_cast<std::uint32_t>(count))) {
        w.PrimitiveError(address, kPrimAddressRange);
        return;
    }
    if (count > 0) {
        std::memcpy(region.At(first), prim + 4, dataBytes);
        memoryChanged = true;
    }
    for (std::uint8_t b : {kKindPrimitive, address, std::uint8_t{0}, kPrimWriteBlock}) {
        w.Byte(b);
    }
    w.BE16(static_cast<std::uint16_t>(count));
}

} // namespace tiwaysim
