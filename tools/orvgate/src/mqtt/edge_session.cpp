#include "mqtt/edge_session.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>

#include "mqtt/commands.h"
#include "mqtt/state_message.h"

namespace orvgate::mqtt {

namespace {

// Sparkplug B's birth and data messages go at QoS 0, never retained; the
// death certificate at QoS 1, as the Will is.
constexpr int kDataQos = 0;
constexpr int kDeathQos = 1;
constexpr int kCommandQos = 1;

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

std::uint64_t SystemClock::WallMs() const {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

std::uint64_t SystemClock::MonoMs() const {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

EdgeSession::EdgeSession(const EdgeSettings &settings, EdgeSource &source, Transport &transport, const Clock &clock,
                         LogSink log, WritePoster post)
    : settings_(settings), source_(source), transport_(transport), clock_(clock), log_(std::move(log)),
      post_(std::move(post)), model_(source.Model()), aliases_(model_), bdSeqFile_(settings.stateFile),
      store_(settings.storeSize) {
    const std::string &g = settings_.groupId;
    const std::string &e = settings_.edgeNodeId;
    nbirthTopic_ = NodeTopic(NodeMessage::NBIRTH, g, e);
    ndeathTopic_ = NodeTopic(NodeMessage::NDEATH, g, e);
    ndataTopic_ = NodeTopic(NodeMessage::NDATA, g, e);
    ncmdTopic_ = NodeTopic(NodeMessage::NCMD, g, e);
    dcmdPrefix_ = std::string(kNamespace) + "/" + g + "/DCMD/" + e + "/";
    if (!settings_.primaryHostId.empty()) {
        stateTopic_ = HostStateTopic(settings_.primaryHostId);
    }
    devices_.resize(model_.devices.size());
    metricByName_.resize(model_.devices.size());
    for (std::size_t d = 0; d < model_.devices.size(); ++d) {
        const DeviceDef &def = model_.devices[d];
        dbirthTopics_.push_back(DeviceTopic(DeviceMessage::DBIRTH, g, e, def.id));
        ddeathTopics_.push_back(DeviceTopic(DeviceMessage::DDEATH, g, e, def.id));
        ddataTopics_.push_back(DeviceTopic(DeviceMessage::DDATA, g, e, def.id));
        deviceById_.emplace(def.id, d);
        devicesOfChannel_[def.channel].push_back(d);
        devices_[d].told.resize(def.metrics.size());
        for (std::size_t m = 0; m < def.metrics.size(); ++m) {
            metricByName_[d].emplace(def.metrics[m].name, m);
        }
    }
    transport_.SetEvents(this);
}

void EdgeSession::Log(LogLevel level, const std::string &text) const {
    if (log_) {
        log_(level, text);
    }
}

void EdgeSession::Start() {
    if (phase_ == Phase::Idle) {
        TryConnect();
    }
}

void EdgeSession::TryConnect() {
    std::string warning;
    bdSeq_ = bdSeqFile_.Next(warning);
    if (!warning.empty()) {
        Log(LogLevel::Warning, warning);
    }
    WillMessage will;
    will.topic = ndeathTopic_;
    will.payload = DeathPayload(bdSeq_, clock_.WallMs());
    will.qos = kDeathQos;
    will.retain = false;
    hostOnline_ = false;
    subscriptions_.clear();
    std::string error;
    if (!transport_.Connect(will, error)) {
        Log(LogLevel::Warning,
            "cannot connect to " + settings_.host + ":" + std::to_string(settings_.port) + ": " + error);
        RetryAfterFailure();
        return;
    }
    phase_ = Phase::Connecting;
    timerMs_ = clock_.MonoMs() + settings_.connectTimeoutMs;
}

void EdgeSession::Retry(std::uint64_t delayMs) {
    phase_ = Phase::Waiting;
    timerMs_ = clock_.MonoMs() + delayMs;
}

void EdgeSession::RetryAfterFailure() {
    // Doubled after each failure, from reconnectMinMs up to reconnectMaxMs.
    std::uint64_t delay = settings_.reconnectMinMs;
    for (unsigned i = 0; i < failures_ && delay < settings_.reconnectMaxMs; ++i) {
        delay *= 2;
    }
    delay = std::min<std::uint64_t>(delay, settings_.reconnectMaxMs);
    ++failures_;
    Retry(delay);
}

void EdgeSession::Drop(const std::string &why) {
    Log(LogLevel::Warning, why);
    transport_.Disconnect();
    RetryAfterFailure();
}

void EdgeSession::Stop() {
    if (phase_ == Phase::Subscribing || phase_ == Phase::WaitingForHost || phase_ == Phase::Online) {
        SendDeath();
    }
    if (phase_ != Phase::Idle && phase_ != Phase::Waiting && phase_ != Phase::Stopped) {
        transport_.Disconnect();
    }
    phase_ = Phase::Stopped;
    timerMs_ = UINT64_MAX;
}

void EdgeSession::SendDeath() {
    // As the Will holds it, so a host reads a planned stop as it would a lost connection.
    transport_.Publish(ndeathTopic_, DeathPayload(bdSeq_, clock_.WallMs()), kDeathQos, false);
}

void EdgeSession::Tick() {
    if (phase_ == Phase::Online) {
        for (std::size_t d = 0; d < devices_.size(); ++d) {
            ReportWhenDue(d);
        }
    }
    if (clock_.MonoMs() < timerMs_) {
        return;
    }
    switch (phase_) {
    case Phase::Waiting:
        TryConnect();
        break;
    case Phase::Connecting:
        Drop("no CONNACK from the broker in time");
        break;
    case Phase::Subscribing:
        Drop("no SUBACK from the broker in time");
        break;
    default:
        timerMs_ = UINT64_MAX;
        break;
    }
}

std::uint64_t EdgeSession::NextTimerMs() const {
    std::uint64_t next = timerMs_;
    if (phase_ == Phase::Online) {
        for (std::size_t d = 0; d < devices_.size(); ++d) {
            if (devices_[d].born && devices_[d].dirty) {
                next = std::min(next, DueMs(d));
            }
        }
    }
    return next;
}

void EdgeSession::OnConnected(int code) {
    if (phase_ != Phase::Connecting) {
        return;
    }
    if (code != 0) {
        Drop("the broker refused the connection (CONNACK " + std::to_string(code) + ")");
        return;
    }
    ++counters_.connections;
    std::vector<std::string> filters{ncmdTopic_, DeviceCommandFilter(settings_.groupId, settings_.edgeNodeId)};
    if (!stateTopic_.empty()) {
        filters.push_back(stateTopic_);
    }
    // Subscribed, and acknowledged, before the NBIRTH: a command sent in
    // answer to the birth can then not be missed.
    for (const std::string &filter : filters) {
        int mid = 0;
        if (!transport_.Subscribe(filter, kCommandQos, mid)) {
            Drop("cannot subscribe to " + filter);
            return;
        }
        subscriptions_.insert(mid);
    }
    phase_ = Phase::Subscribing;
    timerMs_ = clock_.MonoMs() + settings_.connectTimeoutMs;
}

void EdgeSession::OnSubscribed(int mid, bool granted) {
    if (phase_ != Phase::Subscribing || subscriptions_.erase(mid) == 0) {
        return;
    }
    if (!granted) {
        Drop("the broker refused a subscription");
        return;
    }
    if (!subscriptions_.empty()) {
        return;
    }
    timerMs_ = UINT64_MAX;
    if (!stateTopic_.empty() && !hostOnline_) {
        phase_ = Phase::WaitingForHost;
        Log(LogLevel::Info, "waiting for primary host " + settings_.primaryHostId + " to be online");
        return;
    }
    Birth();
}

void EdgeSession::OnDisconnected(int code) {
    if (phase_ == Phase::Connecting || phase_ == Phase::Subscribing || phase_ == Phase::WaitingForHost ||
        phase_ == Phase::Online) {
        Log(LogLevel::Warning, "connection to the broker lost (" + std::to_string(code) + ")");
        RetryAfterFailure();
    }
}

std::uint8_t EdgeSession::NextSeq() {
    const std::uint8_t s = seq_;
    seq_ = static_cast<std::uint8_t>(seq_ + 1u);
    return s;
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
    return all;
}

void EdgeSession::Birth() {
    ++counters_.births;
    const std::uint64_t now = clock_.WallMs();
    seq_ = 0;
    PayloadBuilder birth(now, NextSeq());
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
    Publish(nbirthTopic_, birth);
    for (std::size_t d = 0; d < devices_.size(); ++d) {
        devices_[d].born = false;
        if (source_.DeviceAlive(d)) {
            DeviceBirth(d);
        }
    }
    phase_ = Phase::Online;
    failures_ = 0;
    timerMs_ = UINT64_MAX;
    FlushHistory();
}

void EdgeSession::DeviceBirth(std::size_t device) {
    const DeviceDef &def = model_.devices[device];
    Device &dev = devices_[device];
    PayloadBuilder birth(clock_.WallMs(), NextSeq());
    for (std::size_t m = 0; m < def.metrics.size(); ++m) {
        const PointValue v = source_.Read(def.metrics[m].point);
        birth.AddPoint(def.metrics[m], aliases_.Of(device, m), true, v);
        dev.told[m] = Told{true, v.state != PointValue::State::Good, v.raw};
    }
    Publish(dbirthTopics_[device], birth);
    dev.born = true;
    dev.dirty = false;
    dev.toldAtMs = clock_.MonoMs();
}

void EdgeSession::DeviceDeath(std::size_t device) {
    PayloadBuilder death(clock_.WallMs(), NextSeq());
    Publish(ddeathTopics_[device], death);
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
    bool bornNow = false;
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
            // that cycle read, not only the first block's.
            DeviceBirth(d);
            bornNow = true;
        } else if (dev.born && withData) {
            ReportWhenDue(d);
        }
    }
    if (bornNow) {
        FlushHistory();
    }
}

bool EdgeSession::ReportChanges(std::size_t device) {
    const DeviceDef &def = model_.devices[device];
    Device &dev = devices_[device];
    std::vector<std::pair<std::size_t, PointValue>> changed;
    for (std::size_t m = 0; m < def.metrics.size(); ++m) {
        const PointValue v = source_.Read(def.metrics[m].point);
        const Told &t = dev.told[m];
        if (Changed(def.metrics[m], t.known, t.null, t.raw, v)) {
            changed.emplace_back(m, v);
        }
    }
    if (changed.empty()) {
        return false;
    }
    PayloadBuilder message(clock_.WallMs(), NextSeq());
    for (const auto &[m, v] : changed) {
        message.AddPoint(def.metrics[m], aliases_.Of(device, m), false, v);
        dev.told[m] = Told{true, v.state != PointValue::State::Good, v.raw};
    }
    Publish(ddataTopics_[device], message);
    return true;
}

void EdgeSession::RecordChanges(std::size_t device) {
    const DeviceDef &def = model_.devices[device];
    Device &dev = devices_[device];
    for (std::size_t m = 0; m < def.metrics.size(); ++m) {
        Told &t = dev.told[m];
        // Only a change from a value a birth gave: before the first birth
        // there is nothing to be historical to.
        if (!t.known) {
            continue;
        }
        const PointValue v = source_.Read(def.metrics[m].point);
        if (Changed(def.metrics[m], t.known, t.null, t.raw, v)) {
            store_.Push(HistoryEntry{static_cast<std::uint32_t>(device), static_cast<std::uint32_t>(m), v});
            t = Told{true, v.state != PointValue::State::Good, v.raw};
        }
    }
    counters_.storeHeld = store_.Size();
    counters_.storeDropped = store_.Dropped();
}

void EdgeSession::FlushHistory() {
    const auto born = [this](std::uint32_t d) { return d < devices_.size() && devices_[d].born; };
    for (;;) {
        const std::vector<HistoryEntry> batch = store_.Take(born, kHistoryPerMessage);
        if (batch.empty()) {
            break;
        }
        // Consecutive entries of one device share a DDATA, so the host gets them oldest first.
        std::size_t i = 0;
        while (i < batch.size()) {
            const std::uint32_t d = batch[i].device;
            PayloadBuilder message(clock_.WallMs(), NextSeq());
            for (; i < batch.size() && batch[i].device == d; ++i) {
                const HistoryEntry &e = batch[i];
                message.AddPoint(model_.devices[d].metrics[e.metric], aliases_.Of(d, e.metric), false, e.value, true);
            }
            Publish(ddataTopics_[d], message);
        }
    }
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
    PayloadBuilder data(clock_.WallMs(), NextSeq());
    for (const std::size_t i : changed) {
        data.AddNode(nodeTold_[i], aliases_.NodeAlias(i), false, clock_.WallMs());
    }
    Publish(ndataTopic_, data);
}

void EdgeSession::OnMessage(const std::string &topic, const std::uint8_t *data, std::size_t size) {
    if (!stateTopic_.empty() && topic == stateTopic_) {
        HostState(data, size);
    } else if (topic == ncmdTopic_) {
        NodeCommand(data, size);
    } else if (topic.size() > dcmdPrefix_.size() && topic.compare(0, dcmdPrefix_.size(), dcmdPrefix_) == 0) {
        DeviceCommand(topic.substr(dcmdPrefix_.size()), data, size);
    }
}

void EdgeSession::Reject(const std::string &where, const std::string &why, std::uint64_t count) {
    counters_.commandsRejected += count;
    Log(LogLevel::Warning, where + ": not written: " + why);
}

void EdgeSession::NodeCommand(const std::uint8_t *data, std::size_t size) {
    std::vector<CommandMetric> metrics;
    std::string error;
    if (!DecodeCommand(data, size, metrics, error)) {
        Reject("NCMD", error);
        return;
    }
    bool rebirth = false;
    for (const CommandMetric &c : metrics) {
        if (IsRebirthRequest(c)) {
            rebirth = true;
        } else {
            // The node's own metrics are statistics: there is nothing to write.
            Reject("NCMD", "metric " +
                               (c.name ? "\"" + *c.name + "\"" : "of alias " + std::to_string(c.alias.value_or(0))) +
                               " is not writable");
        }
    }
    if (!rebirth) {
        return;
    }
    if (phase_ != Phase::Online) {
        Log(LogLevel::Info, "NCMD: rebirth asked for before the births; they are still to come");
        return;
    }
    Log(LogLevel::Info, "NCMD: rebirth");
    Birth();
}

void EdgeSession::DeviceCommand(const std::string &deviceId, const std::uint8_t *data, std::size_t size) {
    const std::string where = "DCMD " + deviceId;
    std::vector<CommandMetric> metrics;
    std::string error;
    if (!DecodeCommand(data, size, metrics, error)) {
        Reject(where, error);
        return;
    }
    const auto dev = deviceById_.find(deviceId);
    if (dev == deviceById_.end()) {
        Reject(where, "no such device", std::max<std::size_t>(metrics.size(), 1));
        return;
    }
    if (phase_ != Phase::Online) {
        Reject(where, "the node has not sent its births", std::max<std::size_t>(metrics.size(), 1));
        return;
    }
    const std::size_t d = dev->second;
    const DeviceDef &def = model_.devices[d];
    for (const CommandMetric &c : metrics) {
        std::size_t m = 0;
        if (c.alias) {
            if (!aliases_.Find(d, *c.alias, m)) {
                Reject(where, "no metric of alias " + std::to_string(*c.alias));
                continue;
            }
            if (c.name && *c.name != def.metrics[m].name) {
                Reject(where, "alias " + std::to_string(*c.alias) + " is not \"" + *c.name + "\"");
                continue;
            }
        } else if (c.name) {
            const auto it = metricByName_[d].find(*c.name);
            if (it == metricByName_[d].end()) {
                Reject(where, "no metric \"" + *c.name + "\"");
                continue;
            }
            m = it->second;
        } else {
            Reject(where, "a metric with neither alias nor name");
            continue;
        }
        const MetricDef &metric = def.metrics[m];
        std::uint32_t raw = 0;
        const CommandCheck check = CheckCommand(metric, c, raw);
        if (check != CommandCheck::Write) {
            Reject(where, "\"" + metric.name + "\": " + Describe(check));
            continue;
        }
        if (pending_.size() >= kMaxPendingWrites) {
            ++counters_.commandsRefused;
            Log(LogLevel::Warning, where + ": \"" + metric.name + "\": refused: too many writes waiting");
            continue;
        }
        const std::uint64_t token = nextToken_++;
        pending_.emplace(token, PendingWrite{d, m});
        const WritePoster post = post_;
        source_.Write(metric.point, raw, [post, token](const WriteOutcome &outcome) { post(token, outcome); });
    }
}

void EdgeSession::WriteDone(std::uint64_t token, const WriteOutcome &outcome) {
    const auto it = pending_.find(token);
    if (it == pending_.end()) {
        return;
    }
    const PendingWrite w = it->second;
    pending_.erase(it);
    const DeviceDef &def = model_.devices[w.device];
    const MetricDef &metric = def.metrics[w.metric];
    const std::string what = "DCMD " + def.id + ": \"" + metric.name + "\": ";
    switch (outcome.result) {
    case WriteOutcome::Result::Applied:
        break;
    case WriteOutcome::Result::Refused:
    case WriteOutcome::Result::Expired:
    case WriteOutcome::Result::Unhealthy:
        ++counters_.commandsRefused;
        Log(LogLevel::Warning, what + "write refused: " + outcome.detail);
        return;
    case WriteOutcome::Result::Failed:
        ++counters_.commandsFailed;
        Log(LogLevel::Warning, what + "write not confirmed: " + outcome.detail);
        return;
    }
    ++counters_.commandsApplied;
    Device &dev = devices_[w.device];
    // The value read back after the write is the confirmation a host waits
    // for, so it is sent even when it equals what the host was last told.
    if (!outcome.readBackGood || phase_ != Phase::Online || !dev.born) {
        return;
    }
    PointValue v;
    v.state = PointValue::State::Good;
    v.raw = outcome.readBack;
    v.timestampMs = outcome.readBackMs;
    PayloadBuilder message(clock_.WallMs(), NextSeq());
    message.AddPoint(metric, aliases_.Of(w.device, w.metric), false, v);
    dev.told[w.metric] = Told{true, false, v.raw};
    Publish(ddataTopics_[w.device], message);
}

void EdgeSession::HostState(const std::uint8_t *data, std::size_t size) {
    const std::optional<orvgate::mqtt::HostState> state =
        ParseHostState(std::string_view(reinterpret_cast<const char *>(data), size));
    if (!state) {
        Log(LogLevel::Warning, "STATE of " + settings_.primaryHostId + ": not {\"online\":bool,\"timestamp\":ms}");
        return;
    }
    // A host's death certificate carries its birth's timestamp, so a state
    // as old as the last one seen still counts; only an older one is stale.
    if (hostSeen_ && state->timestampMs < hostTimestampMs_) {
        Log(LogLevel::Info, "STATE of " + settings_.primaryHostId + ": older than the last one seen, ignored");
        return;
    }
    hostSeen_ = true;
    hostTimestampMs_ = state->timestampMs;
    hostOnline_ = state->online;
    if (state->online) {
        if (phase_ == Phase::WaitingForHost) {
            Log(LogLevel::Info, "primary host " + settings_.primaryHostId + " online");
            Birth();
        }
        return;
    }
    if (phase_ == Phase::Online) {
        Log(LogLevel::Warning, "primary host " + settings_.primaryHostId + " offline: leaving the broker");
        SendDeath();
        transport_.Disconnect();
        failures_ = 0;
        Retry(settings_.reconnectMinMs);
    }
}

} // namespace orvgate::mqtt
