// The Modbus TCP requests as the server meets them: whether the bytes a
// connection holds make one whole request that libmodbus can take without
// waiting or reading into the next one, and the fields of a request that
// libmodbus received. Frames themselves are received and sent by libmodbus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "gate_map.h"

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
inline constexpr std::uint8_t kGatewayTargetFailed = 0x0B;

// The MBAP header and the largest frame of Modbus TCP.
inline constexpr std::size_t kHeaderBytes = 7;
inline constexpr std::size_t kMaxFrameBytes = 260;

enum class FrameState {
    Incomplete, // more bytes must come
    Complete,   // frameBytes bytes are one request
    Malformed   // not a request this server can take: close the connection
};

struct FrameCheck {
    FrameState state = FrameState::Incomplete;
    std::size_t frameBytes = 0;   // the frame, as its header gives its length
    std::size_t libraryBytes = 0; // what libmodbus reads of it; the rest follows unread
};

// Judges the first bytes waiting on a connection (a peek of up to
// kMaxFrameBytes). libmodbus reads a request by what its function code
// implies, not by the header's length: a frame where the two disagree so
// that libmodbus would read past it, or a served function's frame where
// they disagree at all, is malformed. Another function's frame may carry
// more bytes than libmodbus reads (the server drops them and answers that
// the function is not served).
FrameCheck CheckFrame(std::span<const std::uint8_t> bytes);

// A request as libmodbus received it.
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

// The fields of a request of `length` bytes whose header is `headerLength`
// bytes long (modbus_get_header_length); fields past the end read as 0.
Request DecodeRequest(std::span<const std::uint8_t> adu, std::size_t headerLength);

} // namespace orvgate
