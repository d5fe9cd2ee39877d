// A connection's bytes cut into request frames by their MBAP headers, the
// shape a served function's PDU must have, and the limits of a request's
// quantities.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "modbus/mbap_stream.h"
#include "modbus/modbus_request.h"

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

void Feed(MbapStream &s, const Bytes &bytes) {
    const std::span<std::uint8_t> room = s.Room();
    ASSERT_GE(room.size(), bytes.size());
    std::memcpy(room.data(), bytes.data(), bytes.size());
    s.Appended(bytes.size());
}

TEST(MbapStream, CutsFramesByTheirHeadersWhateverPiecesTheyComeIn) {
    const Bytes read = Frame({0x03, 0x00, 0x10, 0x00, 0x02});
    Bytes two = read;
    two.insert(two.end(), read.begin(), read.end());
    two.push_back(0x00); // the next frame begun
    MbapStream s;
    std::span<const std::uint8_t> frame;
    for (std::size_t n = 0; n < read.size() - 1; ++n) {
        Feed(s, {two[n]});
        EXPECT_EQ(s.Take(frame), MbapStream::Next::NeedMore) << n;
    }
    Feed(s, Bytes(two.begin() + static_cast<std::ptrdiff_t>(read.size() - 1), two.end()));
    ASSERT_EQ(s.Take(frame), MbapStream::Next::Frame);
    EXPECT_EQ(Bytes(frame.begin(), frame.end()), read);
    ASSERT_EQ(s.Take(frame), MbapStream::Next::Frame);
    EXPECT_EQ(Bytes(frame.begin(), frame.end()), read);
    EXPECT_EQ(s.Take(frame), MbapStream::Next::NeedMore);
    EXPECT_TRUE(s.Partial());

    // Not Modbus (protocol 0x5A00), a length below unit and function, a frame over 260 bytes.
    for (const Bytes &bad : {Bytes{0, 1, 0x5A, 0, 0, 6}, Frame({}), Bytes{0, 1, 0, 0, 0x01, 0x00, 1}}) {
        MbapStream t;
        Feed(t, bad);
        EXPECT_EQ(t.Take(frame), MbapStream::Next::Malformed);
    }
}

TEST(ModbusRequest, AServedFunctionsFieldsMustFillItsFrameExactly) {
    auto shape = [](const Bytes &pdu) { return PduHasItsShape(pdu); };
    EXPECT_TRUE(shape({0x03, 0x00, 0x10, 0x00, 0x02}));
    EXPECT_FALSE(shape({0x03, 0x00, 0x10, 0x00}));
    EXPECT_FALSE(shape({0x03, 0x00, 0x10, 0x00, 0x02, 0x00}));
    EXPECT_TRUE(shape({0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02}));
    EXPECT_FALSE(shape({0x10, 0x00, 0x00, 0x00, 0x02, 0x40, 0x00, 0x01})); // a byte count past the frame
    EXPECT_FALSE(shape({0x0F, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(shape({0x2B, 0x0E, 0x01, 0x00})); // another function: answered 0x01 whatever it carries
}

TEST(ModbusRequest, ChecksQuantitiesThenExtent) {
    const Bytes pdu{0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02};
    const Bytes adu = Frame(pdu);
    Request r = DecodeRequest(adu, kMbapHeaderBytes);
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
