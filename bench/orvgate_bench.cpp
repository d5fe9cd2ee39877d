// orvgate_bench: what orvgate's scan and its cache cost, against a tiwaysim
// with four cards that this program starts; the gateway's core (a driver
// thread per card, each on its own copy of the shipped module) and its
// Modbus server run in this process.
//
//   orvgate_bench [--short] [--tiwaysim PATH] [--port N] [--cycles N] [--client-seconds N]
//                 [--dead-seconds N] [--poll-us N]
//
// Every channel has the same map, written as a list of tags would be: a
// 128-word run as 8 ranges of 16 words, 16 points as 2 ranges of 8, 8 bits
// of one word as 8 ranges of one bit, and 6 scattered words; coalesced, a
// channel's cycle is 9 exchanges. It measures each card's scan cycle with
// the four cards scanning at once, against one card scanning alone and
// against 9 times the 1 ms sleep the driver polls with (sampled on this
// thread meanwhile); the cycle with one read per range beside it; the card
// threads' CPU per cycle; the latency of 16 clients reading from the cache,
// each polling every 10 ms as a SCADA would, then back to back; and, with a
// second card dead (its reset never answered, so that its warm starts wait
// 1 s + 20 s), the live card's cycle and the latency of writes to it.
// Every value a client reads is checked.
//
// --short runs in about 30 s and fails (exit 1) only on a gross regression.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <modbus/modbus.h>

#include "bench_clock.h"
#include "bench_support.h"
#include "map/map_file.h"
#include "modbus/modbus_server.h"
#include "modbus/request_router.h"
#include "orvtiw/host.h"
#include "scan/gateway.h"
#include "sim_process.h"

#ifndef ORVBENCH_TIWAYSIM
#define ORVBENCH_TIWAYSIM "tiwaysim"
#endif
#ifndef ORVBENCH_DEVICE
#define ORVBENCH_DEVICE "/dev/shm/GRELMIN"
#endif
#ifndef ORVBENCH_MODULE
#define ORVBENCH_MODULE ""
#endif
#ifndef ORVBENCH_KELMAR
#define ORVBENCH_KELMAR ""
#endif
#ifndef ORVBENCH_GATE_PORT
#define ORVBENCH_GATE_PORT 15023
#endif

namespace orvbench {
namespace {

using namespace std::chrono_literals;

constexpr int kCards = 4;
constexpr int kClients = 16;
constexpr int kRunWords = 128;
constexpr int kPoints = 16;
constexpr int kBitsWord = 500;
// Where the scattered words lie: V600, V620, ... one every 20 elements.
constexpr int kScatterFirst = 600;
constexpr int kScatterStep = 20;
constexpr int kScattered = 6;
constexpr int kExchangesPerCard = 3 + kScattered;
// The word the writes of the dead-card run go to, on channel 1: the run's
// last, so that its reads stay in the run's block and the cycle is the
// same 9 exchanges.
constexpr int kWrittenWord = kRunWords;
constexpr int kWrittenAddress = 2000;
// The dead card's reply time-out, so that it is found dead quickly.
constexpr std::int32_t kTimeoutMs = 200;

struct Options {
    bool shortRun = false;
    std::string tiwaysim = ORVBENCH_TIWAYSIM;
    int port = ORVBENCH_GATE_PORT;
    int cycles = 400;
    int clientSeconds = 10;
    int deadSeconds = 16; // within the dead card's 21 s warm start
    int pollUs = 100;
};

double UsOf(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

int ScatterAddress(int i) {
    return 1000 + i;
}

// Channels 1..`cards`, card c at unit c + 1, each with the same ranges.
std::string MapText(int cards, bool writable) {
    std::ostringstream m;
    char line[128];
    for (int c = 0; c < cards; ++c) {
        const int unit = c + 1;
        m << "channel " << unit << " card" << c << ".int\n";
        for (int r = 0; r < kRunWords / 16; ++r) {
            std::snprintf(line, sizeof line, "holding %d %d 01V%04X 16 uint16\n", unit, 16 * r, 1 + 16 * r);
            m << line;
        }
        for (int r = 0; r < kPoints / 8; ++r) {
            std::snprintf(line, sizeof line, "discrete %d %d 01X%04X 8 points\n", unit, 8 * r, 1 + 8 * r);
            m << line;
        }
        for (int b = 0; b < 8; ++b) {
            std::snprintf(line, sizeof line, "coils %d %d 01V%04X%X 1 bits\n", unit, b, kBitsWord, b);
            m << line;
        }
        for (int i = 0; i < kScattered; ++i) {
            std::snprintf(line, sizeof line, "holding %d %d 01V%04X 1 int16\n", unit, ScatterAddress(i),
                          kScatterFirst + kScatterStep * i);
            m << line;
        }
        if (writable && c == 0) {
            std::snprintf(line, sizeof line, "holding %d %d 01V%04X 1 uint16 rw\n", unit, kWrittenAddress,
                          kWrittenWord);
            m << line;
        }
    }
    return m.str();
}

// How often a paced client polls.
constexpr Clock::duration kPollEvery = std::chrono::milliseconds(10);

struct ClientFigures {
    std::vector<double> pacedUs;
    std::vector<double> backToBackUs;
    std::size_t wrong = 0;
};

// Each card's cycles as its thread told them, and its CPU in each.
class CycleRecorder : public orvgate::CoreObserver {
  public:
    void Watch(const orvgate::Gateway *core) {
        core_ = core;
    }
    void CycleDone(std::int32_t channel) override {
        for (const orvgate::CardStatus &card : core_->Cards()) {
            if (card.channel == channel) {
                std::lock_guard<std::mutex> guard(mutex_);
                cycleUs_[channel].push_back(UsOf(card.lastCycle));
                cpuUs_[channel].push_back(static_cast<double>(card.cycleCpu.count()));
            }
        }
    }
    void HealthChanged(std::int32_t) override {}

    std::size_t Fewest(const std::vector<std::int32_t> &channels) {
        std::lock_guard<std::mutex> guard(mutex_);
        std::size_t fewest = static_cast<std::size_t>(-1);
        for (const std::int32_t c : channels) {
            fewest = std::min(fewest, cycleUs_[c].size());
        }
        return fewest;
    }
    // Cycles of the channels from `from` on (each channel's own count), pooled.
    void Take(const std::vector<std::int32_t> &channels, const std::map<std::int32_t, std::size_t> &from,
              std::vector<double> &cycles, std::vector<double> &cpu) {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const std::int32_t c : channels) {
            const std::size_t first = from.count(c) != 0 ? from.at(c) : 0;
            const std::vector<double> &cy = cycleUs_[c];
            const std::vector<double> &cp = cpuUs_[c];
            cycles.insert(cycles.end(), cy.begin() + static_cast<std::ptrdiff_t>(std::min(first, cy.size())), cy.end());
            cpu.insert(cpu.end(), cp.begin() + static_cast<std::ptrdiff_t>(std::min(first, cp.size())), cp.end());
        }
    }
    std::map<std::int32_t, std::size_t> Counts() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::map<std::int32_t, std::size_t> n;
        for (const auto &[c, v] : cycleUs_) {
            n[c] = v.size();
        }
        return n;
    }

  private:
    const orvgate::Gateway *core_ = nullptr;
    std::mutex mutex_;
    std::map<std::int32_t, std::vector<double>> cycleUs_;
    std::map<std::int32_t, std::vector<double>> cpuUs_;
};

struct ScanFigures {
    std::vector<double> cycleUs; // every card's, pooled
    std::vector<double> cpuUs;
    double processCpuUsPerCycle = 0;
    std::size_t reads = 0; // block reads a cycle, all cards
};

struct DeadFigures {
    std::vector<double> liveCycleUs;
    std::vector<double> writeUs;
    std::size_t writesFailed = 0;
    bool warmStartBegun = false;
};

class Bench {
  public:
    Bench(const Options &o, std::string dir, tiwaysim::SimProcess &sim) : o_(o), dir_(std::move(dir)), sim_(sim) {}

    // One gateway on the map of `cards` channels: its cycles once settled,
    // then what `during` measures while it runs.
    template <typename During>
    bool Run(int cards, bool coalesce, bool writable, ScanFigures &out, std::vector<double> &floor, std::string &error,
             During during) {
        const std::string mapPath = dir_ + "/bench" + std::to_string(cards) + (writable ? "w" : "") + ".map";
        std::ofstream(mapPath) << MapText(cards, writable);
        std::ifstream in(mapPath);
        const auto map = orvgate::ReadMapFile(in, error);
        if (!map) {
            return false;
        }
        orvgate::GatewaySettings settings;
        settings.coalesce = coalesce;
        settings.timeoutMs = kTimeoutMs;
        settings.retry.first = 200ms;
        orvgate::Gateway core(
            [](std::string &e) {
                return orvtiw::host::Module::Load(ORVBENCH_KELMAR, ORVBENCH_MODULE, e,
                                                  orvtiw::host::Loading::PrivateCopy);
            },
            settings);
        CycleRecorder recorder;
        recorder.Watch(&core);
        core.AddObserver(&recorder);
        if (!core.StartMapped(*map, dir_, 255, error)) {
            return false;
        }
        out.reads = core.Plan().order.size();
        std::vector<std::int32_t> channels;
        for (int c = 1; c <= cards; ++c) {
            channels.push_back(c);
        }
        core.Run();
        // Two cycles to settle, then the measure.
        while (recorder.Fewest(channels) < 2) {
            std::this_thread::sleep_for(5ms);
        }
        const std::map<std::int32_t, std::size_t> first = recorder.Counts();
        const double cpu0 = ProcessCpuUs();
        const std::size_t target = 2 + static_cast<std::size_t>(o_.cycles);
        const double sampler0 = ThreadCpuUs();
        while (recorder.Fewest(channels) < target) {
            floor.push_back(TimedSleepUs());
        }
        const double processUs = ProcessCpuUs() - cpu0 - (ThreadCpuUs() - sampler0);
        recorder.Take(channels, first, out.cycleUs, out.cpuUs);
        out.processCpuUsPerCycle = processUs / (static_cast<double>(out.cycleUs.size()) / cards);
        const bool ok = during(core, recorder, error);
        core.Stop();
        return ok;
    }

    // 16 clients from the cache, through the server: paced, then back to back.
    bool Clients(orvgate::Gateway &core, ClientFigures &out, std::string &error) {
        return Serve(core, error, [&] {
            ClientPhase(kPollEvery, out.pacedUs, out.wrong);
            ClientPhase(Clock::duration(0), out.backToBackUs, out.wrong);
        });
    }

    // Channel 2's card dies with its reset never answered. Once its warm
    // start is under way (its second try), channel 1's cycles are timed,
    // then writes to channel 1, each for half the time.
    bool DeadCard(orvgate::Gateway &core, CycleRecorder &recorder, DeadFigures &out, std::string &error) {
        return Serve(core, error, [&] {
            for (const char *command : {"card C900 no-reset on", "card C900 drop-ack on"}) {
                if (sim_.Control(command) != "ok") {
                    ++out.writesFailed;
                }
            }
            auto warmStarting = [&core] {
                for (const orvgate::CardStatus &card : core.Cards()) {
                    if (card.channel == 2) {
                        return card.health.Failing() && card.health.tries >= 2;
                    }
                }
                return false;
            };
            const auto begun = Clock::now();
            while (!warmStarting() && Clock::now() - begun < 10s) {
                std::this_thread::sleep_for(10ms);
            }
            const auto half = std::chrono::milliseconds(o_.deadSeconds * 500);
            const std::map<std::int32_t, std::size_t> first = recorder.Counts();
            std::this_thread::sleep_for(half);
            std::vector<double> cpu;
            recorder.Take({1}, first, out.liveCycleUs, cpu);

            modbus_t *ctx = modbus_new_tcp("127.0.0.1", o_.port);
            modbus_set_response_timeout(ctx, 5, 0);
            modbus_set_slave(ctx, 1);
            if (modbus_connect(ctx) != 0) {
                ++out.writesFailed;
            }
            const auto until = Clock::now() + half;
            std::uint16_t value = 0;
            while (Clock::now() < until) {
                const auto t0 = Clock::now();
                if (modbus_write_register(ctx, kWrittenAddress, value++) == 1) {
                    out.writeUs.push_back(UsSince(t0));
                } else {
                    ++out.writesFailed;
                }
                std::this_thread::sleep_for(20ms);
            }
            modbus_close(ctx);
            modbus_free(ctx);
            // Still the same try: the warm start waited through both halves.
            out.warmStartBegun = warmStarting();
            sim_.Control("card C900 clear");
        });
    }

  private:
    template <typename Work> bool Serve(orvgate::Gateway &core, std::string &error, Work work) {
        const orvgate::MapRouter router(core.Ranges(), core.Plan(), core.Cache(), core.Settings().maxAge, false, 255,
                                        [] { return std::vector<std::uint16_t>(); });
        orvgate::ServerSettings settings;
        settings.port = std::to_string(o_.port);
        settings.maxClients = kClients;
        orvgate::ModbusServer server(settings, router,
                                     [&core](std::shared_ptr<orvgate::Job> job) { core.Submit(std::move(job)); });
        if (!server.Listen(error)) {
            return false;
        }
        std::thread serving([&server] { server.Run(); });
        work();
        server.Stop();
        serving.join();
        return true;
    }

    static double ThreadCpuUs() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1000.0;
    }

    // 16 clients for the phase's time, each reading every `every` (0: back
    // to back).
    void ClientPhase(Clock::duration every, std::vector<double> &latencyUs, std::size_t &wrong) const {
        std::vector<std::vector<double>> latencies(kClients);
        std::vector<std::size_t> bad(kClients, 0);
        std::vector<std::thread> clients;
        const auto start = Clock::now();
        const auto until = start + std::chrono::seconds(o_.clientSeconds);
        for (int k = 0; k < kClients; ++k) {
            // Paced clients start spread over one period, as independent pollers would.
            const auto first = start + every * k / kClients;
            clients.emplace_back([&, k, first] {
                Client(k, first, every, until, latencies[static_cast<std::size_t>(k)],
                       bad[static_cast<std::size_t>(k)]);
            });
        }
        for (std::thread &t : clients) {
            t.join();
        }
        for (int k = 0; k < kClients; ++k) {
            latencyUs.insert(latencyUs.end(), latencies[static_cast<std::size_t>(k)].begin(),
                             latencies[static_cast<std::size_t>(k)].end());
            wrong += bad[static_cast<std::size_t>(k)];
        }
    }

    // One client: reads of every kind on every card, each checked.
    void Client(int k, Clock::time_point first, Clock::duration every, Clock::time_point until,
                std::vector<double> &latency, std::size_t &bad) const {
        modbus_t *ctx = modbus_new_tcp("127.0.0.1", o_.port);
        modbus_set_response_timeout(ctx, 5, 0);
        if (modbus_connect(ctx) != 0) {
            ++bad;
            modbus_free(ctx);
            return;
        }
        std::mt19937 random(static_cast<unsigned>(k));
        std::uint16_t words[16];
        std::uint8_t bits[16];
        Clock::time_point next = first;
        while (Clock::now() < until) {
            if (every.count() > 0) {
                std::this_thread::sleep_until(next);
                next += every;
            }
            const int kind = static_cast<int>(random() % 4);
            const int c = static_cast<int>(random() % kCards);
            modbus_set_slave(ctx, c + 1);
            const auto t0 = Clock::now();
            bool right = true;
            if (kind == 0) {
                const int run = static_cast<int>(random() % (kRunWords / 16));
                right = modbus_read_registers(ctx, 16 * run, 16, words) == 16;
                for (int i = 0; right && i < 16; ++i) {
                    right = words[i] == ExpectedWord(c, 1, 1 + 16 * run + i);
                }
            } else if (kind == 1) {
                const int i = static_cast<int>(random() % kScattered);
                right = modbus_read_registers(ctx, ScatterAddress(i), 1, words) == 1 &&
                        words[0] == ExpectedWord(c, 1, kScatterFirst + kScatterStep * i);
            } else if (kind == 2) {
                right = modbus_read_input_bits(ctx, 8 * static_cast<int>(random() % (kPoints / 8)), 8, bits) == 8 &&
                        std::all_of(bits, bits + 8, [](std::uint8_t b) { return b == 0; });
            } else {
                const std::uint16_t word = ExpectedWord(c, 1, kBitsWord);
                right = modbus_read_bits(ctx, 0, 8, bits) == 8;
                for (int b = 0; right && b < 8; ++b) {
                    right = bits[b] == ((word >> b) & 1u);
                }
            }
            latency.push_back(UsSince(t0));
            bad += right ? 0 : 1;
        }
        modbus_close(ctx);
        modbus_free(ctx);
    }

    const Options &o_;
    std::string dir_;
    tiwaysim::SimProcess &sim_;
};

bool ParseOptions(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&](int &value) {
            if (i + 1 >= argc) {
                return false;
            }
            value = std::atoi(argv[++i]);
            return value > 0;
        };
        if (a == "--short") {
            o.shortRun = true;
            o.cycles = 60;
            o.clientSeconds = 2;
            o.deadSeconds = 4;
        } else if (a == "--tiwaysim" && i + 1 < argc) {
            o.tiwaysim = argv[++i];
        } else if (!((a == "--port" && next(o.port)) || (a == "--cycles" && next(o.cycles)) ||
                     (a == "--client-seconds" && next(o.clientSeconds)) ||
                     (a == "--dead-seconds" && next(o.deadSeconds)) || (a == "--poll-us" && next(o.pollUs)))) {
            return false;
        }
    }
    return true;
}

void PrintCycle(const char *what, const Summary &s, double againstUs, const char *against) {
    std::printf("%s: median %.2f ms, p99 %.2f ms, max %.2f ms (n = %zu); %.3f x %s\n", what, s.median / 1000,
                s.p99 / 1000, s.max / 1000, s.n, s.median / againstUs, against);
}

int Run(const Options &o) {
    char pattern[] = "/tmp/orvgate-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = pattern;
    std::ofstream(dir + "/network") << NetworkConfigText(kCards, 1, 1024);
    for (int c = 0; c < kCards; ++c) {
        std::ofstream(dir + "/card" + std::to_string(c) + ".int") << InitFileText(c);
    }
    tiwaysim::SimProcess sim(o.tiwaysim, ORVBENCH_DEVICE, dir, {"--configured", "--poll-us", std::to_string(o.pollUs)});
    std::string error;
    if (!sim.Start(error, {"--config", dir + "/network"})) {
        std::fprintf(stderr, "orvgate_bench: %s\n", error.c_str());
        return 2;
    }
    Bench bench(o, dir, sim);
    std::vector<double> floor;
    ScanFigures four;
    ScanFigures alone;
    ScanFigures naive;
    ScanFigures two;
    ClientFigures clients;
    DeadFigures dead;
    const auto nothing = [](orvgate::Gateway &, CycleRecorder &, std::string &) { return true; };
    const bool ok =
        bench.Run(1, true, false, alone, floor, error, nothing) &&
        bench.Run(
            kCards, true, false, four, floor, error,
            [&](orvgate::Gateway &core, CycleRecorder &, std::string &e) { return bench.Clients(core, clients, e); }) &&
        bench.Run(kCards, false, false, naive, floor, error, nothing) &&
        bench.Run(2, true, true, two, floor, error, [&](orvgate::Gateway &core, CycleRecorder &r, std::string &e) {
            return bench.DeadCard(core, r, dead, e);
        });
    if (!ok) {
        std::fprintf(stderr, "orvgate_bench: %s\n", error.c_str());
        return 2;
    }
    const double simCpu = sim.CpuSeconds();
    sim.Stop();
    std::filesystem::remove_all(dir);

    const Summary f = Summarize(floor);
    const Summary a = Summarize(alone.cycleUs);
    const Summary c = Summarize(four.cycleUs);
    const Summary n = Summarize(naive.cycleUs);
    const Summary live = Summarize(dead.liveCycleUs);
    const Summary writes = Summarize(dead.writeUs);
    const Summary cpu = Summarize(four.cpuUs);
    const Summary lat = Summarize(clients.pacedUs);
    const Summary busy = Summarize(clients.backToBackUs);
    const double minimumUs = kExchangesPerCard * f.median;
    const double exchangeUs = a.median / kExchangesPerCard; // one exchange with one card, as its cycle shows it
    std::printf("floor: nanosleep(1 ms) median %.1f us, p99 %.1f us (n = %zu, sampled during every scan)\n", f.median,
                f.p99, f.n);
    std::printf("map: %d equal channels of 26 ranges; %zu block reads a cycle coalesced (%d a card), %zu with one per "
                "range\n",
                kCards, four.reads, kExchangesPerCard, naive.reads);
    PrintCycle("one card scanning alone", a, minimumUs, "its 9 x floor");
    PrintCycle("each of four cards scanning at once", c, a.median, "one card alone (target <= 1.15)");
    PrintCycle("  one read per range, four at once", n, c.median, "coalesced");
    PrintCycle("the live card beside a dead one", live, a.median, "one card alone (target <= 1.15)");
    std::printf("  then writes to the live card: p50 %.2f ms, p99 %.2f ms, max %.2f ms (n = %zu, %zu failed; target "
                "p99 <= %.2f ms, an exchange + 10 ms); the dead card's warm start %s\n",
                writes.median / 1000, writes.p99 / 1000, writes.max / 1000, writes.n, dead.writesFailed,
                (exchangeUs + 10000) / 1000, dead.warmStartBegun ? "under way throughout" : "not under way throughout");
    std::printf("gateway CPU per cycle, four cards: each card thread median %.0f us (p99 %.0f us), the process %.0f us "
                "per cycle of all four; tiwaysim %.2f s CPU in all\n",
                cpu.median, cpu.p99, four.processCpuUsPerCycle, simCpu);
    std::printf("client latency from the cache, %d clients each reading every %d ms: p50 %.3f ms, p99 %.3f ms, max "
                "%.3f ms (n = %zu; target p99 <= 2 ms)\n",
                kClients, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kPollEvery).count()),
                lat.median / 1000, lat.p99 / 1000, lat.max / 1000, lat.n);
    std::printf("  the same %d clients back to back: %.0f reads/s, p50 %.3f ms, p99 %.3f ms, max %.3f ms (n = %zu)\n",
                kClients, static_cast<double>(busy.n) / o.clientSeconds, busy.median / 1000, busy.p99 / 1000,
                busy.max / 1000, busy.n);
    std::printf("values checked: %zu reads, %zu wrong\n", lat.n + busy.n, clients.wrong);

    int failed = clients.wrong > 0 || lat.n == 0 || writes.n == 0 || dead.writesFailed > 0 ? 1 : 0;
    if (o.shortRun &&
        (c.median > 2.0 * a.median || live.median > 2.0 * a.median || lat.p99 > 20000.0 || writes.p99 > 100000.0)) {
        std::printf("orvgate_bench: gross regression: four cards %.2f x one alone, beside a dead one %.2f x, client "
                    "p99 %.1f ms, write p99 %.1f ms\n",
                    c.median / a.median, live.median / a.median, lat.p99 / 1000, writes.p99 / 1000);
        failed = 1;
    }
    return failed;
}

} // namespace
} // namespace orvbench

int main(int argc, char **argv) {
    orvbench::Options o;
    if (!orvbench::ParseOptions(argc, argv, o)) {
        std::fprintf(stderr, "usage: orvgate_bench [--short] [--tiwaysim PATH] [--port N] [--cycles N] "
                             "[--client-seconds N] [--dead-seconds N] [--poll-us N]\n");
        return 2;
    }
    return orvbench::Run(o);
}
