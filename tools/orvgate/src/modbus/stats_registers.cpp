#include "modbus/stats_registers.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace orvgate {
namespace {

using orvtiw::host::FailureKind;

std::uint16_t Saturated(double value) {
    return value <= 0 ? 0 : value >= 65535.0 ? 65535 : static_cast<std::uint16_t>(value);
}

void Put32(std::vector<std::uint16_t> &r, std::size_t at, std::uint64_t value) {
    const auto v = static_cast<std::uint32_t>(std::min<std::uint64_t>(value, 0xFFFFFFFFu));
    r[at] = static_cast<std::uint16_t>(v >> 16);
    r[at + 1] = static_cast<std::uint16_t>(v);
}

std::uint64_t SecondsIn(const Health &h, Clock::time_point now) {
    return h.state == HealthState::Unknown ? 0 : static_cast<std::uint64_t>(Seconds(now - h.since));
}

} // namespace

std::uint16_t FailureKindNumber(FailureKind kind) {
    switch (kind) {
    case FailureKind::None:
        return 0;
    case FailureKind::CardNotAnswering:
        return 1;
    case FailureKind::SecondaryUnreachable:
        return 2;
    case FailureKind::ControllerRefusal:
        return 3;
    case FailureKind::RecordRefused:
        return 4;
    }
    return 4;
}

StatsSources SourcesOf(const Gateway &core, const ModbusCounters &server, Clock::time_point started) {
    StatsSources s;
    s.cards = core.Cards();
    s.writes = &core.Writes();
    s.maxAge = core.Settings().maxAge;
    s.writeTimeout = core.Settings().writeTimeout;
    s.server = &server;
    s.started = started;
    return s;
}

std::vector<std::uint16_t> StatisticsRegisters(const StatsSources &from, Clock::time_point now) {
    const std::vector<CardStatus> &cards = from.cards;
    const WriteCounters &writes = *from.writes;
    const ModbusCounters &server = *from.server;
    std::size_t secondaries = 0;
    std::size_t classes = 0;
    for (const CardStatus &card : cards) {
        secondaries += card.secondaries.size();
        for (const ClassFigures &c : card.classes) {
            classes += c.blocks > 0 ? 1 : 0;
        }
    }
    std::vector<std::uint16_t> r(kStatsHeader + kStatsChannelRow * cards.size() + kStatsSecondaryRow * secondaries +
                                     kStatsClassRow * classes,
                                 0);
    r[0] = kStatsLayout;
    r[1] = static_cast<std::uint16_t>(cards.size());
    r[2] = static_cast<std::uint16_t>(secondaries);
    r[3] = Saturated(Milliseconds(from.maxAge));
    r[4] = Saturated(static_cast<double>(server.connected.load()));
    r[5] = Saturated(Milliseconds(from.writeTimeout));
    Put32(r, 6, server.answered);
    Put32(r, 8, server.exceptions);
    Put32(r, 10, writes.Count(JobResult::Done));
    Put32(r, 12, writes.Count(JobResult::Failed));
    Put32(r, 14, writes.Count(JobResult::Refused));
    Put32(r, 16, writes.Count(JobResult::Expired));
    Put32(r, 18, writes.Count(JobResult::Dropped));
    Put32(r, 20, writes.Count(JobResult::Unhealthy));
    Put32(r, 22, server.refused);
    Put32(r, 24, server.gaveWay);
    Put32(r, 26, server.malformed);
    Put32(r, 28, static_cast<std::uint64_t>(Seconds(now - from.started)));
    Put32(r, 30, server.notAllowed);
    r[32] = static_cast<std::uint16_t>(classes); // 33 is reserved
    std::size_t at = kStatsHeader;
    for (const CardStatus &card : cards) {
        r[at] = static_cast<std::uint16_t>(card.channel);
        r[at + 1] = static_cast<std::uint16_t>(card.health.state);
        Put32(r, at + 2, SecondsIn(card.health, now));
        Put32(r, at + 4, card.cycles);
        r[at + 6] = Saturated(Milliseconds(card.lastCycle) * 10);
        r[at + 7] = Saturated(Milliseconds(card.medianCycle) * 10);
        r[at + 8] = Saturated(static_cast<double>(card.cycleCpu.count()));
        r[at + 9] = FailureKindNumber(card.health.Failing() ? card.health.last.kind : FailureKind::None);
        at += kStatsChannelRow;
    }
    for (const CardStatus &card : cards) {
        for (const auto &[number, h] : card.secondaries) {
            // A secondary fails with its channel, since when the channel does.
            const Health &shown = card.health.Failing() ? card.health : h;
            r[at] = static_cast<std::uint16_t>(card.channel);
            r[at + 1] = static_cast<std::uint16_t>(number);
            r[at + 2] = static_cast<std::uint16_t>(card.SecondaryState(number));
            Put32(r, at + 3, SecondsIn(shown, now));
            Put32(r, at + 5, h.transfers);
            Put32(r, at + 7, h.failures);
            r[at + 9] = FailureKindNumber(shown.last.kind);
            r[at + 10] = shown.last.code;
            at += kStatsSecondaryRow;
        }
    }
    for (const CardStatus &card : cards) {
        for (std::size_t k = 0; k < card.classes.size(); ++k) {
            const ClassFigures &c = card.classes[k];
            if (c.blocks == 0) {
                continue;
            }
            const auto ms = [](Clock::duration d) { return static_cast<std::uint64_t>(Milliseconds(d)); };
            r[at] = static_cast<std::uint16_t>(card.channel);
            r[at + 1] = static_cast<std::uint16_t>(k);
            Put32(r, at + 2, ms(c.period));
            Put32(r, at + 4, ms(c.achievedMedian));
            Put32(r, at + 6, ms(c.achievedP99));
            Put32(r, at + 8, ms(c.effective));
            r[at + 10] = Saturated(LineShare(c.busy, card.running) * 1000);
            r[at + 11] = c.missing ? 1 : 0;
            at += kStatsClassRow;
        }
    }
    return r;
}

std::string ClientsReport(const ModbusCounters &server) {
    char line[400];
    std::snprintf(line, sizeof line,
                  "  clients: %" PRIu64 " connected, %" PRIu64 " accepted, %" PRIu64 " refused, %" PRIu64
                  " not in --allow, %" PRIu64 " gave way, %" PRIu64 " closed for malformed frames, %" PRIu64
                  " idle, %" PRIu64 " not taking answers; %" PRIu64 " requests answered, %" PRIu64
                  " with exceptions; accepting paused %" PRIu64 " times for want of file descriptors\n",
                  server.connected.load(), server.accepted.load(), server.refused.load(), server.notAllowed.load(),
                  server.gaveWay.load(), server.malformed.load(), server.idle.load(), server.stalled.load(),
                  server.answered.load(), server.exceptions.load(), server.acceptPaused.load());
    return line;
}

} // namespace orvgate
