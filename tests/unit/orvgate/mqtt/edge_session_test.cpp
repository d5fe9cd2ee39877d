// The edge node's session on a fake clock, a fake core and a recording
// transport: what it publishes, in which order, with which seq and bdSeq,
// and what it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>

#include "mqtt/edge_session.h"
#include "mqtt/state_message.h"
#include "sparkplug_b.pb.h"
#include "support/temp_dir.h"
#include "unit/orvgate/mqtt/edge_fakes.h"

namespace orvgate::mqtt {
namespace {

using test::FakeClock;
using test::FakeSource;
using test::FakeTransport;
using Payload = orvgate::sparkplug::Payload;

EdgeModel PlantModel() {
    EdgeModel model;
    DeviceDef a;
    a.id = "plc1";
    a.channel = 1;
    a.secondary = 1;
    a.line = 10;
    a.metrics = {{"V100", Datatype::Int16, true, 0, 11, 0},
                 {"V101", Datatype::UInt16, false, 5, 12, 1},
                 {"Level", Datatype::Float, true, 0, 13, 2},
                 {"Run", Datatype::Boolean, true, 0, 14, 3}};
    DeviceDef b;
    b.id = "plc2";
    b.channel = 2;
    b.secondary = 2;
    b.line = 20;
    b.metrics = {{"D7", Datatype::Int32, false, 0, 21, 4}, {"W2", Datatype::UInt32, true, 0, 22, 5}};
    model.devices = {a, b};
    return model;
}

Payload Decode(const std::string &bytes) {
    Payload p;
    EXPECT_TRUE(p.ParseFromString(bytes));
    return p;
}

const Payload::Metric *Named(const Payload &p, const std::string &name) {
    for (const Payload::Metric &m : p.metrics()) {
        if (m.name() == name) {
            return &m;
        }
    }
    return nullptr;
}

std::string Command(std::uint64_t timestampMs, std::initializer_list<std::function<void(Payload::Metric &)>> metrics) {
    Payload p;
    p.set_timestamp(timestampMs);
    for (const auto &fill : metrics) {
        fill(*p.add_metrics());
    }
    return p.SerializeAsString();
}

class MqttSession : public ::testing::Test {
  protected:
    explicit MqttSession(EdgeSettings s = Settings()) : source(PlantModel()) {
        source.Set(0, 0xFFFF, clock.wall - 10); // V100 = -1
        source.Set(1, 1000, clock.wall - 10);
        source.Set(2, std::bit_cast<std::uint32_t>(2.5f), clock.wall - 10);
        source.Set(3, 1, clock.wall - 10);
        source.Set(4, 7, clock.wall - 10);
        // W2 unread: null in its birth.
        source.node = {NodeMetric{"Scan cycles", Datatype::UInt64, 12, 0, ""}};
        session = std::make_unique<EdgeSession>(
            s, source, transport, clock, [this](LogLevel, const std::string &line) { log.push_back(line); },
            [this](std::uint64_t token, const WriteOutcome &o) { posted.emplace_back(token, o); });
    }
    static EdgeSettings Settings() {
        EdgeSettings s;
        s.groupId = "Plant";
        s.edgeNodeId = "gw1";
        return Resolved(s);
    }
    void Online() {
        session->Start();
        transport.Accept();
        ASSERT_EQ(session->phase(), EdgeSession::Phase::Online);
        session->Tick(); // the history's slice: none
    }
    std::vector<std::string> Topics(std::size_t from = 0) const {
        std::vector<std::string> t;
        for (std::size_t i = from; i < transport.published.size(); ++i) {
            t.push_back(transport.published[i].topic);
        }
        return t;
    }
    Payload Last() const {
        return Decode(transport.published.back().payload);
    }
    void Deliver(const std::string &topic, const std::string &bytes) {
        transport.events->OnMessage(topic, reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    }
    void RunPostedWrites() {
        auto writes = std::move(posted);
        posted.clear();
        for (const auto &[token, outcome] : writes) {
            session->WriteDone(token, outcome);
        }
    }

    FakeClock clock;
    FakeSource source;
    FakeTransport transport;
    std::vector<std::string> log;
    std::vector<std::pair<std::uint64_t, WriteOutcome>> posted;
    std::unique_ptr<EdgeSession> session;
};

TEST_F(MqttSession, ConnectsWithTheDeathAsWillAndSubscribesBeforeAnyBirth) {
    session->Start();
    ASSERT_TRUE(transport.will);
    EXPECT_EQ(transport.will->topic, "spBv1.0/Plant/NDEATH/gw1");
    EXPECT_EQ(transport.will->qos, 1);
    EXPECT_FALSE(transport.will->retain);
    const Payload will = Decode(transport.will->payload);
    EXPECT_FALSE(will.has_seq());
    ASSERT_EQ(will.metrics_size(), 1);
    EXPECT_EQ(will.metrics(0).name(), "bdSeq");
    EXPECT_EQ(will.metrics(0).datatype(), 4u); // Int64
    EXPECT_EQ(will.metrics(0).long_value(), 0u);

    transport.events->OnConnected(0);
    ASSERT_EQ(transport.subscribed.size(), 2u);
    EXPECT_EQ(transport.subscribed[0].filter, "spBv1.0/Plant/NCMD/gw1");
    EXPECT_EQ(transport.subscribed[1].filter, "spBv1.0/Plant/DCMD/gw1/+");
    EXPECT_EQ(transport.subscribed[0].qos, 1);
    transport.events->OnSubscribed(transport.subscribed[0].mid, true);
    EXPECT_TRUE(transport.published.empty()) << "a birth before every SUBACK";
    transport.events->OnSubscribed(transport.subscribed[1].mid, true);
    EXPECT_EQ(session->phase(), EdgeSession::Phase::Online);
}

TEST_F(MqttSession, BirthsHoldEveryMetricWithNameAliasTypeAndValueOrNull) {
    source.alive[1] = false; // plc2: no DBIRTH while it is dead
    Online();
    ASSERT_EQ(Topics(), (std::vector<std::string>{"spBv1.0/Plant/NBIRTH/gw1", "spBv1.0/Plant/DBIRTH/gw1/plc1"}));
    for (const auto &m : transport.published) {
        EXPECT_EQ(m.qos, 0);
        EXPECT_FALSE(m.retain);
    }
    const Payload nbirth = Decode(transport.published[0].payload);
    EXPECT_EQ(nbirth.seq(), 0u);
    EXPECT_EQ(nbirth.timestamp(), clock.wall);
    const Payload::Metric *rebirth = Named(nbirth, "Node Control/Rebirth");
    ASSERT_NE(rebirth, nullptr);
    EXPECT_FALSE(rebirth->has_alias());
    EXPECT_EQ(rebirth->datatype(), 11u);
    EXPECT_FALSE(rebirth->boolean_value());
    ASSERT_NE(Named(nbirth, "bdSeq"), nullptr);
    EXPECT_EQ(Named(nbirth, "bdSeq")->datatype(), 4u);
    const Payload::Metric *cycles = Named(nbirth, "Scan cycles");
    ASSERT_NE(cycles, nullptr);
    EXPECT_EQ(cycles->alias(), 7u) << "after the six device metrics";
    EXPECT_EQ(cycles->long_value(), 12u);
    ASSERT_NE(Named(nbirth, "MQTT/Commands rejected"), nullptr);

    const Payload dbirth = Decode(transport.published[1].payload);
    EXPECT_EQ(dbirth.seq(), 1u);
    ASSERT_EQ(dbirth.metrics_size(), 4);
    const Payload::Metric &v100 = dbirth.metrics(0);
    EXPECT_EQ(v100.name(), "V100");
    EXPECT_EQ(v100.alias(), 1u);
    EXPECT_EQ(v100.datatype(), 2u);
    EXPECT_EQ(v100.timestamp(), clock.wall - 10);
    EXPECT_EQ(static_cast<std::int32_t>(v100.int_value()), -1);
    EXPECT_FLOAT_EQ(dbirth.metrics(2).float_value(), 2.5f);
    EXPECT_TRUE(dbirth.metrics(3).boolean_value());

    // plc2 answers again: its DBIRTH at the end of that cycle, with W2 never read sent as null.
    source.alive[1] = true;
    session->HealthChanged(2);
    session->CycleDone(2);
    EXPECT_EQ(transport.published.back().topic, "spBv1.0/Plant/DBIRTH/gw1/plc2");
    const Payload plc2 = Last();
    EXPECT_EQ(plc2.seq(), 2u);
    EXPECT_TRUE(plc2.metrics(1).is_null());
    EXPECT_EQ(plc2.metrics(1).value_case(), Payload::Metric::VALUE_NOT_SET);
    EXPECT_EQ(plc2.metrics(1).alias(), 6u);
}

TEST_F(MqttSession, ReportsOnlyChangesBeyondTheDeadbandOnceACycle) {
    Online();
    const std::size_t births = transport.published.size();
    session->CycleDone(1);
    EXPECT_EQ(transport.published.size(), births) << "a constant value publishes nothing";

    source.Set(0, 5, clock.wall);
    source.Set(1, 1004, clock.wall); // within V101's deadband of 5
    source.Set(3, 0, clock.wall);
    session->CycleDone(1);
    ASSERT_EQ(transport.published.size(), births + 1);
    EXPECT_EQ(transport.published.back().topic, "spBv1.0/Plant/DDATA/gw1/plc1");
    Payload data = Last();
    ASSERT_EQ(data.metrics_size(), 2);
    EXPECT_FALSE(data.metrics(0).has_name());
    EXPECT_EQ(data.metrics(0).alias(), 1u);
    EXPECT_EQ(data.metrics(0).int_value(), 5u);
    EXPECT_EQ(data.metrics(1).alias(), 4u);
    EXPECT_FALSE(data.metrics(1).boolean_value());

    // The deadband counts from the value last reported, so a slow drift shows.
    source.Set(1, 1006, clock.wall);
    source.values[2].state = PointValue::State::Failed; // its block failed alone
    session->CycleDone(1);
    data = Last();
    ASSERT_EQ(data.metrics_size(), 2);
    EXPECT_EQ(data.metrics(0).int_value(), 1006u);
    EXPECT_EQ(data.metrics(1).alias(), 3u);
    EXPECT_TRUE(data.metrics(1).is_null());
    session->CycleDone(1);
    EXPECT_EQ(transport.published.size(), births + 2) << "a point still failing is not null again";
}

TEST_F(MqttSession, AChangeGoesOutAsItsBlockIsReadAndADeviceSendsAtMostOneDataACycle) {
    Online();
    const std::size_t births = transport.published.size();
    session->CycleDone(1);
    clock.Advance(20);
    session->CycleDone(1); // cycles of 20 ms
    clock.Advance(2);
    source.Set(0, 5, clock.wall);
    session->BlockChanged(1, 1);
    ASSERT_EQ(transport.published.size(), births + 1) << "not held until the cycle ends";
    EXPECT_EQ(Last().metrics(0).alias(), 1u);

    // A second change in the same cycle waits until that DDATA is a cycle old.
    clock.Advance(5);
    source.Set(3, 0, clock.wall);
    session->BlockChanged(1, 1);
    clock.Advance(13);
    session->CycleDone(1);
    EXPECT_EQ(transport.published.size(), births + 1);
    EXPECT_EQ(session->NextTimerMs(), clock.mono + 2);
    clock.Advance(2);
    session->Tick();
    ASSERT_EQ(transport.published.size(), births + 2);
    ASSERT_EQ(Last().metrics_size(), 1);
    EXPECT_EQ(Last().metrics(0).alias(), 4u);
}

TEST_F(MqttSession, ADeviceWithAFastClassSendsOnceItsPeriodNotOnceACycle) {
    source.model.devices[0].fastestPeriodMs = 200; // an alarm class beside a bulk of 2.5 s
    Online();
    const std::size_t births = transport.published.size();
    session->CycleDone(1);
    clock.Advance(2500);
    session->CycleDone(1);
    clock.Advance(2);
    source.Set(0, 5, clock.wall);
    session->BlockChanged(1, 1);
    ASSERT_EQ(transport.published.size(), births + 1);

    clock.Advance(50);
    source.Set(3, 0, clock.wall);
    session->BlockChanged(1, 1);
    EXPECT_EQ(transport.published.size(), births + 1);
    EXPECT_EQ(session->NextTimerMs(), clock.mono + 150) << "the class's period, not the 2.5 s cycle";
    clock.Advance(150);
    session->Tick();
    EXPECT_EQ(transport.published.size(), births + 2);
}

TEST_F(MqttSession, SeqRunsOnThroughEveryMessageAndWrapsButTheDeathHasNone) {
    Online();
    for (std::uint32_t i = 0; i < 300; ++i) {
        source.Set(4, 100 + i, clock.wall);
        session->CycleDone(2);
    }
    session->Stop();
    ASSERT_EQ(transport.published.size(), 3u + 300u + 1u);
    for (std::size_t i = 0; i + 1 < transport.published.size(); ++i) {
        EXPECT_EQ(Decode(transport.published[i].payload).seq(), i % 256) << transport.published[i].topic;
    }
    EXPECT_EQ(transport.published.back().topic, "spBv1.0/Plant/NDEATH/gw1");
    EXPECT_EQ(transport.published.back().qos, 1);
    EXPECT_FALSE(Last().has_seq());
    EXPECT_EQ(transport.disconnects, 1) << "a planned stop disconnects after its NDEATH";
}

TEST_F(MqttSession, ADeviceThatFailsGetsItsDeathAndABirthWhenItAnswers) {
    Online();
    source.alive[0] = false;
    session->HealthChanged(1);
    EXPECT_EQ(transport.published.back().topic, "spBv1.0/Plant/DDEATH/gw1/plc1");
    EXPECT_EQ(Last().seq(), 3u);
    source.Set(0, 9, clock.wall);
    session->CycleDone(1);
    EXPECT_EQ(transport.published.back().topic, "spBv1.0/Plant/DDEATH/gw1/plc1") << "no data from a dead device";
    source.alive[0] = true;
    const std::size_t before = transport.published.size();
    session->HealthChanged(1);
    EXPECT_EQ(transport.published.size(), before) << "the birth waits for the end of the cycle that found it back";
    session->CycleDone(1);
    EXPECT_EQ(transport.published.back().topic, "spBv1.0/Plant/DBIRTH/gw1/plc1");
    EXPECT_EQ(Last().metrics(0).int_value(), 9u) << "the birth carries the cycle's values";
}

TEST_F(MqttSession, EachCONNECTSentTakesTheNextBdSeqAndARefusedConnectionNone) {
    Online();
    transport.events->OnDisconnected(7);
    EXPECT_EQ(session->phase(), EdgeSession::Phase::Waiting);
    transport.refuseConnect = true;
    // Waits of 1, 2, 4 ... s, never above 30 s.
    const std::uint64_t waits[] = {1000, 2000, 4000, 8000, 16000, 30000, 30000};
    for (const std::uint64_t wait : waits) {
        const int before = transport.connects;
        clock.Advance(wait - 1);
        session->Tick();
        EXPECT_EQ(transport.connects, before) << wait;
        clock.Advance(1);
        session->Tick();
        EXPECT_EQ(transport.connects, before + 1) << wait;
    }
    EXPECT_EQ(Decode(transport.will->payload).metrics(0).long_value(), 1u) << "no CONNECT went out: no number used";
    transport.refuseConnect = false;
    clock.Advance(30000);
    session->Tick();
    const std::size_t before = transport.published.size();
    transport.Accept();
    ASSERT_GT(transport.published.size(), before);
    EXPECT_EQ(Named(Decode(transport.published[before].payload), "bdSeq")->long_value(), 1u);
    EXPECT_EQ(Decode(transport.will->payload).metrics(0).long_value(), 1u) << "the Will matches the NBIRTH";

    // A CONNECT that went out but was never answered used its number.
    transport.events->OnDisconnected(7);
    clock.Advance(1000);
    session->Tick();
    transport.events->OnConnectSent();
    transport.events->OnDisconnected(7);
    clock.Advance(2000);
    session->Tick();
    EXPECT_EQ(Decode(transport.will->payload).metrics(0).long_value(), 3u);
}

TEST_F(MqttSession, TheNodesOwnMetricsChangeInAnNdataAtMostOncePerPeriod) {
    Online();
    const std::size_t births = transport.published.size();
    source.node[0].integer = 13;
    clock.Advance(999);
    session->CycleDone(2);
    EXPECT_EQ(transport.published.size(), births) << "within a second of the birth";
    clock.Advance(1);
    session->CycleDone(2);
    ASSERT_EQ(transport.published.size(), births + 1);
    EXPECT_EQ(transport.published.back().topic, "spBv1.0/Plant/NDATA/gw1");
    Payload data = Last();
    ASSERT_EQ(data.metrics_size(), 1);
    EXPECT_EQ(data.metrics(0).alias(), 7u);
    EXPECT_EQ(data.metrics(0).long_value(), 13u);
    clock.Advance(5000);
    session->CycleDone(2);
    EXPECT_EQ(transport.published.size(), births + 1) << "nothing changed";
}

TEST_F(MqttSession, ABrokerThatNeverAnswersIsLeftAndTriedAgain) {
    session->Start();
    clock.Advance(10000);
    session->Tick();
    EXPECT_EQ(transport.disconnects, 1);
    EXPECT_EQ(session->phase(), EdgeSession::Phase::Waiting);
    clock.Advance(1000);
    session->Tick();
    EXPECT_EQ(transport.connects, 2);
}

TEST_F(MqttSession, CommandsWriteOnlyWritableMetricsOfTheirTypeAndConfirmWhatWasReadBack) {
    Online();
    const std::size_t births = transport.published.size();
    Deliver("spBv1.0/Plant/DCMD/gw1/plc1", Command(clock.wall, {[](Payload::Metric &m) {
                                                                    m.set_alias(1); // V100
                                                                    m.set_datatype(2);
                                                                    m.set_int_value(static_cast<std::uint32_t>(-300));
                                                                },
                                                                [](Payload::Metric &m) {
                                                                    m.set_name("Level");
                                                                    m.set_float_value(-1.5f);
                                                                },
                                                                [](Payload::Metric &m) {
                                                                    m.set_alias(2); // V101 is read-only
                                                                    m.set_int_value(3);
                                                                },
                                                                [](Payload::Metric &m) {
                                                                    m.set_alias(4); // Run is Boolean
                                                                    m.set_int_value(1);
                                                                },
                                                                [](Payload::Metric &m) {
                                                                    m.set_alias(5); // plc2's
                                                                    m.set_int_value(1);
                                                                },
                                                                [](Payload::Metric &m) {
                                                                    m.set_name("Nothing");
                                                                    m.set_boolean_value(true);
                                                                }}));
    ASSERT_EQ(source.writes.size(), 2u);
    EXPECT_EQ(source.writes[0].point, 0u);
    EXPECT_EQ(source.writes[0].raw, 0xFED4u); // -300 as 16 bits
    EXPECT_EQ(source.writes[1].point, 2u);
    EXPECT_EQ(source.writes[1].raw, std::bit_cast<std::uint32_t>(-1.5f));
    EXPECT_EQ(session->Counters().commandsRejected, 4u);
    EXPECT_EQ(transport.published.size(), births);
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "DCMD plc1: not written: \"Run\": the wrong datatype: expects Boolean (11), got a value in "
                        "int_value"),
              log.end());

    WriteOutcome applied;
    applied.result = WriteOutcome::Result::Applied;
    applied.readBackGood = true;
    applied.readBack = 0xFED4;
    applied.readBackMs = clock.wall + 3;
    source.writes[0].done(applied);
    WriteOutcome failed;
    failed.result = WriteOutcome::Result::Failed;
    failed.detail = "no reply";
    source.writes[1].done(failed);
    RunPostedWrites();
    ASSERT_EQ(transport.published.size(), births + 1) << "only the applied write is confirmed";
    const Payload confirm = Last();
    EXPECT_EQ(transport.published.back().topic, "spBv1.0/Plant/DDATA/gw1/plc1");
    ASSERT_EQ(confirm.metrics_size(), 1);
    EXPECT_EQ(confirm.metrics(0).alias(), 1u);
    EXPECT_EQ(static_cast<std::int32_t>(confirm.metrics(0).int_value()), -300);
    EXPECT_EQ(confirm.metrics(0).timestamp(), clock.wall + 3);
    EXPECT_EQ(session->Counters().commandsApplied, 1u);
    EXPECT_EQ(session->Counters().commandsFailed, 1u);

    // Malformed bytes, and a device the node does not have: never written, counted.
    Deliver("spBv1.0/Plant/DCMD/gw1/plc1", std::string("\xff\xff\xff", 3));
    Deliver("spBv1.0/Plant/DCMD/gw1/plc9", Command(clock.wall, {[](Payload::Metric &m) { m.set_alias(1); }}));
    EXPECT_EQ(session->Counters().commandsRejected, 6u);
    EXPECT_EQ(source.writes.size(), 2u);
}

TEST_F(MqttSession, ChangesWhileTheBrokerIsAwayFollowTheNewBirthsAsHistoryOldestFirst) {
    Online();
    transport.events->OnDisconnected(7);
    for (std::uint32_t i = 1; i <= 3; ++i) {
        clock.Advance(100);
        source.Set(0, i, clock.wall);
        session->CycleDone(1);
        session->CycleDone(2); // constant: nothing kept
    }
    EXPECT_EQ(session->Counters().storeHeld, 3u);
    clock.Advance(1000);
    session->Tick();
    const std::size_t before = transport.published.size();
    transport.Accept();
    EXPECT_EQ(transport.published.size(), before + 3) << "the history waits for the timer, out of the callbacks";
    EXPECT_EQ(session->NextTimerMs(), clock.mono);
    session->Tick();
    ASSERT_EQ(Topics(before),
              (std::vector<std::string>{"spBv1.0/Plant/NBIRTH/gw1", "spBv1.0/Plant/DBIRTH/gw1/plc1",
                                        "spBv1.0/Plant/DBIRTH/gw1/plc2", "spBv1.0/Plant/DDATA/gw1/plc1"}));
    const Payload history = Last();
    ASSERT_EQ(history.metrics_size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(history.metrics(i).is_historical());
        EXPECT_EQ(history.metrics(i).int_value(), static_cast<std::uint32_t>(i + 1));
        EXPECT_EQ(history.metrics(i).timestamp(), clock.wall - 1000 - 200 + 100 * static_cast<std::uint64_t>(i));
    }
    session->CycleDone(1);
    EXPECT_EQ(transport.published.size(), before + 4) << "none twice";
}

TEST_F(MqttSession, AValuePastItsFreshnessGoesOutAsNullAndGoodAgainWhenReadAfresh) {
    source.Set(4, 7, clock.wall, clock.mono + 500); // D7, fresh for 500 ms
    Online();
    const std::size_t births = transport.published.size();
    EXPECT_EQ(session->NextTimerMs(), clock.mono + 500) << "the timer wakes for it";
    clock.Advance(499);
    session->Tick();
    EXPECT_EQ(transport.published.size(), births);
    clock.Advance(1);
    session->Tick();
    ASSERT_EQ(transport.published.size(), births + 1);
    EXPECT_EQ(transport.published.back().topic, "spBv1.0/Plant/DDATA/gw1/plc2");
    ASSERT_EQ(Last().metrics_size(), 1);
    EXPECT_TRUE(Last().metrics(0).is_null());
    EXPECT_EQ(session->NextTimerMs(), UINT64_MAX);

    source.Set(4, 7, clock.wall, clock.mono + 500); // read again, the same value
    session->CycleDone(2);
    ASSERT_EQ(transport.published.size(), births + 2);
    EXPECT_EQ(Last().metrics(0).int_value(), 7u);
    // Read again before it aged: no news, and fresh for longer.
    clock.Advance(400);
    source.Set(4, 7, clock.wall, clock.mono + 500);
    session->CycleDone(2);
    clock.Advance(200);
    session->Tick();
    EXPECT_EQ(transport.published.size(), births + 2);
}

TEST_F(MqttSession, AChangeTheConnectionDidNotTakeIsKeptCountedAndSentAsHistory) {
    Online();
    transport.refusePublish = true;
    source.Set(0, 5, clock.wall);
    session->CycleDone(1);
    EXPECT_EQ(session->Counters().publishFailed, 1u);
    EXPECT_EQ(session->Counters().storeHeld, 1u);
    transport.refusePublish = false;
    session->Tick();
    ASSERT_EQ(Last().metrics_size(), 1);
    EXPECT_TRUE(Last().metrics(0).is_historical());
    EXPECT_EQ(Last().metrics(0).int_value(), 5u);
    EXPECT_EQ(session->Counters().storeHeld, 0u);
}

TEST_F(MqttSession, ACommandOlderThanTheBoundIsRefusedAndOneWithoutATimestampTaken) {
    Online();
    const auto v100 = [](Payload::Metric &m) {
        m.set_alias(1);
        m.set_int_value(5);
    };
    Deliver("spBv1.0/Plant/DCMD/gw1/plc1", Command(clock.wall - 60001, {v100}));
    EXPECT_TRUE(source.writes.empty());
    EXPECT_EQ(session->Counters().commandsRefused, 1u);
    Deliver("spBv1.0/Plant/DCMD/gw1/plc1", Command(clock.wall - 60000, {v100}));
    Payload unstamped;
    v100(*unstamped.add_metrics());
    Deliver("spBv1.0/Plant/DCMD/gw1/plc1", unstamped.SerializeAsString());
    EXPECT_EQ(source.writes.size(), 2u);
}

TEST_F(MqttSession, AtAStopWritesNotBegunAreWithdrawnAndRunningOnesAwaitedBeforeTheDeath) {
    Online();
    Payload writes;
    writes.set_timestamp(clock.wall);
    writes.add_metrics()->set_name("V100");
    writes.mutable_metrics(0)->set_int_value(5);
    writes.add_metrics()->set_name("Level");
    writes.mutable_metrics(1)->set_float_value(1.5f);
    writes.add_metrics()->set_name("Run");
    writes.mutable_metrics(2)->set_boolean_value(false);
    Deliver("spBv1.0/Plant/DCMD/gw1/plc1", writes.SerializeAsString());
    ASSERT_EQ(source.writes.size(), 3u);
    source.writes[1].begun = true;
    source.writes[2].begun = true; // and never answers
    const std::size_t before = transport.published.size();
    session->Stop();
    EXPECT_TRUE(source.writes[0].withdrawn);
    EXPECT_EQ(session->phase(), EdgeSession::Phase::Stopping);
    WriteOutcome applied;
    applied.result = WriteOutcome::Result::Applied;
    applied.readBackGood = true;
    applied.readBack = std::bit_cast<std::uint32_t>(1.5f);
    source.writes[1].done(applied);
    RunPostedWrites();
    EXPECT_EQ(session->phase(), EdgeSession::Phase::Stopping);
    EXPECT_EQ(session->NextTimerMs(), clock.mono + 5000);
    clock.Advance(5000);
    session->Tick();
    EXPECT_EQ(session->phase(), EdgeSession::Phase::Stopped);
    EXPECT_EQ(Topics(before), (std::vector<std::string>{"spBv1.0/Plant/DDATA/gw1/plc1", "spBv1.0/Plant/NDEATH/gw1"}));
    EXPECT_EQ(transport.disconnects, 1);
    source.writes[2].done(applied); // late, after the stop: harmless
    source.writes[0].done(applied);
    RunPostedWrites();
    EXPECT_EQ(transport.published.size(), before + 2);
    EXPECT_EQ(session->Counters().commandsRefused, 1u);
}

class MqttBigStore : public MqttSession {
  protected:
    MqttBigStore() : MqttSession(WithRoom()) {}
    static EdgeSettings WithRoom() {
        EdgeSettings s = Settings();
        s.storeSize = 1'000'000;
        return s;
    }
};

TEST_F(MqttBigStore, AMillionChangesGoOutOldestFirstInSlicesOfBoundedWork) {
    Online();
    transport.events->OnDisconnected(7);
    constexpr std::uint32_t kChanges = 1'000'000;
    for (std::uint32_t i = 1; i <= kChanges; ++i) {
        source.Set(4, i, clock.wall);
        session->CycleDone(2);
    }
    ASSERT_EQ(session->Counters().storeHeld, kChanges);
    clock.Advance(1000);
    session->Tick();
    transport.Accept();
    std::size_t ticks = 0;
    std::uint64_t sent = 0;
    while (session->Counters().storeHeld > 0 && ticks < kChanges) {
        const std::size_t before = transport.published.size();
        session->Tick();
        ++ticks;
        std::size_t slice = 0;
        for (std::size_t i = before; i < transport.published.size(); ++i) {
            slice += static_cast<std::size_t>(Decode(transport.published[i].payload).metrics_size());
        }
        ASSERT_LE(slice, kHistoryPerSlice);
        sent += slice;
    }
    EXPECT_EQ(sent, kChanges);
    EXPECT_EQ(Last().metrics(Last().metrics_size() - 1).int_value(), kChanges) << "oldest first, the newest last";
    EXPECT_EQ(ticks, (kChanges + kHistoryPerSlice - 1) / kHistoryPerSlice);
}

TEST(MqttHistoryStore, TakingAllOfAMillionInBatchesVisitsEachOnceAndPutBackKeepsTheOrder) {
    HistoryStore store(1'000'000);
    store.Push(HistoryEntry{7, 0, PointValue{}, 0}); // a device not born: stays, first in line
    for (std::uint32_t i = 1; i < 1'000'000; ++i) {
        store.Push(HistoryEntry{i % 2, 0, PointValue{PointValue::State::Good, i, i, UINT64_MAX}, 0});
    }
    const auto born = [](std::uint32_t d) { return d < 2; };
    std::vector<HistoryEntry> batch = store.Take(born, 256);
    store.PutBack(std::vector<HistoryEntry>(batch.begin() + 10, batch.end()));
    const std::uint32_t resumed = store.Take([](std::uint32_t d) { return d == 1; }, 1).at(0).value.raw;
    EXPECT_EQ(resumed, batch[10].value.raw) << "put back where it was";
    std::size_t taken = 11;
    while (!(batch = store.Take(born, 256)).empty()) {
        taken += batch.size();
    }
    EXPECT_EQ(taken, 999'999u);
    EXPECT_EQ(store.Size(), 1u);
    EXPECT_LE(store.Visited(), 2u * 1'000'000u) << "linear in the entries, not in entries x batches";
}

TEST(MqttHistoryStore, DropsTheOldestWhenFullAndKeepsOtherDevicesInOrder) {
    HistoryStore store(3);
    for (std::uint32_t i = 0; i < 5; ++i) {
        store.Push(HistoryEntry{i % 2, 0, PointValue{PointValue::State::Good, i, i}});
    }
    EXPECT_EQ(store.Dropped(), 2u);
    const auto taken = store.Take([](std::uint32_t d) { return d == 0; }, 10);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].value.raw, 2u);
    EXPECT_EQ(taken[1].value.raw, 4u);
    EXPECT_EQ(store.Size(), 1u);
}

class MqttPrimaryHost : public MqttSession {
  protected:
    MqttPrimaryHost() : MqttSession(WithHost()) {}
    static EdgeSettings WithHost() {
        EdgeSettings s = Settings();
        s.primaryHostId = "scada";
        return s;
    }
    void State(bool online, std::uint64_t ts) {
        Deliver("spBv1.0/STATE/scada", std::string("{\"online\": ") + (online ? "true" : "false") +
                                           ", \"timestamp\": " + std::to_string(ts) + "}");
    }
};

TEST_F(MqttPrimaryHost, BirthsWaitForTheHostAndANewerOfflineEndsTheSession) {
    session->Start();
    transport.Accept();
    EXPECT_EQ(transport.subscribed.back().filter, "spBv1.0/STATE/scada");
    EXPECT_EQ(session->phase(), EdgeSession::Phase::WaitingForHost);
    State(true, 2000);
    ASSERT_EQ(session->phase(), EdgeSession::Phase::Online);
    State(false, 1999); // older than the last seen: stale
    EXPECT_EQ(session->phase(), EdgeSession::Phase::Online);
    State(false, 2000); // the host's Will carries its birth's timestamp
    EXPECT_EQ(transport.published.back().topic, "spBv1.0/Plant/NDEATH/gw1");
    EXPECT_EQ(transport.disconnects, 1);
    clock.Advance(1000);
    session->Tick();
    transport.Accept();
    State(false, 2000); // the retained state, as the broker gives it to a new session
    EXPECT_EQ(session->phase(), EdgeSession::Phase::WaitingForHost);
    EXPECT_EQ(transport.disconnects, 1);
    const std::size_t before = transport.published.size();
    State(true, 1500);
    EXPECT_EQ(transport.published.size(), before) << "an older online is no reason to be born";
    State(true, 3000);
    EXPECT_EQ(transport.published[before].topic, "spBv1.0/Plant/NBIRTH/gw1");
}

TEST(MqttHostState, TakesTheTwoMembersAndRefusesAnythingElse) {
    const auto s = ParseHostState(R"( {"x": [1, {"y": "a\"b"}], "online" : true, "timestamp": 1668114759262} )");
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->online);
    EXPECT_EQ(s->timestampMs, 1668114759262u);
    EXPECT_FALSE(ParseHostState(R"({"online": true})"));
    EXPECT_FALSE(ParseHostState(R"({"online": 1, "timestamp": 5})"));
    EXPECT_FALSE(ParseHostState(R"({"online": true, "timestamp": -5})"));
    EXPECT_FALSE(ParseHostState(R"({"online": true, "timestamp": 5} x)"));
    EXPECT_FALSE(ParseHostState("ONLINE"));
    EXPECT_FALSE(ParseHostState(std::string(20, '[') + std::string(20, ']')));
}

TEST(MqttBdSeqFile, StartsAtZeroGoesOnAcrossRestartsAndWrapsAfter255) {
    orvtiw::test::TempWorkingDir dir;
    const std::string path = dir.path() + "/bdseq";
    std::string warning;
    EXPECT_EQ(BdSeqFile(path).Reserve(warning), 0);
    {
        BdSeqFile file(path);
        EXPECT_EQ(file.Reserve(warning), 1) << "a restart goes on after the number reserved, sent or not";
        EXPECT_EQ(file.Reserve(warning), 1) << "not sent: still the next";
        file.Sent();
        EXPECT_EQ(file.Reserve(warning), 2);
    }
    dir.write("bdseq", "255\n");
    EXPECT_EQ(BdSeqFile(path).Reserve(warning), 0);
    EXPECT_TRUE(warning.empty());
    dir.write("bdseq", "12x");
    EXPECT_EQ(BdSeqFile(path).Reserve(warning), 0);
    EXPECT_NE(warning.find("no number"), std::string::npos);
    EXPECT_EQ(BdSeqFile(dir.path() + "/missing/bdseq").Reserve(warning), 0);
    EXPECT_NE(warning.find("cannot write"), std::string::npos);
}

} // namespace
} // namespace orvgate::mqtt
