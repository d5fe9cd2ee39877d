// Requests of a map's clients: answers from the cache in every value kind,
// exceptions in the protocol's order, and writes turned into jobs.
#include <gtest/gtest.h>

#include <array>

#include "modbus/request_router.h"
#include "offline_map.h"
#include "scan/scan_plan.h"
#include "scan/value_cache.h"

namespace orvgate {
namespace {

using namespace std::chrono_literals;

class MapRouterTest : public ::testing::Test {
  protected:
    MapRouterTest()
        : map_("channel 1 a.int\n"
               "holding 1 0 01V0001 4 int16 rw\n"             // 0: holding 0..3
               "holding 1 4 01V0010 2 uint16 rw\n"            // 1: holding 4..5
               "holding 1 10 01D0007 2 float high-first rw\n" // 2: holding 10..13
               "input 1 0 01L0001 2 uint32 low-first\n"       // 3: input 0..3
               "coils 1 0 01V00643 4 bits rw\n"               // 4: coils 0..3, bits 3..6 of V100
               "coils 1 10 01Y0001 3 points rw\n"             // 5: coils 10..12
               "discrete 1 0 01X0001 2 points\n"              // 6: never read
               "holding 2 0 01V0001 1 int16\n"),              // 7: read-only
          ranges_(map_.ranges.value_or(std::vector<CheckedRange>{})), plan_(BuildScanPlan(ranges_)),
          cache_(Sizes(plan_)), start_(Clock::now()) {
        for (auto &table : {&coils_, &discrete_}) {
            table->fill(9);
        }
    }

    void SetUp() override {
        ASSERT_TRUE(map_.ranges) << map_.error;
        Put(0, {0x0001, 0x8000, 0xFFFF, 0x1234});
        Put(1, {7, 8});
        Put(2, {0xC0200000, 0x3F800000}); // -2.5, 1.0
        Put(3, {0x89ABCDEF, 0x00000001});
        Put(4, {0x0028}); // bits 3 and 5
        Put(5, {0x01, 0xFE, 0xFF});
    }

    static std::vector<std::int32_t> Sizes(const ScanPlan &plan) {
        std::vector<std::int32_t> sizes;
        for (const ScanBlock &b : plan.blocks) {
            sizes.push_back(b.span.units);
        }
        return sizes;
    }

    void Put(std::size_t range, std::vector<std::uint32_t> values) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const ValuePlace p = PlaceOf(plan_.pieces[range], static_cast<std::int32_t>(i));
            cache_.Refresh(p.block, p.offset, std::span<const std::uint32_t>(&values[i], 1), start_);
        }
    }

    Routed Route(std::uint8_t function, std::uint16_t address, std::uint16_t count, std::uint8_t unit = 1,
                 std::vector<std::uint8_t> data = {}, bool readOnly = false,
                 Clock::duration later = Clock::duration(0)) {
        const PointValues values(ranges_, plan_, cache_, 100ms, readOnly);
        const MapRouter router(values, 247, [] { return std::vector<std::uint16_t>{1, 2, 3}; });
        data_ = std::move(data);
        Request r;
        r.unit = unit;
        r.function = function;
        r.address = address;
        r.count = count;
        if (function == kWriteSingleCoil || function == kWriteSingleRegister) {
            r.value = count;
            r.count = 1;
        }
        r.byteCount = static_cast<std::uint8_t>(data_.size());
        r.data = data_;
        Tables tables{coils_, discrete_, holding_, input_};
        return router.Route(r, start_ + later, tables);
    }

    test::OfflineMap map_;
    std::vector<CheckedRange> ranges_;
    ScanPlan plan_;
    ValueCache cache_;
    Clock::time_point start_;
    std::vector<std::uint8_t> data_;
    std::array<std::uint8_t, 0x10000> coils_{};
    std::array<std::uint8_t, 0x10000> discrete_{};
    std::array<std::uint16_t, 0x10000> holding_{};
    std::array<std::uint16_t, 0x10000> input_{};
};

TEST_F(MapRouterTest, AnswersEveryKindFromTheCache) {
    ASSERT_EQ(Route(kReadHoldingRegisters, 0, 6).kind, Routed::Kind::Reply);
    EXPECT_EQ((std::vector<std::uint16_t>(holding_.begin(), holding_.begin() + 6)),
              (std::vector<std::uint16_t>{0x0001, 0x8000, 0xFFFF, 0x1234, 7, 8}));

    ASSERT_EQ(Route(kReadHoldingRegisters, 10, 4).kind, Routed::Kind::Reply);
    EXPECT_EQ((std::vector<std::uint16_t>(holding_.begin() + 10, holding_.begin() + 14)),
              (std::vector<std::uint16_t>{0xC020, 0x0000, 0x3F80, 0x0000}));

    ASSERT_EQ(Route(kReadInputRegisters, 1, 3).kind, Routed::Kind::Reply); // from the high half of the first
    EXPECT_EQ((std::vector<std::uint16_t>(input_.begin() + 1, input_.begin() + 4)),
              (std::vector<std::uint16_t>{0x89AB, 0x0001, 0x0000}));

    ASSERT_EQ(Route(kReadCoils, 0, 4).kind, Routed::Kind::Reply);
    EXPECT_EQ((std::vector<std::uint8_t>(coils_.begin(), coils_.begin() + 4)), (std::vector<std::uint8_t>{1, 0, 1, 0}));
    // A discrete element is a byte whose bit 0 is the point.
    ASSERT_EQ(Route(kReadCoils, 10, 3).kind, Routed::Kind::Reply);
    EXPECT_EQ((std::vector<std::uint8_t>(coils_.begin() + 10, coils_.begin() + 13)),
              (std::vector<std::uint8_t>{1, 0, 1}));
    EXPECT_EQ(coils_[13], 9) << "an entry the request did not name was written";
}

TEST_F(MapRouterTest, ThePointsAreWhatBothFrontEndsServe) {
    const PointValues values(ranges_, plan_, cache_, 100ms, false);
    const PointValues::Snapshot now = values.Look(start_ + 40ms);
    const PointReading bit = now.Get(4, 2); // bit 5 of V100
    ASSERT_TRUE(bit.Fresh());
    EXPECT_EQ(bit.raw, 1u);
    EXPECT_EQ(bit.freshUntil, start_ + 100ms) << "read at start_, served as good for the ceiling";
    EXPECT_EQ(now.Get(5, 1).raw, 0u) << "a discrete element 0xFE: its point is bit 0";
    EXPECT_EQ(now.Get(2, 0).raw, 0xC0200000u);
    EXPECT_FALSE(values.Look(start_ + 101ms).Get(0, 0).Fresh()) << "older than the ceiling";
    EXPECT_FALSE(now.Get(0, 4).Fresh()) << "past the range";
    EXPECT_EQ(values.PointOfReadBack(4, 2, 0x0020), 1u);
}

TEST_F(MapRouterTest, RefusesInTheProtocolsOrder) {
    EXPECT_EQ(Route(0x07, 0, 1, 9).exception, kIllegalFunction);
    EXPECT_EQ(Route(0x17, 0, 1).exception, kIllegalFunction);
    EXPECT_EQ(Route(kReadHoldingRegisters, 0, 1, 9).exception, kGatewayPathUnavailable); // nothing at unit 9
    EXPECT_EQ(Route(kReadHoldingRegisters, 0, 126).exception, kIllegalDataValue);
    EXPECT_EQ(Route(kReadHoldingRegisters, 0xFFFF, 2).exception, kIllegalDataAddress);
    EXPECT_EQ(Route(kReadHoldingRegisters, 4, 3).exception, kIllegalDataAddress);                       // 6 is unmapped
    EXPECT_EQ(Route(kReadInputRegisters, 10, 1).exception, kIllegalDataAddress);                        // other table
    EXPECT_EQ(Route(kReadDiscreteInputs, 0, 2).exception, kGatewayTargetFailed);                        // never read
    EXPECT_EQ(Route(kReadHoldingRegisters, 0, 1, 1, {}, false, 101ms).exception, kGatewayTargetFailed); // too old
    EXPECT_EQ(Route(kReadHoldingRegisters, 0, 1, 1, {}, false, 100ms).kind, Routed::Kind::Reply);
    // Withdrawn: the controller refused the block (0x04), or did not answer (0x0B).
    cache_.Withdraw(PlaceOf(plan_.pieces[2], 1).block, Availability::Refused);
    EXPECT_EQ(Route(kReadHoldingRegisters, 12, 2).exception, kServerDeviceFailure);
    cache_.Withdraw(PlaceOf(plan_.pieces[2], 1).block, Availability::Unavailable);
    EXPECT_EQ(Route(kReadHoldingRegisters, 12, 2).exception, kGatewayTargetFailed);
}

TEST_F(MapRouterTest, TurnsWritesIntoStepsPerRange) {
    // Holding 2..5 cross from the int16 range into the uint16 one.
    Routed r = Route(kWriteMultipleRegisters, 2, 4, 1, {0x00, 0x05, 0xFF, 0xFE, 0x00, 0x07, 0x00, 0x08});
    ASSERT_EQ(r.kind, Routed::Kind::Queue);
    ASSERT_EQ(r.job->writes.size(), 2u);
    EXPECT_EQ(r.job->writes[0].range, 0u);
    EXPECT_EQ(r.job->writes[0].firstValue, 2);
    EXPECT_EQ(r.job->writes[0].values, (std::vector<std::uint32_t>{0x0005, 0xFFFE}));
    EXPECT_EQ(r.job->writes[1].range, 1u);
    EXPECT_EQ(r.job->writes[1].firstValue, 0);
    EXPECT_EQ(r.job->writes[1].values, (std::vector<std::uint32_t>{7, 8}));

    r = Route(kWriteMultipleRegisters, 12, 2, 1, {0xC0, 0x20, 0x00, 0x00});
    ASSERT_EQ(r.job->writes.size(), 1u);
    EXPECT_EQ(r.job->writes[0].firstValue, 1);
    EXPECT_EQ(r.job->writes[0].values, (std::vector<std::uint32_t>{0xC0200000}));
    // The audit line's account of a step: each point's value before, as the cache holds it, and after.
    const PointValues values(ranges_, plan_, cache_, 100ms, false);
    EXPECT_EQ(values.DescribeStep(r.job->writes[0], values.Look(start_)), "channel 1 secondary 1 01D0007+1: 1 -> -2.5");

    // Coils 1..3 are bits 4..6: bit 4 on, 5 off, 6 on.
    r = Route(kWriteMultipleCoils, 1, 3, 1, {0x05});
    ASSERT_EQ(r.job->writes.size(), 1u);
    EXPECT_EQ(r.job->writes[0].setBits, 0x0050);
    EXPECT_EQ(r.job->writes[0].clearBits, 0x0020);
    EXPECT_EQ(values.DescribeStep(r.job->writes[0], values.Look(start_)),
              "channel 1 secondary 1 01V00643+1: 0 -> 1 01V00643+2: 1 -> 0 01V00643+3: 0 -> 1");
    EXPECT_EQ(values.DescribeStep(r.job->writes[0], values.Look(start_ + 101ms)),
              "channel 1 secondary 1 01V00643+1: unknown -> 1 01V00643+2: unknown -> 0 01V00643+3: unknown -> 1")
        << "too old to be served: unknown";

    r = Route(kWriteSingleCoil, 11, 0xFF00);
    ASSERT_EQ(r.job->writes.size(), 1u);
    EXPECT_EQ(r.job->writes[0].firstValue, 1);
    EXPECT_EQ(r.job->writes[0].values, (std::vector<std::uint32_t>{1}));
}

TEST_F(MapRouterTest, WritesOnlyWholeValuesWhereTheMapAllows) {
    EXPECT_EQ(Route(kWriteSingleRegister, 11, 1).exception, kIllegalDataAddress);             // half a float
    EXPECT_EQ(Route(kWriteSingleRegister, 0, 1, 2).exception, kIllegalDataAddress);           // not rw
    EXPECT_EQ(Route(kWriteSingleRegister, 0, 1, 1, {}, true).exception, kIllegalDataAddress); // --read-only
    EXPECT_EQ(Route(kWriteSingleRegister, 6, 1).exception, kIllegalDataAddress);              // unmapped
    EXPECT_EQ(Route(kWriteSingleCoil, 11, 0x1234).exception, kIllegalDataValue);
    EXPECT_EQ(Route(kWriteMultipleRegisters, 0, 2, 1, {0, 1, 0}).exception, kIllegalDataValue); // byte count
}

TEST_F(MapRouterTest, ServesTheStatisticsAsInputRegisters) {
    ASSERT_EQ(Route(kReadInputRegisters, 1, 2, 247).kind, Routed::Kind::Reply);
    EXPECT_EQ(input_[1], 2);
    EXPECT_EQ(input_[2], 3);
    EXPECT_EQ(Route(kReadInputRegisters, 2, 2, 247).exception, kIllegalDataAddress);
    EXPECT_EQ(Route(kReadHoldingRegisters, 0, 1, 247).exception, kIllegalDataAddress);
}

} // namespace
} // namespace orvgate
