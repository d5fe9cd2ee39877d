// The gateway's core as the edge node sees it: a device per secondary of
// the map, a metric per mapped value (named by the map, else after its
// gate: V100, V500.3, X17), values from the cache, health from the cards'
// status, writes as jobs with the gateway's write rules (and the value read
// back), and the core's cycles and health changes passed on as the edge
// node's events.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "map/gate_map.h"
#include "mqtt/edge_source.h"
#include "scan/core_events.h"
#include "scan/gateway.h"

namespace orvgate::mqtt {

class CoreSource final : public EdgeSource, public CoreObserver {
  public:
    // After the core started; `readOnly`: no metric is writable (--read-only).
    CoreSource(Gateway &core, const MapFile &map, bool readOnly);

    // Where the core's events go (the edge node's queue); before the core runs.
    void Attach(EdgeEvents *events) {
        events_ = events;
    }
    // The Modbus front end's connected clients, for the node's metrics.
    void CountModbusClients(std::function<std::uint64_t()> clients) {
        modbusClients_ = std::move(clients);
    }

    const EdgeModel &Model() const override {
        return model_;
    }
    bool DeviceAlive(std::size_t device) const override;
    PointValue Read(std::size_t point) const override;
    std::vector<NodeMetric> NodeMetrics() const override;
    void Write(std::size_t point, std::uint32_t raw, std::function<void(const WriteOutcome &)> done) override;

    void CycleDone(std::int32_t channel) override;
    void BlockChanged(std::int32_t channel, std::int32_t secondary) override;
    void HealthChanged(std::int32_t channel) override;

  private:
    struct Point {
        std::size_t range = 0;
        std::int32_t value = 0; // within the range; for bits, the bit's place from the range's first bit
        std::string label;      // device and metric, for the log
    };

    Gateway &core_;
    EdgeModel model_;
    std::vector<Point> points_;
    std::atomic<EdgeEvents *> events_{nullptr};
    std::function<std::uint64_t()> modbusClients_;
};

} // namespace orvgate::mqtt
