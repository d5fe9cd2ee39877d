#include "modbus/transparent.h"

#include <cstdio>

#include "map/gate_address.h"
#include "modbus/value_codec.h"

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
    DirectTransfer direct;
    direct.channel = kTransparentChannel;
    direct.secondary = request.unit;
    direct.letter = LetterOf(request.function);
    direct.element = static_cast<std::uint32_t>(request.address) + 1;
    direct.count = request.count;
    direct.write = write;
    if (write && TableOf(request.function) == Table::Coils) {
        for (const std::uint8_t bit : WrittenCoils(request)) {
            direct.values.push_back(bit);
        }
    } else if (write) {
        for (const std::uint16_t value : WrittenRegisters(request)) {
            direct.values.push_back(value);
        }
    }
    Routed routed;
    routed.kind = Routed::Kind::Queue;
    routed.job = std::make_shared<Job>();
    routed.job->what = std::string(write ? "write of " : "read of ") + TableName(TableOf(request.function)) + " " +
                       std::to_string(request.address) + ".." + std::to_string(request.address + request.count - 1) +
                       " at unit " + std::to_string(request.unit);
    routed.job->direct = std::move(direct);
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
            tables.coils[at] = CoilOf(ValueKind::Points, raw, 0) ? 1 : 0;
            break;
        case Table::DiscreteInputs:
            tables.discreteInputs[at] = CoilOf(ValueKind::Points, raw, 0) ? 1 : 0;
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
