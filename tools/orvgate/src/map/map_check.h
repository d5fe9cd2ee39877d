// Checks every range of a map as the driver sees it: its first address
// through operation 3 with the range's type (which the driver refuses where
// the region does not hold such values), the whole range through operation
// 4 (the block size limit), and the ranges against each other and the
// limits of element numbers. Errors name the map's line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "map/gate_map.h"

namespace orvgate {

// The driver's address check on one channel: operation 4 when `block`, else
// operation 3.
using AddressCheck = std::function<orvtiw::host::CheckResult(
    std::int32_t channel, const std::string &address, orvtiw::host::ValueType type, std::int32_t count, bool block)>;

// `reservedUnit` is the unit of the gateway's own statistics, which no range
// may take.
std::optional<std::vector<CheckedRange>> CheckMap(const MapFile &map, const AddressCheck &check, int reservedUnit,
                                                  std::string &error);

// Why the driver refused an address: its own configuration lines, without
// their "ORVnn: TIW: " prefix, else the library's problem or the status.
std::string RefusalReason(const orvtiw::host::Result &result);

} // namespace orvgate
