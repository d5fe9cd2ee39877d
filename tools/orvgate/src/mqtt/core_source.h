// The gateway's core as the edge node sees it: a device per secondary of
// the map, a metric per mapped value (named by the map, else after its
// gate: V100, V500.3, X17), values from the cache, health from the cards'
// status, writes as jobs with the gateway's write rules (and the value read
// back). The core's events reach the edge node directly (EdgeNode::Events).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "map/gate_map.h"
#include "mqtt/edge_source.h"
#include "scan/gateway.h"

namespace orvgate::mqtt {

class CoreSource final : public EdgeSource {
  public:
    // After the core started (its values say which ranges are writable).
    CoreSource(Gateway &core, const MapFile &map);

    // The Modbus front end's connected clients, for the node's metrics; before any thread starts.
    void CountModbusClients(std::function<std::uint64_t()> clients) {
        modbusClients_ = std::move(clients);
    }

    const EdgeModel &Model() const override {
        return model_;
    }
    bool DeviceAlive(std::size_t device) const override;
    PointValue Read(std::size_t point) const override;
    std::vector<NodeMetric> NodeMetrics() const override;
    std::function<bool()> Write(std::size_t point, std::uint32_t raw,
                                std::function<void(const WriteOutcome &)> done) override;

  private:
    void ClassMetrics(const CardStatus &card, std::vector<NodeMetric> &out) const;

    struct Point {
        std::size_t range = 0;
        std::int32_t value = 0; // within the range; for bits, the bit's place from the range's first bit
        std::string label;      // device and metric, for the log
    };

    Gateway &core_;
    EdgeModel model_;
    std::vector<Point> points_;
    std::function<std::uint64_t()> modbusClients_;
};

} // namespace orvgate::mqtt
