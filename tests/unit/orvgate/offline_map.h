// A map checked by the driver's own core on channels started without a
// card, as `orvgate --check` checks one: the address checks are the
// driver's, and their refusals carry the driver's lines.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "map/gate_map.h"
#include "support/test_channel.h"

namespace orvgate::test {

// Regions beside the predefined V, X, Y and C: V again as double words (D),
// a 32-bit region (L) and WX words (W).
inline constexpr char kRegions[] = "C800;800\nD;01;2;2\nL;0B;4;1\nW;09;2;1\n";

class OfflineMap {
  public:
    // Channels 1 and 2, both with kRegions.
    explicit OfflineMap(const std::string &mapText, int reservedUnit = 247);

    std::optional<std::vector<CheckedRange>> ranges;
    std::string error; // the reader's or the check's

    // The driver's check of one address, for comparing with what the
    // gateway derives.
    orvtiw::host::CheckResult Check(int channel, const std::string &address, orvtiw::host::ValueType type,
                                    std::int32_t count, bool block);

  private:
    std::map<int, std::unique_ptr<orvtiw::test::TestChannel>> channels_;
};

} // namespace orvgate::test
