// orvgate_bench: what orvgate's scan and its cache cost, against a tiwaysim
// with four cards that this program starts; the gateway's core (a driver
// thread per card, each on its own copy of the shipped module) and its
// Modbus server run in this process.
//
//   orvgate_bench [--short] [--tiwaysim PATH] [--port N] [--cycles N] [--client-seconds N]
//                 [--dead-seconds N] [--poll-us N] [--changes N] [--births N] [--plant-changes N]
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
// Last, the plant: one card at 92160 bit/s, 16 PLCs of 512 words (a bulk
// class of 2.5 s) and an alarm word each (a class of 200 ms), 16 Modbus
// clients polling everything, alarm changes timed to a client and to their
// DDATA; then the same map with one rate for all, as before scan classes.
//
// --short runs in about 40 s and fails (exit 1) only on a gross regression:
// wrong values, lost changes, or times off by a factor that no load of the
// test command's builds on the same processors explains (a cycle twice one
// card's, a client's read or a write past 200 ms at p99).
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
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <modbus/modbus.h>

#if defined(ORVBENCH_HAVE_MQTT)
#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>

#include "mqtt/commands.h"
#include "mqtt/core_source.h"
#include "mqtt/edge_node.h"
#include "mqtt/edge_session.h"
#include "mqtt/names.h"
#include "mqtt/payload.h"
#include "sparkplug_b.pb.h"
#endif

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
    std::string mosquitto = "/usr/sbin/mosquitto";
    int changes = 300;      // values changed in the PLCs, each timed to its DDATA
    int births = 200;       // rebirths of the 1000-metric device
    int plantChanges = 100; // alarm changes in the plant phase, each map
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
    void BlockChanged(std::int32_t channel, std::int32_t) override {
        std::lock_guard<std::mutex> guard(mutex_);
        changedAt_[channel].push_back(Clock::now());
    }
    // When a read of the channel last found other values before `t`.
    std::optional<Clock::time_point> LastChangeBefore(std::int32_t channel, Clock::time_point t) {
        std::lock_guard<std::mutex> guard(mutex_);
        const std::vector<Clock::time_point> &at = changedAt_[channel];
        const auto after = std::upper_bound(at.begin(), at.end(), t);
        if (after == at.begin()) {
            return std::nullopt;
        }
        return *(after - 1);
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
    std::map<std::int32_t, std::vector<Clock::time_point>> changedAt_;
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

// One gateway run: its map and what joins the core before it scans.
struct GateRun {
    int cards = 1;
    bool coalesce = true;
    bool writable = false;
    std::string mapText; // empty: MapText(cards, writable)
    // Called once the channels have started, before the card threads run:
    // where an observer of the core joins it.
    std::function<bool(orvgate::Gateway &, const orvgate::MapFile &, std::string &)> started;
    // CPU of this process's threads that are not the gateway's (an MQTT
    // subscriber's loop), left out of its CPU as the floor sampler's is.
    std::function<double()> otherCpuUs;
};

GateRun Cards(int cards, bool coalesce = true, bool writable = false) {
    GateRun run;
    run.cards = cards;
    run.coalesce = coalesce;
    run.writable = writable;
    return run;
}

class Bench {
  public:
    Bench(const Options &o, std::string dir, tiwaysim::SimProcess &sim) : o_(o), dir_(std::move(dir)), sim_(sim) {}

    // One gateway on the run's map: its cycles once settled, then what
    // `during` measures while it runs.
    template <typename During>
    bool Run(const GateRun &run, ScanFigures &out, std::vector<double> &floor, std::string &error, During during) {
        const int cards = run.cards;
        const std::string mapPath = dir_ + "/bench" + std::to_string(cards) + (run.writable ? "w" : "") +
                                    (run.mapText.empty() ? "" : "m") + ".map";
        std::ofstream(mapPath) << (run.mapText.empty() ? MapText(cards, run.writable) : run.mapText);
        std::ifstream in(mapPath);
        const auto map = orvgate::ReadMapFile(in, error);
        if (!map) {
            return false;
        }
        orvgate::GatewaySettings settings;
        settings.coalesce = run.coalesce;
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
        if (!core.StartMapped(*map, dir_, 247, error) || (run.started && !run.started(core, *map, error))) {
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
        MeasureCycles(recorder, channels, run.otherCpuUs, out, floor);
        const bool ok = during(core, recorder, error);
        core.Stop();
        return ok;
    }

    // The next `cycles` of every channel, each channel's count on from now,
    // with the process's CPU over them; the floor is sampled meanwhile.
    void MeasureCycles(CycleRecorder &recorder, const std::vector<std::int32_t> &channels,
                       const std::function<double()> &otherCpuUs, ScanFigures &out, std::vector<double> &floor) const {
        const std::map<std::int32_t, std::size_t> first = recorder.Counts();
        std::size_t target = 0;
        for (const std::int32_t c : channels) {
            target = std::max(target, (first.count(c) != 0 ? first.at(c) : 0) + static_cast<std::size_t>(o_.cycles));
        }
        const double cpu0 = ProcessCpuUs();
        const double sampler0 = ThreadCpuUs();
        const double other0 = otherCpuUs ? otherCpuUs() : 0;
        while (recorder.Fewest(channels) < target) {
            floor.push_back(TimedSleepUs());
        }
        const double other = otherCpuUs ? otherCpuUs() - other0 : 0;
        const double processUs = ProcessCpuUs() - cpu0 - (ThreadCpuUs() - sampler0) - other;
        recorder.Take(channels, first, out.cycleUs, out.cpuUs);
        out.processCpuUsPerCycle =
            processUs / (static_cast<double>(out.cycleUs.size()) / static_cast<double>(channels.size()));
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
        const orvgate::MapRouter router(core.Values(), 247, [] { return std::vector<std::uint16_t>(); });
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

#if defined(ORVBENCH_HAVE_MQTT)

// ---- The MQTT edge node: Debian's mosquitto started here, the edge node on
// the core as orvgate wires it, and a libmosquitto subscriber that takes
// every Sparkplug message at QoS 1 and decodes it.

constexpr char kGroup[] = "Bench";
constexpr char kEdgeNode[] = "orvgate-bench";
constexpr int kBirthMetrics = 1000;
constexpr int kBirthRangeWords = 100;

// Channel 1 alone, 1000 words of V as 10 ranges of 100: one device of 1000 metrics.
std::string BirthMapText() {
    std::ostringstream m;
    char line[128];
    m << "channel 1 card0.int\n";
    for (int r = 0; r < kBirthMetrics / kBirthRangeWords; ++r) {
        std::snprintf(line, sizeof line, "holding 1 %d 01V%04X %d uint16\n", kBirthRangeWords * r,
                      1 + kBirthRangeWords * r, kBirthRangeWords);
        m << line;
    }
    return m.str();
}

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

// mosquitto on 127.0.0.1:`port` with a configuration file of its own, in a
// folder it can still read once it has dropped to its own user.
class Broker {
  public:
    ~Broker() {
        Stop();
    }
    bool Start(const std::string &program, int port, std::string &error) {
        char pattern[] = "/tmp/orvgate-bench-broker-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            error = std::string("mkdtemp: ") + std::strerror(errno);
            return false;
        }
        dir_ = pattern;
        chmod(dir_.c_str(), 0755);
        const std::string conf = dir_ + "/mosquitto.conf";
        // With a listener in a file, mosquitto 2.0 refuses anonymous clients unless told otherwise.
        // Without set_tcp_nodelay the broker holds a birth behind the
        // subscriber's delayed acknowledgement of the message before it.
        std::ofstream(conf) << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                            << "set_tcp_nodelay true\n"
                            << "log_dest stderr\nlog_type error\nlog_type warning\n";
        chmod(conf.c_str(), 0644);
        log_ = dir_ + "/mosquitto.log";
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            execl(program.c_str(), program.c_str(), "-c", conf.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid_ < 0) {
            error = std::string("fork: ") + std::strerror(errno);
            return false;
        }
        for (const auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(20ms)) {
            if (PortAccepts(port)) {
                return true;
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
        }
        std::ifstream in(log_);
        const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        error = program + " did not listen on port " + std::to_string(port) + ": " + said;
        return false;
    }
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_);
            dir_.clear();
        }
    }

  private:
    std::string dir_;
    std::string log_;
    pid_t pid_ = -1;
};

// One message as the subscriber took it, decoded.
struct Received {
    std::string topic;
    Clock::time_point at; // when its callback began, before the decoding
    std::size_t bytes = 0;
    std::size_t metrics = 0;
    std::vector<std::pair<std::string, std::uint64_t>> named;    // births: name and alias
    std::vector<std::pair<std::uint64_t, std::uint32_t>> values; // alias and int_value, nulls left out
};

// A host's view: every Sparkplug message on the broker, at QoS 1, on
// libmosquitto's own loop thread.
class Subscriber {
  public:
    ~Subscriber() {
        if (mosq_ != nullptr) {
            mosquitto_disconnect(mosq_);
            mosquitto_loop_stop(mosq_, false);
            mosquitto_destroy(mosq_);
        }
    }
    bool Start(int port, std::string &error) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new("orvgate-bench-host", true, this);
        if (mosq_ == nullptr) {
            error = "mosquitto_new failed";
            return false;
        }
        // Its own commands must not wait behind its PUBACKs for the broker's delayed ACK.
        mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(mosq_, [](mosquitto *m, void *self, int rc) {
            auto *s = static_cast<Subscriber *>(self);
            // The loop thread's own clock, to leave its CPU out of the gateway's.
            pthread_getcpuclockid(pthread_self(), &s->loopClock_);
            s->clockSet_ = true;
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, "spBv1.0/#", 1);
            }
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto *, void *self, int, int, const int *) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard<std::mutex> lock(s->mutex_);
            s->subscribed_ = true;
            s->changed_.notify_all();
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto *, void *self, const mosquitto_message *m) {
            static_cast<Subscriber *>(self)->Take(m);
        });
        if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
            error = "the subscriber cannot connect to the broker";
            return false;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, 5s, [this] { return subscribed_; })) {
            error = "the subscriber's subscription was not acknowledged";
            return false;
        }
        return true;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.size();
    }
    // The first message from index `from` on that `pred` takes, waiting at most `limit`.
    template <typename Pred>
    std::optional<Received> WaitFor(std::size_t from, Pred pred, Clock::duration limit, std::size_t *index = nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<Received> found;
        std::size_t i = from;
        changed_.wait_for(lock, limit, [&] {
            for (; i < messages_.size(); ++i) {
                if (pred(messages_[i])) {
                    found = messages_[i];
                    return true;
                }
            }
            return false;
        });
        if (found && index != nullptr) {
            *index = i;
        }
        return found;
    }
    bool Publish(const std::string &topic, const std::string &payload) {
        return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                 false) == MOSQ_ERR_SUCCESS;
    }
    double LoopCpuUs() const {
        timespec t{};
        if (!clockSet_ || clock_gettime(loopClock_, &t) != 0) {
            return 0;
        }
        return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1000.0;
    }

  private:
    void Take(const mosquitto_message *m) {
        Received r;
        r.at = Clock::now();
        r.topic = m->topic != nullptr ? m->topic : "";
        r.bytes = static_cast<std::size_t>(std::max(m->payloadlen, 0));
        orvgate::sparkplug::Payload p;
        if (r.topic.rfind("spBv1.0/", 0) == 0 && p.ParseFromArray(m->payload, m->payloadlen)) {
            r.metrics = static_cast<std::size_t>(p.metrics_size());
            for (const auto &metric : p.metrics()) {
                if (metric.has_name()) {
                    r.named.emplace_back(metric.name(), metric.alias());
                }
                if (!metric.is_null() && metric.value_case() == orvgate::sparkplug::Payload::Metric::kIntValue) {
                    r.values.emplace_back(metric.alias(), metric.int_value());
                }
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(r));
        changed_.notify_all();
    }

    mosquitto *mosq_ = nullptr;
    std::atomic<bool> clockSet_{false};
    clockid_t loopClock_{};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool subscribed_ = false;
    std::vector<Received> messages_;
};

// The session's transport with no connection under it: what a birth costs
// to build, the sending left out.
class CountingTransport final : public orvgate::mqtt::Transport {
  public:
    void SetEvents(orvgate::mqtt::TransportEvents *) override {}
    bool Connect(const orvgate::mqtt::WillMessage &, std::string &) override {
        return true;
    }
    bool Subscribe(const std::string &, int, int &mid) override {
        mid = ++subscriptions;
        return true;
    }
    bool Publish(const std::string &, const std::string &payload, int, bool) override {
        lastBytes = payload.size();
        return true;
    }
    void Disconnect() override {}
    void Wait(int, int) override {}

    int subscriptions = 0;
    std::size_t lastBytes = 0;
};

struct MqttFigures {
    ScanFigures off;                 // the four cards' cycles, the edge node not started
    ScanFigures on;                  // the same, the edge node online
    std::vector<double> ddataUs;     // value set in the PLC to its DDATA at the subscriber
    std::vector<double> afterReadUs; // of which from the read that found it
    std::vector<double> controlUs;   // the control command's round trip, before the change is timed
    std::size_t lost = 0;            // changes with no DDATA within 2 s
    double firstBirthsUs = 0;        // edge node started to its four DBIRTHs at the subscriber
    std::vector<double> buildUs;     // NBIRTH and a 1000-metric DBIRTH built (NCMD to the session, no transport)
    std::vector<double> rebirthUs;   // NCMD published to the 1000-metric DBIRTH at the subscriber
    std::vector<double> echoUs;      // a small QoS 1 message through the broker and back to the subscriber
    std::size_t birthBytes = 0;
    std::size_t birthMetrics = 0;
    std::size_t birthsLost = 0;
    std::size_t warnings = 0; // the edge node's warnings
};

orvgate::mqtt::EdgeSettings BenchEdgeSettings(int port) {
    orvgate::mqtt::EdgeSettings s;
    s.port = port;
    s.groupId = kGroup;
    s.edgeNodeId = kEdgeNode;
    return orvgate::mqtt::Resolved(s); // no state file: bdSeq in memory
}

std::string RebirthCommand() {
    orvgate::mqtt::PayloadBuilder command(0, std::nullopt);
    command.AddBoolean(orvgate::mqtt::kRebirthMetric, true, 0);
    return command.Serialize();
}

std::string DeviceTopicOf(orvgate::mqtt::DeviceMessage type, const std::string &device) {
    return orvgate::mqtt::DeviceTopic(type, kGroup, kEdgeNode, device);
}

// Passes the core's events on to the edge node of the phase under way, if
// any: the bench starts and ends edge nodes while the core runs.
class EdgeRelay final : public orvgate::CoreObserver {
  public:
    void To(orvgate::CoreObserver *observer) {
        to_ = observer;
    }
    void CycleDone(std::int32_t channel) override {
        if (orvgate::CoreObserver *o = to_.load()) {
            o->CycleDone(channel);
        }
    }
    void BlockChanged(std::int32_t channel, std::int32_t secondary) override {
        if (orvgate::CoreObserver *o = to_.load()) {
            o->BlockChanged(channel, secondary);
        }
    }
    void HealthChanged(std::int32_t channel) override {
        if (orvgate::CoreObserver *o = to_.load()) {
            o->HealthChanged(channel);
        }
    }

  private:
    std::atomic<orvgate::CoreObserver *> to_{nullptr};
};

class MqttBench {
  public:
    MqttBench(const Options &o, Bench &bench, tiwaysim::SimProcess &sim, int port)
        : o_(o), bench_(bench), sim_(sim), port_(port) {}

    bool Run(MqttFigures &out, std::vector<double> &floor, std::string &error) {
        if (!subscriber_.Start(port_, error)) {
            return false;
        }
        const auto otherCpu = [this] { return subscriber_.LoopCpuUs(); };
        std::unique_ptr<orvgate::mqtt::CoreSource> source;
        std::unique_ptr<orvgate::mqtt::EdgeNode> edge;
        const auto started = [&](orvgate::Gateway &core, const orvgate::MapFile &map, std::string &) {
            source = std::make_unique<orvgate::mqtt::CoreSource>(core, map);
            core.AddObserver(&relay_);
            return true;
        };
        // The four cards with the edge node off, then on; the edge node and
        // the source outlive the gateway's card threads.
        GateRun four = Cards(kCards);
        four.started = started;
        four.otherCpuUs = otherCpu;
        bool ok = bench_.Run(four, out.off, floor, error,
                             [&](orvgate::Gateway &core, CycleRecorder &recorder, std::string &e) {
                                 return Changes(core, recorder, *source, edge, out, floor, e);
                             });
        Detach(source, edge);
        if (!ok || o_.shortRun) {
            return ok;
        }
        ScanFigures birthScan;
        GateRun one = Cards(1);
        one.mapText = BirthMapText();
        one.started = started;
        one.otherCpuUs = otherCpu;
        ok = bench_.Run(one, birthScan, floor, error, [&](orvgate::Gateway &, CycleRecorder &, std::string &e) {
            return Births(*source, edge, out, e);
        });
        Detach(source, edge);
        return ok;
    }

  private:
    void Detach(std::unique_ptr<orvgate::mqtt::CoreSource> &source, std::unique_ptr<orvgate::mqtt::EdgeNode> &edge) {
        relay_.To(nullptr);
        edge.reset();
        source.reset();
    }

    std::unique_ptr<orvgate::mqtt::EdgeNode> StartEdge(orvgate::mqtt::CoreSource &source, MqttFigures &out,
                                                       std::string &error) {
        auto edge = std::make_unique<orvgate::mqtt::EdgeNode>(
            BenchEdgeSettings(port_), source, [&out](orvgate::mqtt::LogLevel level, const std::string &text) {
                if (level == orvgate::mqtt::LogLevel::Warning) {
                    ++out.warnings;
                    std::fprintf(stderr, "orvgate_bench: mqtt: %s\n", text.c_str());
                }
            });
        if (!edge->Start(error)) {
            return nullptr;
        }
        relay_.To(&edge->Events());
        return edge;
    }

    // The births' aliases of the four devices' metrics, by device and name.
    bool Births4(std::size_t from, std::map<std::string, std::map<std::string, std::uint64_t>> &aliases,
                 std::string &error) {
        for (int c = 0; c < kCards; ++c) {
            const std::string device = "ch" + std::to_string(c + 1) + "-plc1";
            const std::string topic = DeviceTopicOf(orvgate::mqtt::DeviceMessage::DBIRTH, device);
            const auto birth = subscriber_.WaitFor(
                from, [&](const Received &r) { return r.topic == topic; }, 10s);
            if (!birth) {
                error = "no DBIRTH of " + device + " at the subscriber";
                return false;
            }
            for (const auto &[name, alias] : birth->named) {
                aliases[device][name] = alias;
            }
        }
        return true;
    }

    // The edge node started once the cards have cycled, as orvgate starts
    // it; its CPU per cycle online; then values changed in the PLCs, each
    // at a random point of the scan, timed to their DDATA.
    bool Changes(orvgate::Gateway &core, CycleRecorder &recorder, orvgate::mqtt::CoreSource &source,
                 std::unique_ptr<orvgate::mqtt::EdgeNode> &edge, MqttFigures &out, std::vector<double> &floor,
                 std::string &error) {
        core.WaitReady(5s);
        const std::size_t mark = subscriber_.Count();
        const auto t0 = Clock::now();
        edge = StartEdge(source, out, error);
        if (!edge) {
            return false;
        }
        std::map<std::string, std::map<std::string, std::uint64_t>> aliases;
        if (!Births4(mark, aliases, error)) {
            return false;
        }
        out.firstBirthsUs = UsSince(t0);
        std::vector<std::int32_t> channels;
        for (int c = 1; c <= kCards; ++c) {
            channels.push_back(c);
        }
        bench_.MeasureCycles(
            recorder, channels, [this] { return subscriber_.LoopCpuUs(); }, out.on, floor);

        const Summary cycle = Summarize(out.on.cycleUs);
        std::mt19937 random(20240611u);
        std::uniform_real_distribution<double> phase(0.0, cycle.median);
        std::map<std::pair<int, int>, std::uint16_t> held;
        for (int i = 0; i < o_.changes; ++i) {
            const int c = static_cast<int>(random() % kCards);
            // Any of a card's word blocks alike: the run's, or one of the scattered words.
            const int block = static_cast<int>(random() % (1 + kScattered));
            const int element =
                block == 0 ? 1 + static_cast<int>(random() % kRunWords) : kScatterFirst + kScatterStep * (block - 1);
            const auto key = std::make_pair(c, element);
            if (held.count(key) == 0) {
                held[key] = ExpectedWord(c, 1, element);
            }
            const auto value = static_cast<std::uint16_t>(held[key] ^ static_cast<std::uint16_t>(1 + i % 0xFFFF));
            held[key] = value;
            const std::string device = "ch" + std::to_string(c + 1) + "-plc1";
            const std::string topic = DeviceTopicOf(orvgate::mqtt::DeviceMessage::DDATA, device);
            const std::uint64_t alias = aliases[device]["V" + std::to_string(element)];
            char command[96];
            std::snprintf(command, sizeof command, "card %04X value 1 0x01 %d %u", CardSegment(c), element,
                          unsigned{value});
            std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(phase(random)));
            const std::size_t from = subscriber_.Count();
            const auto sent = Clock::now();
            if (sim_.Control(command) != "ok") {
                error = std::string("tiwaysim refused: ") + command;
                return false;
            }
            // tiwaysim answers as soon as it has made the change; it looks
            // at its control socket every 10 ms, so the sending is too early.
            const auto changed = Clock::now();
            out.controlUs.push_back(UsOf(changed - sent));
            const auto data = subscriber_.WaitFor(
                from,
                [&](const Received &r) {
                    return r.topic == topic && std::any_of(r.values.begin(), r.values.end(), [&](const auto &v) {
                               return v.first == alias && (v.second & 0xFFFFu) == value;
                           });
                },
                2s);
            if (!data) {
                ++out.lost;
                continue;
            }
            out.ddataUs.push_back(UsOf(data->at - changed));
            if (const auto read = recorder.LastChangeBefore(c + 1, data->at)) {
                out.afterReadUs.push_back(UsOf(data->at - *read));
            }
        }
        relay_.To(nullptr);
        edge->Stop();
        return true;
    }

    // A device of 1000 metrics: its births built in the session alone, then
    // rebirths through the real transport and the broker, each asked for
    // by an NCMD and timed to its DBIRTH at the subscriber.
    bool Births(orvgate::mqtt::CoreSource &source, std::unique_ptr<orvgate::mqtt::EdgeNode> &edge, MqttFigures &out,
                std::string &error) {
        const std::string ncmd = orvgate::mqtt::NodeTopic(orvgate::mqtt::NodeMessage::NCMD, kGroup, kEdgeNode);
        const std::string rebirth = RebirthCommand();
        {
            CountingTransport transport;
            orvgate::mqtt::SystemClock clock;
            orvgate::mqtt::EdgeSession session(BenchEdgeSettings(port_), source, transport, clock, {},
                                               [](std::uint64_t, const orvgate::mqtt::WriteOutcome &) {});
            session.Start();
            session.OnConnected(0);
            for (int mid = 1; mid <= transport.subscriptions; ++mid) {
                session.OnSubscribed(mid, true);
            }
            for (int i = 0; i < o_.births; ++i) {
                const auto t0 = Clock::now();
                session.OnMessage(ncmd, reinterpret_cast<const std::uint8_t *>(rebirth.data()), rebirth.size());
                out.buildUs.push_back(UsSince(t0));
            }
            out.birthBytes = transport.lastBytes;
        }
        const std::string dbirth = DeviceTopicOf(orvgate::mqtt::DeviceMessage::DBIRTH, "ch1-plc1");
        const auto isBirth = [&](const Received &r) { return r.topic == dbirth; };
        std::size_t from = subscriber_.Count();
        edge = StartEdge(source, out, error);
        if (!edge) {
            return false;
        }
        const auto first = subscriber_.WaitFor(from, isBirth, 10s);
        if (!first) {
            error = "no DBIRTH of the 1000-metric device at the subscriber";
            return false;
        }
        out.birthMetrics = first->metrics;
        const std::string echo = std::string("spBv1.0/") + kGroup + "/NCMD/bench-echo";
        std::mt19937 random(7u);
        for (int i = 0; i < o_.births; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 20));
            from = subscriber_.Count();
            auto t0 = Clock::now();
            subscriber_.Publish(echo, rebirth);
            const auto back = subscriber_.WaitFor(
                from, [&](const Received &r) { return r.topic == echo; }, 2s);
            if (back) {
                out.echoUs.push_back(std::chrono::duration<double, std::micro>(back->at - t0).count());
            }
            from = subscriber_.Count();
            t0 = Clock::now();
            subscriber_.Publish(ncmd, rebirth);
            const auto birth = subscriber_.WaitFor(from, isBirth, 2s);
            if (!birth || birth->metrics != first->metrics) {
                ++out.birthsLost;
                continue;
            }
            out.rebirthUs.push_back(std::chrono::duration<double, std::micro>(birth->at - t0).count());
        }
        relay_.To(nullptr);
        edge->Stop();
        return true;
    }

    const Options &o_;
    Bench &bench_;
    tiwaysim::SimProcess &sim_;
    int port_;
    EdgeRelay relay_; // outlives every gateway of the phases
    Subscriber subscriber_;
};

// ---- The plant: one card at 92160 bit/s (115.2 kbaud) with 16 PLCs, each
// 512 words of process values (four 128-word reads) and one alarm word,
// served to 16 Modbus clients that poll everything and to an MQTT host.
// The same map runs with scan classes (bulk 2.5 s, alarm 200 ms) and with
// one rate for all, as the gateway read it before it had classes.

constexpr int kPlcs = 16;
constexpr int kPlantWords = 512;
constexpr int kAlarmWord = 600;
constexpr int kPlantLineRate = 92160;
constexpr auto kAlarmPeriod = 200ms;
constexpr auto kBulkPeriod = 2500ms;

// `bulk`: the bulk class's line, empty for one rate for all.
std::string PlantMapText(const std::string &bulk) {
    const bool classes = !bulk.empty();
    std::ostringstream out;
    if (classes) {
        out << "class alarm 200ms\n" << bulk << "\n";
    }
    out << "channel 1 card0.int\n";
    char line[160];
    for (int s = 1; s <= kPlcs; ++s) {
        for (int k = 0; k < kPlantWords / kRunWords; ++k) {
            std::snprintf(line, sizeof line, "holding %d %d %02XV%04X %d uint16%s\n", s, k * kRunWords, s,
                          1 + k * kRunWords, kRunWords, classes ? " class bulk" : "");
            out << line;
        }
        std::snprintf(line, sizeof line, "holding %d %d %02XV%04X 1 uint16%s\n", s, kAlarmWord, s, kAlarmWord,
                      classes ? " class alarm" : "");
        out << line;
    }
    return out.str();
}

struct PlantFigures {
    std::vector<double> modbusUs; // an alarm's change to a Modbus client that polls it
    std::vector<double> ddataUs;  // and to its DDATA at the subscriber
    std::size_t lost = 0;         // changes not seen within 5 s
    std::size_t bulkReads = 0;    // the clients' reads of everything
    std::size_t exceptions = 0;   // of them answered with an exception
    std::vector<orvgate::ClassFigures> classes;
    std::vector<std::string> classNames;
    double lineBusy = 0; // share of the line's time over the changes
    double cycleMs = 0;  // the card's median cycle (all blocks read once)
    double seconds = 0;  // the changes' time
};

class PlantBench {
  public:
    PlantBench(const Options &o, tiwaysim::SimProcess &sim, std::string dir, int mqttPort)
        : o_(o), sim_(sim), dir_(std::move(dir)), mqttPort_(mqttPort) {}

    bool Start(std::string &error) {
        return subscriber_.Start(mqttPort_, error);
    }

    bool Run(const std::string &bulk, int changes, PlantFigures &out, std::string &error) {
        const std::string mapPath = dir_ + "/plant" + std::to_string(++runs_) + ".map";
        std::ofstream(mapPath) << PlantMapText(bulk);
        std::ifstream in(mapPath);
        const auto map = orvgate::ReadMapFile(in, error);
        if (!map) {
            return false;
        }
        orvgate::GatewaySettings settings;
        settings.timeoutMs = 1000;
        orvgate::Gateway core(
            [](std::string &e) {
                return orvtiw::host::Module::Load(ORVBENCH_KELMAR, ORVBENCH_MODULE, e,
                                                  orvtiw::host::Loading::PrivateCopy);
            },
            settings);
        if (!core.StartMapped(*map, dir_, 255, error)) {
            return false;
        }
        orvgate::mqtt::CoreSource source(core, *map);
        EdgeRelay relay;
        core.AddObserver(&relay);
        core.Run();
        core.WaitReady(30s);
        const std::size_t mark = subscriber_.Count();
        int warnings = 0;
        orvgate::mqtt::EdgeNode edge(BenchEdgeSettings(mqttPort_), source,
                                     [&warnings](orvgate::mqtt::LogLevel level, const std::string &text) {
                                         if (level == orvgate::mqtt::LogLevel::Warning) {
                                             ++warnings;
                                             std::fprintf(stderr, "orvgate_bench: plant: mqtt: %s\n", text.c_str());
                                         }
                                     });
        if (!edge.Start(error)) {
            return false;
        }
        relay.To(&edge.Events());
        std::map<int, std::uint64_t> alarmAlias;
        for (int s = 1; s <= kPlcs; ++s) {
            const std::string topic = DeviceTopicOf(orvgate::mqtt::DeviceMessage::DBIRTH, DeviceOf(s));
            const auto birth = subscriber_.WaitFor(
                mark, [&](const Received &r) { return r.topic == topic; }, 20s);
            if (!birth) {
                error = "plant: no DBIRTH of " + DeviceOf(s);
                relay.To(nullptr);
                edge.Stop();
                return false;
            }
            for (const auto &[name, alias] : birth->named) {
                if (name == "V" + std::to_string(kAlarmWord)) {
                    alarmAlias[s] = alias;
                }
            }
        }

        const orvgate::MapRouter router(core.Values(), 255, [] { return std::vector<std::uint16_t>(); });
        orvgate::ServerSettings serverSettings;
        serverSettings.port = std::to_string(o_.port);
        serverSettings.maxClients = kClients + 1;
        orvgate::ModbusServer modbus(serverSettings, router,
                                     [&core](std::shared_ptr<orvgate::Job> job) { core.Submit(std::move(job)); });
        if (!modbus.Listen(error)) {
            relay.To(nullptr);
            edge.Stop();
            return false;
        }
        std::thread serving([&modbus] { modbus.Run(); });
        std::atomic<bool> polling{true};
        std::atomic<std::size_t> reads{0};
        std::atomic<std::size_t> exceptions{0};
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.emplace_back([&, unit = 1 + i % kPlcs] { PollEverything(unit, polling, reads, exceptions); });
        }

        const orvgate::CardStatus before = core.Cards().at(0);
        const auto t0 = Clock::now();
        Watch(changes, alarmAlias, out);
        const orvgate::CardStatus after = core.Cards().at(0);
        out.seconds = orvgate::Seconds(Clock::now() - t0);
        polling = false;
        for (std::thread &t : clients) {
            t.join();
        }
        out.bulkReads = reads;
        out.exceptions = exceptions;
        out.classes = after.classes;
        for (const orvgate::ScanClass &c : core.Classes()) {
            out.classNames.push_back(c.name);
        }
        out.lineBusy = orvgate::LineShare(after.lineBusy - before.lineBusy, after.running - before.running);
        out.cycleMs = orvgate::Milliseconds(after.medianCycle);
        modbus.Stop();
        serving.join();
        relay.To(nullptr);
        edge.Stop();
        core.Stop();
        if (warnings > 0) {
            error = "plant: the edge node warned";
            return false;
        }
        return true;
    }

  private:
    static std::string DeviceOf(int plc) {
        return "ch1-plc" + std::to_string(plc);
    }

    // A SCADA's poll of one PLC: its 512 words in Modbus-sized reads and
    // its alarm word, again and again.
    void PollEverything(int unit, std::atomic<bool> &polling, std::atomic<std::size_t> &reads,
                        std::atomic<std::size_t> &exceptions) const {
        modbus_t *ctx = modbus_new_tcp("127.0.0.1", o_.port);
        modbus_set_response_timeout(ctx, 5, 0);
        modbus_set_slave(ctx, unit);
        if (modbus_connect(ctx) != 0) {
            ++exceptions;
        }
        std::uint16_t words[125];
        while (polling) {
            for (int at = 0; at < kPlantWords; at += 125) {
                const int n = std::min(125, kPlantWords - at);
                if (modbus_read_registers(ctx, at, n, words) != n) {
                    ++exceptions;
                }
            }
            if (modbus_read_registers(ctx, kAlarmWord, 1, words) != 1) {
                ++exceptions;
            }
            ++reads;
            std::this_thread::sleep_for(20ms);
        }
        modbus_close(ctx);
        modbus_free(ctx);
    }

    // Alarm words changed one at a time, each at a random moment, timed to
    // a Modbus client that polls it every 2 ms and to its DDATA.
    void Watch(int changes, const std::map<int, std::uint64_t> &alias, PlantFigures &out) {
        modbus_t *ctx = modbus_new_tcp("127.0.0.1", o_.port);
        modbus_set_response_timeout(ctx, 5, 0);
        modbus_connect(ctx);
        std::mt19937 random(20261209u);
        std::uniform_int_distribution<int> plc(1, kPlcs);
        std::uniform_int_distribution<int> pause(0, static_cast<int>(kBulkPeriod / 1ms));
        for (int i = 0; i < changes; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            const int s = plc(random);
            const auto value = static_cast<std::uint16_t>(0x8000 + i);
            char command[96];
            std::snprintf(command, sizeof command, "card %04X value %d 0x01 %d %u", CardSegment(0), s, kAlarmWord,
                          unsigned{value});
            const std::size_t from = subscriber_.Count();
            if (sim_.Control(command) != "ok") {
                ++out.lost;
                continue;
            }
            const auto changed = Clock::now();
            modbus_set_slave(ctx, s);
            bool seen = false;
            while (!seen && Clock::now() - changed < 5s) {
                std::uint16_t word = 0;
                seen = modbus_read_registers(ctx, kAlarmWord, 1, &word) == 1 && word == value;
                if (!seen) {
                    std::this_thread::sleep_for(2ms);
                }
            }
            if (seen) {
                out.modbusUs.push_back(UsSince(changed));
            }
            const std::string topic = DeviceTopicOf(orvgate::mqtt::DeviceMessage::DDATA, DeviceOf(s));
            const std::uint64_t a = alias.at(s);
            const auto data = subscriber_.WaitFor(
                from,
                [&](const Received &r) {
                    return r.topic == topic && std::any_of(r.values.begin(), r.values.end(), [&](const auto &v) {
                               return v.first == a && (v.second & 0xFFFFu) == value;
                           });
                },
                5s);
            if (data) {
                out.ddataUs.push_back(UsOf(data->at - changed));
            }
            if (!seen || !data) {
                ++out.lost;
            }
        }
        modbus_close(ctx);
        modbus_free(ctx);
    }

    const Options &o_;
    tiwaysim::SimProcess &sim_;
    std::string dir_;
    int mqttPort_;
    int runs_ = 0;
    Subscriber subscriber_;
};

// Both maps against a tiwaysim of their own at 92160 bit/s.
// The bulk of the plant, and a bulk of 1.2 s that makes the classes ask
// about 150 % of the line (its ceiling above what it stretches to).
constexpr char kPlantBulk[] = "class bulk 2.5s";
constexpr char kOverloadedBulk[] = "class bulk 1.2s max-age 20s";

bool RunPlant(const Options &o, PlantFigures &classes, PlantFigures &single, PlantFigures &overloaded,
              std::string &error) {
    char pattern[] = "/tmp/orvgate-plant-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error = "mkdtemp failed";
        return false;
    }
    const std::string dir = pattern;
    std::ofstream(dir + "/network") << NetworkConfigText(1, kPlcs, kAlarmWord);
    std::ofstream(dir + "/card0.int") << InitFileText(0);
    tiwaysim::SimProcess sim(o.tiwaysim, ORVBENCH_DEVICE, dir,
                             {"--configured", "--line-rate", std::to_string(kPlantLineRate)});
    Broker broker;
    const int mqttPort = o.port + 7;
    bool ok = sim.Start(error, {"--config", dir + "/network"}) && broker.Start(o.mosquitto, mqttPort, error);
    if (ok) {
        PlantBench plant(o, sim, dir, mqttPort);
        const int changes = o.shortRun ? 8 : o.plantChanges;
        ok = plant.Start(error) && plant.Run(kPlantBulk, changes, classes, error) &&
             (o.shortRun ||
              (plant.Run("", changes, single, error) && plant.Run(kOverloadedBulk, changes / 2, overloaded, error)));
    }
    sim.Stop();
    std::filesystem::remove_all(dir);
    return ok;
}

void PrintPlant(const char *what, const PlantFigures &p) {
    const Summary m = Summarize(p.modbusUs);
    const Summary d = Summarize(p.ddataUs);
    std::printf("plant, %s: alarm change to a Modbus client p50 %.0f ms, p99 %.0f ms, max %.0f ms; to its DDATA p50 "
                "%.0f ms, p99 %.0f ms, max %.0f ms (n = %zu, %zu lost)\n",
                what, m.median / 1000, m.p99 / 1000, m.max / 1000, d.median / 1000, d.p99 / 1000, d.max / 1000, m.n,
                p.lost);
    std::printf("  bulk: %zu polls of all 513 words, %zu exceptions; cycle (every block once) median %.0f ms; line "
                "busy %.1f %% over %.0f s\n",
                p.bulkReads, p.exceptions, p.cycleMs, 100 * p.lineBusy, p.seconds);
    for (std::size_t k = 0; k < p.classes.size() && k < p.classNames.size(); ++k) {
        const orvgate::ClassFigures &c = p.classes[k];
        if (c.blocks == 0) {
            continue;
        }
        std::printf("  class %s: %zu blocks, configured %.0f ms, achieved median %.0f ms, p99 %.0f ms (run at %.0f "
                    "ms), %.0f ms of line a round%s\n",
                    p.classNames[k].c_str(), c.blocks, orvgate::Milliseconds(c.period),
                    orvgate::Milliseconds(c.achievedMedian), orvgate::Milliseconds(c.achievedP99),
                    orvgate::Milliseconds(c.effective), orvgate::Milliseconds(c.demand),
                    c.missing ? ", missing its period" : "");
    }
}

#endif // ORVBENCH_HAVE_MQTT

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
            o.changes = 30;
        } else if (a == "--tiwaysim" && i + 1 < argc) {
            o.tiwaysim = argv[++i];
        } else if (a == "--mosquitto" && i + 1 < argc) {
            o.mosquitto = argv[++i];
        } else if (!((a == "--port" && next(o.port)) || (a == "--cycles" && next(o.cycles)) ||
                     (a == "--client-seconds" && next(o.clientSeconds)) ||
                     (a == "--dead-seconds" && next(o.deadSeconds)) || (a == "--poll-us" && next(o.pollUs)) ||
                     (a == "--changes" && next(o.changes)) || (a == "--births" && next(o.births)) ||
                     (a == "--plant-changes" && next(o.plantChanges)))) {
            return false;
        }
    }
    return true;
}

void PrintCycle(const char *what, const Summary &s, double againstUs, const char *against) {
    std::printf("%s: median %.2f ms, p99 %.2f ms, max %.2f ms (n = %zu); %.3f x %s\n", what, s.median / 1000,
                s.p99 / 1000, s.max / 1000, s.n, s.median / againstUs, against);
}

#if defined(ORVBENCH_HAVE_MQTT)
// The MQTT phase's figures; 1 when a change or a birth was lost, the edge
// node warned, or (short mode) the DDATA latency regressed grossly.
int ReportMqtt(const Options &o, const MqttFigures &m) {
    const Summary off = Summarize(m.off.cycleUs);
    const Summary on = Summarize(m.on.cycleUs);
    const Summary ddata = Summarize(m.ddataUs);
    const Summary control = Summarize(m.controlUs);
    const Summary after = Summarize(m.afterReadUs);
    const double targetUs = on.median + 10000;
    std::printf("mqtt: edge node started to its 4 DBIRTHs at the subscriber: %.2f ms\n", m.firstBirthsUs / 1000);
    PrintCycle("mqtt: each of four cards, edge node online", on, off.median, "edge node off");
    std::printf("mqtt: PLC change to its DDATA at the subscriber: p50 %.2f ms, p99 %.2f ms, max %.2f ms (n = %zu, %zu "
                "lost; target p99 <= %.2f ms, one cycle + 10 ms)\n",
                ddata.median / 1000, ddata.p99 / 1000, ddata.max / 1000, ddata.n, m.lost, targetUs / 1000);
    std::printf("mqtt:   of which from the read that found it: p50 %.3f ms, p99 %.3f ms, max %.3f ms (n = "
                "%zu); tiwaysim's answer to the change p50 %.2f ms after it was sent (its 10 ms control poll)\n",
                after.median / 1000, after.p99 / 1000, after.max / 1000, after.n, control.median / 1000);
    std::printf("mqtt: gateway CPU per cycle of all four: %.0f us with the edge node online, %.0f us off (%+.0f us); "
                "each card thread median %.0f / %.0f us\n",
                m.on.processCpuUsPerCycle, m.off.processCpuUsPerCycle,
                m.on.processCpuUsPerCycle - m.off.processCpuUsPerCycle, Summarize(m.on.cpuUs).median,
                Summarize(m.off.cpuUs).median);
    if (!o.shortRun) {
        const Summary build = Summarize(m.buildUs);
        const Summary rebirth = Summarize(m.rebirthUs);
        const Summary echo = Summarize(m.echoUs);
        std::printf("mqtt: births of a %zu-metric device (DBIRTH %zu bytes): NBIRTH and DBIRTH built, p50 %.2f ms, p99 "
                    "%.2f ms (n = %zu); NCMD rebirth published to the DBIRTH at the subscriber, p50 %.2f ms, p99 %.2f "
                    "ms, max %.2f ms (n = %zu, %zu lost, %zu above 10 ms; target <= 50 ms); a small message to the "
                    "broker and back, p50 %.2f ms, p99 %.2f ms\n",
                    m.birthMetrics, m.birthBytes, build.median / 1000, build.p99 / 1000, build.n, rebirth.median / 1000,
                    rebirth.p99 / 1000, rebirth.max / 1000, rebirth.n, m.birthsLost,
                    static_cast<std::size_t>(
                        std::count_if(m.rebirthUs.begin(), m.rebirthUs.end(), [](double us) { return us > 10000; })),
                    echo.median / 1000, echo.p99 / 1000);
    }
    int failed = m.lost > 0 || m.birthsLost > 0 || m.warnings > 0 || ddata.n == 0 ? 1 : 0;
    if (o.shortRun && ddata.p99 > 5 * on.median + 100000) {
        std::printf("orvgate_bench: gross regression: DDATA p99 %.1f ms against a %.1f ms cycle\n", ddata.p99 / 1000,
                    on.median / 1000);
        failed = 1;
    }
    return failed;
}
#endif

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
    const bool ok = bench.Run(Cards(1), alone, floor, error, nothing) &&
                    bench.Run(Cards(kCards), four, floor, error,
                              [&](orvgate::Gateway &core, CycleRecorder &, std::string &e) {
                                  return bench.Clients(core, clients, e);
                              }) &&
                    bench.Run(Cards(kCards, false), naive, floor, error, nothing) &&
                    bench.Run(Cards(2, true, true), two, floor, error,
                              [&](orvgate::Gateway &core, CycleRecorder &r, std::string &e) {
                                  return bench.DeadCard(core, r, dead, e);
                              });
    if (!ok) {
        std::fprintf(stderr, "orvgate_bench: %s\n", error.c_str());
        return 2;
    }
    const double simCpu = sim.CpuSeconds();
    // Last, since it changes values in the PLCs that the other runs check.
    int mqttFailed = 0;
#if defined(ORVBENCH_HAVE_MQTT)
    bool mqttRan = false;
    MqttFigures mqtt;
    if (access(o.mosquitto.c_str(), X_OK) != 0) {
        std::printf("mqtt: no mosquitto at %s: the MQTT phase is skipped\n", o.mosquitto.c_str());
    } else {
        const int mqttPort = o.port + 5;
        Broker broker;
        std::vector<double> mqttFloor; // sampled only to pace the measure, as in every run
        if (!broker.Start(o.mosquitto, mqttPort, error) ||
            !MqttBench(o, bench, sim, mqttPort).Run(mqtt, mqttFloor, error)) {
            std::fprintf(stderr, "orvgate_bench: mqtt: %s\n", error.c_str());
            return 2;
        }
        mqttRan = true;
    }
#else
    std::printf("mqtt: this build has no MQTT edge node (libmosquitto or libprotobuf were missing): the MQTT phase is "
                "skipped\n");
#endif
    sim.Stop();
    std::filesystem::remove_all(dir);
#if defined(ORVBENCH_HAVE_MQTT)
    // Last, with a tiwaysim of its own on a slow line.
    PlantFigures plantClasses;
    PlantFigures plantSingle;
    PlantFigures plantOverloaded;
    if (mqttRan && !RunPlant(o, plantClasses, plantSingle, plantOverloaded, error)) {
        std::fprintf(stderr, "orvgate_bench: plant: %s\n", error.c_str());
        return 2;
    }
#endif

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

#if defined(ORVBENCH_HAVE_MQTT)
    if (mqttRan) {
        mqttFailed = ReportMqtt(o, mqtt);
        std::printf("plant: one card at %d bit/s, %d PLCs of %d words (bulk class %.1f s) and an alarm word (class "
                    "%.0f ms), %d Modbus clients polling everything; target alarm p99 <= %.0f ms (its period, a "
                    "128-word read's line time and 20 ms)\n",
                    kPlantLineRate, kPlcs, kPlantWords, orvgate::Seconds(kBulkPeriod),
                    orvgate::Milliseconds(kAlarmPeriod), kClients, orvgate::Milliseconds(kAlarmPeriod) + 24.6 + 20);
        PrintPlant("scan classes", plantClasses);
        if (!o.shortRun) {
            PrintPlant("one rate for all (no classes)", plantSingle);
            PrintPlant("overloaded (bulk class 1.2 s: about 150 % of the line)", plantOverloaded);
        }
        const Summary alarm = Summarize(plantClasses.modbusUs);
        if (plantClasses.lost > 0 || plantClasses.exceptions > 0 || plantOverloaded.exceptions > 0 ||
            (o.shortRun && alarm.p99 > 1000000.0)) {
            std::printf("orvgate_bench: plant: %zu alarm changes lost, %zu exceptions, alarm p99 %.0f ms\n",
                        plantClasses.lost, plantClasses.exceptions, alarm.p99 / 1000);
            mqttFailed = 1;
        }
    }
#endif
    int failed = clients.wrong > 0 || lat.n == 0 || writes.n == 0 || dead.writesFailed > 0 || mqttFailed != 0 ? 1 : 0;
    if (o.shortRun &&
        (c.median > 2.0 * a.median || live.median > 2.0 * a.median || lat.p99 > 200000.0 || writes.p99 > 200000.0)) {
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
                             "[--client-seconds N] [--dead-seconds N] [--poll-us N] [--mosquitto PATH] [--changes N] "
                             "[--births N] [--plant-changes N]\n");
        return 2;
    }
    return orvbench::Run(o);
}
