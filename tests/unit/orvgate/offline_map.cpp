#include "offline_map.h"

#include <cstdarg>
#include <cstdio>
#include <sstream>

#include "channel/logging.h"
#include "map_check.h"
#include "map_file.h"

namespace orvgate::test {
namespace {

// The core's lines into the results of the call that made them, as the
// shipped module's lines reach them through the logging module.
int RouteToResults(int level, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    orvtiw::host::DeliverLogLine(level, text);
    return 0;
}

} // namespace

OfflineMap::OfflineMap(const std::string &mapText, int reservedUnit) {
    orvtiw::SetErrFunction(&RouteToResults);
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
    orvtiw::SetErrFunction(nullptr);
}

orvtiw::host::CheckResult OfflineMap::Check(int channel, const std::string &address, orvtiw::host::ValueType type,
                                            std::int32_t count, bool block) {
    orvtiw::SetErrFunction(&RouteToResults);
    orvtiw::host::Channel &c = channels_.at(channel)->channel;
    auto result = block ? c.CheckBlock(address, type, count) : c.Check(address, type, count);
    orvtiw::SetErrFunction(nullptr);
    return result;
}

} // namespace orvgate::test
