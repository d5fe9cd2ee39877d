#include "scan/class_plan.h"

#include <cstdio>
#include <map>

namespace orvgate {
namespace {

constexpr int kExchangeBytes = 16;
constexpr auto kPoll = std::chrono::milliseconds(1);

} // namespace

Clock::duration LineTimeOf(const ScanBlock &block, double bitsPerSecond) {
    const double bytes = static_cast<double>(block.span.units * block.span.unitBytes + kExchangeBytes);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bytes * 8 / bitsPerSecond)) +
           kPoll;
}

std::string ClassPlanReport(const ScanPlan &plan, const std::vector<ScanClass> &classes, double bitsPerSecond) {
    struct Load {
        std::size_t reads = 0;
        Clock::duration time{0};
    };
    std::map<std::int32_t, std::map<std::size_t, Load>> channels;
    for (const std::size_t b : plan.order) {
        const ScanBlock &block = plan.blocks[b];
        Load &l = channels[block.span.channel][block.scanClass];
        l.reads += 1;
        l.time += LineTimeOf(block, bitsPerSecond);
    }
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "line time at %.0f bit/s (115.2 kbaud; a slower line takes longer):\n",
                  bitsPerSecond);
    out += line;
    for (const auto &[channel, loads] : channels) {
        double asked = 0;
        bool backToBack = false;
        for (const auto &[k, l] : loads) {
            const ScanClass &c = classes.at(k);
            const bool fast = c.period.count() == 0;
            backToBack = backToBack || fast;
            const double share = fast ? 0 : Seconds(l.time) / Seconds(c.period);
            asked += share;
            std::snprintf(line, sizeof line,
                          "  channel %d class %s: %zu reads, %.1f ms of line a round, period %s%.0f ms, %s%.0f %% of "
                          "the line, values served up to %.0f ms old\n",
                          channel, c.name.c_str(), l.reads, Milliseconds(l.time), fast ? "0 (back to back, " : "",
                          fast ? Milliseconds(l.time) : Milliseconds(c.period), fast ? "whatever is left) " : "",
                          100 * share, Milliseconds(c.ceiling));
            out += line;
        }
        if (asked > 1) {
            std::snprintf(line, sizeof line,
                          "  channel %d: the classes ask %.0f %% of the line: the longest period stretches first "
                          "(up to 8 of its periods), the faster classes keep theirs\n",
                          channel, 100 * asked);
        } else {
            std::snprintf(line, sizeof line, "  channel %d: the classes ask %.0f %% of the line%s\n", channel,
                          100 * asked, backToBack ? "; the default class takes the rest" : "");
        }
        out += line;
    }
    return out;
}

} // namespace orvgate
