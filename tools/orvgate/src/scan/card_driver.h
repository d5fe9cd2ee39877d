// The driver thread of one card: the only caller of its channel, which runs
// on a loaded copy of the module of its own, so that no other card's resets,
// time-outs or warm starts delay it. Its line scheduler says what comes next:
// the jobs queued for it, the read of a due block into the cache (as the
// health model lets it), or a wait; it tries its failing channel,
// secondaries and blocks again as they fall due. A cycle ends once every
// block was read since the last. At the end it stops its channel (operation 11).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/heartbeat.h"
#include "map/gate_map.h"
#include "scan/core_events.h"
#include "scan/core_stats.h"
#include "scan/health.h"
#include "scan/jobs.h"
#include "scan/line_scheduler.h"
#include "scan/scan_plan.h"
#include "scan/value_cache.h"

namespace orvgate {

struct CardSettings {
    RetryPolicy retry;
    std::vector<ScanClass> classes; // by index: 0 the default (--scan-period)
    bool verbose = false;           // every driver line to the log
};

// What every card thread shares, fixed before they start.
struct ScanShared {
    const std::vector<CheckedRange> *ranges = nullptr;
    const ScanPlan *plan = nullptr;
    ValueCache *cache = nullptr;
    WriteCounters *writes = nullptr;
    std::vector<CoreObserver *> observers;
    // Hands a job whose next step lies on another channel to that card.
    std::function<void(std::shared_ptr<Job>)> handOn;
    // Why a range's target is failing (its card, secondary or block), if it is.
    std::function<std::optional<orvtiw::host::Failure>(std::size_t range)> targetFailing;
};

class CardDriver {
  public:
    // `blocks`: the plan's blocks this card reads, in scan order, with the
    // gates the driver checked for them. `started`: the cold start's result
    // (a card that did not answer starts failing and is tried again).
    CardDriver(std::unique_ptr<orvtiw::host::Channel> channel, std::vector<std::size_t> blocks,
               std::vector<orvtiw::host::Gate> gates, std::int32_t warmSecondary, const orvtiw::host::Result &started,
               CardSettings settings, const ScanShared &shared);
    ~CardDriver(); // stops
    CardDriver(const CardDriver &) = delete;
    CardDriver &operator=(const CardDriver &) = delete;

    void Start();
    // Ends the thread once its call under way returns, then stops the channel.
    void Stop();

    std::int32_t Number() const {
        return number_;
    }
    JobQueue &Jobs() {
        return jobs_;
    }
    CardStatus Status() const;
    // Its first scan cycle ended, or its channel is failing.
    bool Ready() const {
        return ready_.load();
    }
    // Stamped on each turn of its loop and after each job, for the service's watchdog.
    const Heartbeat &Progress() const {
        return heartbeat_;
    }

  private:
    void Loop();
    // After a read: the cycle's end, when every block has been read since the last.
    void EndCycle(Clock::time_point now);
    bool RetryChannel();
    void ReadBlock(std::size_t local);
    void Execute(const std::shared_ptr<Job> &job);
    void ExecuteWrites(Job &job);
    void ExecuteTransfers(Job &job);
    // Reads back the values a write step wrote, into the cache and the job.
    void ReadBack(const WriteStep &step, Job &job);
    void Ended(const std::shared_ptr<Job> &job, JobResult result);

    // After a call through `secondary`: the health model's verdict, logged,
    // withdrawn from the cache and told to the front ends.
    orvtiw::host::Failure Judge(const orvtiw::host::Result &result, std::int32_t secondary, std::size_t local);
    void Apply(const std::vector<HealthChange> &changes);
    void Publish();
    void ShowDriverLines(const orvtiw::host::Result &result, bool always = false) const;
    std::string BlockName(std::size_t local) const;

    std::unique_ptr<orvtiw::host::Channel> channel_;
    std::int32_t number_;
    std::vector<std::size_t> blocks_; // the plan's indices, in scan order
    std::vector<orvtiw::host::Gate> gates_;
    std::int32_t warmSecondary_;
    CardSettings settings_;
    const ScanShared &shared_;
    CardHealth health_;
    LineScheduler scheduler_;
    JobQueue jobs_;
    std::thread thread_;
    std::atomic<bool> ready_{false};
    Heartbeat heartbeat_;

    CycleWindow window_;
    std::uint64_t cycles_ = 0;
    Clock::duration lastCycle_{0};
    std::chrono::microseconds cycleCpu_{0};
    std::chrono::microseconds cycleCpuFrom_{0}; // the thread's CPU when the cycle began

    mutable std::mutex statusMutex_;
    CardStatus status_;
};

} // namespace orvgate
