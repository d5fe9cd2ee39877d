// The gateway's core: the map's channels, each started on its own loaded copy
// of the module and scanned by its own card thread into one cache; the
// health of everything the scan reads; and the jobs the front ends hand in.
// Front ends (Modbus, MQTT) read the cache, submit jobs, read the status of
// the cards and hear of cycles and health changes as observers.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "map/gate_map.h"
#include "scan/card_driver.h"
#include "scan/core_events.h"
#include "scan/core_stats.h"
#include "scan/health.h"
#include "scan/jobs.h"
#include "scan/scan_plan.h"
#include "scan/value_cache.h"
#include "scan/values.h"

namespace orvgate {

struct GatewaySettings {
    std::int32_t timeoutMs = 1000; // the driver's reply time-out
    RetryPolicy retry;
    Clock::duration scanPeriod{0};
    // The oldest value served as good, whatever the scan is doing.
    Clock::duration maxAge = std::chrono::milliseconds(2000);
    // A write not begun within this is answered as failed and never applied.
    Clock::duration writeTimeout = std::chrono::milliseconds(300);
    bool online = true;    // false: no card is touched (checking a map)
    bool coalesce = true;  // false: one read per range (the naive scan, for comparison)
    bool verbose = false;  // every driver line to the log
    bool readOnly = false; // no front end writes (--read-only)
};

// Loads the module a channel runs on: a copy of its own, for a gateway
// whose cards must not wait for each other.
using ModuleLoader = std::function<std::shared_ptr<orvtiw::host::Module>(std::string &error)>;

class Gateway {
  public:
    Gateway(ModuleLoader loader, GatewaySettings settings);
    ~Gateway(); // stops
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;

    // Starts the map's channels (their initialisation files relative to
    // `mapDirectory`), all at once, checks every range through the driver
    // and plans the scan. False with `error`, naming the map's line, when
    // the map does not pass; its channels are then stopped.
    bool StartMapped(const MapFile &map, const std::filesystem::path &mapDirectory, int reservedUnit,
                     std::string &error);
    // One channel started with the initialisation text given, and no scan:
    // the transparent default, whose every request is a job.
    bool StartTransparent(std::int32_t channel, const std::string &initText, std::string &error);

    void AddObserver(CoreObserver *observer); // before Run
    // Starts the card threads.
    void Run();
    // Waits until every card has ended its first cycle or is failing, or `limit` passes.
    bool WaitReady(Clock::duration limit) const;
    // Ends the card threads, each once its call under way returns, and stops the channels.
    void Stop();

    // Hands a job to the card of its first step, unless a target is known to
    // be failing (it ends at once, as not tried). Its deadline is set here.
    void Submit(std::shared_ptr<Job> job);

    const std::vector<CheckedRange> &Ranges() const {
        return ranges_;
    }
    // The scan's block reads, for the program's own reports (--check).
    const ScanPlan &Plan() const {
        return plan_;
    }
    // The scan classes by index: 0 the default, then the map's.
    const std::vector<ScanClass> &Classes() const {
        return classes_;
    }
    // The front ends' one way to the values.
    const PointValues &Values() const {
        return *values_;
    }
    const GatewaySettings &Settings() const {
        return settings_;
    }
    const WriteCounters &Writes() const {
        return writes_;
    }
    std::vector<CardStatus> Cards() const;
    // Each card thread's heartbeat, by channel, for the service's watchdog.
    std::vector<std::pair<std::int32_t, const Heartbeat *>> Progress() const;
    // Why a range's target is failing (its card, its secondary, or a block
    // holding it), if it is.
    std::optional<orvtiw::host::Failure> TargetFailing(std::size_t range) const;

  private:
    struct ChannelStart {
        std::int32_t number = 0;
        std::optional<std::string> initFile; // else initText
        std::string initText;
    };
    struct Started {
        std::unique_ptr<orvtiw::host::Channel> channel;
        orvtiw::host::Result result;
    };
    bool StartChannels(const std::vector<ChannelStart> &starts, std::vector<Started> &out, std::string &error);
    bool PlanScan(std::vector<Started> &started, std::string &error);
    CardDriver *CardOf(std::int32_t channel) const;

    ModuleLoader loader_;
    GatewaySettings settings_;
    std::vector<CheckedRange> ranges_;
    ScanPlan plan_;
    std::vector<ScanClass> classes_;
    std::unique_ptr<ValueCache> cache_;
    std::unique_ptr<PointValues> values_;
    WriteCounters writes_;
    ScanShared shared_;
    std::vector<std::unique_ptr<CardDriver>> cards_;
    std::vector<std::size_t> localOf_; // a plan block's index on its card
    std::atomic<bool> running_{false}; // read by the front ends' threads in Submit
};

} // namespace orvgate
