#include "scan/core_report.h"

#include <cinttypes>
#include <cstdio>

namespace orvgate {
namespace {

std::string StateFor(const Health &h, Clock::time_point now) {
    if (h.state == HealthState::Unknown) {
        return HealthStateName(h.state);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s for %.1f s", HealthStateName(h.state), Seconds(now - h.since));
    return text;
}

} // namespace

std::string CoreReport(const Gateway &core, Clock::time_point now) {
    std::string out;
    char line[512];
    for (const CardStatus &card : core.Cards()) {
        std::snprintf(line, sizeof line,
                      "  channel %d: %s; %" PRIu64
                      " cycles, last %.1f ms, median %.1f ms, driver CPU %.2f ms a cycle%s%s\n",
                      card.channel, StateFor(card.health, now).c_str(), card.cycles, Milliseconds(card.lastCycle),
                      Milliseconds(card.medianCycle), static_cast<double>(card.cycleCpu.count()) / 1000.0,
                      card.health.Failing() ? ": " : "", card.health.Failing() ? card.health.last.text.c_str() : "");
        out += line;
        const bool classes = core.Classes().size() > 1; // a map without classes reports as it always did
        if (classes) {
            std::snprintf(line, sizeof line, "    line busy %.0f %%\n", 100 * LineShare(card.lineBusy, card.running));
            out += line;
        }
        for (std::size_t k = 0; classes && k < card.classes.size(); ++k) {
            const ClassFigures &c = card.classes[k];
            if (c.blocks == 0) {
                continue;
            }
            char missing[64] = "";
            if (c.missing) {
                std::snprintf(missing, sizeof missing, ", missing its period (stretched to %.0f ms)",
                              Milliseconds(c.effective));
            }
            std::snprintf(line, sizeof line,
                          "    class %s: %zu blocks, period %.0f ms, achieved median %.0f ms, p99 %.0f ms, "
                          "%.0f %% of the line%s\n",
                          core.Classes().at(k).name.c_str(), c.blocks, Milliseconds(c.period),
                          Milliseconds(c.achievedMedian), Milliseconds(c.achievedP99),
                          100 * LineShare(c.busy, card.running), missing);
            out += line;
        }
    }
    const WriteCounters &w = core.Writes();
    std::snprintf(line, sizeof line,
                  "  writes: %" PRIu64 " applied, %" PRIu64 " failed, %" PRIu64 " refused, %" PRIu64
                  " past their deadline, %" PRIu64 " dropped (their client left), %" PRIu64
                  " not tried (target failing); values served up to %.0f ms old\n",
                  w.Count(JobResult::Done), w.Count(JobResult::Failed), w.Count(JobResult::Refused),
                  w.Count(JobResult::Expired), w.Count(JobResult::Dropped), w.Count(JobResult::Unhealthy),
                  Milliseconds(core.Settings().maxAge));
    out += line;
    out += "  channel  secondary  state                  transfers    failures  last error\n";
    for (const CardStatus &card : core.Cards()) {
        for (const auto &[number, h] : card.secondaries) {
            const Health &shown = card.health.Failing() ? card.health : h;
            std::snprintf(line, sizeof line, "  %7d  %9d  %-21s  %9" PRIu64 "  %10" PRIu64 "  %s\n", card.channel,
                          number, StateFor(shown, now).c_str(), h.transfers, h.failures,
                          shown.last.text.empty() ? "-" : shown.last.text.c_str());
            out += line;
        }
    }
    return out;
}

} // namespace orvgate
