// tiwaysim: serves simulated host-adapter cards, each with a TIWAY network
// of simulated controllers, in the memory device file that the driver maps,
// polling each card's mailbox in real time until SIGINT or SIGTERM.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include <unistd.h>

#include "control_commands.h"
#include "control_socket.h"
#include "device_file.h"
#include "options.h"
#include "served_cards.h"
#include "text_fields.h"

using orvtiw::text::ParseHex;
using orvtiw::text::SplitFields;
#include "trace.h"

#ifndef TIWAYSIM_DEFAULT_DEVICE
#define TIWAYSIM_DEFAULT_DEVICE "/dev/shm/GRELMIN"
#endif

namespace tiwaysim {
namespace {

volatile std::sig_atomic_t gStop = 0;

void OnStopSignal(int) {
    gStop = 1;
}

void InstallSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

std::uint64_t NowUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000u + static_cast<std::uint64_t>(t.tv_nsec) / 1000u;
}

void Fail(const std::string &message) {
    std::fprintf(stderr, "tiwaysim: %s\n", message.c_str());
}

// Written beside the target and renamed, so a reader never sees half a file.
bool WriteFileAtomically(const std::string &path, const std::string &text) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text;
        if (!out.good()) {
            return false;
        }
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string MemoryText(const std::vector<CardPlan> &plans) {
    std::ostringstream out;
    out << "# controller memory kept by tiwaysim\n";
    WriteMemory(out, plans);
    return out.str();
}

bool SaveMemory(const std::string &path, const std::vector<CardPlan> &plans) {
    return WriteFileAtomically(path, MemoryText(plans));
}

// Writes the memory file on a thread of its own while the cards are served:
// a disk held up by other writers (the kernel throttles them) must not hold
// up the mailboxes, which a host times out on within a second.
class MemoryWriter {
  public:
    explicit MemoryWriter(std::string path) : path_(std::move(path)) {}
    ~MemoryWriter() {
        Finish();
    }
    bool Busy() const {
        return busy_;
    }
    // False when the write before this one failed.
    bool Start(std::string text) {
        const bool ok = Finish();
        busy_ = true;
        thread_ = std::thread([this, text = std::move(text)] {
            ok_ = WriteFileAtomically(path_, text);
            busy_ = false;
        });
        return ok;
    }
    bool Finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return ok_;
    }

  private:
    std::string path_;
    std::thread thread_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> ok_{true};
};

int Serve(const Options &o) {
    std::vector<CardPlan> plans;
    std::string error;
    if (!o.config.empty()) {
        std::ifstream in(o.config);
        if (!in) {
            Fail("cannot read " + o.config);
            return 1;
        }
        if (!ReadNetworkConfig(in, plans, error)) {
            Fail(o.config + ": " + error);
            return 1;
        }
    }
    if (!PlanCards(o.cards, plans, error)) {
        Fail(error);
        return 1;
    }
    if (!o.memory.empty()) {
        std::ifstream in(o.memory);
        if (in && !ApplyMemory(in, plans, error)) {
            Fail(o.memory + ": " + error);
            return 1;
        }
    }
    DeviceFile device;
    if (!device.Open(o.device, error)) {
        Fail(error);
        return 1;
    }
    // From here the file is ours: --remove-device removes it on every way out,
    // a failed start included, so that no driver opens it and then waits for
    // a card that nobody serves. It goes before the lock is let go.
    struct RemoveAtExit {
        const std::string *path;
        ~RemoveAtExit() {
            if (path != nullptr) {
                unlink(path->c_str());
            }
        }
    } removeAtExit{o.removeDevice ? &o.device : nullptr};
    auto cards = MakeServedCards(plans);
    for (auto &c : cards) {
        c->window = device.Window(std::uint32_t{c->segment} << 4, kWindowSize);
        // Power-on: an empty mailbox, no command standing, no status shown.
        std::memset(c->window, 0, kWindowSize);
        c->adapter.SetConfigured(o.configured);
        c->card.lineBitsPerSecond = o.lineRate;
        if (o.trace) {
            const std::uint16_t seg = c->segment;
            c->card.onExchange = [seg](const Exchange &e) {
                std::printf("tiwaysim: %04X %s\n", seg, DescribeExchange(e).c_str());
            };
            c->card.onReset = [seg](std::uint32_t) { std::printf("tiwaysim: %04X reset\n", seg); };
        }
    }
    ControlServer control;
    if (!o.control.empty() && !control.Listen(o.control, error)) {
        Fail(error);
        return 1;
    }
    InstallSignals();
    if (!o.readyFile.empty() && !WriteFileAtomically(o.readyFile, std::to_string(getpid()) + "\n")) {
        Fail("cannot write " + o.readyFile);
        return 1;
    }
    for (auto &c : cards) {
        std::printf("tiwaysim: card %04X at 0x%05X in %s\n", c->segment, unsigned{c->segment} << 4, o.device.c_str());
    }
    std::printf("tiwaysim: ready\n");
    std::fflush(stdout);

    const timespec pause{0, static_cast<long>(o.pollMicros) * 1000L};
    std::uint64_t lastHousekeeping = NowUs() / 1000;
    std::uint64_t lastSave = lastHousekeeping;
    MemoryWriter writer(o.memory);
    int status = 0;
    while (gStop == 0) {
        const std::uint64_t nowUs = NowUs();
        for (auto &c : cards) {
            c->card.StepMicros(c->window, nowUs);
        }
        const std::uint64_t now = nowUs / 1000;
        // The control socket and the memory file need no such haste.
        if (now - lastHousekeeping >= 10) {
            lastHousekeeping = now;
            control.Poll([&cards](std::string_view line) { return ApplyServedControl(line, cards); });
            if (!o.memory.empty() && now - lastSave >= 1000 && !writer.Busy()) {
                bool changed = false;
                for (auto &c : cards) {
                    changed = changed || c->adapter.memoryChanged;
                    c->adapter.memoryChanged = false;
                }
                if (changed && !writer.Start(MemoryText(plans))) {
                    Fail("cannot write " + o.memory);
                }
                lastSave = now;
            }
            std::fflush(stdout);
        }
        nanosleep(&pause, nullptr);
    }
    if (!o.memory.empty() && (!writer.Finish() || !SaveMemory(o.memory, plans))) {
        Fail("cannot write " + o.memory);
        status = 1;
    }
    if (!o.readyFile.empty()) {
        unlink(o.readyFile.c_str());
    }
    std::printf("tiwaysim: stopped\n");
    return status;
}

} // namespace
} // namespace tiwaysim

int main(int argc, char **argv) {
    using namespace tiwaysim;
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, TIWAYSIM_DEFAULT_DEVICE, o, error)) {
        std::fprintf(stderr, "tiwaysim: %s\n%s", error.c_str(), Usage());
        return 2;
    }
    if (o.help) {
        std::fputs(Usage(), stdout);
        return 0;
    }
    if (o.version) {
        std::fputs(Version(), stdout);
        return 0;
    }
    if (!o.sendPath.empty()) {
        std::string answer;
        const bool reached = SendControl(o.sendPath, o.sendCommand, answer);
        std::printf("%s\n", answer.c_str());
        return reached && answer.rfind("error", 0) != 0 ? 0 : 1;
    }
    return Serve(o);
}
