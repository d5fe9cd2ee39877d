#include "modbus/request_router.h"

#include <algorithm>

#include "modbus/value_codec.h"

namespace orvgate {
namespace {

Routed Reply() {
    Routed r;
    r.kind = Routed::Kind::Reply;
    return r;
}

} // namespace

Routed ExceptionOf(std::uint8_t code) {
    Routed r;
    r.kind = Routed::Kind::Exception;
    r.exception = code;
    return r;
}

Routed Router::Route(const Request &request, Clock::time_point now, Tables &tables) const {
    if (!IsServedFunction(request.function)) {
        return ExceptionOf(kIllegalFunction);
    }
    if (request.unit == statsUnit_) {
        return RouteStats(request, tables);
    }
    return RouteNetwork(request, now, tables);
}

void Router::Complete(const Request &, const Job &, Tables &) const {}

std::uint8_t ExceptionFor(const Job &job) {
    using orvtiw::host::FailureKind;
    switch (job.result) {
    case JobResult::Done:
        return 0;
    case JobResult::Refused:
        return kServerDeviceFailure;
    case JobResult::AddressRefused:
        return kIllegalDataAddress;
    case JobResult::Unhealthy:
        return job.failure.kind == FailureKind::ControllerRefusal || job.failure.kind == FailureKind::RecordRefused
                   ? kServerDeviceFailure
                   : kGatewayTargetFailed;
    case JobResult::Failed:
    case JobResult::Expired:
    case JobResult::Dropped:
        break;
    }
    return kGatewayTargetFailed;
}

// The statistics are input registers only.
Routed Router::RouteStats(const Request &request, Tables &tables) const {
    if (const std::uint8_t problem = RequestProblem(request); problem != 0) {
        return ExceptionOf(problem);
    }
    if (request.function != kReadInputRegisters) {
        return ExceptionOf(kIllegalDataAddress);
    }
    const std::vector<std::uint16_t> registers = stats_ ? stats_() : std::vector<std::uint16_t>();
    if (static_cast<std::size_t>(request.address) + request.count > registers.size()) {
        return ExceptionOf(kIllegalDataAddress);
    }
    std::copy_n(registers.begin() + request.address, request.count, tables.input.begin() + request.address);
    return Reply();
}

MapRouter::MapRouter(const PointValues &values, int statsUnit, StatsRegisters stats)
    : Router(statsUnit, std::move(stats)), values_(values) {
    const std::vector<CheckedRange> &ranges = values_.Ranges();
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const RangeLine &r = ranges[i].range;
        if (r.modbus) { // a range for MQTT alone has no Modbus address
            index_[{r.unit, static_cast<int>(r.table)}].push_back(Slots{r.address, r.address + r.Slots(), i});
        }
    }
    for (auto &[key, slots] : index_) {
        std::sort(slots.begin(), slots.end(), [](const Slots &a, const Slots &b) { return a.first < b.first; });
    }
}

bool MapRouter::KnownUnit(int unit) const {
    const auto at = index_.lower_bound({unit, 0});
    return at != index_.end() && at->first.first == unit;
}

const MapRouter::Slots *MapRouter::Find(int unit, Table table, std::uint32_t address) const {
    const auto at = index_.find({unit, static_cast<int>(table)});
    if (at == index_.end()) {
        return nullptr;
    }
    const std::vector<Slots> &slots = at->second;
    auto next = std::upper_bound(slots.begin(), slots.end(), address,
                                 [](std::uint32_t a, const Slots &s) { return a < s.first; });
    if (next == slots.begin()) {
        return nullptr;
    }
    --next;
    return address < next->end ? &*next : nullptr;
}

Routed MapRouter::RouteNetwork(const Request &request, Clock::time_point now, Tables &tables) const {
    if (!KnownUnit(request.unit)) {
        return ExceptionOf(kGatewayPathUnavailable);
    }
    if (const std::uint8_t problem = RequestProblem(request); problem != 0) {
        return ExceptionOf(problem);
    }
    return IsWrite(request.function) ? Write(request) : Read(request, now, tables);
}

Routed MapRouter::Read(const Request &request, Clock::time_point now, Tables &tables) const {
    const Table table = TableOf(request.function);
    // Every address must be mapped before any value is looked at: an
    // unmapped address is the client's mistake, a stale value is not.
    std::vector<const Slots *> found(request.count);
    for (std::uint32_t i = 0; i < request.count; ++i) {
        found[i] = Find(request.unit, table, request.address + i);
        if (found[i] == nullptr) {
            return ExceptionOf(kIllegalDataAddress);
        }
    }
    const PointValues::Snapshot values = values_.Look(now);
    for (std::uint32_t i = 0; i < request.count; ++i) {
        const RangeLine &r = values_.Ranges()[found[i]->range].range;
        const std::uint32_t slot = request.address + i - found[i]->first;
        const auto point = static_cast<std::int32_t>(slot / SlotsPerValue(r.kind));
        const PointReading reading = values.Get(found[i]->range, point);
        if (!reading.Fresh()) {
            return ExceptionOf(reading.availability == Availability::Refused ? kServerDeviceFailure
                                                                             : kGatewayTargetFailed);
        }
        const std::size_t at = request.address + i;
        switch (table) {
        case Table::Coils:
        case Table::DiscreteInputs:
            (table == Table::Coils ? tables.coils : tables.discreteInputs)[at] = reading.raw != 0 ? 1 : 0;
            break;
        case Table::HoldingRegisters:
        case Table::InputRegisters: {
            const std::uint16_t value = RegisterOf(r.kind, r.order, reading.raw, static_cast<int>(slot % 2));
            (table == Table::HoldingRegisters ? tables.holding : tables.input)[at] = value;
            break;
        }
        }
    }
    return Reply();
}

Routed MapRouter::Write(const Request &request) const {
    const Table table = TableOf(request.function);
    const bool coils = table == Table::Coils;
    const std::vector<std::uint16_t> registers = coils ? std::vector<std::uint16_t>() : WrittenRegisters(request);
    const std::vector<std::uint8_t> bits = coils ? WrittenCoils(request) : std::vector<std::uint8_t>();

    Routed routed;
    routed.kind = Routed::Kind::Queue;
    routed.job = std::make_shared<Job>();
    routed.job->what = std::string("write of ") + TableName(table) + " " + std::to_string(request.address) + ".." +
                       std::to_string(request.address + request.count - 1) + " at unit " + std::to_string(request.unit);
    std::uint32_t address = request.address;
    const std::uint32_t end = request.address + request.count;
    while (address < end) {
        const Slots *s = Find(request.unit, table, address);
        if (s == nullptr || !values_.Writable(s->range)) {
            return ExceptionOf(kIllegalDataAddress);
        }
        const RangeLine &r = values_.Ranges()[s->range].range;
        const std::uint32_t from = address - s->first;
        const std::uint32_t to = std::min(end, s->end) - s->first; // one past, within the range
        const std::uint32_t per = SlotsPerValue(r.kind);
        if (from % per != 0 || to % per != 0) {
            return ExceptionOf(kIllegalDataAddress); // half of a 32-bit value
        }
        const std::size_t base = address - request.address; // first slot of the request in this range
        std::vector<std::uint32_t> points;
        for (std::uint32_t k = 0; k < to - from; k += per) {
            if (coils) {
                points.push_back(bits[base + k] != 0 ? 1u : 0u);
            } else if (per == 2) {
                points.push_back(RawOfRegisters(r.order, registers[base + k], registers[base + k + 1]));
            } else {
                points.push_back(registers[base + k]);
            }
        }
        routed.job->writes.push_back(values_.StepFor(s->range, static_cast<std::int32_t>(from / per), points));
        address = s->first + to;
    }
    return routed;
}

} // namespace orvgate
