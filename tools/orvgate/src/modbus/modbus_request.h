// Modbus requests as the gateway serves them: the function codes and
// exceptions it knows, a request's fields, whether its PDU has the shape its
// function gives it, and the limits of its quantities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "map/gate_map.h"

namespace orvgate {

// Function codes the gateway serves.
inline constexpr std::uint8_t kReadCoils = 0x01;
inline constexpr std::uint8_t kReadDiscreteInputs = 0x02;
inline constexpr std::uint8_t kReadHoldingRegisters = 0x03;
inline constexpr std::uint8_t kReadInputRegisters = 0x04;
inline constexpr std::uint8_t kWriteSingleCoil = 0x05;
inline constexpr std::uint8_t kWriteSingleRegister = 0x06;
inline constexpr std::uint8_t kWriteMultipleCoils = 0x0F;
inline constexpr std::uint8_t kWriteMultipleRegisters = 0x10;

bool IsServedFunction(std::uint8_t function);

// Exception codes the gateway answers with.
inline constexpr std::uint8_t kIllegalFunction = 0x01;
inline constexpr std::uint8_t kIllegalDataAddress = 0x02;
inline constexpr std::uint8_t kIllegalDataValue = 0x03;
inline constexpr std::uint8_t kServerDeviceFailure = 0x04;
inline constexpr std::uint8_t kGatewayPathUnavailable = 0x0A;
inline constexpr std::uint8_t kGatewayTargetFailed = 0x0B;

// A request, from its frame.
struct Request {
    std::uint8_t unit = 0;
    std::uint8_t function = 0;
    std::uint16_t address = 0;
    std::uint16_t count = 0;            // values asked for or written: 1 for the single writes
    std::uint16_t value = 0;            // the single writes: the value field
    std::uint8_t byteCount = 0;         // the multiple writes: the byte count field
    std::span<const std::uint8_t> data; // the multiple writes: the bytes after the byte count
};

// The table a served function reads or writes, and whether it writes.
Table TableOf(std::uint8_t function);
bool IsWrite(std::uint8_t function);

// What is wrong with a served request's quantities (kIllegalDataValue: a
// count outside the function's limits, a byte count that does not match
// it, a coil value other than 0x0000 and 0xFF00) or its extent
// (kIllegalDataAddress: past address 65535); 0 when nothing is.
std::uint8_t RequestProblem(const Request &request);

// The values a write carries: registers as numbers, coils as 0 or 1, in
// address order (the request must have passed RequestProblem).
std::vector<std::uint16_t> WrittenRegisters(const Request &request);
std::vector<std::uint8_t> WrittenCoils(const Request &request);

// The fields of a request frame whose header is `headerLength` bytes long
// (the MBAP header's 7); fields past the end read as 0.
Request DecodeRequest(std::span<const std::uint8_t> adu, std::size_t headerLength);

// Whether the PDU of a served function (from the function code on) is
// exactly as long as its fields say: a request whose length disagrees with
// them is not answered, but its connection closed. Another function's PDU
// may be of any length (it is answered 0x01).
bool PduHasItsShape(std::span<const std::uint8_t> pdu);

} // namespace orvgate
