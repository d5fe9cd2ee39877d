// The web view's documents: the gateway at a glance (channels, secondaries,
// their state and since when, the last error in the driver's words and what
// it means, the front ends and the last writes), and the map's points, each
// with its value, age and health, sent whole once and then as changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scan/values.h"
#include "web/gate_figures.h"

namespace orvgate::web {

std::string StatusJson(const GateFigures &figures);

// Every point of the map, in a fixed order, with where it lies: the index
// of a point in this list is how the changes name it.
std::string PointsJson(const PointValues &values);

// One live page's view of the values: what it was last sent, so that each
// update carries only the points that changed (a value, its health, or a
// read of an unchanged value a second or more newer than the one sent, for
// its age).
class ValueStream {
  public:
    // The changes since the last call as a JSON document (every point the
    // first time); empty when nothing changed.
    std::string Next(const PointValues &values, Clock::time_point now, std::chrono::system_clock::time_point wallNow);

  private:
    struct Sent {
        Availability availability = Availability::Unavailable;
        std::uint32_t raw = 0;
        Clock::time_point readAt{};
    };
    std::vector<Sent> sent_;
    bool first_ = true;
};

} // namespace orvgate::web
