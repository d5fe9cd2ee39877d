// orvgate_bench: what orvgate's scan and its cache cost, against a tiwaysim
// with four cards that this program starts, the driver thread and the
// server run in this process through the shipped module.
//
//   orvgate_bench [--short] [--tiwaysim PATH] [--port N] [--cycles N] [--client-seconds N] [--poll-us N]
//
// The map mixes a 256-word run, a 64-point discrete run, 32 scattered
// words and 8 bits of one word over four channels, written as a list of
// tags would be (16-word, 8-point and 1-bit ranges): coalesced, one cycle
// needs 36 exchanges, 9 on each channel. It measures the scan cycle
// against 36 times the 1 ms sleep the driver polls with (sampled on this
// thread meanwhile), the cycle with one read per range beside it, the
// driver thread's CPU per cycle, and the latency of 16 clients reading
// from the cache, each polling every 10 ms as a SCADA would, then back to
// back (which on a small machine measures its processors more than the
// gateway). Every value a client reads is checked.
//
// --short runs in about 20 s and fails (exit 1) only on a gross regression.
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
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <modbus/modbus.h>

#include "bench_clock.h"
#include "bench_support.h"
#include "driver_thread.h"
#include "map_file.h"
#include "modbus_server.h"
#include "orvtiw/host.h"
#include "request_router.h"
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
constexpr int kRunWords = 256;
constexpr int kPoints = 64;
constexpr int kBitsWord = 500;
// Where the scattered words lie: V600, V620, ... one every 20 elements.
constexpr int kScatterFirst = 600;
constexpr int kScatterStep = 20;
// Scattered words per channel, so that each channel has 9 exchanges.
constexpr int kScattered[kCards] = {7, 8, 8, 9};
constexpr int kMinimumExchanges = 36;

struct Options {
    bool shortRun = false;
    std::string tiwaysim = ORVBENCH_TIWAYSIM;
    int port = ORVBENCH_GATE_PORT;
    int cycles = 400;
    int clientSeconds = 10;
    int pollUs = 100;
};

double UsOf(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

std::chrono::microseconds ThreadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_nsec / 1000);
}

// Modbus addresses of the map: channel c's words at unit c.
int ScatterAddress(int i) {
    return 1000 + i;
}

std::string MapText() {
    std::ostringstream m;
    char line[128];
    for (int c = 0; c < kCards; ++c) {
        const int unit = c + 1;
        m << "channel " << unit << " card" << c << ".int\n";
        if (c == 0) {
            for (int r = 0; r < kRunWords / 16; ++r) {
                std::snprintf(line, sizeof line, "holding %d %d 01V%04X 16 uint16\n", unit, 16 * r, 1 + 16 * r);
                m << line;
            }
        }
        if (c == 1) {
            for (int r = 0; r < kPoints / 8; ++r) {
                std::snprintf(line, sizeof line, "discrete %d %d 01X%04X 8 points\n", unit, 8 * r, 1 + 8 * r);
                m << line;
            }
        }
        if (c == 2) {
            for (int b = 0; b < 8; ++b) {
                std::snprintf(line, sizeof line, "coils %d %d 01V%04X%X 1 bits\n", unit, b, kBitsWord, b);
                m << line;
            }
        }
        for (int i = 0; i < kScattered[c]; ++i) {
            std::snprintf(line, sizeof line, "holding %d %d 01V%04X 1 int16\n", unit, ScatterAddress(i),
                          kScatterFirst + kScatterStep * i);
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

struct ScanFigures {
    std::vector<double> cycleUs;
    std::vector<double> cpuUs;
    double processCpuUsPerCycle = 0;
    std::size_t reads = 0; // block reads a cycle
};

// Keeps sampling the floor on this thread until `done` says stop.
template <typename Done> void SampleFloor(std::vector<double> &floor, Done done) {
    while (!done()) {
        floor.push_back(TimedSleepUs());
    }
}

class Bench {
  public:
    Bench(const Options &o, std::string dir, std::shared_ptr<orvtiw::host::Module> module)
        : o_(o), dir_(std::move(dir)), module_(std::move(module)) {}

    bool Scan(bool coalesce, ScanFigures &out, std::vector<double> &floor, ClientFigures *clients, std::string &error) {
        std::ifstream in(dir_ + "/bench.map");
        const auto map = orvgate::ReadMapFile(in, error);
        if (!map) {
            return false;
        }
        orvgate::JobQueue jobs;
        orvgate::Freshness freshness;
        orvgate::GateStats stats(freshness, Clock::now());
        std::mutex mutex;
        std::vector<double> cycles;
        std::vector<double> cpu;
        orvgate::DriverSettings settings;
        settings.coalesce = coalesce;
        settings.onCycle = [&](Clock::duration cycle, std::chrono::microseconds used) {
            std::lock_guard<std::mutex> guard(mutex);
            cycles.push_back(UsOf(cycle));
            cpu.push_back(static_cast<double>(used.count()));
        };
        orvgate::DriverThread driver(module_, settings, jobs, stats, freshness);
        if (!driver.StartMapped(*map, dir_, 255, error)) {
            return false;
        }
        out.reads = driver.Plan().order.size();
        auto count = [&] {
            std::lock_guard<std::mutex> guard(mutex);
            return cycles.size();
        };
        // Two cycles to settle (the first connects nothing new, but the
        // cards may still hold the start's last reply), then the measure.
        while (count() < 2) {
            std::this_thread::sleep_for(5ms);
        }
        const std::size_t first = count();
        const double cpu0 = ProcessCpuUs();
        const std::chrono::microseconds sampler0 = ThreadCpu();
        const std::size_t target = first + static_cast<std::size_t>(o_.cycles);
        SampleFloor(floor, [&] { return count() >= target; });
        const double processUs = ProcessCpuUs() - cpu0 - static_cast<double>((ThreadCpu() - sampler0).count());
        {
            std::lock_guard<std::mutex> guard(mutex);
            out.cycleUs.assign(cycles.begin() + static_cast<std::ptrdiff_t>(first), cycles.end());
            out.cpuUs.assign(cpu.begin() + static_cast<std::ptrdiff_t>(first), cpu.end());
        }
        out.processCpuUsPerCycle = processUs / static_cast<double>(out.cycleUs.size());

        bool ok = true;
        if (clients != nullptr) {
            ok = Clients(driver, freshness, stats, jobs, *clients, error);
        }
        jobs.Stop();
        driver.Join();
        return ok;
    }

  private:
    bool Clients(orvgate::DriverThread &driver, orvgate::Freshness &freshness, orvgate::GateStats &stats,
                 orvgate::JobQueue &jobs, ClientFigures &out, std::string &error) {
        const orvgate::MapRouter router(driver.Ranges(), driver.Plan(), driver.Cache(), freshness, true, 255,
                                        [&stats] { return stats.Registers(Clock::now()); });
        orvgate::ServerSettings settings;
        settings.port = std::to_string(o_.port);
        settings.maxClients = kClients;
        orvgate::ModbusServer server(settings, router, jobs, stats);
        if (!server.Listen(error)) {
            return false;
        }
        std::thread serving([&server] { server.Run(); });
        ClientPhase(kPollEvery, out.pacedUs, out.wrong);
        ClientPhase(Clock::duration(0), out.backToBackUs, out.wrong);
        server.Stop();
        serving.join();
        return true;
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

    // One client: reads of every kind, each checked.
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
            const auto t0 = Clock::now();
            bool right = true;
            if (kind == 0) {
                const int run = static_cast<int>(random() % 16);
                modbus_set_slave(ctx, 1);
                right = modbus_read_registers(ctx, 16 * run, 16, words) == 16;
                for (int i = 0; right && i < 16; ++i) {
                    right = words[i] == ExpectedWord(0, 1, 1 + 16 * run + i);
                }
            } else if (kind == 1) {
                const int c = static_cast<int>(random() % kCards);
                const int i = static_cast<int>(random() % static_cast<unsigned>(kScattered[c]));
                modbus_set_slave(ctx, c + 1);
                right = modbus_read_registers(ctx, ScatterAddress(i), 1, words) == 1 &&
                        words[0] == ExpectedWord(c, 1, kScatterFirst + kScatterStep * i);
            } else if (kind == 2) {
                modbus_set_slave(ctx, 2);
                right = modbus_read_input_bits(ctx, 8 * static_cast<int>(random() % 8), 8, bits) == 8 &&
                        std::all_of(bits, bits + 8, [](std::uint8_t b) { return b == 0; });
            } else {
                modbus_set_slave(ctx, 3);
                const std::uint16_t word = ExpectedWord(2, 1, kBitsWord);
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
    std::shared_ptr<orvtiw::host::Module> module_;
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
        } else if (a == "--tiwaysim" && i + 1 < argc) {
            o.tiwaysim = argv[++i];
        } else if (!((a == "--port" && next(o.port)) || (a == "--cycles" && next(o.cycles)) ||
                     (a == "--client-seconds" && next(o.clientSeconds)) || (a == "--poll-us" && next(o.pollUs)))) {
            return false;
        }
    }
    return true;
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
    std::ofstream(dir + "/bench.map") << MapText();

    tiwaysim::SimProcess sim(o.tiwaysim, ORVBENCH_DEVICE, dir, {"--configured", "--poll-us", std::to_string(o.pollUs)});
    std::string error;
    if (!sim.Start(error, {"--config", dir + "/network"})) {
        std::fprintf(stderr, "orvgate_bench: %s\n", error.c_str());
        return 2;
    }
    const auto module = orvtiw::host::Module::Load(ORVBENCH_KELMAR, ORVBENCH_MODULE, error);
    if (module == nullptr) {
        std::fprintf(stderr, "orvgate_bench: %s\n", error.c_str());
        return 2;
    }
    Bench bench(o, dir, module);
    std::vector<double> floor;
    ScanFigures coalesced;
    ScanFigures naive;
    ClientFigures clients;
    if (!bench.Scan(true, coalesced, floor, &clients, error) || !bench.Scan(false, naive, floor, nullptr, error)) {
        std::fprintf(stderr, "orvgate_bench: %s\n", error.c_str());
        return 2;
    }
    const double simCpu = sim.CpuSeconds();
    sim.Stop();
    std::filesystem::remove_all(dir);

    const Summary f = Summarize(floor);
    const Summary c = Summarize(coalesced.cycleUs);
    const Summary n = Summarize(naive.cycleUs);
    const Summary cpu = Summarize(coalesced.cpuUs);
    const Summary lat = Summarize(clients.pacedUs);
    const Summary busy = Summarize(clients.backToBackUs);
    const double minimumUs = kMinimumExchanges * f.median;
    const double ratio = c.median / minimumUs;
    std::printf("floor: nanosleep(1 ms) median %.1f us, p99 %.1f us (n = %zu, sampled during both scans)\n", f.median,
                f.p99, f.n);
    std::printf(
        "map: 64 ranges on 4 channels; %zu block reads a cycle coalesced (minimum: %d), %zu with one per range\n",
        coalesced.reads, kMinimumExchanges, naive.reads);
    std::printf("scan cycle, coalesced, in turn: median %.2f ms, p99 %.2f ms, max %.2f ms (n = %zu)\n", c.median / 1000,
                c.p99 / 1000, c.max / 1000, c.n);
    std::printf("  against the minimum's %d x floor = %.2f ms: %.3f x (target <= 1.15)\n", kMinimumExchanges,
                minimumUs / 1000, ratio);
    std::printf("scan cycle, one read per range: median %.2f ms, p99 %.2f ms (n = %zu): %.3f x the minimum, %.2f x "
                "coalesced; %.3f x its own %zu x floor\n",
                n.median / 1000, n.p99 / 1000, n.n, n.median / minimumUs, n.median / c.median,
                n.median / (static_cast<double>(naive.reads) * f.median), naive.reads);
    std::printf("gateway CPU per scan: driver thread median %.0f us (p99 %.0f us), the process %.0f us per cycle "
                "(%.2f %% of the cycle); tiwaysim %.2f s CPU in all\n",
                cpu.median, cpu.p99, coalesced.processCpuUsPerCycle, 100 * coalesced.processCpuUsPerCycle / c.median,
                simCpu);
    std::printf("client latency from the cache, %d clients each reading every %d ms: p50 %.3f ms, p99 %.3f ms, max "
                "%.3f ms (n = %zu; target p99 <= 2 ms)\n",
                kClients, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kPollEvery).count()),
                lat.median / 1000, lat.p99 / 1000, lat.max / 1000, lat.n);
    std::printf("  the same %d clients back to back: %.0f reads/s, p50 %.3f ms, p99 %.3f ms, max %.3f ms (n = %zu)\n",
                kClients, static_cast<double>(busy.n) / o.clientSeconds, busy.median / 1000, busy.p99 / 1000,
                busy.max / 1000, busy.n);
    const std::size_t wrong = clients.wrong;
    std::printf("values checked: %zu reads, %zu wrong\n", lat.n + busy.n, wrong);

    int failed = wrong > 0 || lat.n == 0 ? 1 : 0;
    if (o.shortRun && (ratio > 2.0 || lat.p99 > 20000.0)) {
        std::printf("orvgate_bench: gross regression: cycle %.2f x the minimum, client p99 %.1f ms\n", ratio,
                    lat.p99 / 1000);
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
                             "[--client-seconds N] [--poll-us N]\n");
        return 2;
    }
    return orvbench::Run(o);
}
