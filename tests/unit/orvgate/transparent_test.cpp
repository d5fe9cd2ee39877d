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
        ASSERT_TRUE(r.job->direct);
        EXPECT_EQ(r.job->direct->channel, kTransparentChannel);
        EXPECT_EQ(r.job->direct->secondary, 31);
        EXPECT_EQ(r.job->direct->letter, letter);
        EXPECT_EQ(r.job->direct->element, 100u);
        EXPECT_EQ(r.job->direct->count, 3);
        EXPECT_FALSE(r.job->direct->write);
    }
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
    EXPECT_EQ(r.job->direct->letter, 'Y');
    EXPECT_TRUE(r.job->direct->write);
    EXPECT_EQ(r.job->direct->values, (std::vector<std::uint32_t>{1, 0, 1}));

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
