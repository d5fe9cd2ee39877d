// Stand-ins for the edge node's seams, with no test framework in them so
// that the fuzz target takes them too: a clock that moves when told, a
// gateway core whose values, health and writes the test sets, and a
// transport that records what the session asks of it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mqtt/edge_session.h"
#include "mqtt/edge_source.h"
#include "mqtt/transport.h"

namespace orvgate::mqtt::test {

class FakeClock final : public Clock {
  public:
    std::uint64_t WallMs() const override {
        return wall;
    }
    std::uint64_t MonoMs() const override {
        return mono;
    }
    void Advance(std::uint64_t ms) {
        wall += ms;
        mono += ms;
    }
    std::uint64_t wall = 1'700'000'000'000;
    std::uint64_t mono = 5'000;
};

class FakeSource final : public EdgeSource {
  public:
    struct WriteCall {
        std::size_t point;
        std::uint32_t raw;
        std::function<void(const WriteOutcome &)> done;
        bool begun = false;     // set by the test: the write runs, and can no longer be withdrawn
        bool withdrawn = false; // its canceller took it back
    };

    explicit FakeSource(EdgeModel m) : model(std::move(m)) {
        std::size_t points = 0;
        for (const DeviceDef &d : model.devices) {
            for (const MetricDef &s : d.metrics) {
                points = std::max(points, s.point + 1);
            }
        }
        values.resize(points);
        alive.assign(model.devices.size(), true);
    }
    const EdgeModel &Model() const override {
        return model;
    }
    bool DeviceAlive(std::size_t device) const override {
        return alive.at(device);
    }
    PointValue Read(std::size_t point) const override {
        return values.at(point);
    }
    std::vector<NodeMetric> NodeMetrics() const override {
        return node;
    }
    std::function<bool()> Write(std::size_t point, std::uint32_t raw,
                                std::function<void(const WriteOutcome &)> done) override {
        writes.push_back(WriteCall{point, raw, std::move(done)});
        return [this, i = writes.size() - 1] {
            writes[i].withdrawn = !writes[i].begun;
            return writes[i].withdrawn;
        };
    }
    void Set(std::size_t point, std::uint32_t raw, std::uint64_t ms, std::uint64_t freshUntilMs = UINT64_MAX) {
        values.at(point) = PointValue{PointValue::State::Good, raw, ms, freshUntilMs};
    }

    EdgeModel model;
    std::vector<PointValue> values;
    std::vector<bool> alive;
    std::vector<NodeMetric> node;
    std::vector<WriteCall> writes;
};

class FakeTransport final : public Transport {
  public:
    struct Message {
        std::string topic;
        std::string payload;
        int qos;
        bool retain;
    };
    void SetEvents(TransportEvents *e) override {
        events = e;
    }
    bool Connect(const WillMessage &w, std::string &error) override {
        ++connects;
        will = w;
        if (refuseConnect) {
            error = "refused";
            return false;
        }
        return true;
    }
    bool Subscribe(const std::string &filter, int qos, int &mid) override {
        mid = nextMid++;
        subscriptions.push_back({filter, qos, mid});
        subscribed.push_back({filter, qos, mid});
        return true;
    }
    bool Publish(const std::string &topic, const std::string &payload, int qos, bool retain) override {
        if (refusePublish) {
            return false;
        }
        published.push_back(Message{topic, payload, qos, retain});
        return true;
    }
    void Disconnect() override {
        ++disconnects;
    }
    void Wait(int, int) override {}

    // Answers the CONNECT and every SUBSCRIBE as a broker would.
    void Accept() {
        events->OnConnectSent();
        events->OnConnected(0);
        for (const Subscription &s : subscriptions) {
            events->OnSubscribed(s.mid, true);
        }
        subscriptions.clear();
    }

    struct Subscription {
        std::string filter;
        int qos;
        int mid;
    };
    TransportEvents *events = nullptr;
    std::optional<WillMessage> will;
    std::vector<Subscription> subscriptions; // waiting for their SUBACK
    std::vector<Subscription> subscribed;    // every one asked for
    std::vector<Message> published;
    int connects = 0;
    int disconnects = 0;
    int nextMid = 1;
    bool refuseConnect = false;
    bool refusePublish = false; // the connection silently gone: nothing is taken
};

} // namespace orvgate::mqtt::test
