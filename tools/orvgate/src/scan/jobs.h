// Work a front end hands to the card threads: a write of a map's ranges (a
// Modbus write, a command), or plain driver transfers (the transparent
// default's). A job begins at most once, and each of its steps only while
// its requester waits for it: one that the requester gave up on before it
// began (a closed connection) is dropped, one that waited past its deadline
// is answered and never applied, and one whose requester left or whose
// deadline passed between two steps (a write over two channels, whose
// second card is slow) is cut short there, so that no step of a write
// begins after its client stopped waiting.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "orvtiw/host.h"

namespace orvgate {

// Part of a write that falls in one range of the map.
struct WriteStep {
    std::size_t range = 0;
    std::int32_t firstValue = 0;       // within the range
    std::vector<std::uint32_t> values; // raw element values, from firstValue on
    // Bits ranges: the bits of the word to set and to clear (values unused).
    std::uint16_t setBits = 0;
    std::uint16_t clearBits = 0;
};

// One driver transfer of a job: the driver's check of the gate address,
// then one read or write of at most one block (256 bytes).
struct DriverTransfer {
    std::int32_t secondary = 0; // whose health the outcome is recorded on
    std::string address;        // the gate address of its first element
    std::int32_t count = 0;     // elements
    bool write = false;
    std::vector<std::uint32_t> values; // a write's raw element values
};

enum class JobResult {
    Done,           // the driver returned 0 for every call: applied, or read
    Refused,        // the controller or the driver refused it: not applied
    Failed,         // the card or the controller did not answer, or it was cut short: not confirmed
    Expired,        // waited past its deadline before it began: never applied
    Dropped,        // its requester left before it began: never applied
    Unhealthy,      // a target was failing: not tried
    AddressRefused, // the driver's check refused a transfer's address
};

const char *JobResultName(JobResult result);

class Job {
  public:
    // What to do: writes (steps in order, possibly on several channels), or
    // driver transfers on one channel, in order.
    std::vector<WriteStep> writes;
    bool readBack = false;    // after the writes, read the written values back into `values`
    std::int32_t channel = 0; // of the transfers
    std::vector<DriverTransfer> transfers;
    std::string requester; // who asked, for the log
    std::string what;      // what was asked, for the log
    // What the writes change, point by point with the old value the cache
    // held when the job was handed in (set by the core), for the audit line.
    std::string change;
    // Called once when the job ended, on a card thread (or on the thread
    // that submitted it, when it ends at once).
    std::function<void(Job &)> onDone;

    // Set by the core.
    Clock::time_point queuedAt{};
    Clock::time_point deadline = Clock::time_point::max();
    std::size_t nextStep = 0; // steps (writes or transfers) done so far

    // The outcome.
    JobResult result = JobResult::Failed;
    orvtiw::host::Failure failure;     // Refused, Failed, Unhealthy: why
    std::vector<std::uint32_t> values; // the transfers' read values, or the values read back
    Clock::time_point valuesAt{};

    // Whether it writes anything (the writes are counted and logged; reads are not).
    bool Writes() const;
    // Its steps: the writes, or the transfers.
    std::size_t Steps() const {
        return transfers.empty() ? writes.size() : transfers.size();
    }

    // The requester gives up: true when the job had not begun, and so will
    // never be applied; a begun job stops before its next step.
    bool Cancel();
    // The card thread begins it: false when it was cancelled first.
    bool Begin();
    bool Begun() const;
    // Before each step: none when the step may go on, else the job's end:
    // dropped or expired before its first step, cut short (Failed, with
    // `failure` saying so) before a later one.
    std::optional<JobResult> EndBeforeStep(Clock::time_point now);

  private:
    enum State : int { kQueued, kRunning, kCancelled };
    std::atomic<int> state_{kQueued};
    std::atomic<bool> withdrawn_{false}; // its requester left
};

// One write as the audit line told it, for the web view.
struct RecentWrite {
    std::chrono::system_clock::time_point at{};
    std::string line; // the audit line's text
    JobResult result = JobResult::Failed;
};

// What became of the writes (not the transparent default's reads), and the last few of them.
class WriteCounters {
  public:
    static constexpr std::size_t kRecent = 20;

    void Ended(JobResult result);
    std::uint64_t Count(JobResult result) const;
    void Remember(RecentWrite write);
    std::vector<RecentWrite> Recent() const; // oldest first

  private:
    static constexpr std::size_t kResults = 7;
    std::atomic<std::uint64_t> counts_[kResults] = {};
    mutable std::mutex recentMutex_;
    std::deque<RecentWrite> recent_;
};

// Ends a job: counts a write's outcome and logs it as one audit line (who,
// what, old and new values, outcome), then tells the front end that
// submitted it.
void EndJob(const std::shared_ptr<Job> &job, JobResult result, WriteCounters &writes);

// One card's queue of jobs, oldest first.
class JobQueue {
  public:
    // False once the queue stopped: the job was not taken.
    bool Push(std::shared_ptr<Job> job);
    std::shared_ptr<Job> Take();
    // Waits until a job is queued, the queue stops or `deadline` passes.
    void WaitUntil(Clock::time_point deadline);
    void Stop();
    bool Stopped() const;
    // The jobs left when it stopped.
    std::deque<std::shared_ptr<Job>> TakeAll();

  private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> queued_;
    bool stopped_ = false;
};

} // namespace orvgate
