// The gateway's statistics as input registers of the statistics unit, read
// from the core (its cards' health and cycles, what became of the writes)
// and from the server's counters. The layout is the README's (version 3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "modbus/modbus_server.h"
#include "scan/gateway.h"

namespace orvgate {

inline constexpr std::uint16_t kStatsLayout = 3;
inline constexpr std::size_t kStatsHeader = 34;
inline constexpr std::size_t kStatsChannelRow = 10;
inline constexpr std::size_t kStatsSecondaryRow = 12;
inline constexpr std::size_t kStatsClassRow = 12;

// The number the registers give a failure's kind: 0 none, 1 the card not
// answering, 2 the secondary unreachable, 3 a controller refusal, 4 a
// request refused before any exchange.
std::uint16_t FailureKindNumber(orvtiw::host::FailureKind kind);

// What the registers are read from.
struct StatsSources {
    std::vector<CardStatus> cards;
    const WriteCounters *writes = nullptr;
    Clock::duration maxAge{0};
    Clock::duration writeTimeout{0};
    const ModbusCounters *server = nullptr;
    Clock::time_point started{};
};
StatsSources SourcesOf(const Gateway &core, const ModbusCounters &server, Clock::time_point started);

std::vector<std::uint16_t> StatisticsRegisters(const StatsSources &from, Clock::time_point now);

// The clients' line of the --stats report.
std::string ClientsReport(const ModbusCounters &server);

} // namespace orvgate
