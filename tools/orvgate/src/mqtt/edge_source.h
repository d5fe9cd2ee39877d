// The edge node's view of the gateway's core: the devices and metrics it
// publishes (fixed at start-up), their values and health now, the node's
// own statistics, and the writes that commands turn into. The core's
// events come as to any front end (scan/core_events.h), from its card
// threads, so the edge node only queues them there and does its work on
// its own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvgate::mqtt {

// Sparkplug B datatypes, with their numbers in the payload.
enum class Datatype : std::uint32_t {
    Int8 = 1,
    Int16 = 2,
    Int32 = 3,
    Int64 = 4,
    UInt8 = 5,
    UInt16 = 6,
    UInt32 = 7,
    UInt64 = 8,
    Float = 9,
    Double = 10,
    Boolean = 11,
    String = 12,
};

// One metric of a device: one value of the map.
struct MetricDef {
    std::string name;                 // as the map names it, or the default derived from the gate
    Datatype type = Datatype::UInt16; // Int16, UInt16, Int32, UInt32, Float or Boolean
    bool writable = false;            // a DCMD may write it (the map says rw, and no --read-only)
    double deadband = 0;              // a change no larger than this is not reported (0: every change)
    int line = 0;                     // the map line it comes from, for errors
    std::size_t point = 0;            // the source's index of the value (EdgeSource::Read, Write)
};

// One device: a secondary of a channel.
struct DeviceDef {
    std::string id; // the Sparkplug device id
    std::int32_t channel = 0;
    std::int32_t secondary = 0;
    int line = 0; // the map line that gave the id, for errors
    // The period of the fastest scan class its metrics are read in; 0 when
    // all are in the default class.
    std::uint64_t fastestPeriodMs = 0;
    std::vector<MetricDef> metrics;
};

struct EdgeModel {
    std::vector<DeviceDef> devices;
};

// A value as the core holds it now.
struct PointValue {
    enum class State {
        Good,   // read, and no older than the gateway serves
        Unread, // not read yet
        Failed  // its last read failed, or it is too old: published as null
    };
    State state = State::Unread;
    // Raw element bits: a 16-bit value zero-extended (an Int16 of -1 is
    // 0x0000FFFF), a float's bit pattern, a bit or point as 0 or 1.
    std::uint32_t raw = 0;
    std::uint64_t timestampMs = 0; // when it was read, ms since the Unix epoch (UTC)
    // When a Good value ages past the gateway's freshness ceiling, on the
    // session Clock's MonoMs() scale (std::chrono::steady_clock's ms since
    // its epoch); from then on it is published as null until read again.
    std::uint64_t freshUntilMs = UINT64_MAX;
};

// One of the node's own metrics (statistics), current.
struct NodeMetric {
    std::string name;
    Datatype type = Datatype::UInt64; // Int64, UInt64, Double, Boolean or String
    std::int64_t integer = 0;         // Int64, UInt64 (as its bits), Boolean (0 or 1)
    double real = 0;                  // Double
    std::string text;                 // String
};

// What a command's write came to.
struct WriteOutcome {
    enum class Result {
        Applied,   // the driver's write returned 0, and the value was read back
        Refused,   // the controller or the driver refused it (never applied)
        Failed,    // the card or the controller did not answer (not confirmed)
        Expired,   // not begun before its deadline: never applied
        Unhealthy, // its target was failing: not tried
    };
    Result result = Result::Failed;
    bool readBackGood = false;    // Applied: the value read back from the PLC after the write
    std::uint32_t readBack = 0;   // raw bits, as PointValue::raw
    std::uint64_t readBackMs = 0; // when it was read back, ms since the Unix epoch (UTC)
    std::string detail;           // for the log
};

// The core, as the edge node sees it.
class EdgeSource {
  public:
    virtual ~EdgeSource() = default;
    virtual const EdgeModel &Model() const = 0;
    // Whether the device's secondary answers now (and so its channel's card).
    virtual bool DeviceAlive(std::size_t device) const = 0;
    virtual PointValue Read(std::size_t point) const = 0;
    virtual std::vector<NodeMetric> NodeMetrics() const = 0;
    // Queues a write of `raw` to the point under the gateway's write rules
    // (a deadline, the target's health checked first, never confirmed
    // unless the driver returned 0), then reads the value back. `done` is
    // called exactly once, on a card thread, possibly before Write returns,
    // possibly after the edge node stopped (it must be harmless then).
    // Returns a canceller: it withdraws the write if it has not begun, and
    // says true when the write will never be applied; false once it runs
    // (or ran). The edge node calls it on its own thread only.
    virtual std::function<bool()> Write(std::size_t point, std::uint32_t raw,
                                        std::function<void(const WriteOutcome &)> done) = 0;
};

} // namespace orvgate::mqtt
