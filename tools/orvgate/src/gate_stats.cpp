#include "gate_stats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace orvgate {
namespace {

using std::chrono::duration;
using std::chrono::duration_cast;

std::uint16_t Saturated(double value) {
    return value <= 0 ? 0 : value >= 65535.0 ? 65535 : static_cast<std::uint16_t>(value);
}

void Put32(std::vector<std::uint16_t> &r, std::size_t at, std::uint64_t value) {
    const auto v = static_cast<std::uint32_t>(std::min<std::uint64_t>(value, 0xFFFFFFFFu));
    r[at] = static_cast<std::uint16_t>(v >> 16);
    r[at + 1] = static_cast<std::uint16_t>(v);
}

double Ms(Clock::duration d) {
    return duration<double, std::milli>(d).count();
}

double Seconds(Clock::duration d) {
    return duration<double>(d).count();
}

} // namespace

GateStats::GateStats(const Freshness &freshness, Clock::time_point started)
    : freshness_(freshness), started_(started) {}

void GateStats::Track(std::int32_t channel, std::int32_t secondary) {
    std::lock_guard<std::mutex> guard(mutex_);
    secondaries_[{channel, secondary}];
}

void GateStats::Transfer(std::int32_t channel, std::int32_t secondary, const Failure *failure) {
    std::lock_guard<std::mutex> guard(mutex_);
    SecondaryRecord &s = secondaries_[{channel, secondary}];
    ++s.transfers;
    if (failure != nullptr) {
        ++s.failures;
        s.lastKind = failure->kind;
        s.lastCode = failure->code;
        s.lastStatus = failure->status;
        s.lastError = failure->text;
    }
}

SecondaryState GateStats::SetState(std::int32_t channel, std::int32_t secondary, SecondaryState state,
                                   Clock::time_point since) {
    std::lock_guard<std::mutex> guard(mutex_);
    SecondaryRecord &s = secondaries_[{channel, secondary}];
    const SecondaryState before = s.state;
    if (before != state) {
        s.state = state;
        s.since = since;
    }
    return before;
}

void GateStats::WriteDone(bool applied) {
    ++(applied ? writesApplied_ : writesFailed_);
}

void GateStats::CycleCpu(std::chrono::microseconds cpu) {
    cycleCpuUs_ = cpu.count();
}

SecondaryRecord GateStats::Secondary(std::int32_t channel, std::int32_t secondary) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto at = secondaries_.find({channel, secondary});
    return at == secondaries_.end() ? SecondaryRecord{} : at->second;
}

std::vector<std::uint16_t> GateStats::Registers(Clock::time_point now) const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::uint16_t> r(kStatsHeader + kStatsRow * secondaries_.size(), 0);
    r[0] = kStatsLayout;
    r[1] = static_cast<std::uint16_t>(secondaries_.size());
    Put32(r, 2, freshness_.Cycles());
    r[4] = Saturated(Ms(freshness_.LastCycle()) * 10);
    r[5] = Saturated(Ms(freshness_.MedianCycle()) * 10);
    r[6] = Saturated(Ms(freshness_.MaxAge(now)));
    r[7] = Saturated(static_cast<double>(connected_.load()));
    Put32(r, 8, answered_);
    Put32(r, 10, exceptions_);
    Put32(r, 12, writesApplied_);
    Put32(r, 14, writesFailed_);
    Put32(r, 16, refused_);
    Put32(r, 18, malformed_);
    Put32(r, 20, static_cast<std::uint64_t>(Seconds(now - started_)));
    r[22] = Saturated(static_cast<double>(cycleCpuUs_.load()));
    std::size_t at = kStatsHeader;
    for (const auto &[key, s] : secondaries_) {
        r[at] = static_cast<std::uint16_t>(key.first);
        r[at + 1] = static_cast<std::uint16_t>(key.second);
        r[at + 2] = static_cast<std::uint16_t>(s.state);
        Put32(r, at + 3, s.state == SecondaryState::Unread ? 0 : static_cast<std::uint64_t>(Seconds(now - s.since)));
        Put32(r, at + 5, s.transfers);
        Put32(r, at + 7, s.failures);
        r[at + 9] = static_cast<std::uint16_t>(s.lastKind);
        r[at + 10] = s.lastCode;
        r[at + 11] = static_cast<std::uint16_t>(s.lastStatus);
        at += kStatsRow;
    }
    return r;
}

std::string GateStats::Report(Clock::time_point now) const {
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "orvgate: statistics after %.0f s\n", Seconds(now - started_));
    out += line;
    std::snprintf(line, sizeof line,
                  "  scan: %" PRIu64 " cycles, last %.1f ms, median %.1f ms, driver CPU %.2f ms a cycle; "
                  "values served up to %.0f ms old\n",
                  freshness_.Cycles(), Ms(freshness_.LastCycle()), Ms(freshness_.MedianCycle()),
                  static_cast<double>(cycleCpuUs_.load()) / 1000.0, Ms(freshness_.MaxAge(now)));
    out += line;
    std::snprintf(line, sizeof line,
                  "  clients: %zu connected, %" PRIu64 " refused, %" PRIu64 " closed for malformed frames, %" PRIu64
                  " closed idle\n",
                  connected_.load(), refused_.load(), malformed_.load(), idle_.load());
    out += line;
    std::snprintf(line, sizeof line,
                  "  requests: %" PRIu64 " answered, %" PRIu64 " with exceptions; writes: %" PRIu64 " applied, %" PRIu64
                  " failed\n",
                  answered_.load(), exceptions_.load(), writesApplied_.load(), writesFailed_.load());
    out += line;
    std::lock_guard<std::mutex> guard(mutex_);
    out += "  channel  secondary  state                  transfers    failures  last error\n";
    for (const auto &[key, s] : secondaries_) {
        char state[64];
        if (s.state == SecondaryState::Unread) {
            std::snprintf(state, sizeof state, "not read yet");
        } else {
            std::snprintf(state, sizeof state, "%s for %.1f s", s.state == SecondaryState::Good ? "good" : "failing",
                          Seconds(now - s.since));
        }
        std::snprintf(line, sizeof line, "  %7d  %9d  %-21s  %9" PRIu64 "  %10" PRIu64 "  %s\n", key.first, key.second,
                      state, s.transfers, s.failures, s.lastError.empty() ? "-" : s.lastError.c_str());
        out += line;
    }
    return out;
}

} // namespace orvgate
