#include "mqtt/state_message.h"

#include <nlohmann/json.hpp>

namespace orvgate::mqtt {

namespace {

// Deeper than this, a STATE is no host's: refused before it costs more.
constexpr int kMaxDepth = 16;

} // namespace

std::optional<HostState> ParseHostState(std::string_view json) {
    if (json.size() > kMaxStateBytes) {
        return std::nullopt;
    }
    bool tooDeep = false;
    const auto depth = [&tooDeep](int level, nlohmann::json::parse_event_t, nlohmann::json &) {
        tooDeep = tooDeep || level > kMaxDepth;
        return !tooDeep;
    };
    const nlohmann::json state = nlohmann::json::parse(json.begin(), json.end(), depth, false);
    if (tooDeep || state.is_discarded() || !state.is_object()) {
        return std::nullopt;
    }
    const auto online = state.find("online");
    const auto timestamp = state.find("timestamp");
    if (online == state.end() || !online->is_boolean() || timestamp == state.end() ||
        !timestamp->is_number_unsigned()) {
        return std::nullopt;
    }
    return HostState{online->get<bool>(), timestamp->get<std::uint64_t>()};
}

} // namespace orvgate::mqtt
