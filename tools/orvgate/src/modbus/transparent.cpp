#include "modbus/transparent.h"

#include <algorithm>
#include <cstdio>

#include "map/gate_address.h"
#include "modbus/value_codec.h"
#include "scan/values.h"

namespace orvgate {
namespace {

constexpr int kFirstSecondary = 1;
constexpr int kLastSecondary = 31;

} // namespace

std::string TransparentInitText(std::uint16_t segment) {
    char text[64];
    // WX words: data-type code 0x09, 2 bytes an element, single.
    std::snprintf(text, sizeof text, "%04X;800\n%c;09;2;1\n", static_cast<unsigned>(segment), kWordInputLetter);
    return text;
}

char LetterOf(std::uint8_t function) {
    switch (TableOf(function)) {
    case Table::Coils:
        return 'Y';
    case Table::DiscreteInputs:
        return 'X';
    case Table::InputRegisters:
        return kWordInputLetter;
    case Table::HoldingRegisters:
        break;
    }
    return 'V';
}

TransparentRouter::TransparentRouter(bool writable, int statsUnit, StatsRegisters stats)
    : Router(statsUnit, std::move(stats)), writable_(writable) {}

Routed TransparentRouter::RouteNetwork(const Request &request, Clock::time_point, Tables &) const {
    if (request.unit < kFirstSecondary || request.unit > kLastSecondary) {
        return ExceptionOf(kGatewayPathUnavailable); // no secondary can be there
    }
    if (const std::uint8_t problem = RequestProblem(request); problem != 0) {
        return ExceptionOf(problem);
    }
    // Address N is element N + 1, so the last address has no element.
    if (static_cast<std::uint32_t>(request.address) + request.count > kMaxElement) {
        return ExceptionOf(kIllegalDataAddress);
    }
    const bool write = IsWrite(request.function);
    if (write && !writable_) {
        return ExceptionOf(kIllegalDataAddress);
    }
    Routed routed;
    routed.kind = Routed::Kind::Queue;
    routed.job = std::make_shared<Job>();
    routed.job->what = std::string(write ? "write of " : "read of ") + TableName(TableOf(request.function)) + " " +
                       std::to_string(request.address) + ".." + std::to_string(request.address + request.count - 1) +
                       " at unit " + std::to_string(request.unit);
    routed.job->channel = kTransparentChannel;
    std::vector<std::uint32_t> values;
    if (write && TableOf(request.function) == Table::Coils) {
        for (const std::uint8_t bit : WrittenCoils(request)) {
            values.push_back(bit);
        }
    } else if (write) {
        for (const std::uint16_t value : WrittenRegisters(request)) {
            values.push_back(value);
        }
    }
    // One transfer per block the driver moves at once: 256 bytes, of one
    // byte a discrete element and two a word.
    const char letter = LetterOf(request.function);
    const bool discrete = letter == 'X' || letter == 'Y';
    const std::int32_t most = discrete ? orvtiw::host::kMaxBlockBytes : orvtiw::host::kMaxBlockBytes / 2;
    const auto count = static_cast<std::int32_t>(request.count);
    for (std::int32_t done = 0; done < count; done += most) {
        DriverTransfer t;
        t.secondary = request.unit;
        t.count = std::min(most, count - done);
        t.address =
            FormatAddress({request.unit, letter,
                           static_cast<std::uint32_t>(request.address) + 1 + static_cast<std::uint32_t>(done), -1});
        t.write = write;
        if (write) {
            t.values.assign(values.begin() + done, values.begin() + done + t.count);
        }
        routed.job->transfers.push_back(std::move(t));
    }
    return routed;
}

void TransparentRouter::Complete(const Request &request, const Job &job, Tables &tables) const {
    if (IsWrite(request.function)) {
        return; // libmodbus echoes a write
    }
    const Table table = TableOf(request.function);
    for (std::size_t i = 0; i < job.values.size() && i < request.count; ++i) {
        const std::size_t at = request.address + i;
        const std::uint32_t raw = job.values[i];
        switch (table) {
        case Table::Coils:
            tables.coils[at] = PointOfElement(ValueKind::Points, 0, 0, raw) != 0 ? 1 : 0;
            break;
        case Table::DiscreteInputs:
            tables.discreteInputs[at] = PointOfElement(ValueKind::Points, 0, 0, raw) != 0 ? 1 : 0;
            break;
        case Table::HoldingRegisters:
            tables.holding[at] = static_cast<std::uint16_t>(raw);
            break;
        case Table::InputRegisters:
            tables.input[at] = static_cast<std::uint16_t>(raw);
            break;
        }
    }
}

} // namespace orvgate
