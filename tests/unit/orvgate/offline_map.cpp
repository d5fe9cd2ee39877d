#include "offline_map.h"

#include <sstream>

#include "map/map_check.h"
#include "map/map_file.h"
#include "support/result_log.h"

namespace orvgate::test {

OfflineMap::OfflineMap(const std::string &mapText, int reservedUnit) {
    const orvtiw::test::LinesIntoResults lines;
    for (const int number : {1, 2}) {
        auto channel = std::make_unique<orvtiw::test::TestChannel>(number);
        orvtiw::host::StartOptions start;
        start.online = false;
        start.initText = kRegions;
        channel->channel.ColdStart(start);
        channels_[number] = std::move(channel);
    }
    std::istringstream in(mapText);
    const auto map = ReadMapFile(in, error);
    if (map) {
        ranges = CheckMap(
            *map,
            [this](std::int32_t channel, const std::string &address, orvtiw::host::ValueType type, std::int32_t count,
                   bool block) { return Check(channel, address, type, count, block); },
            reservedUnit, error);
    }
}

orvtiw::host::CheckResult OfflineMap::Check(int channel, const std::string &address, orvtiw::host::ValueType type,
                                            std::int32_t count, bool block) {
    const orvtiw::test::LinesIntoResults lines;
    orvtiw::host::Channel &c = channels_.at(channel)->channel;
    return block ? c.CheckBlock(address, type, count) : c.Check(address, type, count);
}

} // namespace orvgate::test
