#include "driver_jobs.h"

namespace orvgate {

void JobQueue::SetNotifier(std::function<void()> notify) {
    std::lock_guard<std::mutex> guard(mutex_);
    notify_ = std::move(notify);
}

void JobQueue::Push(DriverJob job) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        queued_.push_back(std::move(job));
    }
    wake_.notify_one();
}

std::deque<DriverJob> JobQueue::TakeAll() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::deque<DriverJob> all;
    all.swap(queued_);
    return all;
}

void JobQueue::WaitUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, deadline, [this] { return stopped_ || !queued_.empty(); });
}

void JobQueue::Finish(DriverJob job) {
    std::function<void()> notify;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        finished_.push_back(std::move(job));
        notify = notify_;
    }
    if (notify) {
        notify();
    }
}

std::vector<DriverJob> JobQueue::TakeFinished() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<DriverJob> out;
    out.swap(finished_);
    return out;
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

std::size_t JobQueue::Waiting() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return queued_.size();
}

} // namespace orvgate
