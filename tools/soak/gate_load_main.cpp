// orvgate_soak: orvgate under load. 16 Modbus clients (libmodbus), each on
// its own connection, read and write ranges of every kind for a set time,
// against an orvgate and a tiwaysim this program starts. Each client owns
// its ranges, so every value it reads is checked against what it last
// wrote (or the network's own value); the shared read-only ranges against
// the network's values. orvgate's resident memory is sampled each second.
//
// It fails on a wrong value, an exception other than 0x0B, orvgate ending
// or not stopping cleanly, more than 1 % of reads answered 0x0B or of writes
// not acknowledged (a write that waited past its deadline on a machine
// whose builds share the processors is answered 0x0B, as it should be:
// the benchmark judges times), or resident memory growing by more than --rss-growth-kb
// after the warm-up (a negative value: reported, not judged). With
// --untimed, for a build too slow for the card's time-outs (the sanitizers
// on a loaded machine), reads answered 0x0B and writes not acknowledged are
// reported, not judged; wrong values still fail it.
//
// With --faults, a fault comes every 20 s while the clients run, in turn:
// the first card's simulator stopped and restarted 3 s later (its
// controllers keep their memory, as PLCs do), secondary 2 disconnected for
// 5 s, and the second card slowed (150 ms a reply) for 5 s while clients
// that give up write: each writes a value of its own to a register of its
// own and leaves 30 ms later. Reads answered 0x0B and writes not
// acknowledged are then what a client should get, and only these count:
// no wrong value (so no write acknowledged that was not applied), no write
// the gateway dropped (its client had left) or let expire (past its
// deadline) ever applied, and resident memory flat after the warm-up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <modbus/modbus.h>

#include "gate_process.h"
#include "sim_process.h"

#ifndef ORVGATE_SOAK_TIWAYSIM
#define ORVGATE_SOAK_TIWAYSIM ""
#endif
#ifndef ORVGATE_SOAK_ORVGATE
#define ORVGATE_SOAK_ORVGATE ""
#endif
#ifndef ORVGATE_SOAK_DEVICE
#define ORVGATE_SOAK_DEVICE "/dev/shm/GRELMIN"
#endif
#ifndef ORVGATE_SOAK_PORT
#define ORVGATE_SOAK_PORT 15022
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string tiwaysim = ORVGATE_SOAK_TIWAYSIM;
    std::string orvgate = ORVGATE_SOAK_ORVGATE;
    std::string device = ORVGATE_SOAK_DEVICE;
    int port = ORVGATE_SOAK_PORT;
    int seconds = 30;
    int clients = 16;
    long rssGrowthKb = 1024;
    std::uint64_t seed = 0;
    bool seedGiven = false;
    bool faults = false;
    bool untimed = false;
};

const char kUsage[] =
    "usage: orvgate_soak [--seconds N] [--clients N(1..16)] [--port N] [--seed N] [--faults]\n"
    "                    [--untimed] [--rss-growth-kb N] [--tiwaysim PATH] [--orvgate PATH] [--device PATH]\n";

bool ParseOptions(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--faults") {
            o.faults = true;
            continue;
        }
        if (a == "--untimed") {
            o.untimed = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const char *v = argv[++i];
        if (a == "--seconds") {
            o.seconds = std::atoi(v);
        } else if (a == "--clients") {
            o.clients = std::atoi(v);
        } else if (a == "--port") {
            o.port = std::atoi(v);
        } else if (a == "--seed") {
            o.seed = std::strtoull(v, nullptr, 0);
            o.seedGiven = true;
        } else if (a == "--rss-growth-kb") {
            o.rssGrowthKb = std::atol(v);
        } else if (a == "--tiwaysim") {
            o.tiwaysim = v;
        } else if (a == "--orvgate") {
            o.orvgate = v;
        } else if (a == "--device") {
            o.device = v;
        } else {
            return false;
        }
    }
    return o.seconds > 0 && o.clients >= 1 && o.clients <= 16 && o.port > 0 && !o.tiwaysim.empty() &&
           !o.orvgate.empty();
}

// Two channels, two secondaries each; WX1..WX8 of every secondary hold
// values the clients check, everything else starts at zero.
std::uint16_t WordInput(int secondary, int element) {
    return static_cast<std::uint16_t>(0x1000 * secondary + element);
}

std::string NetworkText() {
    std::string text;
    for (const auto &[card, first] : {std::pair<const char *, int>{"C800", 1}, {"D000", 3}}) {
        text += std::string("card ") + card + "\n";
        for (int s = first; s < first + 2; ++s) {
            text += "secondary " + std::to_string(s) + " defaults\nvalue 0x09 1";
            for (int e = 1; e <= 8; ++e) {
                text += " " + std::to_string(WordInput(s, e));
            }
            text += "\n";
        }
    }
    return text;
}

// What one client owns: a range of each kind, on its own secondary
// (unit = secondary), at Modbus addresses of its own.
enum class Kind { Int16, Float, Int32, Bits, Points };
struct Range {
    Kind kind;
    int address; // first Modbus address
    int values;  // values in it
    bool coils() const {
        return kind == Kind::Bits || kind == Kind::Points;
    }
    int slotsPerValue() const {
        return kind == Kind::Float || kind == Kind::Int32 ? 2 : 1;
    }
};

struct ClientPlan {
    int channel;
    int secondary;
    int base; // of its Modbus addresses
    std::vector<Range> ranges;
};

ClientPlan PlanFor(int k) {
    ClientPlan p;
    p.channel = 1 + k % 2;
    p.secondary = (p.channel == 1 ? 1 : 3) + (k / 2) % 2;
    p.base = 100 * k;
    p.ranges = {{Kind::Int16, p.base, 8},
                {Kind::Float, p.base + 10, 2},
                {Kind::Int32, p.base + 20, 2},
                {Kind::Bits, p.base, 8},
                {Kind::Points, p.base + 10, 8}};
    return p;
}

// The registers the clients that give up write, one each, on secondary 3 (K1..K10).
constexpr int kQuitterUnit = 3;
constexpr int kQuitterAddress = 5000;
constexpr int kQuitters = 10;

std::string MapText(int clients) {
    std::string text;
    char line[160];
    for (const int channel : {1, 2}) {
        text += "channel " + std::to_string(channel) + " gate0" + std::to_string(channel) + ".int\n";
        if (channel == 2) {
            std::snprintf(line, sizeof line, "holding %d %d 03K0001 %d uint16 rw\n", kQuitterUnit, kQuitterAddress,
                          kQuitters);
            text += line;
        }
        for (const int s : channel == 1 ? std::vector<int>{1, 2} : std::vector<int>{3, 4}) {
            std::snprintf(line, sizeof line, "input %d 0 %02XW0001 8 uint16\n", s, s);
            text += line;
        }
        for (int k = 0; k < clients; ++k) {
            const ClientPlan p = PlanFor(k);
            if (p.channel != channel) {
                continue;
            }
            const int s = p.secondary;
            const int v = 1 + 64 * k; // its own stretch of V (and of D over it), and of L and Y
            std::snprintf(line, sizeof line, "holding %d %d %02XV%04X 8 int16 rw\n", s, p.base, s, v);
            text += line;
            std::snprintf(line, sizeof line, "holding %d %d %02XD%04X 2 float high-first rw\n", s, p.base + 10, s,
                          v + 16);
            text += line;
            std::snprintf(line, sizeof line, "holding %d %d %02XL%04X 2 int32 low-first rw\n", s, p.base + 20, s,
                          1 + 8 * k);
            text += line;
            std::snprintf(line, sizeof line, "coils %d %d %02XV%04X0 8 bits rw\n", s, p.base, s, v + 32);
            text += line;
            std::snprintf(line, sizeof line, "coils %d %d %02XY%04X 8 points rw\n", s, p.base + 10, s, 1 + 16 * k);
            text += line;
        }
    }
    return text;
}

struct Tally {
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    std::uint64_t stale = 0;        // reads answered 0x0B
    std::uint64_t otherErrors = 0;  // any other exception or failure
    std::uint64_t failedWrites = 0; // writes not acknowledged
    std::uint64_t wrong = 0;
    std::vector<double> readUs;
    std::vector<double> writeUs;
    std::vector<std::string> problems;
};

class LoadClient {
  public:
    // `faults`: writes that fail are expected, and not problems.
    LoadClient(int index, int port, std::uint64_t seed, bool faults)
        : plan_(PlanFor(index)), random_(seed), ctx_(modbus_new_tcp("127.0.0.1", port)), faults_(faults) {
        modbus_set_response_timeout(ctx_, 10, 0);
        modbus_set_slave(ctx_, plan_.secondary);
        for (const Range &r : plan_.ranges) {
            model_.emplace_back(static_cast<std::size_t>(r.values * r.slotsPerValue()), 0);
        }
    }
    ~LoadClient() {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    LoadClient(const LoadClient &) = delete;
    LoadClient &operator=(const LoadClient &) = delete;

    void Run(Clock::time_point until, Tally &t) {
        if (modbus_connect(ctx_) != 0) {
            t.problems.push_back("client " + std::to_string(plan_.base / 100) + " cannot connect");
            ++t.otherErrors;
            return;
        }
        while (Clock::now() < until) {
            const bool write = Pick(2) == 0;
            const auto t0 = Clock::now();
            if (write) {
                Write(t);
            } else if (Pick(6) == 0) {
                ReadShared(t);
            } else {
                Read(t);
            }
            (write ? t.writeUs : t.readUs)
                .push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
    }

  private:
    int Pick(int n) {
        return static_cast<int>(random_() % static_cast<std::uint64_t>(n));
    }

    // Values are known once written or read; a write that failed may or
    // may not have reached the controller.
    std::vector<std::optional<std::uint16_t>> &Model(std::size_t range) {
        return model_[range];
    }

    void Problem(Tally &t, const std::string &what) {
        if (t.problems.size() < 20) {
            t.problems.push_back("client " + std::to_string(plan_.base / 100) + ": " + what);
        }
    }

    static int ExceptionOf(int rc) {
        return rc < 0 && errno > MODBUS_ENOBASE && errno < MODBUS_ENOBASE + 0x20 ? errno - MODBUS_ENOBASE : 0;
    }

    void Write(Tally &t) {
        const std::size_t ri = static_cast<std::size_t>(Pick(static_cast<int>(plan_.ranges.size())));
        const Range &r = plan_.ranges[ri];
        const int per = r.slotsPerValue();
        const int first = Pick(r.values);
        const int n = 1 + Pick(r.values - first);
        const int address = r.address + first * per;
        const int slots = n * per;
        std::vector<std::uint16_t> words(static_cast<std::size_t>(slots));
        std::vector<std::uint8_t> bits(static_cast<std::size_t>(slots));
        for (int i = 0; i < slots; ++i) {
            words[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(random_());
            bits[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(random_() & 1u);
        }
        if (r.kind == Kind::Float) {
            // A float whose bits are a NaN would still round-trip, but keep them ordinary numbers.
            for (int v = 0; v < n; ++v) {
                words[static_cast<std::size_t>(2 * v)] &= 0x3FFF;
            }
        }
        int rc = 0;
        if (r.coils()) {
            rc = slots == 1 && Pick(2) == 0 ? modbus_write_bit(ctx_, address, bits[0])
                                            : modbus_write_bits(ctx_, address, slots, bits.data());
        } else {
            rc = slots == 1 && Pick(2) == 0 ? modbus_write_register(ctx_, address, words[0])
                                            : modbus_write_registers(ctx_, address, slots, words.data());
        }
        ++t.writes;
        auto &model = Model(ri);
        for (int i = 0; i < slots; ++i) {
            const auto at = static_cast<std::size_t>(first * per + i);
            model[at] = rc >= 0 ? std::optional<std::uint16_t>(r.coils() ? bits[static_cast<std::size_t>(i)]
                                                                         : words[static_cast<std::size_t>(i)])
                                : std::nullopt;
        }
        if (rc < 0) {
            ++t.failedWrites;
        }
        if (rc < 0 && !faults_) {
            Problem(t, "write of " + std::to_string(slots) + " at " + std::to_string(address) +
                           " failed: " + modbus_strerror(errno));
        }
    }

    void Read(Tally &t) {
        const std::size_t ri = static_cast<std::size_t>(Pick(static_cast<int>(plan_.ranges.size())));
        const Range &r = plan_.ranges[ri];
        const int slots = r.values * r.slotsPerValue();
        const int first = Pick(slots);
        const int n = 1 + Pick(slots - first);
        std::vector<std::uint16_t> words(static_cast<std::size_t>(n));
        std::vector<std::uint8_t> bits(static_cast<std::size_t>(n));
        const int rc = r.coils() ? modbus_read_bits(ctx_, r.address + first, n, bits.data())
                                 : modbus_read_registers(ctx_, r.address + first, n, words.data());
        ++t.reads;
        if (rc != n) {
            Failed(t, rc, "read of " + std::to_string(n) + " at " + std::to_string(r.address + first));
            return;
        }
        auto &model = Model(ri);
        for (int i = 0; i < n; ++i) {
            const std::uint16_t got =
                r.coils() ? bits[static_cast<std::size_t>(i)] : words[static_cast<std::size_t>(i)];
            auto &expected = model[static_cast<std::size_t>(first + i)];
            if (expected && *expected != got) {
                ++t.wrong;
                char what[160];
                std::snprintf(what, sizeof what, "%s %d of unit %d read %u, last written %u",
                              r.coils() ? "coil" : "register", r.address + first + i, plan_.secondary, got, *expected);
                Problem(t, what);
            }
            expected = got;
        }
    }

    void ReadShared(Tally &t) {
        std::uint16_t words[8] = {};
        const int rc = modbus_read_input_registers(ctx_, 0, 8, words);
        ++t.reads;
        if (rc != 8) {
            Failed(t, rc, "read of the input registers");
            return;
        }
        for (int e = 1; e <= 8; ++e) {
            if (words[e - 1] != WordInput(plan_.secondary, e)) {
                ++t.wrong;
                Problem(t, "input register " + std::to_string(e - 1) + " read " + std::to_string(words[e - 1]));
            }
        }
    }

    void Failed(Tally &t, int rc, const std::string &what) {
        if (ExceptionOf(rc) == MODBUS_EXCEPTION_GATEWAY_TARGET) {
            ++t.stale;
            return;
        }
        ++t.otherErrors;
        Problem(t, what + ": " + modbus_strerror(errno));
    }

    ClientPlan plan_;
    std::mt19937_64 random_;
    modbus_t *ctx_;
    bool faults_;
    std::vector<std::vector<std::optional<std::uint16_t>>> model_;
};

double Percentile(std::vector<double> &v, double p) {
    if (v.empty()) {
        return 0;
    }
    const std::size_t at = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(at), v.end());
    return v[at];
}

bool WaitForFirstCycle(int port) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_slave(ctx, 247);
    bool done = modbus_connect(ctx) == 0;
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (done && Clock::now() < until) {
        std::uint16_t cycles[2] = {};
        // Channel 1's cycles, in the first row after the statistics' header.
        if (modbus_read_input_registers(ctx, 36, 2, cycles) == 2 && (cycles[0] != 0 || cycles[1] != 0)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    done = done && Clock::now() < until;
    modbus_close(ctx);
    modbus_free(ctx);
    return done;
}

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream(path) << text;
}

// What the clients that gave up saw and left behind.
struct QuitterTally {
    int writes = 0;
    int refusedByGateway = 0; // logged as dropped or past their deadline
    int appliedLate = 0;      // of those, found applied
    int unchecked = 0;        // the register could not be read before or after
    std::vector<std::string> problems;
};

// Reads the quitters' registers through the gateway, retrying while they
// are not served (the card may still be slow).
bool ReadQuitterRegisters(int port, std::vector<std::uint16_t> &values, std::string &error) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_slave(ctx, kQuitterUnit);
    values.assign(kQuitters, 0);
    bool ok = modbus_connect(ctx) == 0;
    for (int attempt = 0; ok && attempt < 50; ++attempt) {
        if (modbus_read_registers(ctx, kQuitterAddress, kQuitters, values.data()) == kQuitters) {
            break;
        }
        error = modbus_strerror(errno);
        ok = attempt < 49;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return ok;
}

// One write by a client that gives up 30 ms later; the local port it wrote
// from, which the gateway's log names.
int QuitterWrite(int port, int index, std::uint16_t value) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_slave(ctx, kQuitterUnit);
    modbus_set_response_timeout(ctx, 0, 30000);
    int local = -1;
    if (modbus_connect(ctx) == 0) {
        sockaddr_in self{};
        socklen_t length = sizeof self;
        if (getsockname(modbus_get_socket(ctx), reinterpret_cast<sockaddr *>(&self), &length) == 0) {
            local = ntohs(self.sin_port);
        }
        modbus_write_register(ctx, kQuitterAddress + index, value);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return local;
}

// The second card slowed while the quitters write; afterwards each write the
// gateway dropped or let expire must have left its register as it was.
void QuitterEpisode(tiwaysim::SimProcess &sim, orvlive::GateProcess &gate, int port, std::uint16_t &marker,
                    QuitterTally &t) {
    std::vector<std::uint16_t> before;
    std::string error;
    if (!ReadQuitterRegisters(port, before, error)) {
        ++t.unchecked;
        t.problems.push_back("the registers of the clients that give up cannot be read: " + error);
        return;
    }
    sim.Control("card D000 delay 150");
    std::vector<std::pair<int, std::uint16_t>> written; // local port, value
    for (int i = 0; i < kQuitters; ++i) {
        const std::uint16_t value = ++marker;
        written.emplace_back(QuitterWrite(port, i, value), value);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    sim.Control("card D000 delay 0");
    std::this_thread::sleep_for(std::chrono::seconds(3)); // anything late would land by now
    std::vector<std::uint16_t> after;
    if (!ReadQuitterRegisters(port, after, error)) {
        ++t.unchecked;
        t.problems.push_back("the registers of the clients that give up cannot be read: " + error);
        return;
    }
    const std::string log = gate.Log();
    for (int i = 0; i < kQuitters; ++i) {
        ++t.writes;
        const auto [local, value] = written[static_cast<std::size_t>(i)];
        // Its audit line: "audit: WHAT from PEER: CHANGES: OUTCOME[: why]".
        const std::string from = "from 127.0.0.1:" + std::to_string(local) + ":";
        const std::size_t at = log.find(from);
        const std::string line = at == std::string::npos ? std::string() : log.substr(at, log.find('\n', at) - at);
        const bool refused = local > 0 && (line.find(": dropped: ") != std::string::npos ||
                                           line.find(": expired: ") != std::string::npos);
        if (!refused) {
            continue; // applied, or failed: no claim either way
        }
        ++t.refusedByGateway;
        if (after[static_cast<std::size_t>(i)] == value) {
            ++t.appliedLate;
            t.problems.push_back("the write of " + std::to_string(value) + " from port " + std::to_string(local) +
                                 " was refused as late, and applied");
        } else if (after[static_cast<std::size_t>(i)] != before[static_cast<std::size_t>(i)]) {
            t.problems.push_back("register " + std::to_string(kQuitterAddress + i) + " changed without a write");
        }
    }
}

// Every 20 s one fault, in turn, until `until`.
void Faults(tiwaysim::SimProcess &sim, orvlive::GateProcess &gate, const std::string &simConfig, int port,
            Clock::time_point until, QuitterTally &quitters, std::vector<std::string> &episodes) {
    std::uint16_t marker = 0x4000;
    for (int n = 0;; ++n) {
        const auto next = Clock::now() + std::chrono::seconds(20);
        if (next + std::chrono::seconds(15) > until) {
            return;
        }
        std::this_thread::sleep_until(next);
        std::string error;
        switch (n % 3) {
        case 0:
            sim.Stop(); // the cards go away; their controllers keep their memory
            std::this_thread::sleep_for(std::chrono::seconds(3));
            if (!sim.Start(error, {"--config", simConfig})) {
                episodes.push_back("restart failed: " + error);
                return;
            }
            episodes.push_back("cards restarted");
            break;
        case 1:
            sim.Control("card C800 disconnect 2");
            std::this_thread::sleep_for(std::chrono::seconds(5));
            sim.Control("card C800 reconnect 2");
            episodes.push_back("secondary 2 disconnected for 5 s");
            break;
        default:
            QuitterEpisode(sim, gate, port, marker, quitters);
            episodes.push_back("card D000 slowed, " + std::to_string(kQuitters) + " writers gave up");
            break;
        }
    }
}

int Run(const Options &o) {
    char pattern[] = "/tmp/orvgate-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = pattern;
    WriteFile(dir + "/network", NetworkText());
    // D is V read as 32-bit values, L the 32-bit region, W the WX words.
    WriteFile(dir + "/gate01.int", "C800;800\nD;01;2;2\nL;0B;4;1\nW;09;2;1\n");
    WriteFile(dir + "/gate02.int", "D000;800\nD;01;2;2\nL;0B;4;1\nW;09;2;1\nK;02;2;1\n");
    WriteFile(dir + "/gate.map", MapText(o.clients));

    int failures = 0;
    {
        // Controller memory kept across the restarts of --faults.
        tiwaysim::SimProcess sim(o.tiwaysim, o.device, dir, {"--configured", "--memory", dir + "/memory"});
        std::string error;
        if (!sim.Start(error, {"--config", dir + "/network"})) {
            std::fprintf(stderr, "orvgate_soak: %s\n", error.c_str());
            return 2;
        }
        orvlive::GateProcess gate(o.orvgate, dir + "/orvgate.log");
        if (!gate.Start({"--map", dir + "/gate.map", "--listen", "127.0.0.1:" + std::to_string(o.port), "--timeout",
                         "200", "--max-clients", "32", "--stats"},
                        error)) {
            std::fprintf(stderr, "orvgate_soak: %s\n", error.c_str());
            return 2;
        }
        std::printf("orvgate_soak: %d clients for %d s, seed %" PRIu64 ", port %d%s\n", o.clients, o.seconds, o.seed,
                    o.port, o.faults ? ", with faults" : "");
        std::fflush(stdout);
        // Until its first scan cycle is over, values not read yet are
        // answered 0x0B, as a client would find at any gateway's start.
        if (!WaitForFirstCycle(o.port)) {
            std::printf("orvgate_soak: FAILED: orvgate finished no scan cycle\n--- orvgate's log\n%s",
                        gate.Log().c_str());
            return 1;
        }

        const auto start = Clock::now();
        const auto until = start + std::chrono::seconds(o.seconds);
        // With faults, after the first of each kind.
        const auto warm =
            start + std::chrono::seconds(o.faults ? std::min(80, o.seconds / 2) : std::max(5, o.seconds / 10));
        std::vector<Tally> tallies(static_cast<std::size_t>(o.clients));
        std::vector<std::thread> threads;
        for (int k = 0; k < o.clients; ++k) {
            threads.emplace_back([&, k] {
                LoadClient client(k, o.port, o.seed * 1000003u + static_cast<std::uint64_t>(k), o.faults);
                client.Run(until, tallies[static_cast<std::size_t>(k)]);
            });
        }
        QuitterTally quitters;
        std::vector<std::string> episodes;
        std::thread faults;
        if (o.faults) {
            faults = std::thread([&] { Faults(sim, gate, dir + "/network", o.port, until, quitters, episodes); });
        }
        long rssWarm = -1;
        long rssEnd = -1;
        long rssHigh = -1;
        long rssLow = -1;
        while (Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const long rss = gate.RssKb();
            if (Clock::now() >= warm && rss > 0) {
                rssWarm = rssWarm < 0 ? rss : rssWarm;
                rssHigh = std::max(rssHigh, rss);
                rssLow = rssLow < 0 ? rss : std::min(rssLow, rss);
                rssEnd = rss;
            }
        }
        for (std::thread &t : threads) {
            t.join();
        }
        if (faults.joinable()) {
            faults.join();
        }
        Tally all;
        for (Tally &t : tallies) {
            all.reads += t.reads;
            all.writes += t.writes;
            all.stale += t.stale;
            all.otherErrors += t.otherErrors;
            all.failedWrites += t.failedWrites;
            all.wrong += t.wrong;
            all.readUs.insert(all.readUs.end(), t.readUs.begin(), t.readUs.end());
            all.writeUs.insert(all.writeUs.end(), t.writeUs.begin(), t.writeUs.end());
            all.problems.insert(all.problems.end(), t.problems.begin(), t.problems.end());
        }
        const bool alive = gate.pid() > 0 && kill(gate.pid(), 0) == 0;
        const int code = gate.Stop();
        sim.Stop();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

        const std::uint64_t requests = all.reads + all.writes;
        std::printf("  requests: %" PRIu64 " (%" PRIu64 " reads, %" PRIu64 " writes), %.0f a second\n", requests,
                    all.reads, all.writes, static_cast<double>(requests) / static_cast<double>(o.seconds));
        std::printf("  latency of reads (from the cache): p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                    Percentile(all.readUs, 0.50) / 1000, Percentile(all.readUs, 0.99) / 1000,
                    Percentile(all.readUs, 1.0) / 1000);
        std::printf("  latency of writes (through the driver): p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                    Percentile(all.writeUs, 0.50) / 1000, Percentile(all.writeUs, 0.99) / 1000,
                    Percentile(all.writeUs, 1.0) / 1000);
        std::printf("  wrong values: %" PRIu64 "; writes not acknowledged: %" PRIu64 "; reads answered 0x0B: %" PRIu64
                    "; other errors: %" PRIu64 "\n",
                    all.wrong, all.failedWrites, all.stale, all.otherErrors);
        std::printf("  orvgate resident memory: %ld kB after the warm-up, %ld kB at the end, %ld..%ld kB between: "
                    "%+ld kB\n",
                    rssWarm, rssEnd, rssLow, rssHigh, rssEnd - rssWarm);
        if (o.faults) {
            std::map<std::string, int> kinds;
            for (const std::string &e : episodes) {
                ++kinds[e];
            }
            std::printf("  faults: %zu episodes (", episodes.size());
            const char *separator = "";
            for (const auto &[what, count] : kinds) {
                std::printf("%s%d x %s", separator, count, what.c_str());
                separator = "; ";
            }
            std::printf(")\n  clients that gave up: %d writes, %d of them dropped or past their deadline, %d of those "
                        "applied; %d episodes unchecked\n",
                        quitters.writes, quitters.refusedByGateway, quitters.appliedLate, quitters.unchecked);
            all.problems.insert(all.problems.end(), quitters.problems.begin(), quitters.problems.end());
        }
        for (const std::string &p : all.problems) {
            std::printf("  problem: %s\n", p.c_str());
        }
        const std::string log = gate.Log();
        const auto stats = log.rfind("orvgate: statistics");
        if (stats != std::string::npos) {
            std::printf("%s", log.substr(stats).c_str());
        }
        auto fail = [&](bool bad, const char *why) {
            if (bad) {
                std::printf("orvgate_soak: FAILED: %s\n", why);
                ++failures;
            }
        };
        fail(all.wrong > 0, "wrong values were read");
        const bool timed = !o.faults && !o.untimed;
        fail(timed && all.failedWrites * 100 > all.writes, "more than 1 % of writes were not acknowledged");
        fail(all.otherErrors > 0, "requests failed otherwise than with 0x0B");
        fail(timed && all.stale * 100 > all.reads, "more than 1 % of reads were answered 0x0B");
        fail(quitters.appliedLate > 0 || !quitters.problems.empty(),
             "a write was applied after its client left or its deadline passed");
        fail(o.faults && (quitters.refusedByGateway == 0 || quitters.unchecked > 0),
             "no write of a client that gave up was seen dropped or expired, and checked");
        fail(!alive, "orvgate ended during the run");
        fail(code != 0, "orvgate did not stop cleanly");
        fail(o.rssGrowthKb >= 0 &&
                 (rssWarm < 0 || rssEnd - rssWarm > o.rssGrowthKb || rssHigh - rssWarm > o.rssGrowthKb),
             "orvgate's resident memory grew after the warm-up");
        fail(requests == 0, "no request was made");
        std::printf("orvgate_soak: %s after %.0f s\n", failures == 0 ? "passed" : "FAILED", seconds);
        if (failures != 0) {
            std::printf("--- orvgate's log\n%s", log.c_str());
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!o.seedGiven) {
        o.seed = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000u;
    }
    signal(SIGPIPE, SIG_IGN);
    return Run(o);
}
