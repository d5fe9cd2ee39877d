// orvtiw_soak: one host process drives the driver module against its own
// tiwaysim for many operations, switching the simulator's faults on and off
// at random (seeded), recovering the channel as a host would, and checking
// every value read against a model of what the controllers must hold.
//
// The model: every element starts known as 0; it is known again once a
// write to it returned 0 or a read of it returned 0 (a bit write or a bit
// read makes that one bit known); a write that failed leaves it unknown
// (the card may or may not have applied it) until it is written or read
// successfully again. Any successful read that disagrees with a known value
// is a mismatch, and the run exits non-zero.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "live_host.h"

#ifndef ORVTIW_SOAK_TIWAYSIM
#define ORVTIW_SOAK_TIWAYSIM ""
#endif
#ifndef ORVTIW_SOAK_MODULE
#define ORVTIW_SOAK_MODULE ""
#endif
#ifndef ORVTIW_SOAK_KELMAR
#define ORVTIW_SOAK_KELMAR ""
#endif
#ifndef ORVTIW_SOAK_DEVICE
#define ORVTIW_SOAK_DEVICE "/dev/shm/GRELMIN"
#endif

namespace {

using orvlive::Gate;
using orvlive::LogLine;
using orvlive::Module;
using orvlive::Simulator;

struct Options {
    std::string tiwaysim = ORVTIW_SOAK_TIWAYSIM;
    std::string module = ORVTIW_SOAK_MODULE;
    std::string kelmar = ORVTIW_SOAK_KELMAR;
    std::string device = ORVTIW_SOAK_DEVICE;
    long operations = 3000;
    std::uint64_t seed = 0;
    bool seedGiven = false;
    int timeoutUnits = 5; // 50 ms: faults that time out cost little
    int maxSeconds = 600;
    int faultEvery = 120; // mean operations between two fault episodes
    bool verbose = false;
};

const char *kUsage =
    "usage: orvtiw_soak [--operations N] [--seed N] [--timeout-units N] [--fault-every N]\n"
    "                   [--max-seconds N] [--tiwaysim PATH] [--module PATH] [--kelmar PATH]\n"
    "                   [--device PATH] [--verbose]\n";

bool ParseOptions(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&](long &out) {
            if (i + 1 >= argc) {
                return false;
            }
            char *end = nullptr;
            out = std::strtol(argv[++i], &end, 0);
            return end != nullptr && *end == '\0';
        };
        long v = 0;
        if (a == "--operations" && next(v) && v > 0) {
            o.operations = v;
        } else if (a == "--seed" && i + 1 < argc) {
            o.seed = std::strtoull(argv[++i], nullptr, 0);
            o.seedGiven = true;
        } else if (a == "--timeout-units" && next(v) && v > 0 && v < 1000) {
            o.timeoutUnits = static_cast<int>(v);
        } else if (a == "--max-seconds" && next(v) && v > 0 && v <= 86400) {
            o.maxSeconds = static_cast<int>(v);
        } else if (a == "--fault-every" && next(v) && v > 0) {
            o.faultEvery = static_cast<int>(v);
        } else if (a == "--tiwaysim" && i + 1 < argc) {
            o.tiwaysim = argv[++i];
        } else if (a == "--module" && i + 1 < argc) {
            o.module = argv[++i];
        } else if (a == "--kelmar" && i + 1 < argc) {
            o.kelmar = argv[++i];
        } else if (a == "--device" && i + 1 < argc) {
            o.device = argv[++i];
        } else if (a == "--verbose") {
            o.verbose = true;
        } else {
            std::fprintf(stderr, "orvtiw_soak: bad argument '%s'\n%s", a.c_str(), kUsage);
            return false;
        }
    }
    if (o.tiwaysim.empty() || o.module.empty() || o.kelmar.empty()) {
        std::fprintf(stderr, "orvtiw_soak: --tiwaysim, --module and --kelmar are needed\n%s", kUsage);
        return false;
    }
    return true;
}

// The regions the soak uses, on secondaries 1..3 of the simulator's default
// network; L comes from the initialisation file.
struct RegionUse {
    char letter;
    int bits;        // element size
    int elements;    // elements 1..elements are used
    int maxBlock;    // longest block
    orvtiw::host::ValueType type;
};
constexpr RegionUse kRegions[] = {
    {'V', 16, 48, 16, orvtiw::host::ValueType::UInt16},
    {'L', 32, 16, 8, orvtiw::host::ValueType::UInt32},
    {'C', 8, 32, 32, orvtiw::host::ValueType::Bit},
};
constexpr int kSecondaries = 3;

// Blocks of any region take any gate type; the element decides the width.
orvtiw::host::ValueType BlockType(const RegionUse &r) {
    return r.bits == 32 ? orvtiw::host::ValueType::UInt32 : orvtiw::host::ValueType::UInt16;
}
const char kInitFile[] = "C800;800\nL;0B;4;1\n";

struct Key {
    int secondary;
    char region;
    int element;
    bool operator<(const Key &o) const {
        return std::tie(secondary, region, element) < std::tie(o.secondary, o.region, o.element);
    }
};

std::string AddressText(int secondary, char region, int element, int bit = -1) {
    char text[16];
    if (bit >= 0) {
        std::snprintf(text, sizeof text, "%02d%c%04X%X", secondary, region, element, bit);
    } else {
        std::snprintf(text, sizeof text, "%02d%c%04X", secondary, region, element);
    }
    return text;
}

// One fault of the simulator: the command that switches it on, the one that
// switches it off (empty: it ends by itself), and how many operations it
// stays on at most.
struct FaultKind {
    const char *name;
    int weight;
    int maxOps;
};
const FaultKind kFaults[] = {
    {"fail-next", 14, 0},     {"delay-short", 10, 30}, {"delay-long", 6, 3},   {"mhiu-error", 10, 12},
    {"primitive-error", 10, 12}, {"disconnect", 10, 12}, {"drop-ack", 5, 3},  {"ack-no-reply", 5, 3},
    {"reply-size", 14, 12},   {"keep-command", 4, 3},
};

class Soak {
public:
    Soak(const Options &o, Module &m, Simulator &sim) : o_(o), m_(m), sim_(sim), rng_(o.seed) {}

    int Run();

private:
    template <typename T>
    T Uniform(T lo, T hi) {
        return std::uniform_int_distribution<T>(lo, hi)(rng_);
    }
    bool Chance(int percent) { return Uniform(0, 99) < percent; }

    bool Control(const std::string &command);
    void MaybeToggleFault(long op);
    void EndFault();
    void Tally(const std::vector<LogLine> &lines);
    void Status(const std::string &what, std::int32_t status);

    // The operations. Each returns the driver's status.
    std::int32_t ReadOne(int secondary, const RegionUse &r, int element, bool bit, int bitNumber);
    std::int32_t ReadMany(int secondary, const RegionUse &r, int first, int count);
    std::int32_t WriteOne(int secondary, const RegionUse &r, int element);
    std::int32_t WriteBit(int secondary, int element, int bitNumber);
    std::int32_t WriteMany(int secondary, const RegionUse &r, int first, int count);
    void Check(const Key &k, std::uint32_t got, std::uint32_t mask, const std::string &what);
    void Forget(int secondary, char region, int first, int count);
    void Recover(int secondary);
    bool FinalSweep();

    const Options &o_;
    Module &m_;
    Simulator &sim_;
    std::mt19937_64 rng_;
    // What each element must hold, in the bits the model knows: a bit write
    // to an element whose other bits are unknown makes that one bit known.
    struct Expect {
        std::uint32_t value = 0;
        std::uint32_t known = 0;
    };
    std::map<Key, Expect> expected_;
    void Know(const Key &k, std::uint32_t value) { expected_[k] = Expect{value, 0xFFFFFFFFu}; }

    std::string activeFault_;
    std::string offCommand_;
    int faultOpsLeft_ = 0;
    std::map<std::string, long> faultCounts_;
    long faults_ = 0;

    long operations_ = 0;
    int consecutiveFailures_ = 0;
    int failuresBeforeRecovery_ = 2;
    std::map<std::string, long> statuses_;
    std::map<std::string, long> messages_;
    long mismatches_ = 0;
    long unexpected_ = 0;
    long checkedValues_ = 0;
    std::string lastOp_;
};

bool Soak::Control(const std::string &command) {
    const std::string answer = sim_.Control(command);
    if (answer != "ok") {
        std::printf("soak: control '%s' answered '%s'\n", command.c_str(), answer.c_str());
        return false;
    }
    if (o_.verbose) {
        std::printf("soak: op %ld: %s\n", operations_, command.c_str());
    }
    return true;
}

void Soak::EndFault() {
    if (!offCommand_.empty()) {
        Control(offCommand_);
    }
    activeFault_.clear();
    offCommand_.clear();
    faultOpsLeft_ = 0;
}

void Soak::MaybeToggleFault(long op) {
    if (!activeFault_.empty()) {
        if (--faultOpsLeft_ <= 0) {
            EndFault();
        }
        return;
    }
    if (Uniform(1, o_.faultEvery) != 1) {
        return;
    }
    int total = 0;
    for (const FaultKind &f : kFaults) {
        total += f.weight;
    }
    int pick = Uniform(1, total);
    const FaultKind *kind = &kFaults[0];
    for (const FaultKind &f : kFaults) {
        if ((pick -= f.weight) <= 0) {
            kind = &f;
            break;
        }
    }
    const std::string name = kind->name;
    const int replyMs = o_.timeoutUnits * 10;
    std::string on;
    std::string off;
    if (name == "fail-next") {
        on = "fail-next " + std::to_string(Uniform(1, 3));
    } else if (name == "delay-short") {
        on = "delay " + std::to_string(Uniform(1, std::max(1, replyMs / 3)));
        off = "delay 0";
    } else if (name == "delay-long") {
        on = "delay " + std::to_string(Uniform(replyMs + 20, 3 * replyMs + 20));
        off = "delay 0";
    } else if (name == "mhiu-error") {
        on = "mhiu-error " + std::to_string(Uniform(0x0101, 0x0106));
        off = "mhiu-error off";
    } else if (name == "primitive-error") {
        on = "primitive-error " + std::to_string(Uniform(1, 5));
        off = "primitive-error off";
    } else if (name == "disconnect") {
        const int a = Uniform(1, kSecondaries);
        on = "disconnect " + std::to_string(a);
        off = "reconnect " + std::to_string(a);
    } else if (name == "drop-ack") {
        on = "drop-ack on";
        off = "drop-ack off";
    } else if (name == "ack-no-reply") {
        on = "ack-no-reply on";
        off = "ack-no-reply off";
    } else if (name == "reply-size") {
        static const int kSizes[] = {0xFFFF, 511, 510, 0, 1, 2, 4, 5, 7, 9, 520};
        const int size = Chance(70) ? kSizes[Uniform<std::size_t>(0, std::size(kSizes) - 1)] : Uniform(0, 600);
        on = "reply-size " + std::to_string(size);
        off = "reply-size off";
    } else {
        on = "keep-command on";
        off = "keep-command off";
    }
    if (!Control(on)) {
        return;
    }
    ++faults_;
    ++faultCounts_[name];
    activeFault_ = on;
    offCommand_ = off;
    faultOpsLeft_ = kind->maxOps > 0 ? Uniform(1, kind->maxOps) : 0;
    if (off.empty()) {
        activeFault_.clear(); // ends by itself
    }
    (void)op;
}

void Soak::Tally(const std::vector<LogLine> &lines) {
    for (const LogLine &l : lines) {
        std::string text = l.text;
        const std::string prefix = "ORV01: TIW: ";
        if (text.rfind(prefix, 0) == 0) {
            text.erase(0, prefix.size());
        }
        ++messages_[std::to_string(l.level) + " " + text];
    }
}

void Soak::Status(const std::string &what, std::int32_t status) {
    ++statuses_[what + " " + std::to_string(status)];
    if (status != ORV_STATUS_OK && status != ORV_STATUS_COMM_FAILURE) {
        ++unexpected_;
        std::printf("soak: op %ld: %s returned %d, which no fault explains (fault: %s)\n", operations_, what.c_str(),
                    status, activeFault_.empty() ? "none" : activeFault_.c_str());
    }
}

void Soak::Check(const Key &k, std::uint32_t got, std::uint32_t mask, const std::string &what) {
    Expect &slot = expected_[k];
    const std::uint32_t compared = mask & slot.known;
    if (compared != 0) {
        ++checkedValues_;
    }
    if ((slot.value & compared) != (got & compared)) {
        ++mismatches_;
        std::printf("soak: MISMATCH op %ld %s: %02d%c%04X expected 0x%X got 0x%X (bits 0x%X, fault: %s, last: %s)\n",
                    operations_, what.c_str(), k.secondary, k.region, k.element, slot.value & compared,
                    got & compared, compared, activeFault_.empty() ? "none" : activeFault_.c_str(), lastOp_.c_str());
    }
    // What a good read shows is the truth from here on.
    slot.value = (slot.value & ~mask) | (got & mask);
    slot.known |= mask;
}

void Soak::Forget(int secondary, char region, int first, int count) {
    for (int e = first; e < first + count; ++e) {
        expected_[Key{secondary, region, e}] = Expect{};
    }
}

std::int32_t Soak::ReadOne(int secondary, const RegionUse &r, int element, bool bit, int bitNumber) {
    Gate a;
    const std::string text = AddressText(secondary, r.letter, element, bit ? bitNumber : -1);
    if (m_.ParseAddress(text, bit ? orvtiw::host::ValueType::Bit : r.type, 0, a) != ORV_STATUS_OK) {
        ++unexpected_;
        std::printf("soak: address %s refused\n", text.c_str());
        return ORV_STATUS_REFUSED;
    }
    std::uint32_t value = 0;
    const std::int32_t status = m_.ReadGate(a, value);
    Status(bit ? "read-bit" : "read-gate", status);
    if (status == ORV_STATUS_OK) {
        const Key k{secondary, r.letter, element};
        if (bit) {
            // A bit gate reads 0 or 1.
            if (value > 1) {
                ++mismatches_;
                std::printf("soak: MISMATCH op %ld: bit gate %s read %u\n", operations_, text.c_str(), value);
            }
            Check(k, value << bitNumber, 1u << bitNumber, "read-bit " + text);
        } else if (r.bits == 8) {
            // A single gate of a discrete region reads the element's bit 0.
            if (value > 1) {
                ++mismatches_;
                std::printf("soak: MISMATCH op %ld: discrete gate %s read %u\n", operations_, text.c_str(), value);
            }
            Check(k, value, 1u, "read-gate " + text);
        } else {
            Check(k, value, 0xFFFFFFFFu, "read-gate " + text);
        }
    }
    return status;
}

std::int32_t Soak::ReadMany(int secondary, const RegionUse &r, int first, int count) {
    Gate a;
    const std::string text = AddressText(secondary, r.letter, first);
    if (m_.ParseAddress(text, BlockType(r), count, a) != ORV_STATUS_OK) {
        ++unexpected_;
        std::printf("soak: block address %s count %d refused\n", text.c_str(), count);
        return ORV_STATUS_REFUSED;
    }
    std::vector<std::uint32_t> values;
    const std::int32_t status = m_.ReadBlock(a, values);
    Status("read-block", status);
    if (status == ORV_STATUS_OK) {
        for (int i = 0; i < count; ++i) {
            Check(Key{secondary, r.letter, first + i}, values[static_cast<std::size_t>(i)], 0xFFFFFFFFu,
                  "read-block " + text);
        }
    }
    return status;
}

std::uint32_t RandomValue(std::mt19937_64 &rng, int bits) {
    const std::uint64_t v = rng();
    return bits == 32 ? static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v & ((1u << bits) - 1));
}

std::int32_t Soak::WriteOne(int secondary, const RegionUse &r, int element) {
    Gate a;
    const std::string text = AddressText(secondary, r.letter, element);
    if (m_.ParseAddress(text, r.type, 0, a) != ORV_STATUS_OK) {
        ++unexpected_;
        std::printf("soak: address %s refused\n", text.c_str());
        return ORV_STATUS_REFUSED;
    }
    // A single discrete gate takes 0 or 1.
    const std::uint32_t value = r.bits == 8 ? static_cast<std::uint32_t>(Uniform(0, 1)) : RandomValue(rng_, r.bits);
    const std::int32_t status = m_.WriteGate(a, value);
    Status("write-gate", status);
    if (status == ORV_STATUS_OK) {
        Know(Key{secondary, r.letter, element}, value);
        lastOp_ = "write-gate " + text;
        ReadOne(secondary, r, element, false, 0); // read back at once
    } else {
        Forget(secondary, r.letter, element, 1);
    }
    return status;
}

std::int32_t Soak::WriteBit(int secondary, int element, int bitNumber) {
    Gate a;
    const std::string text = AddressText(secondary, 'V', element, bitNumber);
    if (m_.ParseAddress(text, orvtiw::host::ValueType::Bit, 0, a) != ORV_STATUS_OK) {
        ++unexpected_;
        std::printf("soak: address %s refused\n", text.c_str());
        return ORV_STATUS_REFUSED;
    }
    const std::uint32_t value = static_cast<std::uint32_t>(Uniform(0, 1));
    const std::int32_t status = m_.WriteGate(a, value);
    Status("write-bit", status);
    const Key k{secondary, 'V', element};
    if (status == ORV_STATUS_OK) {
        // The driver read the word and wrote it back with one bit changed:
        // the other bits keep what the model knew, if it knew them.
        Expect &slot = expected_[k];
        const std::uint32_t bit = 1u << bitNumber;
        slot.value = value != 0 ? (slot.value | bit) : (slot.value & ~bit);
        slot.known |= bit;
        lastOp_ = "write-bit " + text;
        // The whole word when the model knows it all, else the bit alone.
        if (slot.known == 0xFFFFFFFFu) {
            ReadOne(secondary, kRegions[0], element, false, 0);
        } else {
            ReadOne(secondary, kRegions[0], element, true, bitNumber);
        }
    } else {
        Forget(secondary, 'V', element, 1);
    }
    return status;
}

std::int32_t Soak::WriteMany(int secondary, const RegionUse &r, int first, int count) {
    Gate a;
    const std::string text = AddressText(secondary, r.letter, first);
    if (m_.ParseAddress(text, BlockType(r), count, a) != ORV_STATUS_OK) {
        ++unexpected_;
        std::printf("soak: block address %s count %d refused\n", text.c_str(), count);
        return ORV_STATUS_REFUSED;
    }
    std::vector<std::uint32_t> values(static_cast<std::size_t>(count));
    for (std::uint32_t &v : values) {
        v = RandomValue(rng_, r.bits);
    }
    const std::int32_t status = m_.WriteBlock(a, values);
    Status("write-block", status);
    if (status == ORV_STATUS_OK) {
        for (int i = 0; i < count; ++i) {
            Know(Key{secondary, r.letter, first + i}, values[static_cast<std::size_t>(i)]);
        }
        lastOp_ = "write-block " + text + " count " + std::to_string(count);
        ReadMany(secondary, r, first, count);
    } else {
        Forget(secondary, r.letter, first, count);
    }
    return status;
}

void Soak::Recover(int secondary) {
    // As a host would: a warm start most of the time, sometimes only a
    // reopen; and while recoveries do not help, it waits for twice as many
    // failures before the next one, since each costs a reset (and, with the
    // adapter refusing its configuration, a 5 s pause).
    if (Chance(75)) {
        Status("warm-start", m_.WarmStart(secondary));
    } else {
        Status("reopen", m_.Reopen());
    }
    consecutiveFailures_ = 0;
    failuresBeforeRecovery_ = std::min(failuresBeforeRecovery_ * 2, 64);
}

bool Soak::FinalSweep() {
    EndFault();
    if (!Control("clear")) {
        return false;
    }
    std::int32_t warm = ORV_STATUS_COMM_FAILURE;
    for (int i = 0; i < 3 && warm != ORV_STATUS_OK; ++i) {
        warm = m_.WarmStart(1);
        Status("warm-start", warm);
    }
    long unknown = 0;
    for (const auto &[k, v] : expected_) {
        unknown += v.known == 0xFFFFFFFFu ? 0 : 1;
    }
    bool ok = warm == ORV_STATUS_OK;
    for (int s = 1; s <= kSecondaries; ++s) {
        for (const RegionUse &r : kRegions) {
            for (int first = 1; first <= r.elements; first += r.maxBlock) {
                const int count = std::min(r.maxBlock, r.elements - first + 1);
                lastOp_ = "final sweep";
                if (ReadMany(s, r, first, count) != ORV_STATUS_OK) {
                    ok = false;
                    std::printf("soak: final sweep could not read %s count %d\n",
                                AddressText(s, r.letter, first).c_str(), count);
                }
            }
        }
    }
    Tally(m_.Lines());
    m_.ClearLines();
    std::printf("soak: final sweep: %s, %ld elements were unknown before it\n", ok ? "every element read" : "FAILED",
                unknown);
    return ok;
}

int Soak::Run() {
    // A fresh simulator's controllers hold zeros everywhere.
    for (int s = 1; s <= kSecondaries; ++s) {
        for (const RegionUse &r : kRegions) {
            for (int e = 1; e <= r.elements; ++e) {
                Know(Key{s, r.letter, e}, 0);
            }
        }
    }
    const auto t0 = std::chrono::steady_clock::now();
    bool timedOut = false;
    for (long op = 0; op < o_.operations; ++op) {
        if (orvlive::MsSince(t0) > o_.maxSeconds * 1000.0) {
            timedOut = true;
            break;
        }
        operations_ = op;
        MaybeToggleFault(op);
        const int secondary = Uniform(1, kSecondaries);
        const RegionUse &r = kRegions[Uniform<std::size_t>(0, std::size(kRegions) - 1)];
        const int kind = Uniform(0, 99);
        std::int32_t status;
        lastOp_.clear();
        if (kind < 35) {
            status = ReadOne(secondary, r, Uniform(1, r.elements), false, 0);
        } else if (kind < 50) {
            const int count = Uniform(1, r.maxBlock);
            status = ReadMany(secondary, r, Uniform(1, r.elements - count + 1), count);
        } else if (kind < 55) {
            status = ReadOne(secondary, kRegions[0], Uniform(1, kRegions[0].elements), true, Uniform(0, 15));
        } else if (kind < 80) {
            status = WriteOne(secondary, r, Uniform(1, r.elements));
        } else if (kind < 90) {
            status = WriteBit(secondary, Uniform(1, kRegions[0].elements), Uniform(0, 15));
        } else {
            const int count = Uniform(1, r.maxBlock);
            status = WriteMany(secondary, r, Uniform(1, r.elements - count + 1), count);
        }
        Tally(m_.Lines());
        m_.ClearLines();
        if (status == ORV_STATUS_OK) {
            consecutiveFailures_ = 0;
            failuresBeforeRecovery_ = 2;
        } else if (++consecutiveFailures_ >= failuresBeforeRecovery_) {
            Recover(secondary);
            Tally(m_.Lines());
            m_.ClearLines();
        }
        if (!sim_.Alive()) {
            std::printf("soak: the simulator stopped answering at operation %ld\n", op);
            return 1;
        }
        if ((op + 1) % 10000 == 0) {
            std::printf("soak: %ld operations, %ld faults, %ld mismatches, %.0f s\n", op + 1, faults_, mismatches_,
                        orvlive::MsSince(t0) / 1000.0);
            std::fflush(stdout);
        }
    }
    const long done = timedOut ? operations_ : o_.operations;
    const bool swept = FinalSweep();
    const double seconds = orvlive::MsSince(t0) / 1000.0;

    long reads = 0;
    long writes = 0;
    for (const auto &[what, n] : statuses_) {
        reads += what.rfind("read", 0) == 0 ? n : 0;
        writes += what.rfind("write", 0) == 0 ? n : 0;
    }
    std::printf("soak: seed %" PRIu64 "\n", o_.seed);
    std::printf("soak: %ld loop operations in %.1f s: %ld reads (read-backs and sweep included), %ld writes\n", done,
                seconds, reads, writes);
    std::printf("soak: faults injected: %ld\n", faults_);
    for (const auto &[name, n] : faultCounts_) {
        std::printf("soak:   %-16s %ld\n", name.c_str(), n);
    }
    std::printf("soak: statuses:\n");
    for (const auto &[what, n] : statuses_) {
        std::printf("soak:   %-16s %ld\n", what.c_str(), n);
    }
    std::printf("soak: driver log lines:\n");
    for (const auto &[text, n] : messages_) {
        std::printf("soak:   %8ld  %s\n", n, text.c_str());
    }
    std::printf("soak: values compared %ld, mismatches %ld, unexplained statuses %ld\n", checkedValues_, mismatches_,
                unexpected_);
    if (timedOut) {
        std::printf("soak: stopped at the %d s limit after %ld of %ld operations\n", o_.maxSeconds, done,
                    o_.operations);
    }
    return mismatches_ == 0 && unexpected_ == 0 && swept && !timedOut ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        return 2;
    }
    if (!o.seedGiven) {
        o.seed = std::random_device{}();
    }
    std::printf("soak: seed %" PRIu64 " (repeat with --seed %" PRIu64 "), %ld operations, reply time-out %d ms\n",
                o.seed, o.seed, o.operations, o.timeoutUnits * 10);
    std::fflush(stdout);

    orvlive::TempDir dir("orvtiw-soak");
    if (dir.path().empty()) {
        std::fprintf(stderr, "soak: cannot make a working directory\n");
        return 2;
    }
    Simulator sim(o.tiwaysim, o.device, dir.path());
    std::string error;
    // Configured from the start, so the cold start skips the two 5 s pauses.
    if (!sim.Start(error, {"--configured"})) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 2;
    }
    Module m;
    if (!m.Load(o.kelmar, o.module, error)) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 2;
    }
    if (m.ColdStart(true, 100, kInitFile) != ORV_STATUS_OK ||
        orvlive::CountLines(m.Lines(), "loaded successfully") != 1) {
        std::fprintf(stderr, "soak: the cold start failed:\n%s", orvlive::Describe(m.Lines()).c_str());
        return 2;
    }
    m.SetTimeout(o.timeoutUnits);
    m.ClearLines();

    Soak soak(o, m, sim);
    int rc = soak.Run();
    m.Stop();
    const bool stopped = sim.Stop();
    const std::string log = sim.Log();
    long exchanges = 0;
    long resets = 0;
    for (std::size_t at = 0; (at = log.find("tiwaysim: C800 ", at)) != std::string::npos; ++at) {
        const std::size_t end = log.find('\n', at);
        const std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        (line == "tiwaysim: C800 reset" ? resets : exchanges) += 1;
    }
    std::printf("soak: the card saw %ld exchanges and %ld resets; simulator %s\n", exchanges, resets,
                stopped ? "stopped cleanly" : "did NOT stop cleanly");
    if (!stopped) {
        rc = 1;
    }
    std::printf("soak: %s\n", rc == 0 ? "PASS" : "FAIL");
    return rc;
}
