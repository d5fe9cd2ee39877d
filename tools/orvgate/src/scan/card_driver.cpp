#include "scan/card_driver.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "common/gate_log.h"
#include "map/gate_address.h"
#include "scan/failure_words.h"

namespace orvgate {
namespace {

using orvtiw::host::ClassifyFailure;
using orvtiw::host::Failure;
using orvtiw::host::FailureKind;
using orvtiw::host::Result;

constexpr int kStartLevel = 32;
// Longest the thread sleeps without looking at its queue's state.
constexpr Clock::duration kLongestWait = std::chrono::seconds(1);

std::chrono::microseconds ThreadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_nsec / 1000);
}

std::vector<Clock::duration> PeriodsOf(const std::vector<ScanClass> &classes) {
    std::vector<Clock::duration> out;
    for (const ScanClass &c : classes) {
        out.push_back(c.period);
    }
    return out;
}

std::vector<std::size_t> ClassesOf(const std::vector<std::size_t> &blocks, const ScanPlan &plan) {
    std::vector<std::size_t> out;
    for (const std::size_t b : blocks) {
        out.push_back(plan.blocks[b].scanClass);
    }
    return out;
}

JobResult ResultOf(const Failure &f) {
    switch (f.kind) {
    case FailureKind::None:
        return JobResult::Done;
    case FailureKind::ControllerRefusal:
    case FailureKind::RecordRefused:
        return JobResult::Refused;
    case FailureKind::CardNotAnswering:
    case FailureKind::SecondaryUnreachable:
        break;
    }
    return JobResult::Failed;
}

} // namespace

CardDriver::CardDriver(std::unique_ptr<orvtiw::host::Channel> channel, std::vector<std::size_t> blocks,
                       std::vector<orvtiw::host::Gate> gates, std::int32_t warmSecondary, const Result &started,
                       CardSettings settings, const ScanShared &shared)
    : channel_(std::move(channel)), number_(channel_->Number()), blocks_(std::move(blocks)), gates_(std::move(gates)),
      warmSecondary_(warmSecondary), settings_(settings), shared_(shared),
      health_(
          settings.retry,
          [&] {
              std::vector<std::int32_t> secondaries;
              for (const std::size_t b : blocks_) {
                  secondaries.push_back(shared.plan->blocks[b].span.secondary);
              }
              return secondaries;
          }(),
          Clock::now()),
      scheduler_(PeriodsOf(settings_.classes), ClassesOf(blocks_, *shared.plan), Clock::now()) {
    status_.channel = number_;
    if (!started.ok()) {
        // The card may come later: the channel starts failing and is tried again.
        Failure f = ClassifyFailure(started);
        f.kind = FailureKind::CardNotAnswering;
        Apply(health_.Record(f, 0, CardHealth::kNoBlock, Clock::now()));
    }
    Publish();
}

CardDriver::~CardDriver() {
    Stop();
}

void CardDriver::Start() {
    thread_ = std::thread(&CardDriver::Loop, this);
}

void CardDriver::Stop() {
    jobs_.Stop();
    if (thread_.joinable()) {
        thread_.join();
    }
    for (const std::shared_ptr<Job> &job : jobs_.TakeAll()) {
        Ended(job, job->Begun() ? JobResult::Failed : JobResult::Dropped);
    }
    if (channel_) {
        channel_->Stop();
        channel_.reset();
    }
}

CardStatus CardDriver::Status() const {
    std::lock_guard<std::mutex> guard(statusMutex_);
    return status_;
}

void CardDriver::Publish() {
    CardStatus s;
    s.channel = number_;
    s.health = health_.Channel();
    s.secondaries = health_.Secondaries();
    for (std::size_t b = 0; b < health_.BlockCount(); ++b) {
        s.blocks.push_back(health_.Block(b));
    }
    s.cycles = cycles_;
    s.lastCycle = lastCycle_;
    s.medianCycle = window_.Median();
    s.cycleCpu = cycleCpu_;
    for (std::size_t c = 0; c < scheduler_.ClassCount(); ++c) {
        s.classes.push_back(scheduler_.Figures(c));
    }
    s.lineBusy = scheduler_.Busy();
    s.running = Clock::now() - scheduler_.Started();
    std::lock_guard<std::mutex> guard(statusMutex_);
    status_ = std::move(s);
}

void CardDriver::Loop() {
    std::shared_ptr<Job> job; // taken from the queue, run when the scheduler says
    while (!jobs_.Stopped()) {
        heartbeat_.Beat();
        if (!job) {
            job = jobs_.Take();
        }
        const Clock::time_point now = Clock::now();
        if (blocks_.empty() || health_.Channel().Failing()) {
            // The transparent default runs jobs only; a failing channel runs
            // them (refused until its try is due) and is tried by one read
            // of its first block, after a warm start on every second try.
            if (job) {
                Execute(std::exchange(job, nullptr));
            } else if (!blocks_.empty() && health_.Channel().Due(now) && RetryChannel()) {
                if (health_.Channel().Failing()) {
                    ready_ = true;
                    for (CoreObserver *o : shared_.observers) {
                        o->CycleDone(number_);
                    }
                }
            } else {
                jobs_.WaitUntil(std::min(blocks_.empty() ? now + kLongestWait : health_.NextDue(), now + kLongestWait));
            }
            continue;
        }
        const auto readable = [this, now](std::size_t local) { return health_.ShouldRead(local, now); };
        const LineScheduler::Step step = scheduler_.Next(now, job != nullptr, readable);
        switch (step.kind) {
        case LineScheduler::Step::Kind::Jobs:
            Execute(std::exchange(job, nullptr));
            scheduler_.JobRan(now, Clock::now());
            break;
        case LineScheduler::Step::Kind::Block:
            ReadBlock(step.block);
            EndCycle(Clock::now());
            break;
        case LineScheduler::Step::Kind::Wait:
            jobs_.WaitUntil(std::min({step.until, health_.NextDue(), now + kLongestWait}));
            break;
        }
    }
    if (job) {
        Ended(job, job->Begun() ? JobResult::Failed : JobResult::Dropped);
    }
}

void CardDriver::EndCycle(Clock::time_point now) {
    const auto readable = [this, now](std::size_t local) { return health_.ShouldRead(local, now); };
    const std::optional<Clock::duration> cycle = scheduler_.TakeRound(now, readable);
    if (!cycle) {
        return;
    }
    const std::chrono::microseconds cpu = ThreadCpu();
    lastCycle_ = *cycle;
    window_.Add(lastCycle_);
    cycleCpu_ = cpu - cycleCpuFrom_;
    cycleCpuFrom_ = cpu;
    ++cycles_;
    Publish();
    for (CoreObserver *o : shared_.observers) {
        o->CycleDone(number_);
    }
    ready_ = true;
}

bool CardDriver::RetryChannel() {
    if (jobs_.Stopped()) {
        return false;
    }
    if (health_.WarmStartDue()) {
        // Resets and reconfigures the adapter and connects the secondaries
        // again: a card that lost its mailbox handshake answers nothing until reset.
        const Result r = channel_->WarmStart(warmSecondary_);
        Say("channel %d: warm start: %s", number_, r.Describe().c_str());
        ShowDriverLines(r);
    }
    if (blocks_.empty()) {
        return true; // the transparent default: the job's own transfer tries it
    }
    ReadBlock(0);
    return true;
}

void CardDriver::ReadBlock(std::size_t local) {
    const std::size_t block = blocks_[local];
    const Clock::time_point start = Clock::now();
    const orvtiw::host::ReadResult r = channel_->Read(gates_[local]);
    for (const ClassChange &c : scheduler_.BlockRead(local, start, Clock::now())) {
        const ScanClass &sc = settings_.classes.at(c.scanClass);
        if (c.missing) {
            Say("channel %d class %s misses its period of %.0f ms: read every %.0f ms (the line is short)", number_,
                sc.name.c_str(), Milliseconds(sc.period), Milliseconds(c.achieved));
        } else {
            Say("channel %d class %s keeps its period of %.0f ms again", number_, sc.name.c_str(),
                Milliseconds(sc.period));
        }
    }
    ShowDriverLines(r);
    const bool changed = r.ok() && shared_.cache->Store(block, r.values, Clock::now());
    const Failure f = Judge(r, health_.SecondaryOf(local), local);
    if (f.kind != FailureKind::None) {
        const bool refused = f.kind == FailureKind::ControllerRefusal || f.kind == FailureKind::RecordRefused;
        shared_.cache->Withdraw(block, refused ? Availability::Refused : Availability::Unavailable);
    }
    if (changed) {
        for (CoreObserver *o : shared_.observers) {
            o->BlockChanged(number_, health_.SecondaryOf(local));
        }
    }
}

Failure CardDriver::Judge(const Result &result, std::int32_t secondary, std::size_t local) {
    const Failure f = ClassifyFailure(result);
    const std::vector<HealthChange> changes = health_.Record(f, secondary, local, Clock::now());
    if (!changes.empty()) {
        Apply(changes);
    } else if (f.kind != FailureKind::None) {
        Publish(); // a try more of what was failing: its wait and next try moved
    }
    return f;
}

void CardDriver::Apply(const std::vector<HealthChange> &changes) {
    bool told = false;
    for (const HealthChange &c : changes) {
        const bool lost = c.to == HealthState::Failing;
        const bool back = c.from == HealthState::Failing && c.to == HealthState::Good;
        switch (c.of) {
        case HealthChange::Of::Channel:
            if (lost) {
                Log(Level::Warning, "channel %d lost: %s: %s", number_, FailureWords(c.failure).c_str(),
                    c.failure.text.c_str());
                for (const std::size_t b : blocks_) {
                    shared_.cache->Withdraw(b, Availability::Unavailable);
                }
            } else if (back) {
                Log(Level::Notice, "channel %d back after %.1f s", number_, Seconds(c.lasted));
            }
            break;
        case HealthChange::Of::Secondary:
            if (lost) {
                Log(Level::Warning, "secondary %d on channel %d lost: %s: %s", c.secondary, number_,
                    FailureWords(c.failure).c_str(), c.failure.text.c_str());
                for (std::size_t local = 0; local < blocks_.size(); ++local) {
                    if (health_.SecondaryOf(local) == c.secondary) {
                        shared_.cache->Withdraw(blocks_[local], Availability::Unavailable);
                    }
                }
            } else if (back) {
                Log(Level::Notice, "secondary %d on channel %d back after %.1f s", c.secondary, number_,
                    Seconds(c.lasted));
            }
            break;
        case HealthChange::Of::Block:
            if (lost) {
                Log(Level::Warning, "%s failed: %s: %s", BlockName(c.block).c_str(), FailureWords(c.failure).c_str(),
                    c.failure.text.c_str());
            } else if (back) {
                Log(Level::Notice, "%s read again", BlockName(c.block).c_str());
            }
            break;
        }
        told = told || c.from != c.to;
    }
    Publish();
    if (told) {
        for (CoreObserver *o : shared_.observers) {
            o->HealthChanged(number_);
        }
    }
}

void CardDriver::Execute(const std::shared_ptr<Job> &job) {
    if (job->nextStep == 0 && !job->Begin()) {
        Ended(job, JobResult::Dropped);
        return;
    }
    if (const std::optional<JobResult> stop = job->EndBeforeStep(Clock::now())) {
        Ended(job, *stop);
        return;
    }
    job->failure = {};
    if (!job->transfers.empty()) {
        ExecuteTransfers(*job);
    } else {
        ExecuteWrites(*job);
        if (job->nextStep < job->writes.size() && job->result == JobResult::Done) {
            shared_.handOn(job); // the next step is another card's
            return;
        }
    }
    Ended(job, job->result);
}

void CardDriver::Ended(const std::shared_ptr<Job> &job, JobResult result) {
    EndJob(job, result, *shared_.writes);
}

// Every step is applied, and the cache refreshed, only once the driver's
// write returned 0; the first failure ends the job. Before the first, every
// target must be healthy: a write of several ranges is not left half done
// for a target known to be failing.
void CardDriver::ExecuteWrites(Job &job) {
    if (job.nextStep == 0) {
        for (const WriteStep &step : job.writes) {
            if (auto failing = shared_.targetFailing(step.range)) {
                job.failure = *failing;
                job.result = JobResult::Unhealthy;
                return;
            }
        }
    }
    const std::vector<CheckedRange> &ranges = *shared_.ranges;
    for (; job.nextStep < job.writes.size(); ++job.nextStep) {
        const WriteStep &step = job.writes[job.nextStep];
        const CheckedRange &c = ranges[step.range];
        if (c.span.channel != number_) {
            job.result = JobResult::Done;
            return; // handed on
        }
        if (const std::optional<JobResult> stop = job.EndBeforeStep(Clock::now())) {
            job.result = *stop;
            return;
        }
        const std::vector<Piece> &pieces = shared_.plan->pieces[step.range];
        Result result;
        if (c.range.kind == ValueKind::Bits) {
            // Several bits of the word in one read and one write.
            const orvtiw::host::ReadResult word = channel_->Read(c.gate);
            ShowDriverLines(word);
            result = word;
            if (word.ok()) {
                const std::uint32_t value = (word.values.at(0) | step.setBits) & ~std::uint32_t{step.clearBits};
                const std::uint32_t values[] = {value & 0xFFFFu};
                result = channel_->Write(c.gate, values);
                if (result.ok()) {
                    const ValuePlace place = PlaceOf(pieces, 0);
                    shared_.cache->Refresh(place.block, place.offset, values, Clock::now());
                }
            }
        } else {
            const auto count = static_cast<std::int32_t>(step.values.size());
            result = channel_->Write(PartOf(c.gate, step.firstValue, count), step.values);
            if (result.ok()) {
                const Clock::time_point now = Clock::now();
                for (std::int32_t k = 0; k < count; ++k) {
                    const ValuePlace place = PlaceOf(pieces, step.firstValue + k);
                    shared_.cache->Refresh(place.block, place.offset,
                                           std::span<const std::uint32_t>(&step.values[static_cast<std::size_t>(k)], 1),
                                           now);
                }
            }
        }
        ShowDriverLines(result);
        const Failure f = Judge(result, c.span.secondary, CardHealth::kNoBlock);
        if (f.kind != FailureKind::None) {
            job.failure = f;
            job.result = ResultOf(f);
            return;
        }
        if (job.readBack) {
            ReadBack(step, job);
        }
    }
    job.result = JobResult::Done;
}

void CardDriver::ReadBack(const WriteStep &step, Job &job) {
    const CheckedRange &c = (*shared_.ranges)[step.range];
    const bool bits = c.range.kind == ValueKind::Bits;
    const auto count = bits ? 1 : static_cast<std::int32_t>(step.values.size());
    const orvtiw::host::ReadResult r = channel_->Read(bits ? c.gate : PartOf(c.gate, step.firstValue, count));
    ShowDriverLines(r);
    Judge(r, c.span.secondary, CardHealth::kNoBlock);
    if (!r.ok()) {
        return; // applied, but nothing is read back to show
    }
    const Clock::time_point now = Clock::now();
    const std::vector<Piece> &pieces = shared_.plan->pieces[step.range];
    for (std::int32_t k = 0; k < count && static_cast<std::size_t>(k) < r.values.size(); ++k) {
        const ValuePlace place = PlaceOf(pieces, bits ? 0 : step.firstValue + k);
        shared_.cache->Refresh(place.block, place.offset,
                               std::span<const std::uint32_t>(&r.values[static_cast<std::size_t>(k)], 1), now);
    }
    job.values.insert(job.values.end(), r.values.begin(), r.values.end());
    job.valuesAt = now;
}

// Plain driver transfers (the transparent default's): the driver's check of
// each one's address, then its read or write. A failing channel is tried by
// the transfer itself when its try is due, and refused at once otherwise.
void CardDriver::ExecuteTransfers(Job &job) {
    if (health_.Channel().Failing()) {
        if (!health_.Channel().Due(Clock::now())) {
            job.failure = health_.Channel().last;
            job.result = JobResult::Unhealthy;
            return;
        }
        RetryChannel();
    }
    for (; job.nextStep < job.transfers.size(); ++job.nextStep) {
        if (const std::optional<JobResult> stop = job.EndBeforeStep(Clock::now())) {
            job.result = *stop;
            return;
        }
        const DriverTransfer &t = job.transfers[job.nextStep];
        const orvtiw::host::CheckResult gate =
            channel_->CheckBlock(t.address, orvtiw::host::ValueType::UInt16, t.count);
        ShowDriverLines(gate);
        if (!gate.ok()) {
            job.failure = ClassifyFailure(gate);
            job.result = JobResult::AddressRefused;
            return;
        }
        Result result;
        if (t.write) {
            result = channel_->Write(gate.gate, t.values);
        } else {
            orvtiw::host::ReadResult read = channel_->Read(gate.gate);
            job.values.insert(job.values.end(), read.values.begin(), read.values.end());
            result = std::move(read);
        }
        ShowDriverLines(result);
        const Failure f = Judge(result, t.secondary, CardHealth::kNoBlock);
        if (f.kind != FailureKind::None) {
            job.failure = f;
            job.result = ResultOf(f);
            return;
        }
    }
    job.valuesAt = Clock::now();
    job.result = JobResult::Done;
}

std::string CardDriver::BlockName(std::size_t local) const {
    const ScanBlock &b = shared_.plan->blocks[blocks_.at(local)];
    return "channel " + std::to_string(number_) + " " + b.address + " x " + std::to_string(b.span.units);
}

void CardDriver::ShowDriverLines(const Result &result, bool always) const {
    for (const orvtiw::host::LogLine &line : result.log) {
        if (settings_.verbose || (always && line.level >= kStartLevel)) {
            std::fprintf(stderr, "driver: %d %s\n", line.level, line.text.c_str());
        }
    }
}

} // namespace orvgate
