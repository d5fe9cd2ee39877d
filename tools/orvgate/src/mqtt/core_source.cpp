#include "mqtt/core_source.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <set>
#include <utility>

#include "map/gate_address.h"

namespace orvgate::mqtt {
namespace {

using orvtiw::host::FailureKind;

Datatype DatatypeOf(ValueKind kind) {
    switch (kind) {
    case ValueKind::Int16:
        return Datatype::Int16;
    case ValueKind::UInt16:
        return Datatype::UInt16;
    case ValueKind::Int32:
        return Datatype::Int32;
    case ValueKind::UInt32:
        return Datatype::UInt32;
    case ValueKind::Float:
        return Datatype::Float;
    case ValueKind::Bits:
    case ValueKind::Points:
        break;
    }
    return Datatype::Boolean;
}

// The name a value goes by: the map's (with its place when the range has
// more than one), else its region letter and element in decimal, as the
// controllers' own listings name them, with a bit after a point.
std::string NameOf(const CheckedRange &c, std::int32_t value) {
    const RangeLine &r = c.range;
    if (!r.name.empty()) {
        return r.count == 1 ? r.name : r.name + "[" + std::to_string(value) + "]";
    }
    const AddressParts parts = SplitAddress(r.gate).value_or(AddressParts{});
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(parts.letter)));
    if (r.kind == ValueKind::Bits) {
        return std::string(1, letter) + std::to_string(parts.element) + "." + std::to_string(c.firstBit + value);
    }
    const auto step = static_cast<std::uint32_t>(ElementsPerValue(c.gate));
    return std::string(1, letter) + std::to_string(parts.element + static_cast<std::uint32_t>(value) * step);
}

std::string DefaultDeviceId(std::int32_t channel, std::int32_t secondary) {
    return "ch" + std::to_string(channel) + "-plc" + std::to_string(secondary);
}

WriteOutcome::Result OutcomeOf(const Job &job) {
    switch (job.result) {
    case JobResult::Done:
        return WriteOutcome::Result::Applied;
    case JobResult::Refused:
    case JobResult::AddressRefused:
        return WriteOutcome::Result::Refused;
    case JobResult::Expired:
    case JobResult::Dropped:
        return WriteOutcome::Result::Expired;
    case JobResult::Unhealthy:
        return WriteOutcome::Result::Unhealthy;
    case JobResult::Failed:
        break;
    }
    return WriteOutcome::Result::Failed;
}

NodeMetric Count(std::string name, std::uint64_t value) {
    NodeMetric m;
    m.name = std::move(name);
    m.type = Datatype::UInt64;
    m.integer = static_cast<std::int64_t>(value);
    return m;
}

} // namespace

CoreSource::CoreSource(Gateway &core, const MapFile &map) : core_(core) {
    std::map<std::pair<std::int32_t, std::int32_t>, std::size_t> deviceOf;
    // The same value mapped twice (a Modbus range and an input range of the
    // same words, say) is one metric; two of one name that are not the same
    // value are CheckModel's to refuse.
    std::set<std::tuple<std::size_t, std::string, Datatype>> seen;
    const std::vector<CheckedRange> &ranges = core.Ranges();
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const CheckedRange &c = ranges[i];
        if (!c.range.mqtt) {
            continue;
        }
        const auto key = std::make_pair(c.span.channel, c.span.secondary);
        auto at = deviceOf.find(key);
        if (at == deviceOf.end()) {
            DeviceDef device;
            device.channel = key.first;
            device.secondary = key.second;
            device.id = DefaultDeviceId(key.first, key.second);
            device.line = c.range.line;
            for (const DeviceLine &d : map.devices) {
                if (d.channel == key.first && d.secondary == key.second) {
                    device.id = d.id;
                    device.line = d.line;
                }
            }
            at = deviceOf.emplace(key, model_.devices.size()).first;
            model_.devices.push_back(std::move(device));
        }
        DeviceDef &device = model_.devices[at->second];
        if (c.range.scanClass > 0) {
            const auto period = static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(core.Classes().at(c.range.scanClass).period)
                    .count());
            device.fastestPeriodMs = device.fastestPeriodMs == 0 ? period : std::min(device.fastestPeriodMs, period);
        }
        for (std::int32_t v = 0; v < c.range.count; ++v) {
            MetricDef m;
            m.name = NameOf(c, v);
            m.type = DatatypeOf(c.range.kind);
            m.writable = core.Values().Writable(i);
            m.deadband = c.range.deadband;
            m.line = c.range.line;
            m.point = points_.size();
            if (c.range.name.empty() && !seen.emplace(at->second, m.name, m.type).second) {
                continue;
            }
            points_.push_back(Point{i, v, device.id + " " + m.name});
            device.metrics.push_back(std::move(m));
        }
    }
}

bool CoreSource::DeviceAlive(std::size_t device) const {
    if (device >= model_.devices.size()) {
        return false;
    }
    const DeviceDef &d = model_.devices[device];
    for (const CardStatus &card : core_.Cards()) {
        if (card.channel == d.channel) {
            return card.SecondaryState(d.secondary) == HealthState::Good;
        }
    }
    return false;
}

PointValue CoreSource::Read(std::size_t point) const {
    PointValue out;
    if (point >= points_.size()) {
        return out;
    }
    const Point &p = points_[point];
    const PointReading r = core_.Values().Look(Clock::now()).Get(p.range, p.value);
    if (!r.Fresh()) {
        out.state = PointValue::State::Failed;
        return out;
    }
    out.state = PointValue::State::Good;
    out.raw = r.raw;
    out.timestampMs = WallMs(r.readAt);
    out.freshUntilMs = SteadyMs(r.freshUntil);
    return out;
}

// The line's load and each scan class's rate on one card, for a map with classes.
void CoreSource::ClassMetrics(const CardStatus &card, std::vector<NodeMetric> &out) const {
    const std::string channel = "Channel " + std::to_string(card.channel) + "/";
    const auto real = [&out](std::string name, double value) {
        NodeMetric m;
        m.name = std::move(name);
        m.type = Datatype::Double;
        m.real = value;
        out.push_back(std::move(m));
    };
    real(channel + "Line busy %", 100 * LineShare(card.lineBusy, card.running));
    for (std::size_t k = 0; k < card.classes.size() && k < core_.Classes().size(); ++k) {
        const ClassFigures &c = card.classes[k];
        if (c.blocks == 0) {
            continue;
        }
        const std::string name = channel + "Class " + core_.Classes()[k].name + "/";
        real(name + "Period ms", Milliseconds(c.period));
        real(name + "Achieved period ms", Milliseconds(c.achievedMedian));
        real(name + "Achieved period p99 ms", Milliseconds(c.achievedP99));
        real(name + "Line share %", 100 * LineShare(c.busy, card.running));
        NodeMetric missing;
        missing.name = name + "Missing its period";
        missing.type = Datatype::Boolean;
        missing.integer = c.missing ? 1 : 0;
        out.push_back(std::move(missing));
    }
}

std::vector<NodeMetric> CoreSource::NodeMetrics() const {
    std::vector<NodeMetric> out;
    const WriteCounters &w = core_.Writes();
    out.push_back(Count("Gateway/Modbus clients", modbusClients_ ? modbusClients_() : 0));
    out.push_back(Count("Gateway/Writes applied", w.Count(JobResult::Done)));
    out.push_back(Count("Gateway/Writes refused", w.Count(JobResult::Refused) + w.Count(JobResult::AddressRefused)));
    out.push_back(Count("Gateway/Writes failed", w.Count(JobResult::Failed)));
    out.push_back(Count("Gateway/Writes past their deadline", w.Count(JobResult::Expired)));
    out.push_back(Count("Gateway/Writes dropped", w.Count(JobResult::Dropped)));
    out.push_back(Count("Gateway/Writes not tried", w.Count(JobResult::Unhealthy)));
    for (const CardStatus &card : core_.Cards()) {
        const std::string channel = "Channel " + std::to_string(card.channel) + "/";
        NodeMetric state;
        state.name = channel + "State";
        state.type = Datatype::String;
        state.text = HealthStateName(card.health.state);
        out.push_back(std::move(state));
        NodeMetric cycle;
        cycle.name = channel + "Scan cycle ms";
        cycle.type = Datatype::Double;
        cycle.real = Milliseconds(card.medianCycle);
        out.push_back(std::move(cycle));
        if (core_.Classes().size() > 1) {
            ClassMetrics(card, out);
        }
    }
    return out;
}

std::function<bool()> CoreSource::Write(std::size_t point, std::uint32_t raw,
                                        std::function<void(const WriteOutcome &)> done) {
    if (point >= points_.size()) {
        WriteOutcome refused;
        refused.result = WriteOutcome::Result::Refused;
        refused.detail = "no such metric";
        done(refused);
        return [] { return true; }; // ended: nothing to withdraw
    }
    const Point &p = points_[point];
    auto job = std::make_shared<Job>();
    job->writes.push_back(core_.Values().StepFor(p.range, p.value, std::span<const std::uint32_t>(&raw, 1)));
    job->readBack = true;
    job->requester = "an MQTT command";
    job->what = "write of " + p.label;
    job->onDone = [done = std::move(done), &values = core_.Values(), range = p.range, value = p.value](Job &j) {
        WriteOutcome o;
        o.result = OutcomeOf(j);
        o.detail = j.failure.text;
        if (o.result == WriteOutcome::Result::Applied && !j.values.empty()) {
            o.readBackGood = true;
            o.readBack = values.PointOfReadBack(range, value, j.values.front());
            o.readBackMs = WallMs(j.valuesAt);
        }
        done(o);
    };
    core_.Submit(job);
    // Withdraws the write while it has not begun: it is then never applied.
    return [job] { return job->Cancel(); };
}

} // namespace orvgate::mqtt
