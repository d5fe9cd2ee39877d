// The core's one value API, the only way a front end (Modbus, MQTT) reaches
// the map's values: point k of a range with its age and health, whether a
// front end may write it, and the write step that sets it. A point is one
// value of a range: an element, a 32-bit value, or for bits and points one
// bit (0 or 1). Every rule about where a point lies in the scan's blocks,
// how its bit is taken out of its word, and how long it is served as good
// is kept here, so that the front ends say the same about the same value at
// the same moment and keep only their own protocol's encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "map/gate_map.h"
#include "scan/jobs.h"
#include "scan/scan_plan.h"
#include "scan/value_cache.h"

namespace orvgate {

// A point as the core holds it at one moment.
struct PointReading {
    Availability availability = Availability::Unavailable;
    // Fresh: raw element bits (a 16-bit element zero-extended, a 32-bit
    // value's bit pattern), or the bit or point itself as 0 or 1.
    std::uint32_t raw = 0;
    Clock::time_point readAt{};     // Fresh: when it was read (or written)
    Clock::time_point freshUntil{}; // Fresh: when it stops being served as good

    bool Fresh() const {
        return availability == Availability::Fresh;
    }
};

// A point's value out of the raw bits of the element that holds it: bit
// `firstBit + point` of a word for bits, bit 0 of a discrete element's byte
// for points (as the driver's single-point read has it), the element
// itself otherwise.
std::uint32_t PointOfElement(ValueKind kind, int firstBit, std::int32_t point, std::uint32_t element);

// A point's value as a person reads it: signed or unsigned as the range
// says, a float as a float.
std::string PointText(ValueKind kind, std::uint32_t raw);
// A point as a person names it: the range's name or gate, and the point's
// index within it after the first: "V100", "V100+3", "\"Tank level\"+1".
std::string PointLabel(const RangeLine &range, std::int32_t point);

class PointValues {
  public:
    // `maxAge`: the default class's freshness ceiling; `readOnly`: no range
    // is writable (--read-only); `classes`: the scan classes by index, whose
    // ceilings the ranges of other classes are served by.
    PointValues(const std::vector<CheckedRange> &ranges, const ScanPlan &plan, const ValueCache &cache,
                Clock::duration maxAge, bool readOnly, std::vector<ScanClass> classes = {});

    const std::vector<CheckedRange> &Ranges() const {
        return ranges_;
    }
    // Whether a front end may write the range: rw in the map, and not --read-only.
    bool Writable(std::size_t range) const;
    // The oldest a value of the range is served as good: its class's ceiling.
    Clock::duration Ceiling(std::size_t range) const;

    // A consistent view of every point for one request or one report.
    class Snapshot {
      public:
        PointReading Get(std::size_t range, std::int32_t point) const;

      private:
        friend class PointValues;
        Snapshot(const PointValues &values, Clock::time_point now);
        const PointValues &values_;
        ValueCache::View view_;
    };
    Snapshot Look(Clock::time_point now) const;

    // What a write step changes, for the audit: "channel 1 secondary 5 V100+2: 12 -> 15"
    // for each point, the old value as the cache holds it ("unknown" when
    // it holds no fresh value).
    std::string DescribeStep(const WriteStep &step, const Snapshot &before) const;

    // A point's value out of element bits a job read back from the range's gate.
    std::uint32_t PointOfReadBack(std::size_t range, std::int32_t point, std::uint32_t element) const;

    // The write step that sets points first, first + 1, ... of a range to
    // `points` (each as Get gives it: 0 or 1 for bits and points). For bits,
    // the masks of the bits to set and clear in their word; the caller has
    // checked that the range is writable and the points lie in it.
    WriteStep StepFor(std::size_t range, std::int32_t first, std::span<const std::uint32_t> points) const;

  private:
    const std::vector<CheckedRange> &ranges_;
    const ScanPlan &plan_;
    const ValueCache &cache_;
    Clock::duration maxAge_;
    bool readOnly_;
    std::vector<ScanClass> classes_;
};

} // namespace orvgate
