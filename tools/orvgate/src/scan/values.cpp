#include "scan/values.h"

#include <bit>
#include <cstdio>
#include <utility>

namespace orvgate {

std::uint32_t PointOfElement(ValueKind kind, int firstBit, std::int32_t point, std::uint32_t element) {
    switch (kind) {
    case ValueKind::Bits: {
        const int bit = firstBit + point;
        return bit >= 0 && bit < 32 ? (element >> static_cast<unsigned>(bit)) & 1u : 0u;
    }
    case ValueKind::Points:
        return element & 1u;
    case ValueKind::Int16:
    case ValueKind::UInt16:
    case ValueKind::Int32:
    case ValueKind::UInt32:
    case ValueKind::Float:
        break;
    }
    return element;
}

PointValues::PointValues(const std::vector<CheckedRange> &ranges, const ScanPlan &plan, const ValueCache &cache,
                         Clock::duration maxAge, bool readOnly, std::vector<ScanClass> classes)
    : ranges_(ranges), plan_(plan), cache_(cache), maxAge_(maxAge), readOnly_(readOnly), classes_(std::move(classes)) {}

bool PointValues::Writable(std::size_t range) const {
    return range < ranges_.size() && ranges_[range].range.writable && !readOnly_;
}

Clock::duration PointValues::Ceiling(std::size_t range) const {
    const std::size_t c = range < ranges_.size() ? ranges_[range].range.scanClass : 0;
    return c > 0 && c < classes_.size() ? classes_[c].ceiling : maxAge_;
}

PointValues::Snapshot::Snapshot(const PointValues &values, Clock::time_point now)
    : values_(values), view_(values.cache_.Look(now)) {}

PointValues::Snapshot PointValues::Look(Clock::time_point now) const {
    return Snapshot(*this, now);
}

PointReading PointValues::Snapshot::Get(std::size_t range, std::int32_t point) const {
    PointReading out;
    if (range >= values_.ranges_.size() || range >= values_.plan_.pieces.size() || point < 0 ||
        point >= values_.ranges_[range].range.count) {
        return out;
    }
    const CheckedRange &c = values_.ranges_[range];
    // A bits range is read as its one word.
    const ValuePlace place = PlaceOf(values_.plan_.pieces[range], c.range.kind == ValueKind::Bits ? 0 : point);
    const Clock::duration ceiling = values_.Ceiling(range);
    const ValueCache::Reading r = view_.Get(place.block, place.offset, ceiling);
    out.availability = r.availability;
    if (r.availability == Availability::Fresh) {
        out.raw = PointOfElement(c.range.kind, c.firstBit, point, r.value);
        out.readAt = r.readAt;
        out.freshUntil = r.readAt + ceiling;
    }
    return out;
}

std::uint32_t PointValues::PointOfReadBack(std::size_t range, std::int32_t point, std::uint32_t element) const {
    if (range >= ranges_.size()) {
        return 0;
    }
    const CheckedRange &c = ranges_[range];
    return PointOfElement(c.range.kind, c.firstBit, point, element);
}

WriteStep PointValues::StepFor(std::size_t range, std::int32_t first, std::span<const std::uint32_t> points) const {
    WriteStep step;
    step.range = range;
    if (range >= ranges_.size()) {
        return step;
    }
    const CheckedRange &c = ranges_[range];
    if (c.range.kind == ValueKind::Bits) {
        // Several bits of one word: one read and one write of the word.
        for (std::size_t k = 0; k < points.size(); ++k) {
            const int bit = c.firstBit + first + static_cast<int>(k);
            const auto mask = static_cast<std::uint16_t>(1u << static_cast<unsigned>(bit & 15));
            (points[k] != 0 ? step.setBits : step.clearBits) |= mask;
        }
        return step;
    }
    step.firstValue = first;
    for (const std::uint32_t p : points) {
        // A point of a discrete region is written as its element's byte: 0 or 1.
        step.values.push_back(c.range.kind == ValueKind::Points ? (p != 0 ? 1u : 0u) : p);
    }
    return step;
}

std::string PointText(ValueKind kind, std::uint32_t raw) {
    switch (kind) {
    case ValueKind::Int16:
        return std::to_string(static_cast<std::int16_t>(raw & 0xFFFFu));
    case ValueKind::Int32:
        return std::to_string(static_cast<std::int32_t>(raw));
    case ValueKind::Float: {
        char text[32];
        std::snprintf(text, sizeof text, "%g", static_cast<double>(std::bit_cast<float>(raw)));
        return text;
    }
    case ValueKind::UInt16:
    case ValueKind::UInt32:
    case ValueKind::Bits:
    case ValueKind::Points:
        break;
    }
    return std::to_string(raw);
}

std::string PointLabel(const RangeLine &range, std::int32_t point) {
    std::string label = range.name.empty() ? range.gate : "\"" + range.name + "\"";
    if (point > 0) {
        label += "+" + std::to_string(point);
    }
    return label;
}

std::string PointValues::DescribeStep(const WriteStep &step, const Snapshot &before) const {
    if (step.range >= ranges_.size()) {
        return "?";
    }
    const CheckedRange &c = ranges_[step.range];
    std::string text = "channel " + std::to_string(c.span.channel) + " secondary " + std::to_string(c.span.secondary);
    auto one = [&](std::int32_t point, std::uint32_t to) {
        const PointReading old = before.Get(step.range, point);
        text += " " + PointLabel(c.range, point) + ": " +
                (old.Fresh() ? PointText(c.range.kind, old.raw) : std::string("unknown")) + " -> " +
                PointText(c.range.kind, to);
    };
    if (c.range.kind == ValueKind::Bits) {
        for (int bit = 0; bit < 16; ++bit) {
            const auto mask = static_cast<std::uint16_t>(1u << static_cast<unsigned>(bit));
            if (((step.setBits | step.clearBits) & mask) != 0) {
                one(bit - c.firstBit, (step.setBits & mask) != 0 ? 1u : 0u);
            }
        }
        return text;
    }
    for (std::size_t k = 0; k < step.values.size(); ++k) {
        one(step.firstValue + static_cast<std::int32_t>(k), step.values[k]);
    }
    return text;
}

} // namespace orvgate
