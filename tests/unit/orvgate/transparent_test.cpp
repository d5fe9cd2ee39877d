// The transparent default: which secondary, region and element a request
// reaches, and what it may do there.
#include <gtest/gtest.h>

#include <array>

#include "modbus/transparent.h"

namespace orvgate {
namespace {

struct Fixture {
    std::array<std::uint8_t, 0x10000> coils{};
    std::array<std::uint8_t, 0x10000> discrete{};
    std::array<std::uint16_t, 0x10000> holding{};
    std::array<std::uint16_t, 0x10000> input{};
    Tables tables{coils, discrete, holding, input};
    std::vector<std::uint8_t> data;

    Routed Route(bool writable, std::uint8_t unit, std::uint8_t function, std::uint16_t address, std::uint16_t count,
                 std::vector<std::uint8_t> bytes = {}) {
        const TransparentRouter router(writable, 247, nullptr);
        data = std::move(bytes);
        Request r;
        r.unit = unit;
        r.function = function;
        r.address = address;
        r.count = count;
        r.byteCount = static_cast<std::uint8_t>(data.size());
        r.data = data;
        return router.Route(r, Clock::now(), tables);
    }
};

TEST(Transparent, UnitIsTheSecondaryAndAddressNIsElementNPlusOne) {
    Fixture f;
    const std::array<std::pair<std::uint8_t, char>, 4> letters{
        {{kReadCoils, 'Y'}, {kReadDiscreteInputs, 'X'}, {kReadHoldingRegisters, 'V'}, {kReadInputRegisters, 'W'}}};
    for (const auto &[function, letter] : letters) {
        const Routed r = f.Route(false, 31, function, 99, 3);
        ASSERT_EQ(r.kind, Routed::Kind::Queue);
        EXPECT_EQ(r.job->channel, kTransparentChannel);
        ASSERT_EQ(r.job->transfers.size(), 1u);
        EXPECT_EQ(r.job->transfers[0].secondary, 31);
        EXPECT_EQ(r.job->transfers[0].address, std::string("1F") + letter + "0064");
        EXPECT_EQ(r.job->transfers[0].count, 3);
        EXPECT_FALSE(r.job->transfers[0].write);
    }
    // More than the driver moves at once: one transfer a block, 128 words or 256 discrete points.
    const Routed words = f.Route(false, 1, kReadHoldingRegisters, 0, 125);
    ASSERT_EQ(words.job->transfers.size(), 1u);
    const Routed points = f.Route(false, 1, kReadCoils, 0, 2000);
    ASSERT_EQ(points.job->transfers.size(), 8u);
    EXPECT_EQ(points.job->transfers[7].address, "01Y0701");
    EXPECT_EQ(points.job->transfers[7].count, 2000 - 7 * 256);
    EXPECT_EQ(TransparentInitText(0xD000), "D000;800\nW;09;2;1\n");
}

TEST(Transparent, RefusesWhatItCannotReach) {
    Fixture f;
    EXPECT_EQ(f.Route(false, 0, kReadHoldingRegisters, 0, 1).exception, kGatewayPathUnavailable);
    EXPECT_EQ(f.Route(false, 32, kReadHoldingRegisters, 0, 1).exception, kGatewayPathUnavailable);
    EXPECT_EQ(f.Route(false, 1, kReadHoldingRegisters, 0xFFFE, 1).kind, Routed::Kind::Queue); // element FFFF
    EXPECT_EQ(f.Route(false, 1, kReadHoldingRegisters, 0xFFFF, 1).exception, kIllegalDataAddress);
    EXPECT_EQ(f.Route(false, 1, kWriteSingleRegister, 0, 1).exception, kIllegalDataAddress); // not --writable
}

TEST(Transparent, WritesWithWritableAndAnswersReadsFromTheJob) {
    Fixture f;
    Routed r = f.Route(true, 2, kWriteMultipleCoils, 4, 3, {0x05});
    ASSERT_EQ(r.kind, Routed::Kind::Queue);
    ASSERT_EQ(r.job->transfers.size(), 1u);
    EXPECT_EQ(r.job->transfers[0].address, "02Y0005");
    EXPECT_TRUE(r.job->transfers[0].write);
    EXPECT_EQ(r.job->transfers[0].values, (std::vector<std::uint32_t>{1, 0, 1}));

    const TransparentRouter router(false, 247, nullptr);
    Request read;
    read.function = kReadDiscreteInputs;
    read.address = 10;
    read.count = 3;
    Job done;
    done.values = {0xFF, 0xFE, 0x01};
    router.Complete(read, done, f.tables);
    EXPECT_EQ((std::vector<std::uint8_t>(f.discrete.begin() + 10, f.discrete.begin() + 13)),
              (std::vector<std::uint8_t>{1, 0, 1}));
}

} // namespace
} // namespace orvgate
