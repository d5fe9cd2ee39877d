#include "scan/jobs.h"

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

void EndJob(const std::shared_ptr<Job> &job, JobResult result, WriteCounters &writes) {
    job->result = result;
    if (job->Writes()) {
        writes.Ended(result);
        const double waited = Milliseconds(Clock::now() - job->queuedAt);
        switch (result) {
        case JobResult::Dropped:
            Say("%s from %s dropped: its requester left before it began", job->what.c_str(), job->requester.c_str());
            break;
        case JobResult::Expired:
            Say("%s from %s not applied: it waited %.0f ms, past its deadline", job->what.c_str(),
                job->requester.c_str(), waited);
            break;
        case JobResult::Refused:
        case JobResult::Failed:
            Say("%s from %s %s: %s", job->what.c_str(), job->requester.c_str(), JobResultName(result),
                job->failure.text.c_str());
            break;
        case JobResult::Unhealthy: // answered at once, for as long as the target fails: counted, and its loss logged
        case JobResult::Done:
        case JobResult::AddressRefused:
            break;
        }
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

std::optional<JobResult> Job::Stop(Clock::time_point now) {
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
