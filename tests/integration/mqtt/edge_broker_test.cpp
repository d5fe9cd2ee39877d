// The edge node over its real transport against Debian's mosquitto, started
// here on a port and a configuration file of its own, with what it publishes
// taken by a libmosquitto subscriber and decoded by npm's sparkplug-payload:
// what only a broker can show (the Will on a killed process, a broker that
// goes away and comes back, a password, TLS). The gateway's core is a fake.
//
// usage: orvgate_mqtt_broker_test --mosquitto PATH --mosquitto-passwd PATH --openssl PATH --node PATH
//            --decoder DIR --port N [gtest options]
//        orvgate_mqtt_broker_test --edge-child --port N --edge ID --state FILE
//            (the edge node alone, until SIGTERM or SIGKILL, for the Will's test)
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "integration/e2e/child_process.h"
#include "mqtt/edge_node.h"

namespace {

using namespace std::chrono_literals;
using orvgate::mqtt::Datatype;
using orvgate::mqtt::EdgeNode;
using orvgate::mqtt::EdgeSettings;
using orvgate::mqtt::PointValue;
using orvgate::mqtt::WriteOutcome;
using Clock = std::chrono::steady_clock;

struct Paths {
    std::string mosquitto, passwd, openssl, node, decoder, self;
    int port = 0;
} g;

std::uint64_t WallMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// A folder of the test's, readable by the broker, which drops to user mosquitto.
class Folder {
  public:
    Folder() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "orvgate-mqtt-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
        chmod(path_.c_str(), 0755);
    }
    ~Folder() {
        std::filesystem::remove_all(path_);
    }
    std::string Write(const std::string &name, const std::string &text) const {
        const std::string p = path_ + "/" + name;
        std::ofstream(p) << text;
        chmod(p.c_str(), 0644);
        return p;
    }
    std::string operator/(const std::string &name) const {
        return path_ + "/" + name;
    }
    const std::string &path() const {
        return path_;
    }

  private:
    std::string path_;
};

bool PortAccepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

class Broker {
  public:
    Broker(const Folder &folder, std::string config, int port) : folder_(folder), port_(port) {
        conf_ = folder.Write("mosquitto.conf",
                             "persistence false\nlog_dest stderr\nlog_type error\nlog_type warning\n" + config);
    }
    ~Broker() {
        Kill(SIGKILL);
    }
    bool Start() {
        child_ = std::make_unique<e2e::ChildProcess>();
        std::string error;
        if (!child_->Start({g.mosquitto, "-c", conf_}, folder_.path(), error)) {
            ADD_FAILURE() << error;
            return false;
        }
        for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(20ms)) {
            if (PortAccepts(port_)) {
                return true;
            }
        }
        ADD_FAILURE() << "mosquitto did not listen on " << port_ << ": " << child_->Finish(1s).err;
        return false;
    }
    void Kill(int signal) {
        if (child_) {
            child_->Signal(signal);
            child_->Finish(5s);
            child_.reset();
        }
    }

  private:
    const Folder &folder_;
    int port_;
    std::string conf_;
    std::unique_ptr<e2e::ChildProcess> child_;
};

struct Message {
    std::string topic;
    std::string payload;
    Clock::time_point at;
};

// Takes every Sparkplug message on the broker, at QoS 1, resubscribing after a reconnection.
class Subscriber {
  public:
    explicit Subscriber(int port, const std::string &user = "", const std::string &password = "") {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        if (!user.empty()) {
            mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
        }
        mosquitto_connect_callback_set(mosq_, [](mosquitto *m, void *, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, "spBv1.0/#", 1);
            }
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto *, void *self, int, int, const int *) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard<std::mutex> lock(s->mutex_);
            ++s->subscribed_;
            s->changed_.notify_all();
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto *, void *self, const mosquitto_message *m) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard<std::mutex> lock(s->mutex_);
            s->messages_.push_back(Message{m->topic,
                                           std::string(static_cast<const char *>(m->payload),
                                                       static_cast<std::size_t>(std::max(m->payloadlen, 0))),
                                           Clock::now()});
            s->changed_.notify_all();
        });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
        Wait([this] { return subscribed_ > 0; }, 5s);
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    // Waits until `topic` has come `count` times in all.
    bool WaitFor(const std::string &topic, std::size_t count, std::chrono::milliseconds limit) {
        return Wait([&] { return Count(topic) >= count; }, limit);
    }
    // What the edge node sent (the commands a host sent left out).
    std::vector<Message> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Message> out;
        for (const Message &m : messages_) {
            if (m.topic.find("CMD/") == std::string::npos) {
                out.push_back(m);
            }
        }
        return out;
    }
    void Publish(const std::string &topic, const std::string &payload) {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
    }

  private:
    std::size_t Count(const std::string &topic) const {
        std::size_t n = 0;
        for (const Message &m : messages_) {
            n += m.topic == topic ? 1u : 0u;
        }
        return n;
    }
    template <typename Pred> bool Wait(Pred pred, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, pred);
    }
    mosquitto *mosq_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
    int subscribed_ = 0;
};

// One message as sparkplug-payload decoded it.
struct Decoded {
    struct Metric {
        std::string name, alias, type, value, timestamp;
        bool null = false, historical = false;
    };
    std::string topic, seq, timestamp, error;
    std::vector<Metric> metrics;
    const Metric *Named(const std::string &n) const {
        for (const Metric &m : metrics) {
            if (m.name == n) {
                return &m;
            }
        }
        return nullptr;
    }
};

std::vector<std::string> Split(const std::string &line) {
    std::vector<std::string> f;
    std::stringstream in(line);
    std::string part;
    while (std::getline(in, part, '\t')) {
        f.push_back(part);
    }
    return f;
}

std::vector<Decoded> Decode(const std::vector<Message> &messages) {
    static const char hex[] = "0123456789abcdef";
    Folder folder;
    std::string lines;
    for (const Message &m : messages) {
        lines += m.topic + "\t";
        for (const char ch : m.payload) {
            const auto c = static_cast<unsigned char>(ch);
            lines += hex[c >> 4];
            lines += hex[c & 15];
        }
        lines += "\n";
    }
    const std::string file = folder.Write("payloads", lines);
    const e2e::Outcome o = e2e::Run({g.node, g.decoder + "/sparkplug.js", "decode", file}, folder.path(), "", 60s);
    EXPECT_EQ(o.exitCode, 0) << o.err << " (the decoder comes with scripts/setup.sh)";
    std::vector<Decoded> out;
    std::stringstream in(o.out);
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = Split(line);
        if (f.size() == 4 && f[0] == "M") {
            out.push_back(Decoded{f[1], f[2], f[3], "", {}});
        } else if (f.size() == 3 && f[0] == "E") {
            out.push_back(Decoded{f[1], "", "", f[2], {}});
        } else if (f.size() == 8 && f[0] == "m" && !out.empty()) {
            out.back().metrics.push_back(Decoded::Metric{f[1], f[2], f[3], f[4], f[7], f[5] == "true", f[6] == "true"});
        } else {
            ADD_FAILURE() << "decoder line: " << line;
        }
    }
    EXPECT_EQ(out.size(), messages.size());
    return out;
}

// The gateway's core as the edge node sees it: two secondaries, values the
// test sets, writes applied at once and read back.
class FakeCore final : public orvgate::mqtt::EdgeSource {
  public:
    FakeCore() {
        orvgate::mqtt::DeviceSpec a{"plc1", 1, 1, 10, {}};
        a.metrics = {{"V100", Datatype::Int16, true, 0, 11, 0},
                     {"Level", Datatype::Float, false, 0, 12, 1},
                     {"Run", Datatype::Boolean, true, 0, 13, 2}};
        orvgate::mqtt::DeviceSpec b{"plc2", 2, 2, 20, {}};
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
    void Write(std::size_t point, std::uint32_t raw, std::function<void(const WriteOutcome &)> done) override {
        Set(point, raw);
        WriteOutcome o;
        o.result = WriteOutcome::Result::Applied;
        o.readBackGood = true;
        o.readBack = raw;
        o.readBackMs = WallMs();
        done(o);
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
    Broker broker(folder, "listener " + std::to_string(g.port) + " 127.0.0.1\nallow_anonymous true\n", g.port);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(g.port);
    FakeCore core;
    EdgeNode node(Settings(g.port), core);
    std::string error;
    ASSERT_TRUE(node.Start(error)) << error;
    ASSERT_TRUE(sub.WaitFor("spBv1.0/Plant/DBIRTH/gw1/plc2", 1, 10s));
    for (std::uint32_t i = 1; i <= 300; ++i) {
        core.Set(3, i);
        node.Events().CycleDone(2);
        ASSERT_TRUE(sub.WaitFor("spBv1.0/Plant/DDATA/gw1/plc2", i, 5s)) << i;
    }
    // A DCMD from a host, encoded by sparkplug-payload: applied, and confirmed.
    const e2e::Outcome cmd = e2e::Run({g.node, g.decoder + "/sparkplug.js", "encode",
                                       R"({"timestamp":1,"metrics":[{"alias":1,"type":"Int16","value":-300}]})"},
                                      folder.path(), "", 60s);
    ASSERT_EQ(cmd.exitCode, 0) << cmd.err;
    std::string bytes;
    for (std::size_t i = 0; i + 1 < cmd.out.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(cmd.out.substr(i, 2), nullptr, 16)));
    }
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
    EXPECT_EQ(d[300 + 2].metrics.at(0).value, "300");
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

TEST(MqttBroker, TheWillArrivesWithinASecondOfAKill) {
    Folder folder;
    Broker broker(folder, "listener " + std::to_string(g.port) + " 127.0.0.1\nallow_anonymous true\n", g.port);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(g.port);
    e2e::ChildProcess edge;
    std::string error;
    ASSERT_TRUE(edge.Start(
        {g.self, "--edge-child", "--port", std::to_string(g.port), "--edge", "gw1", "--state", folder / "bdseq"},
        folder.path(), error))
        << error;
    ASSERT_TRUE(sub.WaitFor(kNbirth, 1, 10s)) << edge.Err();
    const auto killed = Clock::now();
    edge.Signal(SIGKILL);
    ASSERT_TRUE(sub.WaitFor(kNdeath, 1, 5s));
    std::chrono::milliseconds took{};
    for (const Message &m : sub.Messages()) {
        if (m.topic == kNdeath) {
            took = std::chrono::duration_cast<std::chrono::milliseconds>(m.at - killed);
        }
    }
    EXPECT_LE(took.count(), 1000);
    std::printf("NDEATH %lld ms after SIGKILL\n", static_cast<long long>(took.count()));
    const std::vector<Decoded> d = Decode(sub.Messages());
    const Decoded &death = d.back();
    ASSERT_EQ(death.topic, kNdeath);
    EXPECT_EQ(death.seq, "-");
    ASSERT_EQ(death.metrics.size(), 1u);
    EXPECT_EQ(death.metrics[0].name, "bdSeq");
    EXPECT_EQ(death.metrics[0].type, "Int64");
    EXPECT_EQ(death.metrics[0].value, d[0].Named("bdSeq")->value);
}

TEST(MqttBroker, ChangesWhileTheBrokerIsAwayArriveAfterTheNewBirthsOldestFirstOnce) {
    Folder folder;
    const std::string listener = "listener " + std::to_string(g.port) + " 127.0.0.1\nallow_anonymous true\n";
    auto broker = std::make_unique<Broker>(folder, listener, g.port);
    ASSERT_TRUE(broker->Start());
    FakeCore core;
    EdgeSettings s = Settings(g.port);
    EdgeNode node(s, core);
    std::string error;
    {
        Subscriber sub(g.port);
        ASSERT_TRUE(node.Start(error)) << error;
        ASSERT_TRUE(sub.WaitFor("spBv1.0/Plant/DBIRTH/gw1/plc2", 1, 10s));
    }
    const auto down = Clock::now();
    broker->Kill(SIGKILL);
    ASSERT_TRUE(WaitPhase(node, orvgate::mqtt::EdgeSession::Phase::Waiting, 5s));
    for (std::uint32_t i = 1; i <= 5; ++i) {
        core.Set(3, 1000 + i);
        node.Events().CycleDone(2);
        std::this_thread::sleep_for(20ms);
    }
    // The first try again comes 1 s after the loss and fails; the broker is
    // back and its subscriber in before the next, 2 s after that.
    std::this_thread::sleep_until(down + 1300ms);
    ASSERT_TRUE(broker->Start());
    Subscriber sub(g.port);
    ASSERT_TRUE(sub.WaitFor("spBv1.0/Plant/DDATA/gw1/plc2", 1, 10s));
    std::this_thread::sleep_for(300ms);
    const std::vector<Decoded> d = Decode(sub.Messages());
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[0].topic, kNbirth);
    EXPECT_EQ(d[0].seq, "0");
    EXPECT_EQ(d[0].Named("bdSeq")->value, "\"2\"") << "one more for each CONNECT: the one that failed, this one";
    EXPECT_EQ(d[3].topic, "spBv1.0/Plant/DDATA/gw1/plc2");
    ASSERT_EQ(d[3].metrics.size(), 5u);
    std::string last;
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(d[3].metrics[i].value, std::to_string(1001 + i));
        EXPECT_TRUE(d[3].metrics[i].historical);
        EXPECT_GE(d[3].metrics[i].timestamp, last);
        last = d[3].metrics[i].timestamp;
    }
}

TEST(MqttBroker, APasswordFromAFileLetsTheNodeInAndAWrongOneDoesNot) {
    Folder folder;
    const std::string passwords = folder.Write("passwd", "");
    const e2e::Outcome made = e2e::Run({g.passwd, "-b", passwords, "gate", "s3cret pass"}, folder.path(), "", 30s);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    e2e::Run({g.passwd, "-b", passwords, "watcher", "w"}, folder.path(), "", 30s);
    chmod(passwords.c_str(), 0644);
    Broker broker(folder,
                  "listener " + std::to_string(g.port) + " 127.0.0.1\nallow_anonymous false\npassword_file " +
                      passwords + "\n",
                  g.port);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(g.port, "watcher", "w");
    FakeCore core;
    EdgeSettings right = Settings(g.port);
    right.username = "gate";
    right.passwordFile = folder.Write("gate.pw", "s3cret pass\n");
    EdgeSettings wrong = Settings(g.port, "gw2");
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
        args.insert(args.begin(), g.openssl);
        const e2e::Outcome o = e2e::Run(args, folder.path(), "", 60s);
        EXPECT_EQ(o.exitCode, 0) << o.err;
    };
    ssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=orvgate test CA", "-keyout",
         "ca.key", "-out", "ca.crt"});
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
    const int plain = g.port + 1; // the subscriber's
    Broker broker(folder,
                  "listener " + std::to_string(g.port) + " 127.0.0.1\nallow_anonymous true\ncafile " +
                      folder / "ca.crt" + "\ncertfile " + folder / "server.crt" + "\nkeyfile " + folder / "server.key" +
                      "\nrequire_certificate true\ntls_version tlsv1.2\nlistener " + std::to_string(plain) +
                      " 127.0.0.1\n",
                  g.port);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(plain);
    FakeCore core;
    EdgeSettings s = Settings(g.port);
    s.caFile = folder / "ca.crt";
    s.certFile = folder / "client.crt";
    s.keyFile = folder / "client.key";
    EdgeNode node(s, core);
    std::string error;
    ASSERT_TRUE(node.Start(error)) << error;
    EXPECT_TRUE(sub.WaitFor("spBv1.0/Plant/DBIRTH/gw1/plc2", 1, 10s));
    EXPECT_EQ(node.Counters().connections, 1u);
}

volatile std::sig_atomic_t stopChild = 0;

int EdgeChild(const std::map<std::string, std::string> &args) {
    FakeCore core;
    EdgeSettings s = Settings(std::stoi(args.at("--port")), args.at("--edge"));
    s.stateFile = args.at("--state");
    EdgeNode node(s, core);
    std::string error;
    if (!node.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    std::signal(SIGTERM, [](int) { stopChild = 1; });
    while (stopChild == 0) {
        std::this_thread::sleep_for(50ms);
    }
    node.Stop();
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::map<std::string, std::string> args;
    std::vector<char *> rest{argv[0]};
    bool child = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--edge-child") {
            child = true;
        } else if (a.rfind("--", 0) == 0 && a.rfind("--gtest", 0) != 0 && i + 1 < argc) {
            args[a] = argv[++i];
        } else {
            rest.push_back(argv[i]);
        }
    }
    g.self = std::filesystem::absolute(argv[0]).string();
    if (child) {
        return EdgeChild(args);
    }
    for (const char *need : {"--mosquitto", "--mosquitto-passwd", "--openssl", "--node", "--decoder", "--port"}) {
        if (args.count(need) == 0) {
            std::fprintf(stderr, "missing %s\n", need);
            return 2;
        }
    }
    g.mosquitto = args["--mosquitto"];
    g.passwd = args["--mosquitto-passwd"];
    g.openssl = args["--openssl"];
    g.node = args["--node"];
    g.decoder = args["--decoder"];
    g.port = std::stoi(args["--port"]);
    int n = static_cast<int>(rest.size());
    rest.push_back(nullptr); // gtest, like main, reads up to argv[argc]
    ::testing::InitGoogleTest(&n, rest.data());
    return RUN_ALL_TESTS();
}
