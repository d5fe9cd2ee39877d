// The driver thread: the only caller of the host library's Channel methods,
// since the module is not reentrant. It starts the channels, checks the
// map and plans the scan, then scans block by block in turn over the
// channels, serving each queued job (writes, transparent requests) before
// the next scan step, and recovers lost channels, secondaries and blocks.
// At the end it stops every channel (operation 11).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver_jobs.h"
#include "failure.h"
#include "freshness.h"
#include "gate_map.h"
#include "gate_stats.h"
#include "orvtiw/host.h"
#include "scan_plan.h"
#include "value_cache.h"

namespace orvgate {

struct DriverSettings {
    std::int32_t timeoutMs = 1000;
    Clock::duration retryInterval = std::chrono::seconds(1);
    Clock::duration retryMost = std::chrono::seconds(30);
    Clock::duration scanPeriod{0};
    bool online = true;   // false: no card is touched (checking a map)
    bool coalesce = true; // false: one read per range (the naive scan, for comparison)
    bool verbose = false; // every driver line to the log
    // Told of every scan cycle that ended: its length and the driver thread's CPU in it.
    std::function<void(Clock::duration cycle, std::chrono::microseconds cpu)> onCycle;
};

class DriverThread {
  public:
    DriverThread(std::shared_ptr<orvtiw::host::Module> module, DriverSettings settings, JobQueue &jobs,
                 GateStats &stats, Freshness &freshness);
    ~DriverThread(); // waits for the thread
    DriverThread(const DriverThread &) = delete;
    DriverThread &operator=(const DriverThread &) = delete;

    // Start the thread, which starts the channels of the map (its
    // initialisation files relative to `mapDirectory`), checks every range
    // and plans the scan; returns once that is done. False with `error`
    // when the map does not pass (the thread has then stopped its channels
    // and ended).
    bool StartMapped(const MapFile &map, const std::filesystem::path &mapDirectory, int statsUnit, std::string &error);
    // The transparent default: channel 1 on the card at `segment`.
    bool StartTransparent(std::uint16_t segment, std::string &error);

    // Waits for the thread to end: it ends once the job queue stops.
    void Join();

    // What start-up made; fixed from then on.
    const std::vector<CheckedRange> &Ranges() const {
        return ranges_;
    }
    const ScanPlan &Plan() const {
        return plan_;
    }
    const ValueCache &Cache() const {
        return *cache_;
    }

  private:
    struct ChannelState {
        std::unique_ptr<orvtiw::host::Channel> channel;
        bool lost = false;
        Clock::time_point lostSince{};
        RetrySchedule retry;
        std::int32_t warmSecondary = 0; // a secondary in use, for the warm start
        std::vector<std::size_t> blocks;
    };
    struct Health {
        bool failing = false;
        RetrySchedule retry;
    };

    bool Start(std::function<bool(std::string &)> startUp, std::string &error);
    void Body(std::function<bool(std::string &)> startUp, std::promise<std::string> result);
    bool StartChannel(std::int32_t number, const orvtiw::host::StartOptions &start, std::string &error);
    bool PlanScan(std::string &error);
    void Loop();
    void StopChannels();

    // One block's read, unless what it belongs to is failing and not due
    // to be tried; true when the driver was called.
    bool Step(std::size_t block);
    bool RetryChannel(std::int32_t number, Clock::time_point now);
    // When the first failing channel, secondary or block is due to be tried.
    Clock::time_point NextRetry(Clock::time_point now) const;
    void Execute(DriverJob &job);
    void ExecuteWrites(DriverJob &job);
    void ExecuteDirect(DriverJob &job);

    // Bookkeeping after a driver call on a secondary of a channel.
    void Succeeded(std::int32_t channel, std::int32_t secondary, std::size_t block);
    void Failed(std::int32_t channel, std::int32_t secondary, std::size_t block, const orvtiw::host::Result &result);
    void ChannelLost(std::int32_t channel, const Failure &failure, Clock::time_point now);
    void SecondaryLost(std::int32_t channel, std::int32_t secondary, const Failure &failure, Clock::time_point now);
    void ShowDriverLines(const orvtiw::host::Result &result, bool always) const;

    static constexpr std::size_t kNoBlock = static_cast<std::size_t>(-1);

    std::shared_ptr<orvtiw::host::Module> module_;
    DriverSettings settings_;
    JobQueue &jobs_;
    GateStats &stats_;
    Freshness &freshness_;
    std::thread thread_;

    std::map<std::int32_t, ChannelState> channels_;
    std::map<std::pair<std::int32_t, std::int32_t>, Health> secondaries_;
    std::vector<Health> blockHealth_;
    std::vector<orvtiw::host::Gate> blockGates_;
    std::vector<CheckedRange> ranges_;
    ScanPlan plan_;
    std::unique_ptr<ValueCache> cache_;
    bool scanning_ = false;
};

} // namespace orvgate
