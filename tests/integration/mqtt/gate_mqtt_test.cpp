// orvgate's edge node as a plant meets it: the real gateway on a tiwaysim of
// its own, publishing to Debian's mosquitto, what it sent decoded by npm's
// sparkplug-payload. What needs the whole chain: the Will when the process
// is killed, bdSeq across a restart, a secondary's death and birth from the
// health model, a host's commands (a rebirth, writes read back through the
// driver with orvhost, a write to a read-only metric), and a command the
// network never answered.
//
// usage: orvgate_mqtt_gate_test --mosquitto PATH --mosquitto-passwd PATH --openssl PATH --node PATH
//            --decoder DIR --tiwaysim PATH --orvgate PATH --orvhost PATH --port N [gtest options]
//        (N: the broker's port; orvgate's Modbus server takes N + 1)
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "broker_support.h"
#include "gate_process.h"
#include "sim_process.h"

#ifndef ORVGATE_MQTT_DEVICE
#error "ORVGATE_MQTT_DEVICE must name the build's device path"
#endif

namespace {

using namespace mqtt_test;

std::string gTiwaysim;
std::string gOrvgate;
std::string gOrvhost;
int gPort = 0;

// A shared machine's slack on every upper bound.
constexpr auto kSlack = 1500ms;
// One failing exchange: three attempts of the previous-command wait and two
// reply waits of 200 ms.
constexpr auto kFailingExchange = 3 * (250ms + 2 * 200ms);

const char kNetwork[] = "card C800\n"
                        "secondary 1 defaults\n"
                        "value 0x01 100 0x1234 0x5678\n"
                        "secondary 2 defaults\n"
                        "value 0x01 1 0x0202\n";
const char kMap[] = "channel 1 gate01.int\n"
                    "device 2 line2\n"
                    "holding 1 0 01V0064 2 uint16 rw\n"
                    "holding 1 20 01V00C8 1 int16 \"Speed\"\n"
                    "holding 2 0 02V0001 1 uint16 rw \"Level\"\n";

const std::string kNbirth = "spBv1.0/Plant/NBIRTH/gw1";
const std::string kNdeath = "spBv1.0/Plant/NDEATH/gw1";
const std::string kBirth1 = "spBv1.0/Plant/DBIRTH/gw1/ch1-plc1";
const std::string kBirth2 = "spBv1.0/Plant/DBIRTH/gw1/line2";
const std::string kDeath1 = "spBv1.0/Plant/DDEATH/gw1/ch1-plc1";
const std::string kDeath2 = "spBv1.0/Plant/DDEATH/gw1/line2";

class GateMqtt : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_.Write("network", kNetwork);
        folder_.Write("gate01.int", "C800;800\n");
        folder_.Write("gate.map", kMap);
        sim_ = std::make_unique<tiwaysim::SimProcess>(gTiwaysim, ORVGATE_MQTT_DEVICE, folder_.path(),
                                                      std::vector<std::string>{"--configured"});
        std::string error;
        ASSERT_TRUE(sim_->Start(error, {"--config", folder_ / "network"})) << error;
        broker_ = std::make_unique<Broker>(
            folder_, "listener " + std::to_string(gPort) + " 127.0.0.1\nallow_anonymous true\n", gPort);
        ASSERT_TRUE(broker_->Start());
        sub_ = std::make_unique<Subscriber>(gPort);
        gate_ = std::make_unique<orvlive::GateProcess>(gOrvgate, folder_ / "orvgate.log");
    }

    void TearDown() override {
        if (gate_ && gate_->pid() > 0) {
            EXPECT_EQ(gate_->Stop(), 0) << "orvgate did not stop cleanly";
        }
        if (HasFailure() && gate_) {
            std::printf("--- orvgate's log\n%s", gate_->Log().c_str());
        }
        sub_.reset();
        broker_.reset();
        if (sim_ && sim_->Running()) {
            sim_->Stop();
        }
    }

    void StartGate(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--map",
                                         folder_ / "gate.map",
                                         "--listen",
                                         "127.0.0.1:" + std::to_string(gPort + 1),
                                         "--timeout",
                                         "200",
                                         "--retry-interval",
                                         "200",
                                         "--mqtt",
                                         "127.0.0.1:" + std::to_string(gPort),
                                         "--mqtt-group",
                                         "Plant",
                                         "--mqtt-node",
                                         "gw1",
                                         "--mqtt-state",
                                         folder_ / "bdseq"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(gate_->Start(args, error)) << error;
    }

    void Control(const std::string &command) {
        ASSERT_EQ(sim_->Control(command), "ok") << command;
    }

    bool LogShows(const std::string &text, Clock::duration limit) {
        for (const auto until = Clock::now() + limit; Clock::now() < until; std::this_thread::sleep_for(20ms)) {
            if (gate_->Log().find(text) != std::string::npos) {
                return true;
            }
        }
        return gate_->Log().find(text) != std::string::npos;
    }

    // The requests the card has taken, as tiwaysim counts them.
    std::string Requests() {
        const std::string counts = sim_->Control("counts");
        const auto at = counts.find("requests ");
        return at == std::string::npos ? counts : counts.substr(at);
    }

    // When the message of `topic` (the `nth`, from 1) arrived.
    Clock::time_point ArrivalOf(const std::string &topic, std::size_t nth = 1) {
        for (const Message &m : sub_->Messages()) {
            if (m.topic == topic && --nth == 0) {
                return m.at;
            }
        }
        return Clock::time_point::max();
    }

    Folder folder_;
    std::unique_ptr<tiwaysim::SimProcess> sim_;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<Subscriber> sub_;
    std::unique_ptr<orvlive::GateProcess> gate_;
};

std::vector<const Decoded *> Of(const std::vector<Decoded> &d, const std::string &topic) {
    std::vector<const Decoded *> out;
    for (const Decoded &m : d) {
        if (m.topic == topic) {
            out.push_back(&m);
        }
    }
    return out;
}

// Every message but the deaths that the broker sent as a Will carries the
// next seq.
void ExpectSeqUnbroken(const std::vector<Decoded> &d) {
    int expected = 0;
    for (const Decoded &m : d) {
        if (m.topic == kNdeath) {
            continue;
        }
        if (m.topic == kNbirth) {
            expected = 0;
        }
        EXPECT_EQ(m.seq, std::to_string(expected)) << m.topic;
        expected = (expected + 1) % 256;
    }
}

TEST_F(GateMqtt, KilledItsDeathArrivesWithinASecondAndItsRestartTakesTheNextBdSeq) {
    StartGate();
    ASSERT_TRUE(sub_->WaitFor(kBirth2, 1, 10s)) << gate_->Log();
    const auto killed = Clock::now();
    gate_->Kill();
    ASSERT_TRUE(sub_->WaitFor(kNdeath, 1, 5s));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(ArrivalOf(kNdeath) - killed);
    std::printf("NDEATH %lld ms after orvgate's SIGKILL\n", static_cast<long long>(took.count()));
    EXPECT_LE(took.count(), 1000);

    StartGate();
    ASSERT_TRUE(sub_->WaitFor(kBirth2, 2, 10s)) << gate_->Log();
    const std::vector<Decoded> d = Decode(sub_->Messages());
    const auto births = Of(d, kNbirth);
    const auto deaths = Of(d, kNdeath);
    ASSERT_EQ(births.size(), 2u);
    ASSERT_EQ(deaths.size(), 1u);
    const Decoded &death = *deaths[0];
    EXPECT_EQ(death.seq, "-");
    ASSERT_EQ(death.metrics.size(), 1u);
    EXPECT_EQ(death.metrics[0].name, "bdSeq");
    EXPECT_EQ(death.metrics[0].type, "Int64");
    const std::string first = births[0]->Named("bdSeq")->value;
    EXPECT_EQ(death.metrics[0].value, first) << "the Will holds the bdSeq of the birth it ends";
    // sparkplug-payload shows an Int64 as a quoted Long.
    const long next = std::stol(first.substr(1)) + 1;
    EXPECT_EQ(births[1]->Named("bdSeq")->value, "\"" + std::to_string(next) + "\"") << "kept across the restart";
    ExpectSeqUnbroken(d);
}

TEST_F(GateMqtt, ASecondaryThatDropsOffDiesAndIsBornAgainWithWhatItHolds) {
    StartGate();
    ASSERT_TRUE(sub_->WaitFor(kBirth2, 1, 10s)) << gate_->Log();
    const auto dropped = Clock::now();
    Control("disconnect 2");
    const auto bound = kFailingExchange + kSlack;
    ASSERT_TRUE(sub_->WaitFor(kDeath2, 1, bound)) << gate_->Log();
    std::printf("DDEATH of line2 %lld ms after its PLC dropped off\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(ArrivalOf(kDeath2) - dropped).count()));
    Control("reconnect 2");
    ASSERT_TRUE(sub_->WaitFor(kBirth2, 2, 10s)) << gate_->Log();
    std::this_thread::sleep_for(500ms); // a few more cycles, that must publish nothing
    gate_->Stop();
    ASSERT_TRUE(sub_->WaitFor(kNdeath, 1, 5s));

    const std::vector<Decoded> d = Decode(sub_->Messages());
    std::string topics;
    for (const Decoded &m : d) {
        topics += m.topic.substr(m.topic.find("/gw1")) + " ";
    }
    // The other PLC's device lives on, and values that did not change publish nothing.
    const std::vector<std::string> expected = {kNbirth, kBirth1, kBirth2, kDeath2, kBirth2, kNdeath};
    ASSERT_EQ(d.size(), expected.size()) << topics;
    for (std::size_t i = 0; i < d.size(); ++i) {
        EXPECT_EQ(d[i].topic, expected[i]) << topics;
    }
    const Decoded::Metric *level = d[4].Named("Level");
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(level->value, "514");
    EXPECT_EQ(level->type, "UInt16");
    EXPECT_FALSE(level->null);
    EXPECT_EQ(d[1].Named("V100")->value, "4660");
    EXPECT_EQ(d[1].Named("V101")->value, "22136");
    ExpectSeqUnbroken(d);
}

TEST_F(GateMqtt, AHostsCommandsRebirthWriteWhatIsWritableAndConfirmWhatThePlcHolds) {
    StartGate();
    ASSERT_TRUE(sub_->WaitFor(kBirth2, 1, 10s)) << gate_->Log();
    sub_->Publish(
        "spBv1.0/Plant/NCMD/gw1",
        Encode(R"({"timestamp":1,"metrics":[{"name":"Node Control/Rebirth","type":"Boolean","value":true}]})"));
    ASSERT_TRUE(sub_->WaitFor(kBirth2, 2, 5s)) << gate_->Log();
    const std::string dcmd = "spBv1.0/Plant/DCMD/gw1/ch1-plc1";
    const std::string now = std::to_string(WallMs()); // a command older than a minute is refused
    sub_->Publish(dcmd,
                  Encode(R"({"timestamp":)" + now + R"(,"metrics":[{"name":"Speed","type":"Int16","value":55}]})"));
    sub_->Publish(dcmd,
                  Encode(R"({"timestamp":)" + now + R"(,"metrics":[{"name":"V100","type":"UInt16","value":4343}]})"));
    ASSERT_TRUE(sub_->WaitFor("spBv1.0/Plant/DDATA/gw1/ch1-plc1", 1, 5s)) << gate_->Log();
    EXPECT_EQ(gate_->Stop(), 0);
    ASSERT_TRUE(sub_->WaitFor(kNdeath, 1, 5s));
    EXPECT_NE(gate_->Log().find("not written: \"Speed\": a read-only metric"), std::string::npos) << gate_->Log();
    // The applied command leaves one audit line: who, what, the value the PLC held before, the new one, the outcome.
    const std::string log = gate_->Log();
    EXPECT_EQ(log.find("audit: "), log.rfind("audit: ")) << log;
    EXPECT_NE(log.find("from an MQTT command: channel 1 secondary 1 01V0064: 4660 -> 4343: applied"), std::string::npos)
        << log;

    const std::vector<Decoded> d = Decode(sub_->Messages());
    const auto births = Of(d, kNbirth);
    ASSERT_EQ(births.size(), 2u);
    EXPECT_EQ(Of(d, kNdeath).size(), 1u) << "a rebirth keeps the session: only the stop's death";
    EXPECT_EQ(births[1]->seq, "0");
    EXPECT_EQ(births[1]->Named("bdSeq")->value, births[0]->Named("bdSeq")->value);
    EXPECT_EQ(Of(d, kBirth1).size(), 2u);
    ExpectSeqUnbroken(d);
    const auto data = Of(d, "spBv1.0/Plant/DDATA/gw1/ch1-plc1");
    ASSERT_EQ(data.size(), 1u);
    ASSERT_EQ(data[0]->metrics.size(), 1u);
    EXPECT_EQ(data[0]->metrics[0].value, "4343") << "the value read back from the PLC";
    EXPECT_EQ(data[0]->metrics[0].name, "-") << "data carry the alias alone";

    // What the PLC holds, read through the driver with the gateway gone.
    const e2e::Outcome read = e2e::Run({gOrvhost, "-c", "1", "-f", folder_ / "gate01.int", "-l", "33", "-"},
                                       folder_.path(), "read 01V0064\nread 01V00C8 -t int16\n", 60s);
    EXPECT_EQ(read.exitCode, 0) << read.err;
    EXPECT_NE(read.out.find("01V0064: 4343\n"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("01V00C8: 0\n"), std::string::npos) << "the read-only metric was written: " << read.out;
}

TEST_F(GateMqtt, ACommandTheNetworkNeverAnsweredIsNeverConfirmed) {
    // The map's three blocks read a third of a 9 s period apart, so that
    // the command, sent just after a scan read, is the first request the
    // hanging card meets.
    StartGate({"--scan-period", "9000", "--max-age", "30000"});
    ASSERT_TRUE(sub_->WaitFor(kBirth2, 1, 10s)) << gate_->Log();
    const std::string before = Requests();
    for (auto end = Clock::now() + 10s; Clock::now() < end && Requests() == before;) {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(50ms); // that read's reply taken
    Control("ack-no-reply on");
    sub_->Publish("spBv1.0/Plant/DCMD/gw1/line2",
                  Encode(R"({"timestamp":)" + std::to_string(WallMs()) +
                         R"(,"metrics":[{"name":"Level","type":"UInt16","value":777}]})"));
    ASSERT_TRUE(sub_->WaitFor(kDeath2, 1, kFailingExchange + kSlack)) << gate_->Log();
    ASSERT_TRUE(sub_->WaitFor(kDeath1, 1, kSlack)) << "the card is lost, and each of its devices with it";
    // The command's outcome reaches the edge node after the card's loss does.
    EXPECT_TRUE(LogShows("DCMD line2: \"Level\": write not confirmed", kSlack)) << gate_->Log();

    Control("ack-no-reply off");
    ASSERT_TRUE(sub_->WaitFor(kBirth2, 2, 30s)) << gate_->Log();
    const std::vector<Decoded> d = Decode(sub_->Messages());
    for (const Decoded &m : d) {
        if (m.topic.find("/DDATA/") != std::string::npos) {
            ADD_FAILURE() << m.topic << " confirmed a value after a write that failed";
        }
    }
    const auto births = Of(d, kBirth2);
    ASSERT_EQ(births.size(), 2u);
    EXPECT_EQ(births[1]->Named("Level")->value, "514") << "the write was not applied";
}

} // namespace

int main(int argc, char **argv) {
    return RunCases(argc, argv, {"--tiwaysim", "--orvgate", "--orvhost", "--port"},
                    [](const std::map<std::string, std::string> &args) {
                        gTiwaysim = args.at("--tiwaysim");
                        gOrvgate = args.at("--orvgate");
                        gOrvhost = args.at("--orvhost");
                        gPort = std::stoi(args.at("--port"));
                    });
}
