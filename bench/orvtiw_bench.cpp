// orvtiw_bench: what one exchange with the card costs in real time, measured
// against a tiwaysim that this program starts, next to the cost of the 1 ms
// sleep the driver polls with, sampled in the same run and interleaved with
// the exchanges so that the machine's load weighs on both alike.
//
//   orvtiw_bench [--short] [--tiwaysim PATH] [--workdir DIR] [--rounds N] [--poll-us N] [--verbose]
//
// --short runs in a few seconds and fails (exit 1) only on a gross regression.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "adapter.h"
#include "bench_clock.h"
#include "bench_support.h"
#include "card.h"
#include "channel/instance.h"
#include "channel/logging.h"
#include "host/operation_table.h"
#include "link/mailbox.h"
#include "link/platform.h"
#include "network.h"
#include "orvtiw/host.h"
#include "sim_process.h"

#ifndef ORVBENCH_TIWAYSIM
#define ORVBENCH_TIWAYSIM "tiwaysim"
#endif
#ifndef ORVBENCH_DEVICE
#define ORVBENCH_DEVICE "/dev/shm/GRELMIN"
#endif

namespace orvbench {
namespace {

using orvtiw::Instance;

constexpr int kSecondaries = 31;
constexpr int kBlockWords = 128;
constexpr double kLineBitsPerSecond = 115200.0;

// ---- the driver's sleeps ---------------------------------------------------

// The operating system's calls with the sleeps counted, put in through the
// driver's own platform seam, so each exchange shows how many polls it took.
long gDriverSleeps = 0;
orvtiw::PlatformCalls gCountingCalls{};

void CountingSleep(std::uint32_t ms) {
    ++gDriverSleeps;
    orvtiw::SystemPlatform().sleepMs(ms);
}

void CountDriverSleeps() {
    gCountingCalls = orvtiw::SystemPlatform();
    gCountingCalls.sleepMs = CountingSleep;
    orvtiw::SetPlatform(&gCountingCalls);
}

// The command byte of the channel measured: still 0xC1 when an exchange
// starts means the card has not yet taken the previous reply.
const volatile std::uint8_t *gWatchedCommand = nullptr;

// ---- the driver's messages -------------------------------------------------

// Set once the channels are up: from then on the driver logs only trouble,
// so every line counts against the run.
std::atomic<bool> gMeasuring{false};
int gTroubleLines = 0;
std::vector<std::string> gTroubleTexts;
bool gVerbose = false;

int CaptureErr(int level, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (gMeasuring) {
        ++gTroubleLines;
        if (gTroubleTexts.size() < 10) {
            gTroubleTexts.emplace_back(text);
        }
    }
    if (gVerbose || gMeasuring) {
        std::fprintf(stderr, "%d %s\n", level, text);
    }
    return 0;
}

// ---- channels and the operations measured ---------------------------------

// A channel of the driver linked into this program, through the host library
// as every host of ours, with the Instance at hand for the figures that look
// below the operation table.
struct BenchChannel {
    BenchChannel(std::shared_ptr<orvtiw::host::Module> module, int number, int cardIndex)
        : channel(std::move(module), number), card(cardIndex) {}
    Instance &inst() {
        return *static_cast<Instance *>(channel.InstanceMemory());
    }
    orvtiw::host::Channel channel;
    int card;
};

struct Gate {
    BenchChannel *channel;
    int secondary;
    int element;
    orvtiw::host::Gate gate;
};

int gWrongValues = 0;
int gFailedCalls = 0;

// Operation 5, checking the value.
bool ReadGate(Gate &g) {
    const auto read = g.channel->channel.Read(g.gate);
    if (!read.ok()) {
        ++gFailedCalls;
        return false;
    }
    if (read.values[0] != ExpectedWord(g.channel->card, g.secondary, g.element)) {
        ++gWrongValues;
        return false;
    }
    return true;
}

struct Block {
    BenchChannel *channel;
    int secondary;
    orvtiw::host::Gate gate;
};

// Operation 6, checking every value.
bool ReadBlock(Block &b) {
    const auto read = b.channel->channel.Read(b.gate);
    if (!read.ok()) {
        ++gFailedCalls;
        return false;
    }
    for (int i = 0; i < kBlockWords; ++i) {
        if (read.values[static_cast<std::size_t>(i)] != ExpectedWord(b.channel->card, b.secondary, i + 1)) {
            ++gWrongValues;
            return false;
        }
    }
    return true;
}

// One Transact of a connect request on an open link, below the operation table.
bool ConnectTransact(BenchChannel &c, int secondary) {
    Instance &inst = c.inst();
    inst.request[0] = 0x04;
    inst.request[1] = static_cast<std::uint8_t>(secondary);
    inst.requestLength = 2;
    if (orvtiw::Transact(inst) != orvtiw::kExchangeOk) {
        ++gFailedCalls;
        return false;
    }
    if (inst.replyLength != 4 || inst.reply[2] != 0x02 || inst.reply[3] != secondary) {
        ++gWrongValues;
        return false;
    }
    return true;
}

// The request and reply bytes of the channel's last exchange.
std::size_t LastExchangeBytes(BenchChannel &c) {
    return static_cast<std::size_t>(c.inst().requestLength + c.inst().replyLength - 2);
}

// ---- measurement -----------------------------------------------------------

struct Kind {
    std::string name;
    int words;
    std::function<bool()> once;
};

struct KindFigures {
    std::vector<double> isolated;   // after the card went idle
    std::vector<double> backToBack; // straight after the previous exchange
    long isolatedSleeps = 0;        // the driver's Sleep(1) calls in those samples
    long backToBackSleeps = 0;
    long backToBackCardBusy = 0; // back-to-back samples that began with hostCommand still 0xC1
    double wallUs = 0;           // batch totals
    double cpuUs = 0;
    long batchExchanges = 0;
};

struct Phase {
    std::vector<double> floor;
    std::vector<KindFigures> kinds;
    double floorBatchWallUs = 0; // batches of 1 ms sleeps alone, for their own CPU cost
    double floorBatchCpuUs = 0;
    long floorBatchSleeps = 0;
};

// Interleaved rounds: in each, for every kind (in an order that rotates),
// a timed 1 ms sleep (which also lets the card go idle), one exchange timed
// alone and one timed straight after it. Then batches of back-to-back
// exchanges for the CPU figures and the throughput.
Phase Measure(std::vector<Kind> &kinds, int rounds, int batches, int perBatch) {
    Phase p;
    p.kinds.resize(kinds.size());
    for (auto &k : kinds) {
        k.once(); // the first use of each path warms caches and connections
    }
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t j = 0; j < kinds.size(); ++j) {
            const std::size_t i = (j + static_cast<std::size_t>(r)) % kinds.size();
            p.floor.push_back(TimedSleepUs());
            long sleeps0 = gDriverSleeps;
            auto t0 = Clock::now();
            kinds[i].once();
            p.kinds[i].isolated.push_back(UsSince(t0));
            p.kinds[i].isolatedSleeps += gDriverSleeps - sleeps0;
            sleeps0 = gDriverSleeps;
            if (gWatchedCommand != nullptr && *gWatchedCommand == orvtiw::kCommandReplyTaken) {
                ++p.kinds[i].backToBackCardBusy;
            }
            t0 = Clock::now();
            kinds[i].once();
            p.kinds[i].backToBack.push_back(UsSince(t0));
            p.kinds[i].backToBackSleeps += gDriverSleeps - sleeps0;
        }
    }
    for (int b = 0; b < batches; ++b) {
        const double sleepCpu0 = ProcessCpuUs();
        const auto s0 = Clock::now();
        for (int n = 0; n < perBatch; ++n) {
            SleepOneMs();
        }
        p.floorBatchWallUs += UsSince(s0);
        p.floorBatchCpuUs += ProcessCpuUs() - sleepCpu0;
        p.floorBatchSleeps += perBatch;
        for (std::size_t j = 0; j < kinds.size(); ++j) {
            const std::size_t i = (j + static_cast<std::size_t>(b)) % kinds.size();
            p.floor.push_back(TimedSleepUs());
            const double cpu0 = ProcessCpuUs();
            const auto t0 = Clock::now();
            for (int n = 0; n < perBatch; ++n) {
                kinds[i].once();
            }
            p.kinds[i].wallUs += UsSince(t0);
            p.kinds[i].cpuUs += ProcessCpuUs() - cpu0;
            p.kinds[i].batchExchanges += perBatch;
        }
    }
    return p;
}

void PrintSummaryLine(const char *label, const Summary &s, double floorMedian) {
    std::printf("  %-34s n=%-5zu median %8.1f us  p99 %8.1f us  min %7.1f  max %8.1f", label, s.n, s.median, s.p99,
                s.min, s.max);
    if (floorMedian > 0) {
        std::printf("  = %.2f x floor", s.median / floorMedian);
    }
    std::printf("\n");
}

struct Reported {
    Summary floor;
    std::vector<Summary> isolated, backToBack;
    std::vector<double> cpuPerExchange, wallPerExchange, wordsPerSecond;
};

Reported Report(const char *title, const std::vector<Kind> &kinds, const Phase &p) {
    Reported out;
    out.floor = Summarize(p.floor);
    std::printf("\n== %s\n", title);
    PrintSummaryLine("floor: nanosleep(1 ms)", out.floor, 0);
    if (p.floorBatchSleeps > 0) {
        const double n = static_cast<double>(p.floorBatchSleeps);
        std::printf("  %-34s %ld in a row: %.1f us each, host CPU %.1f us each (%.2f%% of wall)\n", "",
                    p.floorBatchSleeps, p.floorBatchWallUs / n, p.floorBatchCpuUs / n,
                    100 * p.floorBatchCpuUs / p.floorBatchWallUs);
    }
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const KindFigures &k = p.kinds[i];
        out.isolated.push_back(Summarize(k.isolated));
        out.backToBack.push_back(Summarize(k.backToBack));
        PrintSummaryLine((kinds[i].name + ", card idle").c_str(), out.isolated.back(), out.floor.median);
        PrintSummaryLine((kinds[i].name + ", back to back").c_str(), out.backToBack.back(), out.floor.median);
        const double rounds = static_cast<double>(std::max<std::size_t>(k.isolated.size(), 1));
        std::printf("  %-34s driver Sleep(1) calls per exchange: %.2f card idle, %.2f back to back; "
                    "card still showing 0xC1 at %.0f%% of back-to-back starts\n",
                    "", static_cast<double>(k.isolatedSleeps) / rounds,
                    static_cast<double>(k.backToBackSleeps) / rounds,
                    100.0 * static_cast<double>(k.backToBackCardBusy) / rounds);
        const double n = static_cast<double>(std::max(k.batchExchanges, 1L));
        const double wall = k.wallUs / n, cpu = k.cpuUs / n;
        out.wallPerExchange.push_back(wall);
        out.cpuPerExchange.push_back(cpu);
        out.wordsPerSecond.push_back(kinds[i].words > 0 ? kinds[i].words * 1e6 / wall : 0);
        std::printf("  %-34s %ld back to back: %.1f us each, host CPU %.1f us each (%.2f%% of wall)", "",
                    k.batchExchanges, wall, cpu, 100 * cpu / wall);
        if (kinds[i].words > 0) {
            std::printf(", %.0f words/s", out.wordsPerSecond.back());
        }
        std::printf("\n");
    }
    return out;
}

// ---- the card model's own service time ---------------------------------------

// Times Card::StepMicros, tiwaysim's entry, in this process on a private
// window: the step that sees '@' computes the reply and shows 'A' within the
// same call.
void MeasureCardService(int samples) {
    using orvtiw::Mailbox;
    tiwaysim::Network net = tiwaysim::Network::Default();
    tiwaysim::Adapter adapter(net);
    tiwaysim::Card card(adapter);
    std::vector<std::uint8_t> window(0x800, 0);
    auto post = [&window](const std::vector<std::uint8_t> &request) {
        window[Mailbox::kRequestSize] = static_cast<std::uint8_t>(request.size() >> 8);
        window[Mailbox::kRequestSize + 1] = static_cast<std::uint8_t>(request.size() & 0xFF);
        std::memcpy(&window[Mailbox::kRequestData], request.data(), request.size());
        window[Mailbox::kCardStatus] = 0;
        window[Mailbox::kHostCommand] = orvtiw::kCommandRequest;
    };
    auto take = [&window, &card]() {
        window[Mailbox::kHostCommand] = orvtiw::kCommandReplyTaken;
        card.StepMicros(window.data(), 0);
    };
    post({0x04, 0x01});
    card.StepMicros(window.data(), 0);
    take();
    const std::vector<std::uint8_t> gate = {0x01, 0x01, 0x00, 0x06, 0x20, 0x01, 0x00, 0x01, 0x00, 0x01};
    const std::vector<std::uint8_t> block = {0x01, 0x01, 0x00, 0x06, 0x20, 0x01, 0x00, kBlockWords, 0x00, 0x01};
    std::vector<double> gateNs, blockNs, idleNs, takeNs;
    bool answered = true;
    for (int i = 0; i < samples; ++i) {
        for (int which = 0; which < 2; ++which) {
            post(which == 0 ? gate : block);
            auto t0 = Clock::now();
            card.StepMicros(window.data(), 0);
            const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
            answered = answered && window[Mailbox::kCardStatus] == orvtiw::kStatusReplyReady;
            (which == 0 ? gateNs : blockNs).push_back(ns);
            window[Mailbox::kHostCommand] = orvtiw::kCommandReplyTaken;
            t0 = Clock::now();
            card.StepMicros(window.data(), 0);
            takeNs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
            t0 = Clock::now();
            card.StepMicros(window.data(), 0);
            idleNs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
        }
    }
    std::printf("\n== card model service time (Card::StepMicros in this process, %d samples each)\n", samples);
    if (!answered) {
        std::printf("  the card model did not answer every request in one step\n");
        ++gWrongValues;
    }
    auto line = [](const char *label, const Summary &s) {
        std::printf("  %-34s median %7.2f us  p99 %7.2f us  max %7.2f us\n", label, s.median / 1000, s.p99 / 1000,
                    s.max / 1000);
    };
    line("'@' to 'A', single-gate read", Summarize(gateNs));
    line("'@' to 'A', 128-word block read", Summarize(blockNs));
    line("0xC1 to idle", Summarize(takeNs));
    line("a look with nothing to do", Summarize(idleNs));
}

// How long the running tiwaysim takes to react, seen from this side of the
// mailbox with no sleeping in between: its poll pause plus its service time.
void MeasureSimReaction(BenchChannel &c, int samples) {
    using orvtiw::Mailbox;
    volatile std::uint8_t *m = c.inst().window;
    const std::uint8_t gate[] = {0x01, 0x01, 0x00, 0x06, 0x20, 0x01, 0x00, 0x01, 0x00, 0x01};
    std::vector<double> answer, clear;
    auto spinUntil = [](volatile std::uint8_t *byte, std::uint8_t value) {
        const auto t0 = Clock::now();
        while (*byte != value) {
            if (UsSince(t0) > 100000) {
                return -1.0;
            }
        }
        return UsSince(t0);
    };
    for (int i = 0; i < samples; ++i) {
        SleepOneMs();
        if (m[Mailbox::kHostCommand] != orvtiw::kCommandIdle) {
            ++gFailedCalls;
            return;
        }
        m[Mailbox::kRequestSize] = 0;
        m[Mailbox::kRequestSize + 1] = sizeof gate;
        for (std::size_t j = 0; j < sizeof gate; ++j) {
            m[static_cast<std::size_t>(Mailbox::kRequestData) + j] = gate[j];
        }
        m[Mailbox::kCardStatus] = 0;
        std::atomic_thread_fence(std::memory_order_seq_cst);
        m[Mailbox::kHostCommand] = orvtiw::kCommandRequest;
        const double a = spinUntil(m + Mailbox::kCardStatus, orvtiw::kStatusReplyReady);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        m[Mailbox::kHostCommand] = orvtiw::kCommandReplyTaken;
        const double b = spinUntil(m + Mailbox::kHostCommand, orvtiw::kCommandIdle);
        if (a < 0 || b < 0) {
            ++gFailedCalls;
            return;
        }
        answer.push_back(a);
        clear.push_back(b);
    }
    std::printf("\n== tiwaysim's reaction in real time (watched without sleeping, %d samples)\n", samples);
    const Summary sa = Summarize(answer), sc = Summarize(clear);
    std::printf("  %-34s median %7.1f us  p99 %7.1f us  max %7.1f us\n", "'@' written to 'A' seen", sa.median, sa.p99,
                sa.max);
    std::printf("  %-34s median %7.1f us  p99 %7.1f us  max %7.1f us\n", "0xC1 written to idle seen", sc.median, sc.p99,
                sc.max);
}

// ---- machine and load ----------------------------------------------------------

struct CpuTimes {
    unsigned long long busy = 0, total = 0;
};

CpuTimes ReadCpuTimes() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {};
    in >> cpu >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6] >> v[7];
    CpuTimes t;
    for (auto x : v) {
        t.total += x;
    }
    t.busy = t.total - v[3] - v[4]; // less idle and iowait
    return t;
}

std::string ReadFirstLine(const char *path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

// ---- set-up ------------------------------------------------------------------

struct Options {
    bool shortMode = false;
    bool keepDir = false;
    std::string tiwaysim = ORVBENCH_TIWAYSIM;
    std::string workDir;
    int rounds = 0;
    int pollUs = 100;
};

bool ParseArgs(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        if (a == "--short") {
            o.shortMode = true;
        } else if (a == "--verbose") {
            gVerbose = true;
        } else if (a == "--tiwaysim" && (v = next()) != nullptr) {
            o.tiwaysim = v;
        } else if (a == "--workdir" && (v = next()) != nullptr) {
            o.workDir = v;
            o.keepDir = true;
        } else if (a == "--rounds" && (v = next()) != nullptr) {
            o.rounds = std::atoi(v);
        } else if (a == "--poll-us" && (v = next()) != nullptr) {
            o.pollUs = std::atoi(v);
        } else {
            std::fprintf(stderr, "usage: orvtiw_bench [--short] [--tiwaysim PATH] [--workdir DIR] [--rounds N] "
                                 "[--poll-us N] [--verbose]\n");
            return false;
        }
    }
    return true;
}

bool WriteText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return out.good();
}

// What the measurements run on: a tiwaysim serving `cards` cards, a channel
// started on each, one gate per secondary and a 128-word block.
struct Rig {
    int cards = 0;
    std::string dir;
    std::unique_ptr<tiwaysim::SimProcess> sim;
    std::vector<std::unique_ptr<BenchChannel>> channels;
    std::vector<Gate> gates;
    Block block{};
};

bool SetUp(const Options &o, Rig &rig, std::string &error) {
    rig.cards = o.shortMode ? 1 : 8;
    rig.dir = o.workDir;
    if (rig.dir.empty()) {
        char tmpl[] = "/tmp/orvtiw-bench.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            error = "cannot make a work directory";
            return false;
        }
        rig.dir = tmpl;
    }
    if (!WriteText(rig.dir + "/network.conf", NetworkConfigText(rig.cards, kSecondaries, kBlockWords))) {
        error = "cannot write in " + rig.dir;
        return false;
    }
    // Adapters configured from the start, so each ColdStart skips the two 5 s
    // pauses of the configuration sequence.
    rig.sim = std::make_unique<tiwaysim::SimProcess>(o.tiwaysim, ORVBENCH_DEVICE, rig.dir);
    if (!rig.sim->Start(error, {"--config", rig.dir + "/network.conf", "--poll-us", std::to_string(o.pollUs),
                                "--remove-device", "--configured"})) {
        return false;
    }
    const auto module = orvtiw::host::Module::FromEntry(&orvtiw::Dispatch, error);
    if (module == nullptr) {
        return false;
    }
    for (int c = 0; c < rig.cards; ++c) {
        rig.channels.push_back(std::make_unique<BenchChannel>(module, c + 1, c));
        BenchChannel &channel = *rig.channels.back();
        orvtiw::host::StartOptions start;
        start.initText = InitFileText(c);
        if (!channel.channel.ColdStart(start).ok() || channel.inst().window == nullptr) {
            error = "ColdStart failed on channel " + std::to_string(c + 1);
            return false;
        }
        for (int s = 1; s <= kSecondaries; ++s) {
            // Each secondary's gate is its own element, so a reply from the
            // wrong secondary or element reads as a wrong value.
            char text[16];
            std::snprintf(text, sizeof text, "%02XV%04X", s, s);
            auto checked = channel.channel.Check(text, orvtiw::host::ValueType::UInt16);
            if (!checked.ok()) {
                error = std::string("address ") + text + " refused";
                return false;
            }
            rig.gates.push_back(Gate{&channel, s, s, checked.gate});
        }
    }
    auto checked = rig.channels[0]->channel.Check("01V0001", orvtiw::host::ValueType::UInt16, kBlockWords);
    if (!checked.ok()) {
        error = "block address refused";
        return false;
    }
    rig.block = Block{rig.channels[0].get(), 1, checked.gate};
    return true;
}

void TearDown(const Options &o, Rig &rig) {
    if (o.keepDir || rig.dir.empty()) {
        return;
    }
    for (const char *name : {"network.conf", "tiwaysim.log"}) {
        unlink((rig.dir + "/" + name).c_str());
    }
    rmdir(rig.dir.c_str());
}

// ---- the measurements -----------------------------------------------------------

// The three kinds of exchange against the floor, with the card answering at
// once; also returns the bytes each kind moves, for the line model.
Reported MeasureExchanges(const Options &o, Rig &rig, std::vector<Kind> &kinds, std::vector<std::size_t> &bytes) {
    const int rounds = o.rounds > 0 ? o.rounds : (o.shortMode ? 100 : 600);
    const int batches = o.shortMode ? 3 : 10;
    const int perBatch = o.shortMode ? 40 : 100;
    const Phase instant = Measure(kinds, rounds, batches, perBatch);
    const Reported r = Report("card answering at once", kinds, instant);

    MeasureCardService(o.shortMode ? 200 : 2000);
    MeasureSimReaction(*rig.channels[0], o.shortMode ? 50 : 300);

    // Sizes of the last exchange of each kind, for the modelled line time.
    bytes.clear();
    for (Kind &k : kinds) {
        k.once();
        bytes.push_back(LastExchangeBytes(*rig.channels[0]));
    }
    return r;
}

// tiwaysim's line model: each reply is ready once its request and it have
// crossed a 115.2 kbit/s line, timed to the microsecond. False when the
// simulator refused the line rate.
bool MeasureLineRate(const Options &o, Rig &rig, std::vector<Kind> &kinds, const std::vector<std::size_t> &bytes) {
    const int rounds = o.rounds > 0 ? o.rounds : 600;
    std::printf("\n== 115.2 kbit/s line: tiwaysim 'line-rate 115200', %u bits a byte, the reply ready once request\n"
                "   and reply have crossed the line (plus up to one poll pause of tiwaysim)\n",
                tiwaysim::kLineBitsPerByte);
    std::string answer;
    bool done = rig.sim->Control("line-rate 115200", answer);
    if (!done) {
        std::printf("  tiwaysim refused 'line-rate 115200': %s\n", answer.c_str());
    }
    for (std::size_t i = 0; done && i < kinds.size(); ++i) {
        const double lineUs = LineTimeUs(bytes[i], kLineBitsPerSecond);
        std::printf("  %s: %zu request + reply bytes = %.0f us on the line\n", kinds[i].name.c_str(), bytes[i], lineUs);
        std::vector<Kind> single = {kinds[i]};
        const Phase lp = Measure(single, rounds / 3, 5, 50);
        const Reported lr = Report(("115.2 kbit/s line: " + kinds[i].name).c_str(), single, lp);
        std::printf("  %-34s median %.2f x the line time (card idle), %.2f x (back to back)\n", "",
                    lr.isolated[0].median / lineUs, lr.backToBack[0].median / lineUs);
    }
    if (!rig.sim->Control("line-rate off", answer)) {
        std::printf("  tiwaysim refused 'line-rate off': %s\n", answer.c_str());
        done = false;
    }
    return done;
}

// Scale: scans of one gate per secondary over 1, 2, 4 and 8 channels, and
// the 8 channels taken in turn. Returns the scan times in the order of the
// labels printed.
std::vector<std::vector<double>> MeasureScale(const Options &o, Rig &rig, double singleBackToBackUs) {
    struct Scan {
        std::string label;
        std::vector<Gate *> order;
        std::vector<double> wall;
    };
    std::vector<Scan> scans;
    for (int n : {1, 2, 4, 8}) {
        Scan s;
        s.label = std::to_string(n * kSecondaries) + " gates, " + std::to_string(n) + " channel(s), channel by channel";
        for (int i = 0; i < n * kSecondaries; ++i) {
            s.order.push_back(&rig.gates[static_cast<std::size_t>(i)]);
        }
        scans.push_back(s);
    }
    Scan inTurn;
    inTurn.label = "248 gates, 8 channels, taking the channels in turn";
    for (int s = 0; s < kSecondaries; ++s) {
        for (int c = 0; c < 8; ++c) {
            inTurn.order.push_back(&rig.gates[static_cast<std::size_t>(c * kSecondaries + s)]);
        }
    }
    scans.push_back(inTurn);
    const int reps = o.rounds > 0 ? std::max(3, o.rounds / 30) : 20;
    std::vector<double> scanFloor;
    for (int rep = 0; rep < reps; ++rep) {
        for (std::size_t j = 0; j < scans.size(); ++j) {
            Scan &s = scans[(j + static_cast<std::size_t>(rep)) % scans.size()];
            scanFloor.push_back(TimedSleepUs());
            const auto t0 = Clock::now();
            for (Gate *g : s.order) {
                ReadGate(*g);
            }
            s.wall.push_back(UsSince(t0));
        }
    }
    const Summary floorS = Summarize(scanFloor);
    std::printf("\n== scale: one host process, 8 channels on 8 cards of one tiwaysim, 31 secondaries each (%d scans "
                "of each kind, interleaved)\n",
                reps);
    std::printf("  floor in this phase: median %.1f us\n", floorS.median);
    std::vector<double> xs, ys;
    double perGate31 = 0;
    std::vector<std::vector<double>> walls;
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const Summary s = Summarize(scans[i].wall);
        const double n = static_cast<double>(scans[i].order.size());
        std::printf("  %-54s scan median %8.1f ms  p99 %8.1f ms  per gate %7.1f us = %.2f x floor\n",
                    scans[i].label.c_str(), s.median / 1000, s.p99 / 1000, s.median / n, s.median / n / floorS.median);
        if (i < 4) {
            xs.push_back(n);
            ys.push_back(s.median);
            if (i == 0) {
                perGate31 = s.median / n;
            }
        }
        walls.push_back(scans[i].wall);
    }
    const LineFit fit = FitLine(xs, ys);
    std::printf("  scan time by gates (channel by channel): %.1f us per gate + %.1f us, r^2 %.5f\n", fit.slope,
                fit.intercept, fit.r2);
    const double perGate248 = ys.size() == 4 ? ys[3] / xs[3] : 0;
    std::printf("  per gate at 248 against one channel (31): %.1f / %.1f us = %+.1f%%\n", perGate248, perGate31,
                100 * (perGate248 / perGate31 - 1));
    std::printf("  per gate at 248 against the single-gate read back to back: %.1f / %.1f us = %+.1f%%\n", perGate248,
                singleBackToBackUs, 100 * (perGate248 / singleBackToBackUs - 1));
    return walls;
}

// ---- the report -----------------------------------------------------------------

// The targets and the run's own failures; the exit status.
int Judge(const Options &o, const std::vector<Kind> &kinds, const Reported &r,
          const std::vector<std::vector<double>> &scanWalls, bool lineDone, bool simStopped) {
    const double floorMedian = r.floor.median;
    std::printf("\n== targets\n");
    auto verdict = [](const char *what, bool met, const char *detail) {
        std::printf("  [%s] %s: %s\n", met ? "met" : "NOT met", what, detail);
    };
    char detail[256];
    const double gateIdle = r.isolated[1].median, gateB2B = r.backToBack[1].median;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        std::snprintf(detail, sizeof detail, "card idle %.2f x, back to back %.2f x the 1 ms sleep (%.1f us)",
                      r.isolated[i].median / floorMedian, r.backToBack[i].median / floorMedian, floorMedian);
        verdict((kinds[i].name + " median <= 1.15 x floor (card idle)").c_str(),
                r.isolated[i].median <= 1.15 * floorMedian, detail);
        verdict((kinds[i].name + " median <= 1.15 x floor (back to back)").c_str(),
                r.backToBack[i].median <= 1.15 * floorMedian, detail);
    }
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        std::snprintf(detail, sizeof detail, "%.2f%%", 100 * r.cpuPerExchange[i] / r.wallPerExchange[i]);
        verdict((kinds[i].name + " CPU <= 5% of wall").c_str(), r.cpuPerExchange[i] <= 0.05 * r.wallPerExchange[i],
                detail);
    }
    std::snprintf(detail, sizeof detail, "card idle %.2f x, back to back %.2f x", r.isolated[2].median / gateIdle,
                  r.backToBack[2].median / gateB2B);
    verdict("block read <= 1.2 x single-gate read",
            r.isolated[2].median <= 1.2 * gateIdle && r.backToBack[2].median <= 1.2 * gateB2B, detail);
    if (scanWalls.size() >= 4) {
        const double per31 = Summarize(scanWalls[0]).median / 31, per248 = Summarize(scanWalls[3]).median / 248;
        std::snprintf(detail, sizeof detail, "%+.1f%% against one channel", 100 * (per248 / per31 - 1));
        verdict("scale per-gate time within 10% of single channel", std::abs(per248 / per31 - 1) <= 0.10, detail);
    }
    if (!o.shortMode && !lineDone) {
        std::printf("  line-rate figures missing\n");
    }

    int status = 0;
    if (gTroubleLines > 0 || gFailedCalls > 0 || gWrongValues > 0 || !simStopped) {
        std::printf("\nFAILED: %d driver messages, %d failed calls, %d wrong values%s\n", gTroubleLines, gFailedCalls,
                    gWrongValues, simStopped ? "" : ", tiwaysim did not stop cleanly");
        for (const auto &t : gTroubleTexts) {
            std::printf("  %s\n", t.c_str());
        }
        status = 1;
    }
    if (o.shortMode) {
        std::vector<ExchangeFigures> judged;
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            judged.push_back(
                {kinds[i].name + ", card idle", r.isolated[i].median, r.cpuPerExchange[i], r.wallPerExchange[i]});
            judged.push_back(
                {kinds[i].name + ", back to back", r.backToBack[i].median, r.cpuPerExchange[i], r.wallPerExchange[i]});
        }
        const auto failures = JudgeShortRun(floorMedian, judged);
        std::printf("\n== short mode: %s\n", failures.empty() ? "no gross regression" : "GROSS REGRESSION");
        for (const auto &f : failures) {
            std::printf("  %s\n", f.c_str());
        }
        if (!failures.empty()) {
            status = 1;
        }
    }
    return status;
}

// ---- the run ------------------------------------------------------------------

int Run(const Options &o) {
    utsname un{};
    uname(&un);
    std::printf("orvtiw_bench%s: %ld processors, %s, kernel %s %s\n", o.shortMode ? " --short" : "",
                sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str(), un.sysname, un.release);
    std::printf("load average at start: %s\n", ReadFirstLine("/proc/loadavg").c_str());
    const CpuTimes machine0 = ReadCpuTimes();
    const double selfCpu0 = ProcessCpuUs();
    const auto runStart = Clock::now();

    orvtiw::SetErrFunction(CaptureErr);
    Rig rig;
    std::string error;
    if (!SetUp(o, rig, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        TearDown(o, rig);
        return 2;
    }
    std::printf("device %s, tiwaysim %s --poll-us %d, work directory %s\n", ORVBENCH_DEVICE, o.tiwaysim.c_str(),
                o.pollUs, rig.dir.c_str());
    std::printf("set-up (start tiwaysim, ColdStart of %d card(s), operations 3 and 4): %.1f s\n", rig.cards,
                UsSince(runStart) / 1e6);
    const double simCpu0 = rig.sim->CpuSeconds();
    gMeasuring = true;
    CountDriverSleeps();

    BenchChannel &one = *rig.channels[0];
    gWatchedCommand = one.inst().window + orvtiw::Mailbox::kHostCommand;
    Gate &gate = rig.gates[0];
    std::vector<Kind> kinds = {
        {"Transact (connect)", 0, [&one]() { return ConnectTransact(one, 1); }},
        {"single-gate read (op 5)", 1, [&gate]() { return ReadGate(gate); }},
        {"128-word block read (op 6)", kBlockWords, [&rig]() { return ReadBlock(rig.block); }},
    };
    std::vector<std::size_t> bytes;
    const Reported r = MeasureExchanges(o, rig, kinds, bytes);
    const bool lineDone = !o.shortMode && MeasureLineRate(o, rig, kinds, bytes);
    const auto scanWalls =
        rig.cards >= 8 ? MeasureScale(o, rig, r.backToBack[1].median) : std::vector<std::vector<double>>{};

    gMeasuring = false;
    const double simCpu1 = rig.sim->CpuSeconds();
    const double wallS = UsSince(runStart) / 1e6;
    const CpuTimes machine1 = ReadCpuTimes();
    const double selfCpuS = (ProcessCpuUs() - selfCpu0) / 1e6;
    const bool simStopped = rig.sim->Stop();
    const double machineBusy = static_cast<double>(machine1.busy - machine0.busy);
    const double machineTotal = static_cast<double>(machine1.total - machine0.total);
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);

    std::printf("\n== run\n");
    std::printf("  wall %.1f s; this process %.2f s CPU; tiwaysim %.2f s CPU (%.1f%% of one processor)\n", wallS,
                selfCpuS, simCpu1 - simCpu0, 100 * (simCpu1 - simCpu0) / wallS);
    if (machineTotal > 0) {
        const double busyCores = machineBusy / machineTotal * static_cast<double>(cores);
        std::printf("  machine busy: %.2f of %ld processors on average, of which %.2f others' work\n", busyCores, cores,
                    std::max(0.0, busyCores - (selfCpuS + simCpu1 - simCpu0) / wallS));
    }
    std::printf("  load average at end: %s\n", ReadFirstLine("/proc/loadavg").c_str());

    const int status = Judge(o, kinds, r, scanWalls, lineDone, simStopped);
    TearDown(o, rig);
    return status;
}

} // namespace
} // namespace orvbench

int main(int argc, char **argv) {
    orvbench::Options o;
    if (!orvbench::ParseArgs(argc, argv, o)) {
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return orvbench::Run(o);
}
