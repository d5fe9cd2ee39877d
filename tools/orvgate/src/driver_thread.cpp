#include "driver_thread.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "gate_address.h"
#include "gate_log.h"
#include "map_check.h"
#include "modbus_frame.h"
#include "transparent.h"

namespace orvgate {
namespace {

using orvtiw::host::Channel;
using orvtiw::host::Result;

constexpr int kStartLevel = 32;

std::chrono::microseconds ThreadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_nsec / 1000);
}

double SecondsSince(Clock::time_point t, Clock::time_point now) {
    return std::chrono::duration<double>(now - t).count();
}

std::uint8_t ExceptionFor(const Result &r) {
    return r.status == ORV_STATUS_COMM_FAILURE ? kGatewayTargetFailed : kServerDeviceFailure;
}

std::string BlockName(const ScanBlock &b) {
    return "channel " + std::to_string(b.span.channel) + " " + b.address + " x " + std::to_string(b.span.units);
}

} // namespace

DriverThread::DriverThread(std::shared_ptr<orvtiw::host::Module> module, DriverSettings settings, JobQueue &jobs,
                           GateStats &stats, Freshness &freshness)
    : module_(std::move(module)), settings_(settings), jobs_(jobs), stats_(stats), freshness_(freshness) {}

DriverThread::~DriverThread() {
    Join();
}

void DriverThread::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool DriverThread::StartMapped(const MapFile &map, const std::filesystem::path &mapDirectory, int statsUnit,
                               std::string &error) {
    return Start(
        [this, &map, mapDirectory, statsUnit](std::string &problem) {
            for (const ChannelLine &c : map.channels) {
                orvtiw::host::StartOptions start;
                start.initFile = (mapDirectory / c.initFile).string();
                if (!StartChannel(c.number, start, problem)) {
                    problem = "line " + std::to_string(c.line) + ": " + problem;
                    return false;
                }
            }
            const AddressCheck check = [this](std::int32_t channel, const std::string &address,
                                              orvtiw::host::ValueType type, std::int32_t count, bool block) {
                Channel &c = *channels_.at(channel).channel;
                return block ? c.CheckBlock(address, type, count) : c.Check(address, type, count);
            };
            auto checked = CheckMap(map, check, statsUnit, problem);
            if (!checked) {
                return false;
            }
            ranges_ = std::move(*checked);
            return PlanScan(problem);
        },
        error);
}

bool DriverThread::StartTransparent(std::uint16_t segment, std::string &error) {
    return Start(
        [this, segment](std::string &problem) {
            orvtiw::host::StartOptions start;
            start.initText = TransparentInitText(segment);
            cache_ = std::make_unique<ValueCache>(std::vector<std::int32_t>{});
            return StartChannel(kTransparentChannel, start, problem);
        },
        error);
}

bool DriverThread::Start(std::function<bool(std::string &)> startUp, std::string &error) {
    std::promise<std::string> result;
    std::future<std::string> done = result.get_future();
    thread_ = std::thread(&DriverThread::Body, this, std::move(startUp), std::move(result));
    error = done.get();
    if (!error.empty()) {
        Join();
        return false;
    }
    return true;
}

void DriverThread::Body(std::function<bool(std::string &)> startUp, std::promise<std::string> result) {
    std::string problem;
    if (!startUp(problem)) {
        StopChannels();
        result.set_value(problem.empty() ? "start-up failed" : problem);
        return;
    }
    result.set_value(std::string());
    if (settings_.online) {
        Loop();
    }
    StopChannels();
}

bool DriverThread::StartChannel(std::int32_t number, const orvtiw::host::StartOptions &given, std::string &error) {
    ChannelState &state = channels_[number];
    state.channel = std::make_unique<Channel>(module_, number);
    state.retry = RetrySchedule(settings_.retryInterval, settings_.retryMost);
    orvtiw::host::StartOptions start = given;
    start.online = settings_.online;
    const std::int32_t units = (settings_.timeoutMs + 9) / 10;
    start.timeoutUnits = units;
    const Result r = state.channel->ColdStart(start);
    if (!r.problem.empty()) {
        error = "channel " + std::to_string(number) + ": " + r.problem;
        return false;
    }
    ShowDriverLines(r, settings_.online);
    if (settings_.online && r.status != ORV_STATUS_OK) {
        // The card may come later: the channel starts lost and is tried again.
        Failure f = Classify(r);
        f.scope = FailureScope::Link;
        ChannelLost(number, f, Clock::now());
    }
    // A cold start sets a reply time-out of at least 1000 ms; only operation 15 sets less.
    state.channel->SetTimeout(units);
    return true;
}

bool DriverThread::PlanScan(std::string &error) {
    plan_ = BuildScanPlan(ranges_, settings_.coalesce);
    std::vector<std::int32_t> sizes;
    for (std::size_t b = 0; b < plan_.blocks.size(); ++b) {
        const ScanBlock &block = plan_.blocks[b];
        ChannelState &ch = channels_.at(block.span.channel);
        const orvtiw::host::CheckResult gate = ch.channel->CheckBlock(block.address, block.checkType, block.span.units);
        if (!gate.ok()) {
            error = "the driver refused the scan's read of " + BlockName(block) + ": " + RefusalReason(gate);
            return false;
        }
        blockGates_.push_back(gate.gate);
        sizes.push_back(block.span.units);
        ch.blocks.push_back(b);
        if (ch.warmSecondary == 0) {
            ch.warmSecondary = block.span.secondary;
        }
        stats_.Track(block.span.channel, block.span.secondary);
        Health &sec = secondaries_[{block.span.channel, block.span.secondary}];
        sec.retry = RetrySchedule(settings_.retryInterval, settings_.retryMost);
    }
    blockHealth_.assign(plan_.blocks.size(),
                        Health{false, RetrySchedule(settings_.retryInterval, settings_.retryMost)});
    cache_ = std::make_unique<ValueCache>(sizes);
    scanning_ = !plan_.order.empty();
    return true;
}

void DriverThread::StopChannels() {
    for (auto &[number, state] : channels_) {
        if (state.channel) {
            state.channel->Stop();
        }
    }
}

void DriverThread::Loop() {
    std::size_t next = 0;
    bool called = false; // the driver in the cycle under way
    Clock::time_point cycleStart = Clock::now();
    freshness_.CycleStarted(cycleStart);
    std::chrono::microseconds cpuStart = ThreadCpu();
    while (!jobs_.Stopped()) {
        std::deque<DriverJob> batch = jobs_.TakeAll();
        for (DriverJob &job : batch) {
            Execute(job);
            freshness_.CallDone(Clock::now());
            jobs_.Finish(std::move(job));
        }
        const bool idle = batch.empty();
        if (!scanning_) {
            if (idle) {
                jobs_.WaitUntil(Clock::now() + std::chrono::seconds(1));
            }
            continue;
        }
        if (next == plan_.order.size()) {
            const Clock::time_point now = Clock::now();
            Clock::time_point resume = cycleStart + settings_.scanPeriod;
            if (!called) {
                // Everything is failing and waits for its retry: a cycle
                // of nothing but skipped steps would spin.
                resume = std::max(resume, NextRetry(now));
            }
            if (now < resume) {
                if (idle) {
                    jobs_.WaitUntil(resume);
                }
                continue;
            }
            freshness_.CycleDone(now - cycleStart);
            const std::chrono::microseconds cpu = ThreadCpu();
            stats_.CycleCpu(cpu - cpuStart);
            if (settings_.onCycle) {
                settings_.onCycle(now - cycleStart, cpu - cpuStart);
            }
            cpuStart = cpu;
            cycleStart = now;
            freshness_.CycleStarted(now);
            next = 0;
            called = false;
        }
        if (Step(plan_.order[next++])) {
            called = true;
            freshness_.CallDone(Clock::now());
        }
    }
}

// A lost channel is tried again when its schedule says: every second try
// in a row begins with a warm start, which resets and reconfigures the
// adapter and reconnects the secondaries (a card that lost its mailbox
// handshake answers nothing until reset); the other tries only read.
bool DriverThread::RetryChannel(std::int32_t number, Clock::time_point now) {
    ChannelState &ch = channels_.at(number);
    if (!ch.retry.Due(now) || jobs_.Stopped()) {
        return false;
    }
    if (ch.retry.Failures() % 2 == 0) {
        const Result r = ch.channel->WarmStart(ch.warmSecondary);
        Say("channel %d: warm start: %s", number, r.Describe().c_str());
        ShowDriverLines(r, false);
    }
    return true;
}

bool DriverThread::Step(std::size_t b) {
    const ScanBlock &block = plan_.blocks[b];
    const std::int32_t number = block.span.channel;
    const std::int32_t secondary = block.span.secondary;
    ChannelState &ch = channels_.at(number);
    const Clock::time_point now = Clock::now();
    if (ch.lost) {
        if (!RetryChannel(number, now)) {
            return false;
        }
    } else if (Health &sec = secondaries_.at({number, secondary}); sec.failing) {
        if (!block.probe || !sec.retry.Due(now)) {
            return false;
        }
    } else if (blockHealth_[b].failing && !blockHealth_[b].retry.Due(now)) {
        return false;
    }
    const orvtiw::host::ReadResult r = ch.channel->Read(blockGates_[b]);
    ShowDriverLines(r, false);
    if (r.ok()) {
        cache_->Store(b, r.values, Clock::now());
        stats_.Transfer(number, secondary, nullptr);
        Succeeded(number, secondary, b);
    } else {
        Failed(number, secondary, b, r);
    }
    return true;
}

Clock::time_point DriverThread::NextRetry(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    for (const auto &[number, ch] : channels_) {
        if (ch.lost) {
            next = std::min(next, ch.retry.Next());
        }
    }
    for (const auto &[key, health] : secondaries_) {
        if (health.failing) {
            next = std::min(next, health.retry.Next());
        }
    }
    for (const Health &health : blockHealth_) {
        if (health.failing) {
            next = std::min(next, health.retry.Next());
        }
    }
    return next == Clock::time_point::max() ? now : next;
}

void DriverThread::Succeeded(std::int32_t number, std::int32_t secondary, std::size_t block) {
    const Clock::time_point now = Clock::now();
    ChannelState &ch = channels_.at(number);
    if (ch.lost) {
        ch.lost = false;
        ch.retry.Succeeded();
        Say("channel %d back after %.1f s", number, SecondsSince(ch.lostSince, now));
    }
    Health &sec = secondaries_[{number, secondary}];
    sec.failing = false;
    sec.retry.Succeeded();
    if (block != kNoBlock && blockHealth_[block].failing) {
        blockHealth_[block].failing = false;
        blockHealth_[block].retry.Succeeded();
        Say("%s read again", BlockName(plan_.blocks[block]).c_str());
    }
    const SecondaryRecord before = stats_.Secondary(number, secondary);
    stats_.SetState(number, secondary, SecondaryState::Good, now);
    if (before.state == SecondaryState::Failing) {
        Say("secondary %d on channel %d back after %.1f s", secondary, number, SecondsSince(before.since, now));
    }
    if (ch.warmSecondary == 0) {
        ch.warmSecondary = secondary;
    }
}

void DriverThread::Failed(std::int32_t number, std::int32_t secondary, std::size_t block, const Result &result) {
    const Clock::time_point now = Clock::now();
    const Failure f = Classify(result);
    stats_.Transfer(number, secondary, &f);
    if (block != kNoBlock) {
        cache_->Withdraw(block);
    }
    switch (f.scope) {
    case FailureScope::Link:
        ChannelLost(number, f, now);
        break;
    case FailureScope::Secondary:
        SecondaryLost(number, secondary, f, now);
        break;
    case FailureScope::Block:
        if (block != kNoBlock) {
            Health &h = blockHealth_[block];
            if (!h.failing) {
                Say("%s failed: %s", BlockName(plan_.blocks[block]).c_str(), f.text.c_str());
            }
            h.failing = true;
            h.retry.Failed(now);
        }
        break;
    }
}

void DriverThread::ChannelLost(std::int32_t number, const Failure &failure, Clock::time_point now) {
    ChannelState &ch = channels_.at(number);
    ch.retry.Failed(now);
    if (ch.lost) {
        return;
    }
    ch.lost = true;
    ch.lostSince = now;
    Say("channel %d lost: %s", number, failure.text.c_str());
    for (const std::size_t b : ch.blocks) {
        cache_->Withdraw(b);
    }
    for (auto &[key, health] : secondaries_) {
        if (key.first == number &&
            stats_.SetState(number, key.second, SecondaryState::Failing, now) != SecondaryState::Failing) {
            Say("secondary %d on channel %d lost with its channel", key.second, number);
        }
    }
}

void DriverThread::SecondaryLost(std::int32_t number, std::int32_t secondary, const Failure &failure,
                                 Clock::time_point now) {
    Health &sec = secondaries_[{number, secondary}];
    sec.retry.Failed(now);
    if (!sec.failing) {
        sec.failing = true;
        for (const std::size_t b : channels_.at(number).blocks) {
            if (plan_.blocks[b].span.secondary == secondary) {
                cache_->Withdraw(b);
            }
        }
    }
    if (stats_.SetState(number, secondary, SecondaryState::Failing, now) != SecondaryState::Failing) {
        Say("secondary %d on channel %d lost: %s", secondary, number, failure.text.c_str());
    }
}

void DriverThread::Execute(DriverJob &job) {
    if (job.isDirect) {
        ExecuteDirect(job);
    } else {
        ExecuteWrites(job);
        stats_.WriteDone(job.exception == 0);
    }
}

// Each step is applied, and the cache refreshed, only once the driver's
// write returned 0; the first failure ends the job with an exception.
void DriverThread::ExecuteWrites(DriverJob &job) {
    for (const WriteStep &step : job.writes) {
        const CheckedRange &c = ranges_[step.range];
        const std::int32_t number = c.span.channel;
        const std::int32_t secondary = c.span.secondary;
        ChannelState &ch = channels_.at(number);
        if (ch.lost) {
            job.exception = kGatewayTargetFailed;
            return;
        }
        const std::vector<Piece> &pieces = plan_.pieces[step.range];
        Result result;
        if (c.range.kind == ValueKind::Bits) {
            // Several bits of the word in one read and one write.
            const orvtiw::host::ReadResult word = ch.channel->Read(c.gate);
            ShowDriverLines(word, false);
            if (!word.ok()) {
                result = word;
            } else {
                stats_.Transfer(number, secondary, nullptr);
                const std::uint32_t value = (word.values.at(0) | step.setBits) & ~std::uint32_t{step.clearBits};
                const std::uint32_t values[] = {value & 0xFFFFu};
                result = ch.channel->Write(c.gate, values);
                if (result.ok()) {
                    const ValuePlace place = PlaceOf(pieces, 0);
                    cache_->Refresh(place.block, place.offset, values, Clock::now());
                }
            }
        } else {
            const auto count = static_cast<std::int32_t>(step.values.size());
            result = ch.channel->Write(PartOf(c.gate, step.firstValue, count), step.values);
            if (result.ok()) {
                const Clock::time_point now = Clock::now();
                for (std::int32_t k = 0; k < count; ++k) {
                    const ValuePlace place = PlaceOf(pieces, step.firstValue + k);
                    cache_->Refresh(place.block, place.offset,
                                    std::span<const std::uint32_t>(&step.values[static_cast<std::size_t>(k)], 1), now);
                }
            }
        }
        ShowDriverLines(result, false);
        if (!result.ok()) {
            Failed(number, secondary, kNoBlock, result);
            job.exception = ExceptionFor(result);
            return;
        }
        stats_.Transfer(number, secondary, nullptr);
        Succeeded(number, secondary, kNoBlock);
    }
}

// The transparent default: the driver's check and one read or write per
// block of at most 256 bytes.
void DriverThread::ExecuteDirect(DriverJob &job) {
    const DirectTransfer &d = job.direct;
    ChannelState &ch = channels_.at(kTransparentChannel);
    if (ch.lost && !RetryChannel(kTransparentChannel, Clock::now())) {
        job.exception = kGatewayTargetFailed;
        return;
    }
    const bool discrete = d.letter == 'X' || d.letter == 'Y';
    const std::int32_t most = discrete ? orvtiw::host::kMaxBlockBytes : orvtiw::host::kMaxBlockBytes / 2;
    for (std::int32_t done = 0; done < d.count; done += most) {
        const std::int32_t n = std::min(most, d.count - done);
        const std::string address =
            FormatAddress({d.secondary, d.letter, d.element + static_cast<std::uint32_t>(done), -1});
        const orvtiw::host::CheckResult gate = ch.channel->CheckBlock(address, orvtiw::host::ValueType::UInt16, n);
        ShowDriverLines(gate, false);
        if (!gate.ok()) {
            job.exception = gate.status == ORV_STATUS_REFUSED ? kIllegalDataAddress : kServerDeviceFailure;
            return;
        }
        stats_.Track(kTransparentChannel, d.secondary);
        Result result;
        if (d.write) {
            const auto from = d.values.begin() + done;
            const std::vector<std::uint32_t> part(from, from + n);
            result = ch.channel->Write(gate.gate, part);
        } else {
            orvtiw::host::ReadResult read = ch.channel->Read(gate.gate);
            job.values.insert(job.values.end(), read.values.begin(), read.values.end());
            result = std::move(read);
        }
        ShowDriverLines(result, false);
        if (!result.ok()) {
            Failed(kTransparentChannel, d.secondary, kNoBlock, result);
            job.exception = ExceptionFor(result);
            return;
        }
        stats_.Transfer(kTransparentChannel, d.secondary, nullptr);
        Succeeded(kTransparentChannel, d.secondary, kNoBlock);
    }
}

void DriverThread::ShowDriverLines(const Result &result, bool always) const {
    for (const orvtiw::host::LogLine &line : result.log) {
        if (settings_.verbose || (always && line.level >= kStartLevel)) {
            std::fprintf(stderr, "driver: %d %s\n", line.level, line.text.c_str());
        }
    }
}

} // namespace orvgate
