// Work the server hands to the driver thread, and the queue between them.
// Jobs (client writes, and in the transparent default every request) go
// ahead of the scan's next step: the driver thread takes all that are
// queued, serves them, then makes one scan step, so that neither a stream
// of writes nor the scan holds the other up for long. A finished job goes
// back to the server, which is woken to answer the client that waits.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "value_cache.h"

namespace orvgate {

// Part of a client's write that falls in one range of the map.
struct WriteStep {
    std::size_t range = 0;
    std::int32_t firstValue = 0;       // within the range
    std::vector<std::uint32_t> values; // raw element values, from firstValue on
    // Bits ranges: the bits of the word to set and to clear (values unused).
    std::uint16_t setBits = 0;
    std::uint16_t clearBits = 0;
};

// A request of the transparent default: one region of one secondary of
// channel 1, read or written with its own driver calls.
struct DirectTransfer {
    std::int32_t secondary = 0;
    char letter = 'V';
    std::uint32_t element = 1; // as the controller numbers it
    std::int32_t count = 0;
    bool write = false;
    std::vector<std::uint32_t> values; // a write's raw element values
};

struct DriverJob {
    std::uint64_t ticket = 0; // the server's reference for the request that waits
    bool isDirect = false;    // a transparent request (direct), else a write of a map (writes)
    std::vector<WriteStep> writes;
    DirectTransfer direct;
    // Filled by the driver thread.
    std::uint8_t exception = 0;        // 0: done as asked
    std::vector<std::uint32_t> values; // a direct read's raw values
};

class JobQueue {
  public:
    // Called (on the driver thread) whenever a job has finished.
    void SetNotifier(std::function<void()> notify);

    void Push(DriverJob job);
    // Every job queued now, oldest first.
    std::deque<DriverJob> TakeAll();
    // Waits until a job is queued, the queue stops or `deadline` passes.
    void WaitUntil(Clock::time_point deadline);

    void Finish(DriverJob job);
    std::vector<DriverJob> TakeFinished();

    void Stop();
    bool Stopped() const;
    std::size_t Waiting() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<DriverJob> queued_;
    std::vector<DriverJob> finished_;
    std::function<void()> notify_;
    bool stopped_ = false;
};

} // namespace orvgate
