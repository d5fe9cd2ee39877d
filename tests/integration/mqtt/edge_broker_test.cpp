// The edge node over its real transport against Debian's mosquitto, started
// here on a port and a configuration file of its own, with what it publishes
// taken by a libmosquitto subscriber and decoded by npm's sparkplug-payload:
// what only a broker can show of the session (births and seq as another
// decoder reads them, a broker that goes away and comes back, a password,
// TLS). The gateway's core is a fake; gate_mqtt_test.cpp runs the real one.
//
// usage: orvgate_mqtt_broker_test --mosquitto PATH --mosquitto-passwd PATH --openssl PATH --node PATH
//            --decoder DIR --port N [gtest options]
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <mutex>
#include <thread>

#include "broker_support.h"
#include "mqtt/edge_node.h"

namespace {

using namespace mqtt_test;
using orvgate::mqtt::Datatype;
using orvgate::mqtt::EdgeNode;
using orvgate::mqtt::EdgeSettings;
using orvgate::mqtt::PointValue;
using orvgate::mqtt::WriteOutcome;

int gPort = 0;

// The gateway's core as the edge node sees it: two secondaries, values the
// test sets, writes applied at once and read back.
class FakeCore final : public orvgate::mqtt::EdgeSource {
  public:
    FakeCore() {
        orvgate::mqtt::DeviceDef a{"plc1", 1, 1, 10, 0, {}};
        a.metrics = {{"V100", Datatype::Int16, true, 0, 11, 0},
                     {"Level", Datatype::Float, false, 0, 12, 1},
                     {"Run", Datatype::Boolean, true, 0, 13, 2}};
        orvgate::mqtt::DeviceDef b{"plc2", 2, 2, 20, 0, {}};
        b.metrics = {{"W2", Datatype::UInt32, false, 0, 21, 3}};
        model_.devices = {a, b};
        Set(0, 0xFFFF); // -1
        Set(1, std::bit_cast<std::uint32_t>(21.5f));
        Set(2, 1);
    }
    const orvgate::mqtt::EdgeModel &Model() const override {
        return model_;
    }
    bool DeviceAlive(std::size_t) const override {
        return true;
    }
    PointValue Read(std::size_t point) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_.at(point);
    }
    std::vector<orvgate::mqtt::NodeMetric> NodeMetrics() const override {
        return {{"Scan cycles", Datatype::UInt64, 1, 0, ""}};
    }
    std::function<bool()> Write(std::size_t point, std::uint32_t raw,
                                std::function<void(const WriteOutcome &)> done) override {
        Set(point, raw);
        WriteOutcome o;
        o.result = WriteOutcome::Result::Applied;
        o.readBackGood = true;
        o.readBack = raw;
        o.readBackMs = WallMs();
        done(o);
        return [] { return false; }; // applied already
    }
    void Set(std::size_t point, std::uint32_t raw) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.at(point) = PointValue{PointValue::State::Good, raw, WallMs()};
    }

  private:
    orvgate::mqtt::EdgeModel model_;
    mutable std::mutex mutex_;
    std::vector<PointValue> values_ = std::vector<PointValue>(4);
};

EdgeSettings Settings(int port, const std::string &edge = "gw1") {
    EdgeSettings s;
    s.port = port;
    s.groupId = "Plant";
    s.edgeNodeId = edge;
    return s;
}

const std::string kNbirth = "spBv1.0/Plant/NBIRTH/gw1";
const std::string kNdeath = "spBv1.0/Plant/NDEATH/gw1";

bool WaitPhase(const EdgeNode &node, orvgate::mqtt::EdgeSession::Phase phase, std::chrono::milliseconds limit) {
    for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(10ms)) {
        if (node.Phase() == phase) {
            return true;
        }
    }
    return false;
}

TEST(MqttBroker, BirthsAndThreeHundredDataMessagesDecodeElsewhereWithSeqUnbroken) {
    Folder folder;
    Broker broker(folder, "listener " + std::to_string(gPort) + " 127.0.0.1\nallow_anonymous true\n", gPort);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(gPort);
    FakeCore core;
    EdgeNode node(Settings(gPort), core);
    std::string error;
    ASSERT_TRUE(node.Start(error)) << error;
    ASSERT_TRUE(sub.WaitFor("spBv1.0/Plant/DBIRTH/gw1/plc2", 1, 10s));
    {
        // Scan cycles of their own pace, as a card's: a cycle ended only
        // when a DDATA came would grow by each DDATA's wait for the last cycle.
        std::jthread scan([&node](std::stop_token stop) {
            while (!stop.stop_requested()) {
                node.Events().CycleDone(2);
                std::this_thread::sleep_for(10ms);
            }
        });
        for (std::uint32_t i = 1; i <= 300; ++i) {
            core.Set(3, i == 300 ? 4000000000u : i);
            ASSERT_TRUE(sub.WaitFor("spBv1.0/Plant/DDATA/gw1/plc2", i, 5s)) << i;
        }
    }
    // A DCMD from a host, encoded by sparkplug-payload: applied, and confirmed.
    const std::string bytes = Encode(R"({"timestamp":)" + std::to_string(WallMs()) +
                                     R"(,"metrics":[{"alias":1,"type":"Int16","value":-300}]})");
    sub.Publish("spBv1.0/Plant/DCMD/gw1/plc1", bytes);
    ASSERT_TRUE(sub.WaitFor("spBv1.0/Plant/DDATA/gw1/plc1", 1, 5s));
    node.Stop();
    ASSERT_TRUE(sub.WaitFor(kNdeath, 1, 5s));

    const std::vector<Decoded> d = Decode(sub.Messages());
    std::string topics;
    for (const Decoded &m : d) {
        topics += m.topic.substr(m.topic.find('/', 8) + 1) + " ";
    }
    ASSERT_EQ(d.size(), 3u + 300u + 1u + 1u) << topics;
    ASSERT_EQ(d[0].topic, kNbirth);
    const Decoded::Metric *rebirth = d[0].Named("Node Control/Rebirth");
    ASSERT_NE(rebirth, nullptr);
    EXPECT_EQ(rebirth->type, "Boolean");
    EXPECT_EQ(rebirth->value, "false");
    const Decoded::Metric *bdSeq = d[0].Named("bdSeq");
    ASSERT_NE(bdSeq, nullptr);
    EXPECT_EQ(bdSeq->type, "Int64");
    EXPECT_EQ(d[0].Named("Scan cycles")->value, "\"1\"") << "UInt64 as sparkplug-payload's Long";
    for (const Decoded &m : {d[1], d[2]}) {
        for (const Decoded::Metric &x : m.metrics) {
            EXPECT_NE(x.name, "-");
            EXPECT_NE(x.alias, "-");
            EXPECT_NE(x.type, "-");
            EXPECT_NE(x.timestamp, "-");
            EXPECT_NE(x.value, "-") << x.name;
        }
    }
    EXPECT_EQ(d[1].Named("V100")->value, "-1");
    EXPECT_EQ(d[1].Named("V100")->type, "Int16");
    EXPECT_EQ(d[1].Named("Level")->value, "21.5");
    EXPECT_EQ(d[2].Named("W2")->type, "UInt32");
    EXPECT_EQ(d[2].Named("W2")->value, "null") << "never read: null in its birth";
    EXPECT_TRUE(d[2].Named("W2")->null);
    // UInt32 in int_value, a protobuf uint32 (this decoder's typed read looks in long_value).
    EXPECT_EQ(d[299 + 2].metrics.at(0).field, "intValue");
    EXPECT_EQ(d[299 + 2].metrics.at(0).raw, "299");
    EXPECT_EQ(d[300 + 2].metrics.at(0).raw, "4000000000");
    EXPECT_EQ(d[300 + 2].metrics.at(0).type, "UInt32");
    for (std::size_t i = 0; i + 1 < d.size(); ++i) {
        EXPECT_EQ(d[i].seq, std::to_string(i % 256)) << d[i].topic;
        EXPECT_NE(d[i].timestamp, "-");
    }
    EXPECT_EQ(d[3 + 300].metrics.at(0).value, "-300") << "the value read back after the DCMD";
    EXPECT_EQ(d.back().topic, kNdeath);
    EXPECT_EQ(d.back().seq, "-");
    ASSERT_EQ(d.back().metrics.size(), 1u);
    EXPECT_EQ(d.back().metrics[0].value, bdSeq->value);
}

// What the node logs, for the cases that count its tries.
class LogLines {
  public:
    orvgate::mqtt::LogSink Sink() {
        return [this](orvgate::mqtt::LogLevel, const std::string &line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        };
    }
    std::size_t Count(const std::string &part) {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::size_t>(std::count_if(
            lines_.begin(), lines_.end(), [&](const std::string &l) { return l.find(part) != std::string::npos; }));
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST(MqttBroker, ChangesWhileTheBrokerIsAwayArriveAfterTheNewBirthsOldestFirstOnce) {
    Folder folder;
    const std::string listener = "listener " + std::to_string(gPort) + " 127.0.0.1\nallow_anonymous true\n";
    auto broker = std::make_unique<Broker>(folder, listener, gPort);
    ASSERT_TRUE(broker->Start());
    FakeCore core;
    EdgeSettings s = Settings(gPort);
    s.reconnectMinMs = 200; // tries 0.2, 0.6, 1.4 s ... after the loss
    s.reconnectMaxMs = 800;
    LogLines log;
    EdgeNode node(s, core, log.Sink());
    std::string error;
    {
        Subscriber sub(gPort);
        ASSERT_TRUE(node.Start(error)) << error;
        ASSERT_TRUE(sub.WaitFor("spBv1.0/Plant/DBIRTH/gw1/plc2", 1, 10s));
    }
    broker->Kill(SIGKILL);
    ASSERT_TRUE(WaitPhase(node, orvgate::mqtt::EdgeSession::Phase::Waiting, 5s));
    for (std::uint32_t i = 1; i <= 5; ++i) {
        core.Set(3, 1000 + i);
        node.Events().CycleDone(2);
        std::this_thread::sleep_for(20ms);
    }
    for (auto end = Clock::now() + 10s; Clock::now() < end && log.Count("cannot connect") < 3;) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_GE(log.Count("cannot connect"), 3u) << "connections refused while the broker is away";
    ASSERT_TRUE(broker->Start());
    Subscriber sub(gPort);
    ASSERT_TRUE(sub.WaitFor("spBv1.0/Plant/DDATA/gw1/plc2", 1, 10s));
    std::this_thread::sleep_for(300ms);
    const std::vector<Decoded> d = Decode(sub.Messages());
    std::string topics;
    for (const Decoded &m : d) {
        topics += m.topic + " " + m.seq + "\n";
    }
    ASSERT_EQ(d.size(), 4u) << topics;
    EXPECT_EQ(d[0].topic, kNbirth);
    EXPECT_EQ(d[0].seq, "0");
    EXPECT_EQ(d[0].Named("bdSeq")->value, "\"1\"") << "one more than the last CONNECT sent; the refused sent none";
    EXPECT_EQ(d[3].topic, "spBv1.0/Plant/DDATA/gw1/plc2");
    ASSERT_EQ(d[3].metrics.size(), 5u);
    std::string last;
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(d[3].metrics[i].raw, std::to_string(1001 + i));
        EXPECT_TRUE(d[3].metrics[i].historical);
        EXPECT_GE(d[3].metrics[i].timestamp, last);
        last = d[3].metrics[i].timestamp;
    }
}

TEST(MqttBroker, AfterThePrimaryHostWentOfflineAndBackNoOldDeathFollowsTheNewBirth) {
    Folder folder;
    Broker broker(folder, "listener " + std::to_string(gPort) + " 127.0.0.1\nallow_anonymous true\n", gPort);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(gPort);
    const auto state = [&](bool online, std::uint64_t ts) {
        sub.Publish("spBv1.0/STATE/scada",
                    std::string(R"({"online":)") + (online ? "true" : "false") +
                        ",\"timestamp\":" + std::to_string(ts) + "}",
                    true);
    };
    const std::uint64_t hostBirth = WallMs();
    state(true, hostBirth);
    FakeCore core;
    EdgeSettings s = Settings(gPort);
    s.primaryHostId = "scada";
    s.reconnectMinMs = 200;
    EdgeNode node(s, core);
    std::string error;
    ASSERT_TRUE(node.Start(error)) << error;
    ASSERT_TRUE(sub.WaitFor(kNbirth, 1, 10s));
    state(false, hostBirth + 1);
    ASSERT_TRUE(sub.WaitFor(kNdeath, 1, 5s));
    ASSERT_TRUE(WaitPhase(node, orvgate::mqtt::EdgeSession::Phase::WaitingForHost, 5s));
    state(true, hostBirth + 2);
    ASSERT_TRUE(sub.WaitFor(kNbirth, 2, 10s));
    std::this_thread::sleep_for(1500ms); // what an old session's client would send again comes at once
    node.Stop();
    ASSERT_TRUE(sub.WaitFor(kNdeath, 2, 5s));

    std::vector<Message> ours;
    for (const Message &m : sub.Messages()) {
        if (m.topic == kNbirth || m.topic == kNdeath) {
            ours.push_back(m);
        }
    }
    std::vector<std::string> seen; // NBIRTH n / NDEATH n, n its bdSeq
    for (const Decoded &m : Decode(ours)) {
        seen.push_back(m.topic.substr(m.topic.find('/', 8) + 1, 6) + " " + m.Named("bdSeq")->value);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"NBIRTH \"0\"", "NDEATH \"0\"", "NBIRTH \"1\"", "NDEATH \"1\""}));
}

TEST(MqttBroker, APasswordFromAFileLetsTheNodeInAndAWrongOneDoesNot) {
    Folder folder;
    const std::string passwords = folder.Write("passwd", "");
    const e2e::Outcome made = e2e::Run({gTools.passwd, "-b", passwords, "gate", "s3cret pass"}, folder.path(), "", 30s);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    e2e::Run({gTools.passwd, "-b", passwords, "watcher", "w"}, folder.path(), "", 30s);
    chmod(passwords.c_str(), 0644);
    Broker broker(folder,
                  "listener " + std::to_string(gPort) + " 127.0.0.1\nallow_anonymous false\npassword_file " +
                      passwords + "\n",
                  gPort);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(gPort, "watcher", "w");
    FakeCore core;
    EdgeSettings right = Settings(gPort);
    right.username = "gate";
    right.passwordFile = folder.Write("gate.pw", "s3cret pass\n");
    EdgeSettings wrong = Settings(gPort, "gw2");
    wrong.username = "gate";
    wrong.passwordFile = folder.Write("wrong.pw", "guess\n");
    EdgeNode good(right, core);
    EdgeNode bad(wrong, core);
    std::string error;
    ASSERT_TRUE(good.Start(error)) << error;
    ASSERT_TRUE(bad.Start(error)) << error;
    EXPECT_TRUE(sub.WaitFor(kNbirth, 1, 10s));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(bad.Counters().connections, 0u);
    for (const Message &m : sub.Messages()) {
        EXPECT_EQ(m.topic.find("gw2"), std::string::npos) << m.topic;
    }
}

TEST(MqttBroker, TlsWithTheTestsOwnCertificates) {
    Folder folder;
    const auto ssl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), gTools.openssl);
        const e2e::Outcome o = e2e::Run(args, folder.path(), "", 60s);
        EXPECT_EQ(o.exitCode, 0) << o.err;
    };
    ssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=orvgate test CA", "-keyout",
         "ca.key", "-out", "ca.crt"});
    ssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=orvgate test CA", "-keyout",
         "other.key", "-out", "other.crt"}); // the same name, another key: a broker it signed is refused
    folder.Write("server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    for (const std::string &who : {std::string("server"), std::string("client")}) {
        ssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj",
             "/CN=" + std::string(who == "server" ? "localhost" : "gw1"), "-keyout", who + ".key", "-out",
             who + ".csr"});
        std::vector<std::string> sign{"x509",   "-req",   "-in",       who + ".csr",      "-CA",
                                      "ca.crt", "-CAkey", "ca.key",    "-CAcreateserial", "-days",
                                      "2",      "-out",   who + ".crt"};
        if (who == "server") {
            sign.insert(sign.end(), {"-extfile", "server.ext"});
        }
        ssl(sign);
    }
    for (const auto &f : std::filesystem::directory_iterator(folder.path())) {
        chmod(f.path().c_str(), 0644);
    }
    const int plain = gPort + 1; // the subscriber's
    Broker broker(folder,
                  "listener " + std::to_string(gPort) + " 127.0.0.1\nallow_anonymous true\ncafile " +
                      folder / "ca.crt" + "\ncertfile " + folder / "server.crt" + "\nkeyfile " + folder / "server.key" +
                      "\nrequire_certificate true\ntls_version tlsv1.2\nlistener " + std::to_string(plain) +
                      " 127.0.0.1\n",
                  gPort);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(plain);
    FakeCore core;
    EdgeSettings s = Settings(gPort);
    s.caFile = folder / "ca.crt";
    s.certFile = folder / "client.crt";
    s.keyFile = folder / "client.key";
    EdgeNode node(s, core);
    EdgeSettings other = Settings(gPort, "gw2");
    other.caFile = folder / "other.crt";
    other.certFile = s.certFile;
    other.keyFile = s.keyFile;
    LogLines log;
    EdgeNode refused(other, core, log.Sink());
    std::string error;
    ASSERT_TRUE(node.Start(error)) << error;
    ASSERT_TRUE(refused.Start(error)) << error;
    EXPECT_TRUE(sub.WaitFor("spBv1.0/Plant/DBIRTH/gw1/plc2", 1, 10s));
    EXPECT_EQ(node.Counters().connections, 1u);
    for (auto end = Clock::now() + 5s; Clock::now() < end && log.Count("lost") == 0;) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(log.Count("lost"), 1u) << "the failed handshake is known at once";
    EXPECT_EQ(refused.Counters().connections, 0u);
    for (const Message &m : sub.Messages()) {
        EXPECT_EQ(m.topic.find("gw2"), std::string::npos) << m.topic;
    }
}

} // namespace

int main(int argc, char **argv) {
    return mqtt_test::RunCases(argc, argv, {"--port"}, [](const std::map<std::string, std::string> &args) {
        gPort = std::stoi(args.at("--port"));
    });
}
