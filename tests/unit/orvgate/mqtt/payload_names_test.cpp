// The payload and naming rules: each datatype in its field, signed values
// sign-extended, commands decoded within bounds and checked against their
// metric, ids and names checked with the map line, aliases unique.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "mqtt/commands.h"
#include "mqtt/names.h"
#include "mqtt/payload.h"
#include "mqtt/settings.h"
#include "sparkplug_b.pb.h"

namespace orvgate::mqtt {
namespace {

using Payload = orvgate::sparkplug::Payload;

MetricDef Def(Datatype type, bool writable = true) {
    MetricDef s;
    s.name = "m";
    s.type = type;
    s.writable = writable;
    return s;
}

TEST(MqttPayload, EachDatatypeTravelsInTheFieldDecodersReadItFrom) {
    PayloadBuilder b(1000, 5);
    const PointValue good{PointValue::State::Good, 0, 900};
    auto add = [&](Datatype t, std::uint32_t raw, bool withName = false) {
        PointValue v = good;
        v.raw = raw;
        b.AddPoint(Def(t), 40, withName, v);
    };
    add(Datatype::Int16, 0x0000FFFF, true);
    add(Datatype::Int16, 0x00008000);
    add(Datatype::UInt16, 0x0000FFFF);
    add(Datatype::Int32, 0xFFFFFFFE);
    add(Datatype::UInt32, 0xFFFFFFFF);
    add(Datatype::Float, std::bit_cast<std::uint32_t>(-0.25f));
    add(Datatype::Boolean, 1);
    b.AddPoint(Def(Datatype::Int16), 41, false, PointValue{PointValue::State::Failed, 0x1234, 0});

    Payload p;
    ASSERT_TRUE(p.ParseFromString(b.Serialize()));
    EXPECT_EQ(p.timestamp(), 1000u);
    EXPECT_EQ(p.seq(), 5u);
    ASSERT_EQ(p.metrics_size(), 8);
    EXPECT_EQ(p.metrics(0).name(), "m");
    EXPECT_FALSE(p.metrics(1).has_name()) << "data messages carry the alias alone";
    EXPECT_EQ(p.metrics(1).alias(), 40u);
    EXPECT_EQ(p.metrics(1).datatype(), 2u);
    EXPECT_EQ(p.metrics(1).timestamp(), 900u);
    EXPECT_EQ(p.metrics(0).int_value(), 0xFFFFFFFFu) << "-1 is sent sign-extended";
    EXPECT_EQ(p.metrics(1).int_value(), 0xFFFF8000u);
    EXPECT_EQ(p.metrics(2).int_value(), 0xFFFFu);
    EXPECT_EQ(p.metrics(3).int_value(), 0xFFFFFFFEu);
    EXPECT_EQ(p.metrics(4).value_case(), Payload::Metric::kIntValue) << "a protobuf uint32";
    EXPECT_EQ(p.metrics(4).int_value(), 0xFFFFFFFFu);
    EXPECT_EQ(p.metrics(5).float_value(), -0.25f);
    EXPECT_TRUE(p.metrics(6).boolean_value());
    EXPECT_TRUE(p.metrics(7).is_null());
    EXPECT_EQ(p.metrics(7).value_case(), Payload::Metric::VALUE_NOT_SET);
    EXPECT_EQ(p.metrics(7).timestamp(), 1000u) << "a null gets the message's time";

    PayloadBuilder older(1000, 6, true); // for hosts that read UInt32 from long_value
    older.AddPoint(Def(Datatype::UInt32), 40, false, PointValue{PointValue::State::Good, 4000000000u, 900});
    ASSERT_TRUE(p.ParseFromString(older.Serialize()));
    EXPECT_EQ(p.metrics(0).long_value(), 4000000000u);
}

TEST(MqttPayload, CommandsDecodeWithinTheirBoundsWhateverTheBytes) {
    Payload p;
    Payload::Metric *m = p.add_metrics();
    m->set_alias(3);
    m->set_datatype(9);
    m->set_float_value(1.5f);
    m = p.add_metrics();
    m->set_name("Node Control/Rebirth");
    m->set_boolean_value(true);
    const std::string bytes = p.SerializeAsString();
    std::vector<CommandMetric> out;
    std::string error;
    ASSERT_TRUE(DecodeCommand(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size(), out, error));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].alias, 3u);
    EXPECT_EQ(out[0].field, CommandMetric::Field::Float);
    EXPECT_EQ(out[0].real32, 1.5f);
    EXPECT_TRUE(IsRebirthRequest(out[1]));
    out[1].integer = 0;
    EXPECT_FALSE(IsRebirthRequest(out[1]));

    const std::uint8_t garbage[] = {0x12, 0x7f, 0x01};
    EXPECT_FALSE(DecodeCommand(garbage, sizeof garbage, out, error));
    Payload many;
    for (std::size_t i = 0; i <= kMaxCommandMetrics; ++i) {
        many.add_metrics()->set_alias(i);
    }
    const std::string big = many.SerializeAsString();
    EXPECT_FALSE(DecodeCommand(reinterpret_cast<const std::uint8_t *>(big.data()), big.size(), out, error));
    EXPECT_TRUE(out.empty());
}

TEST(MqttCommands, AValueIsWrittenOnlyWhenItFitsTheMetricsType) {
    auto check = [](Datatype t, CommandMetric::Field f, std::uint64_t v, std::uint32_t *raw = nullptr) {
        CommandMetric c;
        c.field = f;
        c.integer = v;
        std::uint32_t r = 0;
        const CommandCheck result = CheckCommand(Def(t), c, r);
        if (raw != nullptr) {
            *raw = r;
        }
        return result;
    };
    using F = CommandMetric::Field;
    std::uint32_t raw = 0;
    EXPECT_EQ(check(Datatype::Int16, F::Int, 0xFFFF8000u, &raw), CommandCheck::Write);
    EXPECT_EQ(raw, 0x8000u);
    EXPECT_EQ(check(Datatype::Int16, F::Int, 32767), CommandCheck::Write);
    EXPECT_EQ(check(Datatype::Int16, F::Int, 32768), CommandCheck::OutOfRange);
    EXPECT_EQ(check(Datatype::Int16, F::Int, 0xFFFF7FFFu), CommandCheck::OutOfRange);
    EXPECT_EQ(check(Datatype::Int16, F::Long, 1), CommandCheck::WrongType);
    EXPECT_EQ(check(Datatype::UInt16, F::Int, 65535), CommandCheck::Write);
    EXPECT_EQ(check(Datatype::UInt16, F::Int, 65536), CommandCheck::OutOfRange);
    EXPECT_EQ(check(Datatype::UInt32, F::Long, 0xFFFFFFFFu), CommandCheck::Write);
    EXPECT_EQ(check(Datatype::UInt32, F::Long, 0x100000000u), CommandCheck::OutOfRange);
    EXPECT_EQ(check(Datatype::Int32, F::Int, 0x80000000u, &raw), CommandCheck::Write);
    EXPECT_EQ(raw, 0x80000000u);
    EXPECT_EQ(check(Datatype::Boolean, F::Int, 1), CommandCheck::WrongType);
    EXPECT_EQ(check(Datatype::Boolean, F::Boolean, 1, &raw), CommandCheck::Write);
    EXPECT_EQ(raw, 1u);

    CommandMetric c;
    c.field = F::Float;
    c.real32 = std::nanf("");
    EXPECT_EQ(CheckCommand(Def(Datatype::Float), c, raw), CommandCheck::OutOfRange);
    c.real32 = 3.0f;
    c.datatype = 10; // says Double
    EXPECT_EQ(CheckCommand(Def(Datatype::Float), c, raw), CommandCheck::WrongType);
    c.datatype.reset();
    c.isNull = true;
    EXPECT_EQ(CheckCommand(Def(Datatype::Float), c, raw), CommandCheck::NoValue);
    c.isNull = false;
    EXPECT_EQ(CheckCommand(Def(Datatype::Float, false), c, raw), CommandCheck::ReadOnly);
}

TEST(MqttNames, TopicsFollowTheNamespace) {
    EXPECT_EQ(NodeTopic(NodeMessage::NBIRTH, "G", "E"), "spBv1.0/G/NBIRTH/E");
    EXPECT_EQ(DeviceTopic(DeviceMessage::DDEATH, "G", "E", "D"), "spBv1.0/G/DDEATH/E/D");
    EXPECT_EQ(DeviceCommandFilter("G", "E"), "spBv1.0/G/DCMD/E/+");
    EXPECT_EQ(HostStateTopic("H"), "spBv1.0/STATE/H");
}

TEST(MqttNames, IdsAndNamesAreRefusedForWhatWouldBreakATopicOrATagBrowser) {
    EXPECT_EQ(NameProblem("Pump 1 (Nord) é", 128), "");
    EXPECT_NE(NameProblem("", 128), "");
    EXPECT_NE(NameProblem("a+b", 128), "");
    EXPECT_NE(NameProblem("a/b", 128), "");
    EXPECT_NE(NameProblem("a#", 128), "");
    EXPECT_NE(NameProblem("a\tb", 128), "");
    EXPECT_NE(NameProblem("a\xc2\x85", 128), "") << "a C1 control character";
    EXPECT_NE(NameProblem("\xc3", 128), "") << "cut UTF-8";
    EXPECT_NE(NameProblem("\xc0\xaf", 128), "") << "an overlong '/'";
    EXPECT_NE(NameProblem(std::string(129, 'a'), 128), "");
}

TEST(MqttNames, TheModelsProblemsNameTheirMapLine) {
    EdgeModel model;
    DeviceDef d;
    d.id = "plc1";
    d.line = 3;
    d.metrics = {{"Level", Datatype::Float, false, 0, 4, 0}, {"LEVEL", Datatype::Int16, false, 0, 7, 1}};
    model.devices = {d};
    std::string error;
    EXPECT_FALSE(CheckModel(model, error));
    EXPECT_EQ(error, "line 7: metric name \"LEVEL\" of device \"plc1\" differs only in case from \"Level\" (line 4)");

    model.devices[0].metrics[1].name = "V+1";
    EXPECT_FALSE(CheckModel(model, error));
    EXPECT_EQ(error.rfind("line 7: metric name \"V+1\"", 0), 0u) << error;
    model.devices[0].metrics[1].name = "V1";
    model.devices[0].metrics[1].type = Datatype::String;
    EXPECT_FALSE(CheckModel(model, error));
    model.devices[0].metrics[1].type = Datatype::Int16;
    EXPECT_TRUE(CheckModel(model, error)) << error;

    DeviceDef twin = d;
    twin.id = "PLC1";
    twin.line = 9;
    model.devices.push_back(twin);
    EXPECT_FALSE(CheckModel(model, error));
    EXPECT_EQ(error.rfind("line 9: device id \"PLC1\" differs only in case", 0), 0u) << error;

    EdgeSettings s;
    s.groupId = "Plant/North";
    s.groupIdLine = 2;
    s.edgeNodeId = "gw";
    model.devices.pop_back();
    EXPECT_FALSE(CheckSettings(Resolved(s), model, error));
    EXPECT_EQ(error.rfind("line 2: group id \"Plant/North\"", 0), 0u) << error;
    s.groupId = "Plant";
    EXPECT_TRUE(CheckSettings(Resolved(s), model, error)) << error;
    s.passwordFile = "gate.pw";
    EXPECT_FALSE(CheckSettings(Resolved(s), model, error)) << "a password without a user name";
    s.passwordFile.clear();
    s.certFile = "client.pem";
    EXPECT_FALSE(CheckSettings(Resolved(s), model, error));
}

TEST(MqttNames, AliasesAreUniqueAcrossTheNodeAndFoundOnlyOnTheirDevice) {
    EdgeModel model;
    model.devices.resize(2);
    model.devices[0].metrics.resize(3);
    model.devices[1].metrics.resize(2);
    const Aliases a(model);
    EXPECT_EQ(a.Of(0, 0), 1u);
    EXPECT_EQ(a.Of(0, 2), 3u);
    EXPECT_EQ(a.Of(1, 0), 4u);
    EXPECT_EQ(a.NodeAlias(0), 6u);
    std::size_t m = 0;
    EXPECT_TRUE(a.Find(1, 5, m));
    EXPECT_EQ(m, 1u);
    EXPECT_FALSE(a.Find(1, 3, m)) << "device 0's alias";
    EXPECT_FALSE(a.Find(1, 6, m));
    EXPECT_FALSE(a.Find(0, 0, m));
    EXPECT_FALSE(a.Find(2, 1, m));
}

} // namespace
} // namespace orvgate::mqtt
