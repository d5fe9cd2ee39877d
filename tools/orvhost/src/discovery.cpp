#include "discovery.h"

#include <bitset>
#include <chrono>
#include <cstdio>
#include <optional>

#include "exchange_count.h"
#include "region_search.h"

namespace orvhost {
namespace {

using orvtiw::host::ClassifyFailure;
using orvtiw::host::FailureKind;
using orvtiw::host::ValueType;

class Discoverer {
  public:
    Discoverer(orvtiw::host::Channel &channel, Discovered &found) : channel_(channel), found_(found) {}

    // The regions the driver knows, as its block address check decodes
    // them: the width, and in a double region the odd element's flag.
    void Survey(int secondary) {
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            const auto checked = Check(secondary, letter, 1);
            if (!checked) {
                continue;
            }
            const AddressRecord &d = checked->decoded;
            RegionShape shape{letter, RegionKind::Word};
            if (d.width == 8) {
                shape.kind = RegionKind::Discrete;
            } else if (d.width == 32) {
                shape.kind = (d.regionId & 0x100) != 0 ? RegionKind::Double : RegionKind::Long;
            }
            found_.regions.push_back(shape);
        }
    }

    // Whether a one-element block read at `element` goes through: yes, no
    // (the controller refused it), or nothing when the secondary or the
    // card did not answer, with `failure` saying which.
    std::optional<bool> Readable(int secondary, const RegionShape &shape, std::uint32_t element) {
        const auto gate = Check(secondary, shape.letter, element);
        if (!gate) {
            failure_ = FailureKind::RecordRefused;
            return std::nullopt;
        }
        const auto read = channel_.Read(*gate);
        found_.exchanges += ReadExchanges(read);
        failure_ = ClassifyFailure(read).kind;
        if (failure_ == FailureKind::None || failure_ == FailureKind::ControllerRefusal) {
            return failure_ == FailureKind::None;
        }
        return std::nullopt;
    }

    FailureKind LastFailure() const {
        return failure_;
    }

  private:
    std::optional<orvtiw::host::Gate> Check(int secondary, char letter, std::uint32_t element) {
        // Words are checked as 16-bit values, which the other kinds' block
        // checks take too.
        auto checked = channel_.CheckBlock(GateAddress(secondary, letter, element), ValueType::UInt16, 1);
        const auto s = static_cast<std::size_t>(secondary);
        const int exchanges = CheckExchanges(checked, !named_.test(s));
        found_.exchanges += exchanges;
        if (exchanges > 0 || checked.ok()) {
            named_.set(s);
        }
        if (!checked.ok()) {
            return std::nullopt;
        }
        return std::move(checked.gate);
    }

    orvtiw::host::Channel &channel_;
    Discovered &found_;
    std::bitset<32> named_; // secondaries the driver has connected since the cold start
    FailureKind failure_ = FailureKind::None;
};

// The last element a read can name: a double region's read of element e
// takes e and e + 1.
std::uint32_t SearchLimit(RegionKind kind) {
    return kind == RegionKind::Double ? 0xFFFE : 0xFFFF;
}

void PrintRow(std::ostream &out, int secondary, const RegionSize &r) {
    char line[160];
    std::string gates = "-";
    if (r.elements > 0) {
        gates = GateAddress(secondary, r.shape.letter, 1) + ".." + GateAddress(secondary, r.shape.letter, r.elements);
    }
    std::snprintf(line, sizeof line, "%3d  %c       %-9s %8u  %s%s\n", secondary, r.shape.letter,
                  KindName(r.shape.kind), r.elements, gates.c_str(),
                  r.underOneValue ? " (or 1: its reads take two elements)" : "");
    out << line;
}

} // namespace

const char *KindName(RegionKind kind) {
    switch (kind) {
    case RegionKind::Discrete:
        return "discrete";
    case RegionKind::Word:
        return "word";
    case RegionKind::Double:
        return "double";
    case RegionKind::Long:
        return "long";
    }
    return "?";
}

std::string GateAddress(int secondary, char letter, std::uint32_t element) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X%c%04X", static_cast<unsigned>(secondary), letter,
                  static_cast<unsigned>(element));
    return text;
}

bool Discover(orvtiw::host::Channel &channel, const std::vector<int> &secondaries, std::ostream &out,
              std::ostream &errors, Discovered &found) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    found.channel = channel.Number();
    found.probed = secondaries;
    Discoverer d(channel, found);
    bool ok = true;
    auto finish = [&] {
        found.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        char line[200];
        std::snprintf(line, sizeof line,
                      "discover: %zu of %zu secondaries answer; %ld exchanges with the card in %.1f s "
                      "(at most %d reads a region)\n",
                      found.secondaries.size(), found.probed.size(), found.exchanges, found.seconds, kMaxSearchReads);
        out << line;
        out.flush();
    };
    if (secondaries.empty()) {
        finish();
        return true;
    }
    d.Survey(secondaries.front());
    if (found.regions.empty()) {
        errors << "discover: the driver accepts no region on this channel\n";
        finish();
        return false;
    }
    out << "regions of channel " << found.channel << ":";
    for (const RegionShape &r : found.regions) {
        out << " " << r.letter << " (" << KindName(r.kind) << ")";
    }
    out << "\nsec  region  kind      elements  gates\n";
    out.flush();
    for (const int s : secondaries) {
        SecondaryFound secondary{s, {}};
        bool answers = false;
        for (const RegionShape &shape : found.regions) {
            RegionSize size{shape};
            const auto outcome =
                FindLastReadable(SearchLimit(shape.kind), [&](std::uint32_t e) { return d.Readable(s, shape, e); });
            size.reads = outcome.reads;
            if (outcome.stopped) {
                const FailureKind why = d.LastFailure();
                if (why == FailureKind::SecondaryUnreachable && !answers) {
                    break; // not on the network: the first read says so
                }
                errors << "discover: secondary " << s << ", region " << shape.letter << ": "
                       << orvtiw::host::FailureMeaning(why) << "\n";
                ok = false;
                break;
            }
            answers = true;
            size.elements = outcome.last == 0 ? 0 : outcome.last + (shape.kind == RegionKind::Double ? 1 : 0);
            size.underOneValue = shape.kind == RegionKind::Double && outcome.last == 0;
            PrintRow(out, s, size);
            out.flush();
            secondary.regions.push_back(size);
        }
        if (answers) {
            found.secondaries.push_back(std::move(secondary));
        }
        if (!ok) {
            break;
        }
    }
    finish();
    return ok;
}

} // namespace orvhost
