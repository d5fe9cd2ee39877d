// Whether the bytes waiting on a connection are one request libmodbus can
// take whole, and the limits of a request's quantities.
#include <gtest/gtest.h>

#include <vector>

#include "modbus_frame.h"

namespace orvgate {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An MBAP header (transaction 1, protocol 0, the length of what follows)
// before unit 1 and the PDU.
Bytes Frame(const Bytes &pdu, int lengthAdjust = 0) {
    const auto length = static_cast<std::uint16_t>(pdu.size() + 1 + static_cast<std::size_t>(lengthAdjust));
    Bytes b{0x00, 0x01, 0x00, 0x00, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 0x01};
    b.insert(b.end(), pdu.begin(), pdu.end());
    return b;
}

TEST(ModbusFrame, TellsWholeFramesFromPartsAndFromWhatIsNotModbus) {
    const Bytes read = Frame({0x03, 0x00, 0x10, 0x00, 0x02});
    for (std::size_t n = 0; n < read.size(); ++n) {
        EXPECT_EQ(CheckFrame({read.data(), n}).state, FrameState::Incomplete) << n;
    }
    FrameCheck c = CheckFrame(read);
    EXPECT_EQ(c.state, FrameState::Complete);
    EXPECT_EQ(c.frameBytes, 12u);
    EXPECT_EQ(c.libraryBytes, 12u);

    // Two requests back to back: the first is judged alone.
    Bytes two = read;
    two.insert(two.end(), read.begin(), read.end());
    EXPECT_EQ(CheckFrame(two).frameBytes, 12u);

    const Bytes write = Frame({0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02});
    EXPECT_EQ(CheckFrame(write).state, FrameState::Complete);
    EXPECT_EQ(CheckFrame({write.data(), write.size() - 1}).state, FrameState::Incomplete);

    Bytes notModbus = read;
    notModbus[2] = 0x12;
    EXPECT_EQ(CheckFrame({notModbus.data(), 4}).state, FrameState::Malformed);
    EXPECT_EQ(CheckFrame(Frame({0x03, 0x00, 0x10, 0x00, 0x02}, 1)).state, FrameState::Malformed);
    EXPECT_EQ(CheckFrame(Frame({0x03, 0x00, 0x10, 0x00, 0x02}, -1)).state, FrameState::Malformed);
    // A byte count that would have libmodbus read past the frame.
    EXPECT_EQ(CheckFrame(Frame({0x10, 0x00, 0x00, 0x00, 0x02, 0x40, 0x00, 0x01})).state, FrameState::Malformed);
    EXPECT_EQ(CheckFrame(Frame({0x83, 0x02})).state, FrameState::Malformed);              // an exception response
    EXPECT_EQ(CheckFrame(Bytes{0, 1, 0, 0, 0x01, 0x00, 1}).state, FrameState::Malformed); // longer than 260
}

TEST(ModbusFrame, LetsAnotherFunctionCarryBytesLibmodbusDoesNotRead) {
    // Read device identification: libmodbus takes the function code only.
    const FrameCheck c = CheckFrame(Frame({0x2B, 0x0E, 0x01, 0x00}));
    EXPECT_EQ(c.state, FrameState::Complete);
    EXPECT_EQ(c.frameBytes, 11u);
    EXPECT_EQ(c.libraryBytes, 8u);
    EXPECT_FALSE(IsServedFunction(0x2B));
}

TEST(ModbusFrame, ChecksQuantitiesThenExtent) {
    const Bytes pdu{0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02};
    const Bytes adu = Frame(pdu);
    Request r = DecodeRequest(adu, kHeaderBytes);
    EXPECT_EQ(r.unit, 1);
    EXPECT_EQ(r.function, kWriteMultipleRegisters);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(RequestProblem(r), 0);
    EXPECT_EQ(WrittenRegisters(r), (std::vector<std::uint16_t>{1, 2}));

    r.byteCount = 3;
    EXPECT_EQ(RequestProblem(r), kIllegalDataValue);
    Request read;
    read.function = kReadCoils;
    read.count = 2001;
    EXPECT_EQ(RequestProblem(read), kIllegalDataValue);
    read.count = 2000;
    read.address = 63537;
    EXPECT_EQ(RequestProblem(read), kIllegalDataAddress);
    read.address = 63536;
    EXPECT_EQ(RequestProblem(read), 0);
    Request coil;
    coil.function = kWriteSingleCoil;
    coil.count = 1;
    coil.value = 0x00FF;
    EXPECT_EQ(RequestProblem(coil), kIllegalDataValue);
}

} // namespace
} // namespace orvgate
