#include "scan/jobs.h"

#include <cstdio>

#include "common/gate_log.h"

namespace orvgate {

const char *JobResultName(JobResult result) {
    switch (result) {
    case JobResult::Done:
        return "done";
    case JobResult::Refused:
        return "refused";
    case JobResult::Failed:
        return "failed";
    case JobResult::Expired:
        return "expired";
    case JobResult::Dropped:
        return "dropped";
    case JobResult::Unhealthy:
        return "not tried";
    case JobResult::AddressRefused:
        return "address refused";
    }
    return "?";
}

void WriteCounters::Ended(JobResult result) {
    const auto at = static_cast<std::size_t>(result);
    if (at < kResults) {
        counts_[at].fetch_add(1, std::memory_order_relaxed);
    }
}

std::uint64_t WriteCounters::Count(JobResult result) const {
    const auto at = static_cast<std::size_t>(result);
    return at < kResults ? counts_[at].load(std::memory_order_relaxed) : 0;
}

void WriteCounters::Remember(RecentWrite write) {
    std::lock_guard<std::mutex> guard(recentMutex_);
    recent_.push_back(std::move(write));
    if (recent_.size() > kRecent) {
        recent_.pop_front();
    }
}

std::vector<RecentWrite> WriteCounters::Recent() const {
    std::lock_guard<std::mutex> guard(recentMutex_);
    return {recent_.begin(), recent_.end()};
}

namespace {

// The transparent default's writes: no old value is known, the new ones are the transfer's.
std::string TransferChange(const Job &job) {
    std::string text;
    for (const DriverTransfer &t : job.transfers) {
        if (!t.write) {
            continue;
        }
        text += (text.empty() ? "" : ";") + std::string(" ") + t.address + ": unknown ->";
        for (const std::uint32_t v : t.values) {
            text += " " + std::to_string(v);
        }
    }
    return text;
}

} // namespace

void EndJob(const std::shared_ptr<Job> &job, JobResult result, WriteCounters &writes) {
    job->result = result;
    if (job->Writes()) {
        writes.Ended(result);
        const std::string change = job->change.empty() ? TransferChange(*job) : job->change;
        std::string why;
        switch (result) {
        case JobResult::Done:
            break;
        case JobResult::Dropped:
            why = ": its requester left before it began";
            break;
        case JobResult::Expired: {
            char text[96];
            std::snprintf(text, sizeof text, ": it waited %.0f ms, past its deadline",
                          Milliseconds(Clock::now() - job->queuedAt));
            why = text;
            break;
        }
        case JobResult::Refused:
        case JobResult::Failed:
        case JobResult::Unhealthy:
        case JobResult::AddressRefused:
            why = ": " + job->failure.text;
            break;
        }
        // One line per write, whatever became of it: who, what, from and to, and the outcome.
        const std::string line = job->what + " from " + job->requester + ":" + change + ": " +
                                 (result == JobResult::Done ? "applied" : JobResultName(result)) + why;
        // A write to a target known to fail is answered at once for as long
        // as it fails: a client retrying would flood the log, and the loss
        // itself is logged, so its lines are for --verbose.
        const Level level = result == JobResult::Done        ? Level::Notice
                            : result == JobResult::Unhealthy ? Level::Debug
                                                             : Level::Warning;
        Log(level, "audit: %s", line.c_str());
        writes.Remember({std::chrono::system_clock::now(), line, result});
    }
    if (job->onDone) {
        job->onDone(*job);
    }
}

bool Job::Writes() const {
    if (!writes.empty()) {
        return true;
    }
    for (const DriverTransfer &t : transfers) {
        if (t.write) {
            return true;
        }
    }
    return false;
}

bool Job::Cancel() {
    withdrawn_ = true;
    int expected = kQueued;
    return state_.compare_exchange_strong(expected, kCancelled) || expected == kCancelled;
}

std::optional<JobResult> Job::EndBeforeStep(Clock::time_point now) {
    const bool late = now > deadline;
    if (!withdrawn_.load() && !late) {
        return std::nullopt;
    }
    if (nextStep == 0) {
        return late && !withdrawn_.load() ? JobResult::Expired : JobResult::Dropped;
    }
    failure = {};
    failure.kind = orvtiw::host::FailureKind::CardNotAnswering;
    failure.text = "cut short after " + std::to_string(nextStep) + " of " + std::to_string(Steps()) +
                   " steps: " + (withdrawn_.load() ? "its requester left" : "past its deadline") +
                   "; the steps before were applied";
    return JobResult::Failed;
}

bool Job::Begin() {
    int expected = kQueued;
    return state_.compare_exchange_strong(expected, kRunning) || expected == kRunning;
}

bool Job::Begun() const {
    return state_.load() == kRunning;
}

bool JobQueue::Push(std::shared_ptr<Job> job) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopped_) {
            return false;
        }
        queued_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

std::shared_ptr<Job> JobQueue::Take() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (queued_.empty()) {
        return nullptr;
    }
    std::shared_ptr<Job> job = std::move(queued_.front());
    queued_.pop_front();
    return job;
}

void JobQueue::WaitUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, deadline, [this] { return stopped_ || !queued_.empty(); });
}

void JobQueue::Stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
}

bool JobQueue::Stopped() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return stopped_;
}

std::deque<std::shared_ptr<Job>> JobQueue::TakeAll() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::deque<std::shared_ptr<Job>> all;
    all.swap(queued_);
    return all;
}

} // namespace orvgate
