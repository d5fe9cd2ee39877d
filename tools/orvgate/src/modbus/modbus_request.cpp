#include "modbus/modbus_request.h"

namespace orvgate {
namespace {

std::uint16_t Word(std::span<const std::uint8_t> bytes, std::size_t at) {
    if (at + 1 >= bytes.size()) {
        return 0;
    }
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

} // namespace

bool IsServedFunction(std::uint8_t function) {
    return (function >= kReadCoils && function <= kWriteSingleRegister) || function == kWriteMultipleCoils ||
           function == kWriteMultipleRegisters;
}

bool PduHasItsShape(std::span<const std::uint8_t> pdu) {
    if (pdu.empty()) {
        return false;
    }
    const std::uint8_t function = pdu[0];
    if (function == kWriteMultipleCoils || function == kWriteMultipleRegisters) {
        // function, address, quantity, byte count, then that many bytes
        return pdu.size() >= 6 && pdu.size() == 6u + pdu[5];
    }
    if (IsServedFunction(function)) {
        return pdu.size() == 5; // function, address, quantity or value
    }
    return true;
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
