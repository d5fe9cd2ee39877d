// Work a front end hands to the card threads: a write of a map's ranges (a
// Modbus write, a command), or a transfer of the transparent default. A job
// begins at most once, and only while its requester waits for it: one that
// the requester gave up on before it began (a closed connection) is
// dropped, one that waited past its deadline is answered and never
// applied, so that no write lands after its client stopped waiting.
#pragma once

#include <atomic>
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

// A request of the transparent default: one region of one secondary, read
// or written with its own driver calls.
struct DirectTransfer {
    std::int32_t channel = 1;
    std::int32_t secondary = 0;
    char letter = 'V';
    std::uint32_t element = 1; // as the controller numbers it
    std::int32_t count = 0;
    bool write = false;
    std::vector<std::uint32_t> values; // a write's raw element values
};

enum class JobResult {
    Done,           // the driver returned 0 for every call: applied, or read
    Refused,        // the controller or the driver refused it: not applied
    Failed,         // the card or the controller did not answer: not confirmed
    Expired,        // waited past its deadline before it began: never applied
    Dropped,        // its requester left before it began: never applied
    Unhealthy,      // a target was failing: not tried
    AddressRefused, // the driver's check refused the address (the transparent default)
};

const char *JobResultName(JobResult result);

class Job {
  public:
    // What to do: writes (steps in order, possibly on several channels), or a direct transfer.
    std::vector<WriteStep> writes;
    bool readBack = false; // after the writes, read the written values back into `values`
    std::optional<DirectTransfer> direct;
    std::string requester; // who asked, for the log
    std::string what;      // what was asked, for the log
    // Called once when the job ended, on a card thread (or on the thread
    // that submitted it, when it ends at once).
    std::function<void(Job &)> onDone;

    // Set by the core.
    Clock::time_point queuedAt{};
    Clock::time_point deadline = Clock::time_point::max();
    std::size_t nextStep = 0; // writes done so far

    // The outcome.
    JobResult result = JobResult::Failed;
    orvtiw::host::Failure failure;     // Refused, Failed, Unhealthy: why
    std::vector<std::uint32_t> values; // a direct read's raw values, or the values read back
    Clock::time_point valuesAt{};

    // The requester gives up: true when the job had not begun, and so will
    // never be applied.
    bool Cancel();
    // The card thread begins it: false when it was cancelled first.
    bool Begin();
    bool Begun() const;

  private:
    enum State : int { kQueued, kRunning, kCancelled };
    std::atomic<int> state_{kQueued};
};

// What became of the writes (not the transparent default's reads).
class WriteCounters {
  public:
    void Ended(JobResult result);
    std::uint64_t Count(JobResult result) const;

  private:
    static constexpr std::size_t kResults = 7;
    std::atomic<std::uint64_t> counts_[kResults] = {};
};

// Ends a job: counts and logs a write's outcome (with its requester), then
// tells the front end that submitted it.
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
