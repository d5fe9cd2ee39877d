// The session's publishing: births and seq, reports by exception with the
// deadband and the freshness ceiling, health as device deaths and births,
// the node's own metrics, and the history kept while nothing could be sent.
#include <algorithm>
#include <bit>
#include <cmath>

#include "mqtt/commands.h"
#include "mqtt/edge_session.h"

namespace orvgate::mqtt {

namespace {

// Births and data go at QoS 0, never retained.
constexpr int kDataQos = 0;

double Numeric(Datatype type, std::uint32_t raw) {
    switch (type) {
    case Datatype::Int16:
        return static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>(raw)));
    case Datatype::Int32:
        return static_cast<double>(static_cast<std::int32_t>(raw));
    case Datatype::Float:
        return static_cast<double>(std::bit_cast<float>(raw));
    default:
        return static_cast<double>(raw);
    }
}

// Whether `now` must be reported after `told`: any change of null-ness,
// and of value beyond the deadband (a Boolean has none).
bool Changed(const MetricDef &def, bool known, bool toldNull, std::uint32_t toldRaw, const PointValue &now) {
    const bool nowNull = now.state != PointValue::State::Good;
    if (!known || toldNull != nowNull) {
        return true;
    }
    if (nowNull || now.raw == toldRaw) {
        return false;
    }
    if (def.deadband <= 0 || def.type == Datatype::Boolean) {
        return true;
    }
    const double a = Numeric(def.type, toldRaw);
    const double b = Numeric(def.type, now.raw);
    if (!std::isfinite(a) || !std::isfinite(b)) {
        return true;
    }
    return std::fabs(b - a) > def.deadband;
}

bool SameNodeValue(const NodeMetric &a, const NodeMetric &b) {
    return a.type == b.type && a.integer == b.integer &&
           std::bit_cast<std::uint64_t>(a.real) == std::bit_cast<std::uint64_t>(b.real) && a.text == b.text;
}

NodeMetric Counter(const char *name, std::uint64_t value) {
    NodeMetric m;
    m.name = name;
    m.type = Datatype::UInt64;
    m.integer = static_cast<std::int64_t>(value);
    return m;
}

} // namespace

std::uint8_t EdgeSession::NextSeq() {
    const std::uint8_t s = seq_;
    seq_ = static_cast<std::uint8_t>(seq_ + 1u);
    return s;
}

PayloadBuilder EdgeSession::Message(std::uint8_t seq) const {
    return PayloadBuilder(clock_.WallMs(), seq, settings_.uint32InLong);
}

bool EdgeSession::Publish(const std::string &topic, const PayloadBuilder &payload) {
    if (!transport_.Publish(topic, payload.Serialize(), kDataQos, false)) {
        Log(LogLevel::Warning, "cannot publish on " + topic);
        return false;
    }
    return true;
}

std::vector<NodeMetric> EdgeSession::AllNodeMetrics() const {
    std::vector<NodeMetric> all = source_.NodeMetrics();
    all.push_back(Counter("MQTT/Connections", counters_.connections));
    all.push_back(Counter("MQTT/Births", counters_.births));
    all.push_back(Counter("MQTT/Commands applied", counters_.commandsApplied));
    all.push_back(Counter("MQTT/Commands refused", counters_.commandsRefused));
    all.push_back(Counter("MQTT/Commands failed", counters_.commandsFailed));
    all.push_back(Counter("MQTT/Commands rejected", counters_.commandsRejected));
    all.push_back(Counter("MQTT/Store held", store_.Size()));
    all.push_back(Counter("MQTT/Store dropped", store_.Dropped()));
    all.push_back(Counter("MQTT/Publish failed", counters_.publishFailed));
    return all;
}

PointValue EdgeSession::ReadNow(const MetricDef &def) const {
    PointValue v = source_.Read(def.point);
    if (v.state == PointValue::State::Good && v.freshUntilMs <= clock_.MonoMs()) {
        v.state = PointValue::State::Failed; // aged past the ceiling, as the Modbus side judges it
    }
    return v;
}

void EdgeSession::Tell(Device &dev, std::size_t metric, const PointValue &value) {
    const bool good = value.state == PointValue::State::Good;
    dev.told[metric] = Told{true, !good, value.raw, good ? value.freshUntilMs : UINT64_MAX};
}

void EdgeSession::NoteFreshness(Device &dev) {
    dev.freshUntilMs = UINT64_MAX;
    for (const Told &t : dev.told) {
        dev.freshUntilMs = std::min(dev.freshUntilMs, t.freshUntilMs);
    }
}

void EdgeSession::Birth() {
    ++counters_.births;
    const std::uint64_t now = clock_.WallMs();
    seq_ = 0;
    PayloadBuilder birth = Message(NextSeq());
    // Both are asked for by name, so neither has an alias.
    birth.AddBoolean(kRebirthMetric, false, now);
    birth.AddInt64("bdSeq", bdSeq_, now);
    nodeTold_ = AllNodeMetrics();
    nodeIndex_.clear();
    for (std::size_t i = 0; i < nodeTold_.size(); ++i) {
        nodeIndex_.emplace(nodeTold_[i].name, i);
        birth.AddNode(nodeTold_[i], aliases_.NodeAlias(i), true, now);
    }
    nodeReportedMs_ = clock_.MonoMs();
    if (!Publish(nbirthTopic_, birth)) {
        // A session whose birth did not go out cannot go on.
        Drop("the NBIRTH was not taken: connecting again");
        return;
    }
    for (std::size_t d = 0; d < devices_.size(); ++d) {
        devices_[d].born = false;
        if (source_.DeviceAlive(d)) {
            DeviceBirth(d);
        }
    }
    phase_ = Phase::Online;
    failures_ = 0;
    timerMs_ = UINT64_MAX;
    Log(LogLevel::Info, "births sent (bdSeq " + std::to_string(bdSeq_) + ")");
    // Sent from the timer, a slice a wake-up: not here, where a callback of
    // the connection may have brought us.
    flushPending_ = true;
}

void EdgeSession::DeviceBirth(std::size_t device) {
    const DeviceDef &def = model_.devices[device];
    Device &dev = devices_[device];
    PayloadBuilder birth = Message(NextSeq());
    for (std::size_t m = 0; m < def.metrics.size(); ++m) {
        const PointValue v = ReadNow(def.metrics[m]);
        birth.AddPoint(def.metrics[m], aliases_.Of(device, m), true, v);
        Tell(dev, m, v);
    }
    NoteFreshness(dev);
    // Not born when it did not go out: the next cycle tries again.
    dev.born = Publish(dbirthTopics_[device], birth);
    dev.dirty = false;
    dev.toldAtMs = clock_.MonoMs();
}

void EdgeSession::DeviceDeath(std::size_t device) {
    Publish(ddeathTopics_[device], Message(NextSeq()));
    devices_[device].born = false;
}

void EdgeSession::CycleDone(std::int32_t channel) {
    const std::uint64_t now = clock_.MonoMs();
    Cycles &c = cycles_[channel];
    c.lengthMs = c.lastEndMs == 0 ? 0 : now - c.lastEndMs;
    c.lastEndMs = now;
    // Every value the cycle read may have moved, a block's failure or age included.
    if (const auto it = devicesOfChannel_.find(channel); it != devicesOfChannel_.end()) {
        for (const std::size_t d : it->second) {
            devices_[d].dirty = true;
        }
    }
    Reconcile(channel, true);
    if (phase_ == Phase::Online) {
        ReportNodeMetrics();
    }
}

void EdgeSession::BlockChanged(std::int32_t channel, std::int32_t secondary) {
    const auto it = devicesOfChannel_.find(channel);
    if (it == devicesOfChannel_.end() || phase_ != Phase::Online) {
        return;
    }
    for (const std::size_t d : it->second) {
        if (model_.devices[d].secondary == secondary) {
            devices_[d].dirty = true;
            ReportWhenDue(d);
        }
    }
}

// At most one DDATA a device in a period of its fastest scan class, so that
// an alarm never waits for the bulk's cycle; a device of the default class
// alone, at most one in a scan cycle: the next may go once the last is as
// old as the channel's last cycle was long.
std::uint64_t EdgeSession::DueMs(std::size_t device) const {
    if (const std::uint64_t fastest = model_.devices[device].fastestPeriodMs; fastest > 0) {
        return devices_[device].toldAtMs + fastest;
    }
    const auto c = cycles_.find(model_.devices[device].channel);
    return devices_[device].toldAtMs + (c == cycles_.end() ? 0 : c->second.lengthMs);
}

void EdgeSession::ReportWhenDue(std::size_t device) {
    Device &dev = devices_[device];
    if (!dev.born || !dev.dirty || clock_.MonoMs() < DueMs(device)) {
        return;
    }
    dev.dirty = false;
    if (ReportChanges(device)) {
        dev.toldAtMs = clock_.MonoMs();
    }
}

void EdgeSession::HealthChanged(std::int32_t channel) {
    Reconcile(channel, false);
}

void EdgeSession::Reconcile(std::int32_t channel, bool withData) {
    const auto it = devicesOfChannel_.find(channel);
    if (it == devicesOfChannel_.end()) {
        return;
    }
    for (const std::size_t d : it->second) {
        const bool alive = source_.DeviceAlive(d);
        Device &dev = devices_[d];
        if (phase_ != Phase::Online) {
            if (withData && alive) {
                RecordChanges(d);
            }
            continue;
        }
        if (dev.born && !alive) {
            DeviceDeath(d); // as soon as the failure is known
        } else if (!dev.born && alive && withData) {
            // At the end of the cycle that found it back, with every value
            // that cycle read, not only the first block's; then its history.
            DeviceBirth(d);
            flushPending_ = flushPending_ || dev.born;
        } else if (dev.born && withData) {
            ReportWhenDue(d);
        }
    }
}

bool EdgeSession::ReportChanges(std::size_t device) {
    const DeviceDef &def = model_.devices[device];
    Device &dev = devices_[device];
    std::vector<std::pair<std::size_t, PointValue>> changed;
    for (std::size_t m = 0; m < def.metrics.size(); ++m) {
        const PointValue v = ReadNow(def.metrics[m]);
        Told &t = dev.told[m];
        if (Changed(def.metrics[m], t.known, t.null, t.raw, v)) {
            changed.emplace_back(m, v);
        } else if (!t.null) {
            t.freshUntilMs = v.freshUntilMs; // read again: fresh for longer, though no news
        }
    }
    if (changed.empty()) {
        NoteFreshness(dev);
        return false;
    }
    PayloadBuilder message = Message(NextSeq());
    for (const auto &[m, v] : changed) {
        message.AddPoint(def.metrics[m], aliases_.Of(device, m), false, v);
        Tell(dev, m, v);
    }
    NoteFreshness(dev);
    if (!Publish(ddataTopics_[device], message)) {
        // Not lost: kept, to go to the host as history after the next births.
        for (const auto &[m, v] : changed) {
            Keep(device, m, v);
        }
        counters_.publishFailed += changed.size();
        flushPending_ = true;
        NoteStore();
    }
    return true;
}

void EdgeSession::Keep(std::size_t device, std::size_t metric, const PointValue &value) {
    store_.Push(HistoryEntry{static_cast<std::uint32_t>(device), static_cast<std::uint32_t>(metric), value, 0});
}

void EdgeSession::RecordChanges(std::size_t device) {
    const DeviceDef &def = model_.devices[device];
    Device &dev = devices_[device];
    for (std::size_t m = 0; m < def.metrics.size(); ++m) {
        const Told &t = dev.told[m];
        // Only a change from a value a birth gave: before the first birth
        // there is nothing to be historical to.
        if (!t.known) {
            continue;
        }
        const PointValue v = ReadNow(def.metrics[m]);
        if (Changed(def.metrics[m], t.known, t.null, t.raw, v)) {
            Keep(device, m, v);
            Tell(dev, m, v);
        }
    }
    NoteStore();
}

void EdgeSession::FlushSlice() {
    const auto born = [this](std::uint32_t d) { return d < devices_.size() && devices_[d].born; };
    std::vector<HistoryEntry> batch = store_.Take(born, kHistoryPerSlice);
    if (batch.empty()) {
        flushPending_ = false;
        NoteStore();
        return;
    }
    // A device's entries come together, oldest first: a DDATA holds up to
    // kHistoryPerMessage of them.
    std::size_t i = 0;
    while (i < batch.size()) {
        const std::size_t first = i;
        const std::uint32_t d = batch[i].device;
        PayloadBuilder message = Message(NextSeq());
        for (; i < batch.size() && batch[i].device == d && i - first < kHistoryPerMessage; ++i) {
            const HistoryEntry &e = batch[i];
            message.AddPoint(model_.devices[d].metrics[e.metric], aliases_.Of(d, e.metric), false, e.value, true);
        }
        if (!Publish(ddataTopics_[d], message)) {
            // Back where they were, this message's and the rest, for the
            // next births: a connection that takes nothing is on its way out.
            store_.PutBack(std::vector<HistoryEntry>(batch.begin() + static_cast<std::ptrdiff_t>(first), batch.end()));
            flushPending_ = false;
            break;
        }
    }
    NoteStore();
}

void EdgeSession::NoteStore() {
    counters_.storeHeld = store_.Size();
    counters_.storeDropped = store_.Dropped();
}

void EdgeSession::ReportNodeMetrics() {
    const std::uint64_t now = clock_.MonoMs();
    if (now - nodeReportedMs_ < settings_.nodeMetricsPeriodMs) {
        return;
    }
    const std::vector<NodeMetric> current = AllNodeMetrics();
    std::vector<std::size_t> changed;
    for (const NodeMetric &m : current) {
        const auto it = nodeIndex_.find(m.name);
        // A metric the NBIRTH did not hold cannot be reported until the next birth.
        if (it != nodeIndex_.end() && !SameNodeValue(nodeTold_[it->second], m)) {
            nodeTold_[it->second] = m;
            changed.push_back(it->second);
        }
    }
    if (changed.empty()) {
        return;
    }
    nodeReportedMs_ = now;
    PayloadBuilder data = Message(NextSeq());
    for (const std::size_t i : changed) {
        data.AddNode(nodeTold_[i], aliases_.NodeAlias(i), false, clock_.WallMs());
    }
    Publish(ndataTopic_, data);
}

} // namespace orvgate::mqtt
