// orvgate's faults as a plant meets them, each case with a tiwaysim and an
// orvgate of its own: a card's process killed and restarted, one secondary
// disconnected, a card back while its only PLC stays off, a PLC back with
// its first block refused, a write whose reply never comes in time, writes
// whose client left or whose deadline passed, a dead card beside a live
// one, more clients than slots or a peer not allowed, no file descriptor
// left for a newcomer, a client that takes its answers late, and bytes
// that are no Modbus request. Clients are libmodbus and raw sockets.
//
// orvgate runs with a reply time-out of T = 200 ms. One failing read of a
// dead card takes at most 3 x (250 ms + 2 T) = 1950 ms (three attempts,
// each the previous-command wait and the two reply waits); its channel's
// values are withdrawn when it fails. Each card has a driver thread of its
// own, so cards that die together are found dead together.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <modbus/modbus.h>

#include "gate_process.h"
#include "sim_process.h"

#ifndef ORVGATE_FAULTS_DEVICE
#error "ORVGATE_FAULTS_DEVICE must name the build's device path"
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string gTiwaysim;
std::string gOrvgate;
int gPort = 0;
std::atomic<int> gCasesRun{0};

constexpr auto kFailingRead = 3 * (250ms + 2 * 200ms);
// The statistics registers: the header, then each channel's row.
constexpr int kStatsWritesApplied = 10;
constexpr int kStatsWritesExpired = 16;
constexpr int kStatsWritesDropped = 18;
constexpr int kStatsGaveWay = 24;
constexpr int kStatsMalformed = 26;
constexpr int kStatsNotAllowed = 30;
constexpr int kStatsChannelCycles = 32 + 4; // channel 1's row
// A shared machine's slack on every upper bound.
constexpr auto kSlack = 1500ms;

const char kNetwork[] = "card C800\n"
                        "secondary 1 defaults\n"
                        "value 0x01 100 0x1234 0x5678\n"
                        "secondary 2 defaults\n"
                        "value 0x01 1 0x0202\n"
                        "card D000\n"
                        "secondary 3 defaults\n"
                        "value 0x01 1 0x0303\n";
const char kMap[] = "channel 1 gate01.int\n"
                    "holding 1 0 01V0064 2 uint16 rw\n"
                    "holding 1 10 01K0100 2 uint16 rw\n"
                    "holding 2 0 02V0001 1 uint16 rw\n"
                    "channel 2 gate02.int\n"
                    "holding 3 0 03V0001 1 uint16 rw\n";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream(path) << text;
}

// A libmodbus client. Results: 0, a Modbus exception code, or -1 when the
// connection failed.
class Client {
  public:
    Client() : ctx_(modbus_new_tcp("127.0.0.1", gPort)) {
        modbus_set_response_timeout(ctx_, 5, 0);
        connected_ = modbus_connect(ctx_) == 0;
    }
    ~Client() {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connected() const {
        return connected_;
    }
    int Read(int unit, int address, std::uint16_t &value) {
        modbus_set_slave(ctx_, unit);
        return Outcome(modbus_read_registers(ctx_, address, 1, &value));
    }
    int Write(int unit, int address, std::uint16_t value) {
        modbus_set_slave(ctx_, unit);
        return Outcome(modbus_write_register(ctx_, address, value));
    }
    void Timeout(std::uint32_t seconds) {
        modbus_set_response_timeout(ctx_, seconds, 0);
    }

    // A 32-bit counter of the statistics unit's registers.
    long ReadStat(int address) {
        std::uint16_t words[2] = {};
        modbus_set_slave(ctx_, 247);
        return modbus_read_input_registers(ctx_, address, 2, words) == 2 ? (long{words[0]} << 16) | words[1] : -1;
    }

  private:
    static int Outcome(int rc) {
        if (rc >= 0) {
            return 0;
        }
        return errno > MODBUS_ENOBASE && errno < MODBUS_ENOBASE + 0x20 ? errno - MODBUS_ENOBASE : -1;
    }
    modbus_t *ctx_;
    bool connected_ = false;
};

// A socket that speaks no Modbus, or broken Modbus, from 127.0.0.1 or the
// loopback address `from`.
class RawSocket {
  public:
    explicit RawSocket(const char *from = nullptr) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        if (from != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            if (inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
                bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
                return;
            }
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(gPort));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
        timeval wait{3, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~RawSocket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;

    bool Send(const std::vector<std::uint8_t> &bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // What comes back: bytes, or an empty vector once the server closed the
    // connection; `timedOut` when nothing came for 3 s.
    std::vector<std::uint8_t> Receive(bool &timedOut) {
        std::uint8_t buffer[300];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        return n > 0 ? std::vector<std::uint8_t>(buffer, buffer + n) : std::vector<std::uint8_t>();
    }
    bool connected() const {
        return connected_;
    }
    void Close() {
        close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
    bool connected_ = false;
};

class GateFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        ++gCasesRun;
        char pattern[] = "/tmp/orvgate-faults-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        WriteFile(dir_ + "/network", kNetwork);
        WriteFile(dir_ + "/gate01.int", "C800;800\nK;02;2;1\n");
        WriteFile(dir_ + "/gate02.int", "D000;800\n");
        WriteFile(dir_ + "/gate.map", kMap);
        sim_ = std::make_unique<tiwaysim::SimProcess>(gTiwaysim, ORVGATE_FAULTS_DEVICE, dir_,
                                                      std::vector<std::string>{"--configured"});
        std::string error;
        ASSERT_TRUE(sim_->Start(error, {"--config", dir_ + "/network"})) << error;
        gate_ = std::make_unique<orvlive::GateProcess>(gOrvgate, dir_ + "/orvgate.log");
    }

    void StartGate(std::vector<std::string> extra = {}, const std::string &timeoutMs = "200") {
        std::vector<std::string> args = {
            "--map",     dir_ + "/gate.map", "--listen",         "127.0.0.1:" + std::to_string(gPort),
            "--timeout", timeoutMs,          "--retry-interval", "200",
            "--stats"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(gate_->Start(args, error)) << error;
    }

    void TearDown() override {
        if (gate_) {
            const bool running = gate_->pid() > 0;
            const int code = gate_->Stop(stopSignal_);
            if (running) {
                EXPECT_EQ(code, 0) << "orvgate did not stop cleanly";
            }
            if (HasFailure() || running) {
                std::printf("--- orvgate's log\n%s", gate_->Log().c_str());
            }
        }
        if (sim_ && sim_->Running()) {
            sim_->Stop();
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void Control(const std::string &command) {
        ASSERT_EQ(sim_->Control(command), "ok") << command;
    }

    // The resets a card answered since it came up, as tiwaysim counts them.
    long Resets(const std::string &card) {
        const std::string counts = sim_->Control("card " + card + " counts");
        return counts.rfind("resets ", 0) == 0 ? std::atol(counts.c_str() + 7) : -1;
    }

    bool LogShows(const std::string &text, Clock::duration limit) {
        for (const auto until = Clock::now() + limit; Clock::now() < until; std::this_thread::sleep_for(20ms)) {
            if (gate_->Log().find(text) != std::string::npos) {
                return true;
            }
        }
        return gate_->Log().find(text) != std::string::npos;
    }

    // Waits for channel 1's next scan cycle to end.
    void NextCycle(Client &c, Clock::duration limit) {
        const long cycles = c.ReadStat(kStatsChannelCycles);
        const auto t0 = Clock::now();
        while (c.ReadStat(kStatsChannelCycles) == cycles && Clock::now() - t0 < limit) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_GT(c.ReadStat(kStatsChannelCycles), cycles) << "no scan cycle ended";
    }

    // Reads until `done` says the outcome is the awaited one or `limit`
    // passes; returns how long it took, or `limit` and more.
    template <typename Done>
    Clock::duration ReadUntil(Client &c, int unit, Clock::duration limit, Done done, int address = 0) {
        const auto t0 = Clock::now();
        while (Clock::now() - t0 < limit) {
            std::uint16_t value = 0;
            const int outcome = c.Read(unit, address, value);
            if (done(outcome, value)) {
                return Clock::now() - t0;
            }
            std::this_thread::sleep_for(10ms);
        }
        return Clock::now() - t0 + 1ms;
    }

    std::string dir_;
    std::unique_ptr<tiwaysim::SimProcess> sim_;
    std::unique_ptr<orvlive::GateProcess> gate_;
    int stopSignal_ = SIGTERM;
};

TEST_F(GateFaults, CardKilledThenRestartedWithNewValues) {
    StartGate();
    Client c;
    ASSERT_TRUE(c.connected());
    std::uint16_t value = 0;
    ASSERT_EQ(c.Read(1, 0, value), 0);
    EXPECT_EQ(value, 0x1234);

    sim_->Kill();
    // Both channels die at once, and each card's thread finds its own dead:
    // one failing read, not one per channel.
    const auto bound = kFailingRead + 100ms + kSlack;
    const auto gone = ReadUntil(c, 1, bound, [](int outcome, std::uint16_t) { return outcome == 0x0B; });
    std::printf("channel 1's values turned to 0x0B %.0f ms after the kill (bound %.0f ms)\n", Ms(gone), Ms(bound));
    EXPECT_LT(gone, bound);
    const auto gone3 = ReadUntil(c, 3, bound, [](int outcome, std::uint16_t) { return outcome == 0x0B; });
    EXPECT_LT(gone3, bound) << "channel 2";
    // With every channel lost the driver thread waits for the next retry.
    const double cpu0 = gate_->CpuSeconds();
    std::this_thread::sleep_for(1s);
    const double cpu = gate_->CpuSeconds() - cpu0;
    std::printf("orvgate used %.2f s CPU in the second after both channels were lost\n", cpu);
    EXPECT_LT(cpu, 0.3);

    // The card comes back holding other values: none of the old ones may be served.
    std::this_thread::sleep_for(1s);
    std::string network = kNetwork;
    network.replace(network.find("0x1234"), 6, "0x4321");
    WriteFile(dir_ + "/network", network);
    std::string error;
    ASSERT_TRUE(sim_->Start(error, {"--config", dir_ + "/network"})) << error;
    // A read that tries the channel again finds the new card; but a warm
    // start that began while the card was dead waits out the driver's reset
    // time-out (1 s + 20 s) first, and the next try comes after the doubled
    // wait (at most 6.4 s by then).
    const auto limit = 1s + 20s + 6400ms + kSlack;
    int stale = 0;
    const auto back = ReadUntil(c, 1, limit, [&](int outcome, std::uint16_t v) {
        stale += outcome == 0 && v != 0x4321 ? 1 : 0;
        return outcome == 0 && v == 0x4321;
    });
    std::printf("channel 1 served the new value %.0f ms after the restart\n", Ms(back));
    EXPECT_LT(back, limit);
    EXPECT_EQ(stale, 0) << "an old value was served after the restart";
    EXPECT_LT(ReadUntil(c, 3, limit, [](int outcome, std::uint16_t v) { return outcome == 0 && v == 0x0303; }), limit);
}

TEST_F(GateFaults, OneSecondaryDisconnectedTakesOnlyItsRanges) {
    StartGate();
    Client c;
    ASSERT_TRUE(c.connected());
    Control("disconnect 2");
    const auto gone = ReadUntil(c, 2, 3s, [](int outcome, std::uint16_t) { return outcome == 0x0B; });
    std::printf("secondary 2's value turned to 0x0B after %.0f ms\n", Ms(gone));
    EXPECT_LT(gone, 3s);
    // Meanwhile, and for a while after, the others answer every time.
    int good = 0;
    int bad = 0;
    const auto until = Clock::now() + 1500ms;
    while (Clock::now() < until) {
        for (const int unit : {1, 3}) {
            std::uint16_t value = 0;
            const int outcome = c.Read(unit, 0, value);
            (outcome == 0 && value == (unit == 1 ? 0x1234 : 0x0303) ? good : bad) += 1;
        }
        std::uint16_t ignored = 0;
        EXPECT_EQ(c.Read(2, 0, ignored), 0x0B);
    }
    EXPECT_EQ(bad, 0) << good << " good reads";
    EXPECT_GT(good, 10);

    Control("reconnect 2");
    const auto back = ReadUntil(c, 2, 10s, [](int outcome, std::uint16_t v) { return outcome == 0 && v == 0x0202; });
    std::printf("secondary 2 back after %.0f ms\n", Ms(back));
    EXPECT_LT(back, 10s);
    EXPECT_NE(gate_->Log().find("secondary 2 on channel 1 lost: disconnected from the network (MHIU 0x0104): "
                                "CheckReply() - MHIU Error: 0x0104"),
              std::string::npos);
    // Logged once the read that brought it back is judged, which a client may see first.
    EXPECT_TRUE(LogShows("secondary 2 on channel 1 back after", 2s)) << gate_->Log();
}

TEST_F(GateFaults, AWriteWhoseReplyDoesNotComeIsNeverAcknowledged) {
    // A pause after each scan cycle, so that the write below is the first
    // request the slowed card meets, not a scan read.
    StartGate({"--scan-period", "2000", "--max-age", "5000"});
    Client c;
    ASSERT_TRUE(c.connected());
    std::uint16_t value = 0;
    ASSERT_EQ(c.Read(1, 0, value), 0);
    NextCycle(c, 5s);

    // Channel 1's card takes the write but answers after the reply time-out.
    Control("card C800 delay 1000");
    EXPECT_EQ(c.Write(1, 0, 0x0BAD), 0x0B);
    // Its channel is now lost: a write is answered at once, without the card.
    const auto t1 = Clock::now();
    EXPECT_EQ(c.Write(1, 1, 0x0BAD), 0x0B);
    const auto quick = Clock::now() - t1;
    std::printf("a write to the lost channel was answered after %.1f ms\n", Ms(quick));
    EXPECT_LT(quick, 100ms + kSlack);
    // Channel 2's card takes the write and never answers.
    Control("card D000 ack-no-reply on");
    EXPECT_EQ(c.Write(3, 0, 0x0BAD), 0x0B);
    Control("card C800 delay 0");
    Control("card D000 ack-no-reply off");

    // Warm starts bring the channels back, and the gateway serves what the
    // cards hold: the late write was applied, the other two were not.
    EXPECT_LT(ReadUntil(c, 1, 15s, [](int outcome, std::uint16_t v) { return outcome == 0 && v == 0x0BAD; }), 15s);
    ASSERT_EQ(c.Read(1, 1, value), 0);
    EXPECT_EQ(value, 0x5678);
    EXPECT_LT(ReadUntil(c, 3, 15s, [](int outcome, std::uint16_t v) { return outcome == 0 && v == 0x0303; }), 15s);
    EXPECT_NE(gate_->Log().find("channel 1: warm start: ok"), std::string::npos);
}

// The card answers again while the only PLC behind it stays off: one warm
// start brings the channel back, and the PLC is tried on its own schedule,
// with no more resets of the adapter.
TEST_F(GateFaults, ACardBackWithItsOnlyPlcOffIsResetOnce) {
    StartGate();
    Client c;
    ASSERT_LT(ReadUntil(c, 3, 3s, [](int outcome, std::uint16_t v) { return outcome == 0 && v == 0x0303; }), 3s);
    Control("card D000 ack-no-reply on"); // the card's mailbox hangs: the channel is lost
    ASSERT_TRUE(LogShows("channel 2 lost", kFailingRead + kSlack)) << gate_->Log();
    Control("card D000 disconnect 3");
    Control("card D000 ack-no-reply off");
    const long before = Resets("D000");
    std::this_thread::sleep_for(30s);
    const long resets = Resets("D000") - before;
    std::printf("the adapter of channel 2 was reset %ld times in the 30 s after its card came back\n", resets);
    EXPECT_GE(resets, 1) << "the card's hung mailbox needs one warm start";
    EXPECT_LE(resets, 2);
    const std::string log = gate_->Log();
    EXPECT_NE(log.find("channel 2 back after"), std::string::npos) << log;
    EXPECT_NE(log.find("secondary 3 on channel 2 lost: disconnected from the network (MHIU 0x0104): CheckReply() - "
                       "MHIU Error: 0x0104"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("orvgate: channel 2 lost"), log.rfind("orvgate: channel 2 lost"))
        << "the channel was lost again";
    std::uint16_t value = 0;
    EXPECT_EQ(c.Read(1, 0, value), 0) << "the other card is served throughout";
}

// A PLC comes back after an outage with its first mapped block refused (its
// K memory is smaller now): that block fails alone, with 0x04 for reads and
// writes, and the rest of the PLC is served again.
TEST_F(GateFaults, APlcBackWithItsFirstBlockRefusedServesTheRest) {
    StartGate();
    Client c;
    ASSERT_LT(ReadUntil(
                  c, 1, 3s, [](int outcome, std::uint16_t) { return outcome == 0; }, 10),
              3s);
    Control("card C800 disconnect 1");
    ASSERT_LT(ReadUntil(c, 1, 3s, [](int outcome, std::uint16_t) { return outcome == 0x0B; }), 3s);
    Control("card C800 region 1 0x02 128"); // K256 is past its end now
    Control("card C800 reconnect 1");
    const auto back = ReadUntil(c, 1, 10s, [](int outcome, std::uint16_t v) { return outcome == 0 && v == 0x1234; });
    std::printf("secondary 1 served again %.0f ms after it was back\n", Ms(back));
    EXPECT_LT(back, 10s);
    std::uint16_t value = 0;
    EXPECT_EQ(c.Read(1, 10, value), 0x04) << "the refused block: the PLC refuses it, which is not a cable";
    EXPECT_EQ(c.Write(1, 10, 7), 0x04);
    EXPECT_NE(gate_->Log().find("channel 1 01K0100 x 2 failed: the element is beyond the controller's memory (error "
                                "0x02): CheckReply() - primitive error: 0x0002"),
              std::string::npos)
        << gate_->Log();
}

// Writes queued behind a slow exchange: one whose client left before it
// began is dropped, one that waited past --write-timeout (300 ms) is
// answered 0x0B; neither is ever applied, and the one under way is.
TEST_F(GateFaults, AWriteIsNeverAppliedAfterItsClientLeftOrItsDeadlinePassed) {
    // A cycle every 5 s, so that the writes below are the card's only work,
    // and a time-out above the card's 1 s delay.
    StartGate({"--scan-period", "5000", "--max-age", "10000"}, "2000");
    Client a;
    Client b;
    a.Timeout(10);
    std::uint16_t value = 0;
    ASSERT_EQ(a.Read(1, 1, value), 0);
    ASSERT_EQ(value, 0x5678);
    NextCycle(a, 10s);
    Control("card C800 delay 1000");
    int first = -1;
    std::thread slow([&] { first = a.Write(1, 0, 0x1111); }); // the card is busy with it for a second
    std::this_thread::sleep_for(100ms);
    RawSocket leaving; // writes unit 2's V1, then leaves at once
    ASSERT_TRUE(leaving.Send({0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x02, 0x06, 0x00, 0x00, 0x33, 0x33}));
    std::this_thread::sleep_for(20ms);
    leaving.Close();
    const auto t0 = Clock::now();
    EXPECT_EQ(b.Write(1, 1, 0x2222), 0x0B) << "a write that waited past its deadline";
    std::printf("the late write was answered after %.0f ms\n", Ms(Clock::now() - t0));
    slow.join();
    EXPECT_EQ(first, 0) << "the write under way is applied and acknowledged";
    Control("card C800 delay 0");

    NextCycle(a, 10s); // what the controllers hold now, read by the scan
    ASSERT_EQ(a.Read(1, 0, value), 0);
    EXPECT_EQ(value, 0x1111);
    ASSERT_EQ(a.Read(1, 1, value), 0);
    EXPECT_EQ(value, 0x5678) << "the write past its deadline was applied";
    ASSERT_EQ(a.Read(2, 0, value), 0);
    EXPECT_EQ(value, 0x0202) << "the write whose client left was applied";
    EXPECT_EQ(a.ReadStat(kStatsWritesApplied), 1);
    EXPECT_EQ(a.ReadStat(kStatsWritesExpired), 1);
    EXPECT_EQ(a.ReadStat(kStatsWritesDropped), 1);
    const std::string log = gate_->Log();
    EXPECT_NE(log.find("write of holding 0..0 at unit 2 from 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("dropped: its requester left before it began"), std::string::npos) << log;
    EXPECT_NE(log.find("past its deadline"), std::string::npos) << log;
}

// A card dead with its reset never answered: its warm starts hold its own
// thread for the driver's 1 s + 20 s reset wait, and nothing else.
TEST_F(GateFaults, ADeadCardNeverHoldsUpALiveOne) {
    StartGate();
    Client c;
    ASSERT_LT(ReadUntil(c, 3, 3s, [](int outcome, std::uint16_t v) { return outcome == 0 && v == 0x0303; }), 3s);
    Control("card C800 no-reset on");
    Control("card C800 drop-ack on");
    int good = 0;
    int bad = 0;
    Clock::duration slowestWrite{0};
    const auto t0 = Clock::now();
    for (int i = 0; !LogShows("channel 1: warm start:", 0s) && Clock::now() - t0 < 35s; ++i) {
        std::uint16_t value = 0;
        (c.Read(3, 0, value) == 0 && value == 0x0303 ? good : bad) += 1;
        if (i % 25 == 0) {
            const auto w0 = Clock::now();
            EXPECT_EQ(c.Write(3, 0, 0x0303), 0);
            slowestWrite = std::max(slowestWrite, Clock::now() - w0);
        }
        std::this_thread::sleep_for(20ms);
    }
    std::printf("while channel 1's card was dead for %.1f s: %d good reads of channel 2, %d bad, slowest write %.1f "
                "ms\n",
                Seconds(Clock::now() - t0), good, bad, Ms(slowestWrite));
    EXPECT_NE(gate_->Log().find("channel 1: warm start:"), std::string::npos) << "the dead card's warm start ended";
    EXPECT_GE(Clock::now() - t0, 20s) << "the warm start waited out the reset";
    EXPECT_EQ(bad, 0);
    EXPECT_LT(slowestWrite, 100ms + kSlack);
}

// A map asking about 150 % of a 38400 bit/s line: four 128-word bulk
// reads (57 ms each) every 150 ms, and a two-word alarm every 100 ms. The
// alarm keeps its period (within one bulk read, and a loaded machine's
// slack), the bulk stretches, and the log and the statistics say which.
TEST_F(GateFaults, AFastClassKeepsItsRateWhileTheBulkStretches) {
    WriteFile(dir_ + "/gate.map", "class alarm 100ms\n"
                                  "class bulk 150ms max-age 5s\n"
                                  "channel 1 gate01.int\n"
                                  "holding 1 0 01V0064 2 uint16 class alarm\n"
                                  "holding 1 100 01V0081 128 uint16 class bulk\n"
                                  "holding 1 300 01V0101 128 uint16 class bulk\n"
                                  "holding 1 500 01V0181 128 uint16 class bulk\n"
                                  "holding 1 700 01V0201 128 uint16 class bulk\n");
    Control("card C800 line-rate 38400");
    StartGate();
    ASSERT_TRUE(LogShows("channel 1 class bulk misses its period of 150 ms", 10s));
    std::this_thread::sleep_for(3s); // a window of the alarm's reads with the bulk stretched
    Client c;
    // The class rows follow the header, the channel's row and its secondary's.
    std::uint16_t r[34 + 10 + 12 + 2 * 12] = {};
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", gPort);
    ASSERT_EQ(modbus_connect(ctx), 0);
    modbus_set_slave(ctx, 247);
    const int n = static_cast<int>(std::size(r));
    const int got = modbus_read_input_registers(ctx, 0, n, r);
    modbus_close(ctx);
    modbus_free(ctx);
    ASSERT_EQ(got, n);
    ASSERT_EQ(r[32], 2) << "a row for each class";
    const std::uint16_t *alarm = r + 34 + 10 + 12;
    const std::uint16_t *bulk = alarm + 12;
    const auto ms = [](const std::uint16_t *at) { return (long{at[0]} << 16) | at[1]; };
    std::printf("alarm: period %ld ms, achieved median %ld ms, p99 %ld ms, %d permille of the line; bulk: period %ld "
                "ms, stretched to %ld ms, achieved median %ld ms, %d permille\n",
                ms(alarm + 2), ms(alarm + 4), ms(alarm + 6), alarm[10], ms(bulk + 2), ms(bulk + 8), ms(bulk + 4),
                bulk[10]);
    EXPECT_EQ(ms(alarm + 2), 100);
    // Less than one round of the bulk (233 ms), which a single rate would make it wait.
    EXPECT_LT(ms(alarm + 4), 200) << "the alarm's period kept";
    EXPECT_EQ(alarm[11], 0);
    EXPECT_EQ(bulk[11], 1) << "the bulk misses its period";
    EXPECT_GT(ms(bulk + 8), 150) << "and was stretched";
    std::uint16_t value = 0;
    EXPECT_EQ(c.Read(1, 100, value), 0) << "the stretched bulk is still served, within its ceiling";
}

// With every slot taken, the connection idle past --keep-active gives way
// to a newcomer, and one that asked within it does not; a peer outside
// --allow is refused at accept. Every accept, refusal and close is logged
// with the peer (accepts with --verbose). SIGHUP stops the gateway as cleanly as SIGTERM.
TEST_F(GateFaults, TheIdleConnectionGivesWayToANewcomerAndOnlyAllowedPeersConnect) {
    StartGate({"--max-clients", "2", "--keep-active", "1", "--allow", "127.0.0.1", "--verbose"});
    RawSocket stranger("127.0.0.2");
    ASSERT_TRUE(stranger.connected()) << "no connection from 127.0.0.2 here";
    bool timedOut = false;
    EXPECT_TRUE(stranger.Receive(timedOut).empty());
    EXPECT_FALSE(timedOut) << "a peer outside --allow was not closed at once";
    Client idle;
    Client busy;
    std::uint16_t value = 0;
    ASSERT_EQ(idle.Read(1, 0, value), 0);
    std::this_thread::sleep_for(1100ms);
    ASSERT_EQ(busy.Read(3, 0, value), 0);
    Client newcomer;
    ASSERT_EQ(newcomer.Read(1, 0, value), 0);
    EXPECT_EQ(value, 0x1234);
    EXPECT_EQ(busy.Read(3, 0, value), 0);
    EXPECT_EQ(idle.Read(1, 0, value), -1) << "the idle connection was closed for the newcomer";
    EXPECT_EQ(busy.ReadStat(kStatsGaveWay), 1);
    EXPECT_EQ(busy.ReadStat(kStatsNotAllowed), 1);
    const std::string log = gate_->Log();
    EXPECT_NE(log.find("closed: it gave way to 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("connected (2 of 2)"), std::string::npos) << log;
    EXPECT_NE(log.find("refused 127.0.0.2:"), std::string::npos) << log;
    stopSignal_ = SIGHUP;
}

// Lowers orvgate's limit of open files to its lowest free descriptor, so
// that none is left for a newcomer.
bool LeaveNoDescriptor(pid_t pid) {
    std::set<int> open;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        open.insert(std::atoi(e.path().filename().c_str()));
    }
    int lowestFree = 0;
    while (open.count(lowestFree) != 0) {
        ++lowestFree;
    }
    rlimit limit{};
    if (open.empty() || prlimit(pid, RLIMIT_NOFILE, nullptr, &limit) != 0) {
        return false;
    }
    limit.rlim_cur = static_cast<rlim_t>(lowestFree);
    return prlimit(pid, RLIMIT_NOFILE, &limit, nullptr) == 0;
}

// With no file descriptor left for a newcomer, the server rests its
// listening socket rather than spin on accept, serves the connections it
// has, says so once, and accepts again when descriptors come back.
TEST_F(GateFaults, WithoutFileDescriptorsTheServerNeitherSpinsNorStopsServing) {
    StartGate();
    Client polling;
    std::uint16_t value = 0;
    ASSERT_EQ(polling.Read(1, 0, value), 0);
    rlimit before{};
    ASSERT_EQ(prlimit(gate_->pid(), RLIMIT_NOFILE, nullptr, &before), 0);
    ASSERT_TRUE(LeaveNoDescriptor(gate_->pid()));
    RawSocket waiting;
    ASSERT_TRUE(waiting.connected()) << "the backlog holds it";
    const double cpu0 = gate_->CpuSeconds();
    int good = 0;
    int bad = 0;
    for (const auto until = Clock::now() + 1s; Clock::now() < until; std::this_thread::sleep_for(50ms)) {
        (polling.Read(1, 0, value) == 0 && value == 0x1234 ? good : bad) += 1;
    }
    const double cpu = gate_->CpuSeconds() - cpu0;
    std::printf("out of descriptors, orvgate used %.2f s CPU in a second and answered %d reads (%d failed)\n", cpu,
                good, bad);
    EXPECT_LT(cpu, 0.3) << "the accept loop spins";
    EXPECT_EQ(bad, 0);
    EXPECT_GE(good, 10);
    EXPECT_TRUE(LogShows("cannot accept a connection: Too many open files", 0s)) << gate_->Log();

    ASSERT_EQ(prlimit(gate_->pid(), RLIMIT_NOFILE, &before, nullptr), 0);
    EXPECT_TRUE(LogShows("accepting connections again after", 2s)) << gate_->Log();
    const std::string log = gate_->Log();
    EXPECT_EQ(log.find("cannot accept a connection"), log.rfind("cannot accept a connection"))
        << "logged more than once in one episode";
}

// A client that sends many requests before it reads any answer: once its
// socket's buffers are full it is waited for, not closed, and it gets every
// answer in order.
TEST_F(GateFaults, AClientThatTakesItsAnswersLateGetsEveryOne) {
    StartGate();
    Client c;
    ASSERT_LT(ReadUntil(c, 1, 3s, [](int outcome, std::uint16_t v) { return outcome == 0 && v == 0x1234; }), 3s);
    RawSocket late;
    constexpr int kRequests = 100000;
    std::thread sender([&] {
        std::vector<std::uint8_t> bytes;
        for (int i = 0; i < kRequests; ++i) {
            const auto t = static_cast<std::uint8_t>(i);
            const std::uint8_t read[] = {static_cast<std::uint8_t>(i >> 8), t, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2};
            bytes.insert(bytes.end(), read, read + sizeof read);
        }
        EXPECT_TRUE(late.Send(bytes));
    });
    std::this_thread::sleep_for(1500ms); // the answers pile up meanwhile
    std::vector<std::uint8_t> got;
    constexpr std::size_t kAnswer = 13; // header, function, byte count, two registers
    bool timedOut = false;
    while (got.size() < kRequests * kAnswer) {
        const std::vector<std::uint8_t> more = late.Receive(timedOut);
        if (more.empty()) {
            break;
        }
        got.insert(got.end(), more.begin(), more.end());
    }
    sender.join();
    ASSERT_EQ(got.size(), kRequests * kAnswer) << (timedOut ? "the answers stopped" : "the connection was closed");
    int wrong = 0;
    for (int i = 0; i < kRequests; ++i) {
        const std::uint8_t *a = got.data() + static_cast<std::size_t>(i) * kAnswer;
        wrong += a[0] == static_cast<std::uint8_t>(i >> 8) && a[1] == static_cast<std::uint8_t>(i) && a[7] == 3 &&
                         a[9] == 0x12 && a[10] == 0x34 && a[11] == 0x56 && a[12] == 0x78
                     ? 0
                     : 1;
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(GateFaults, BrokenFramesCloseOnlyTheirConnection) {
    StartGate();
    // A client polling throughout, timed.
    std::atomic<bool> done{false};
    std::atomic<int> good{0};
    std::atomic<int> bad{0};
    std::atomic<long> slowestUs{0};
    std::thread poller([&] {
        Client c;
        while (!done) {
            std::uint16_t value = 0;
            const auto t0 = Clock::now();
            const int outcome = c.Read(1, 0, value);
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
            slowestUs = std::max<long>(slowestUs, static_cast<long>(us));
            (outcome == 0 && value == 0x1234 ? good : bad) += 1;
            std::this_thread::sleep_for(5ms);
        }
    });
    bool timedOut = false;
    const std::vector<std::uint8_t> read = {0x00, 0x07, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};

    std::mt19937 random(20240611);
    for (int i = 0; i < 5; ++i) {
        RawSocket noise;
        std::vector<std::uint8_t> bytes(40);
        for (auto &b : bytes) {
            b = static_cast<std::uint8_t>(random());
        }
        bytes[2] = 0x5A; // never Modbus's protocol 0
        ASSERT_TRUE(noise.Send(bytes));
        EXPECT_TRUE(noise.Receive(timedOut).empty());
        EXPECT_FALSE(timedOut) << "random bytes did not close their connection";
    }

    // Truncated: the server waits for the rest (serving the others), then
    // gives up on it.
    RawSocket truncated;
    const auto t0 = Clock::now();
    ASSERT_TRUE(truncated.Send({read.begin(), read.begin() + 9}));
    EXPECT_TRUE(truncated.Receive(timedOut).empty());
    EXPECT_FALSE(timedOut);
    const auto waited = Clock::now() - t0;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 1000ms + kSlack);

    RawSocket mismatch; // the header promises one byte more than the request has
    std::vector<std::uint8_t> longer = read;
    longer[5] = 0x07;
    longer.push_back(0x00);
    ASSERT_TRUE(mismatch.Send(longer));
    EXPECT_TRUE(mismatch.Receive(timedOut).empty());

    // A function it does not serve, with bytes libmodbus does not read: an
    // exception, and the connection goes on.
    RawSocket other;
    ASSERT_TRUE(other.Send({0x00, 0x09, 0x00, 0x00, 0x00, 0x05, 0x01, 0x2B, 0x0E, 0x01, 0x00}));
    const std::vector<std::uint8_t> answer = other.Receive(timedOut);
    EXPECT_EQ(answer, (std::vector<std::uint8_t>{0x00, 0x09, 0x00, 0x00, 0x00, 0x03, 0x01, 0xAB, 0x01}));
    ASSERT_TRUE(other.Send(read));
    const std::vector<std::uint8_t> value = other.Receive(timedOut);
    EXPECT_EQ(value, (std::vector<std::uint8_t>{0x00, 0x07, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x12, 0x34}));

    done = true;
    poller.join();
    std::printf("the polling client: %d good reads, %d bad, slowest %.1f ms\n", good.load(), bad.load(),
                static_cast<double>(slowestUs.load()) / 1000.0);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(good.load(), 50);
    EXPECT_LT(slowestUs.load(), 250000) << "a broken connection held up the others";
    Client stats;
    EXPECT_EQ(stats.ReadStat(kStatsMalformed), 7)
        << "connections closed for malformed frames, as the statistics count them";
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--tiwaysim") {
            gTiwaysim = argv[++i];
        } else if (a == "--orvgate") {
            gOrvgate = argv[++i];
        } else if (a == "--port") {
            gPort = std::atoi(argv[++i]);
        }
    }
    if (gTiwaysim.empty() || gOrvgate.empty() || gPort <= 0) {
        std::fprintf(stderr, "usage: orvgate_fault_tests [gtest options] --tiwaysim PATH --orvgate PATH --port N\n");
        return 2;
    }
    const int rc = RUN_ALL_TESTS();
    // A filter that matches no case would otherwise pass without testing anything.
    if (rc == 0 && gCasesRun.load() == 0) {
        std::fprintf(stderr, "no case ran\n");
        return 1;
    }
    return rc;
}
