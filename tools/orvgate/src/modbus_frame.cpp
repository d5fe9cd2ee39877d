#include "modbus_frame.h"

namespace orvgate {
namespace {

constexpr std::size_t kFunctionAt = kHeaderBytes; // the function code follows the header
constexpr std::size_t kProtocolAt = 2;
constexpr std::size_t kLengthAt = 4;
constexpr std::uint8_t kMaskWriteRegister = 0x16;
constexpr std::uint8_t kWriteAndReadRegisters = 0x17;

std::uint16_t Word(std::span<const std::uint8_t> bytes, std::size_t at) {
    if (at + 1 >= bytes.size()) {
        return 0;
    }
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

// Bytes libmodbus reads after the function code before it knows how much
// data follows, for a request.
std::size_t MetaBytes(std::uint8_t function) {
    if (function <= kWriteSingleRegister) {
        return 4;
    }
    if (function == kWriteMultipleCoils || function == kWriteMultipleRegisters) {
        return 5;
    }
    if (function == kMaskWriteRegister) {
        return 6;
    }
    if (function == kWriteAndReadRegisters) {
        return 9;
    }
    return 0;
}

// Where the byte that gives the data length lies, for functions that carry
// data after their meta bytes; 0 for the others.
std::size_t DataLengthAt(std::uint8_t function) {
    if (function == kWriteMultipleCoils || function == kWriteMultipleRegisters) {
        return kFunctionAt + 5;
    }
    if (function == kWriteAndReadRegisters) {
        return kFunctionAt + 9;
    }
    return 0;
}

} // namespace

bool IsServedFunction(std::uint8_t function) {
    return (function >= kReadCoils && function <= kWriteSingleRegister) || function == kWriteMultipleCoils ||
           function == kWriteMultipleRegisters;
}

FrameCheck CheckFrame(std::span<const std::uint8_t> bytes) {
    FrameCheck check;
    if (bytes.size() >= kLengthAt && Word(bytes, kProtocolAt) != 0) {
        check.state = FrameState::Malformed; // not Modbus
        return check;
    }
    if (bytes.size() < kHeaderBytes) {
        return check;
    }
    const std::size_t length = Word(bytes, kLengthAt);
    // The length counts the unit id, the function code and the data.
    if (length < 2 || kLengthAt + 2 + length > kMaxFrameBytes) {
        check.state = FrameState::Malformed;
        return check;
    }
    check.frameBytes = kLengthAt + 2 + length;
    if (bytes.size() <= kFunctionAt) {
        return check;
    }
    const std::uint8_t function = bytes[kFunctionAt];
    if ((function & 0x80) != 0) {
        // The exception form of a function code: a response, never a request.
        check.state = FrameState::Malformed;
        return check;
    }
    std::size_t expected = kFunctionAt + 1 + MetaBytes(function);
    if (const std::size_t at = DataLengthAt(function); at != 0) {
        if (at >= check.frameBytes) {
            check.state = FrameState::Malformed;
            return check;
        }
        if (at >= bytes.size()) {
            return check;
        }
        expected += bytes[at];
    }
    check.libraryBytes = expected;
    if (expected > check.frameBytes || (IsServedFunction(function) && expected != check.frameBytes)) {
        check.state = FrameState::Malformed;
        return check;
    }
    if (bytes.size() >= check.frameBytes) {
        check.state = FrameState::Complete;
    }
    return check;
}

Table TableOf(std::uint8_t function) {
    switch (function) {
    case kReadCoils:
    case kWriteSingleCoil:
    case kWriteMultipleCoils:
        return Table::Coils;
    case kReadDiscreteInputs:
        return Table::DiscreteInputs;
    case kReadInputRegisters:
        return Table::InputRegisters;
    default:
        return Table::HoldingRegisters;
    }
}

bool IsWrite(std::uint8_t function) {
    return function == kWriteSingleCoil || function == kWriteSingleRegister || function == kWriteMultipleCoils ||
           function == kWriteMultipleRegisters;
}

std::uint8_t RequestProblem(const Request &r) {
    // The protocol's limits, the ones libmodbus applies as well.
    constexpr std::uint16_t kMostReadBits = 2000;
    constexpr std::uint16_t kMostReadRegisters = 125;
    constexpr std::uint16_t kMostWriteBits = 1968;
    constexpr std::uint16_t kMostWriteRegisters = 123;
    constexpr std::uint16_t kCoilOn = 0xFF00;
    bool quantity = true;
    switch (r.function) {
    case kReadCoils:
    case kReadDiscreteInputs:
        quantity = r.count >= 1 && r.count <= kMostReadBits;
        break;
    case kReadHoldingRegisters:
    case kReadInputRegisters:
        quantity = r.count >= 1 && r.count <= kMostReadRegisters;
        break;
    case kWriteSingleCoil:
        quantity = r.value == 0 || r.value == kCoilOn;
        break;
    case kWriteMultipleCoils:
        quantity = r.count >= 1 && r.count <= kMostWriteBits && r.byteCount == (r.count + 7) / 8 &&
                   r.data.size() >= r.byteCount;
        break;
    case kWriteMultipleRegisters:
        quantity = r.count >= 1 && r.count <= kMostWriteRegisters && r.byteCount == 2 * r.count &&
                   r.data.size() >= r.byteCount;
        break;
    default:
        break;
    }
    if (!quantity) {
        return kIllegalDataValue;
    }
    if (static_cast<std::uint32_t>(r.address) + r.count > 0x10000) {
        return kIllegalDataAddress;
    }
    return 0;
}

std::vector<std::uint16_t> WrittenRegisters(const Request &r) {
    if (r.function == kWriteSingleRegister) {
        return {r.value};
    }
    std::vector<std::uint16_t> values;
    for (std::size_t i = 0; i < r.count && 2 * i + 1 < r.data.size(); ++i) {
        values.push_back(static_cast<std::uint16_t>((r.data[2 * i] << 8) | r.data[2 * i + 1]));
    }
    return values;
}

std::vector<std::uint8_t> WrittenCoils(const Request &r) {
    if (r.function == kWriteSingleCoil) {
        return {static_cast<std::uint8_t>(r.value != 0 ? 1 : 0)};
    }
    std::vector<std::uint8_t> values;
    for (std::size_t i = 0; i < r.count && i / 8 < r.data.size(); ++i) {
        values.push_back(static_cast<std::uint8_t>((static_cast<unsigned>(r.data[i / 8]) >> (i % 8)) & 1u));
    }
    return values;
}

Request DecodeRequest(std::span<const std::uint8_t> adu, std::size_t headerLength) {
    Request r;
    auto byte = [&](std::size_t at) -> std::uint8_t { return at < adu.size() ? adu[at] : 0; };
    if (headerLength == 0) {
        return r;
    }
    r.unit = byte(headerLength - 1);
    r.function = byte(headerLength);
    r.address = Word(adu, headerLength + 1);
    switch (r.function) {
    case kWriteSingleCoil:
    case kWriteSingleRegister:
        r.count = 1;
        r.value = Word(adu, headerLength + 3);
        break;
    case kWriteMultipleCoils:
    case kWriteMultipleRegisters: {
        r.count = Word(adu, headerLength + 3);
        r.byteCount = byte(headerLength + 5);
        const std::size_t from = headerLength + 6;
        r.data = from < adu.size() ? adu.subspan(from) : std::span<const std::uint8_t>();
        break;
    }
    default:
        r.count = Word(adu, headerLength + 3);
        break;
    }
    return r;
}

} // namespace orvgate
