// The session's connection: bdSeq, the Will, the subscriptions, the waits
// between tries, the planned stop, and the timer that drives them.
#include "mqtt/edge_session.h"

#include <algorithm>
#include <chrono>

#include "mqtt/disconnect_words.h"

namespace orvgate::mqtt {

namespace {

// The death certificate goes at QoS 1, as the Will does; commands are
// taken at QoS 1.
constexpr int kDeathQos = 1;
constexpr int kCommandQos = 1;

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
    // The number a CONNECT that never went out reserved is the next one's.
    std::string warning;
    bdSeq_ = bdSeqFile_.Reserve(warning);
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
    if (phase_ == Phase::Stopping || phase_ == Phase::Stopped) {
        return;
    }
    WithdrawWrites();
    if (phase_ == Phase::Connecting) {
        transport_.Disconnect();
    }
    stopConnected_ = phase_ == Phase::Subscribing || phase_ == Phase::WaitingForHost || phase_ == Phase::Online;
    phase_ = Phase::Stopping;
    if (stopConnected_ && !pending_.empty()) {
        // Their outcome is worth the wait: the host that sent them is told
        // what became of them before the NDEATH, not left guessing.
        Log(LogLevel::Info, "stopping: waiting up to " + std::to_string(settings_.stopWaitMs) + " ms for " +
                                std::to_string(pending_.size()) + " write(s) already running");
        timerMs_ = clock_.MonoMs() + settings_.stopWaitMs;
        return;
    }
    FinishStop();
}

void EdgeSession::FinishStop() {
    if (!pending_.empty()) {
        Log(LogLevel::Warning, std::to_string(pending_.size()) + " write(s) still running at the stop: not confirmed");
    }
    if (stopConnected_) {
        SendDeath();
        transport_.Disconnect();
    }
    stopConnected_ = false;
    phase_ = Phase::Stopped;
    timerMs_ = UINT64_MAX;
}

void EdgeSession::SendDeath() {
    // As the Will holds it, so a host reads a planned stop as it would a lost connection.
    transport_.Publish(ndeathTopic_, DeathPayload(bdSeq_, clock_.WallMs()), kDeathQos, false);
}

void EdgeSession::Tick() {
    const std::uint64_t now = clock_.MonoMs();
    if (phase_ == Phase::Online) {
        for (std::size_t d = 0; d < devices_.size(); ++d) {
            // A value told as good that aged past its freshness is news too.
            if (devices_[d].born && devices_[d].freshUntilMs <= now) {
                devices_[d].dirty = true;
            }
            ReportWhenDue(d);
        }
        if (flushPending_ && !transport_.Backlogged()) {
            FlushSlice();
        }
    }
    if (now < timerMs_) {
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
    case Phase::Stopping:
        FinishStop();
        break;
    default:
        timerMs_ = UINT64_MAX;
        break;
    }
}

std::uint64_t EdgeSession::NextTimerMs() const {
    std::uint64_t next = timerMs_;
    if (phase_ == Phase::Online) {
        if (flushPending_ && !transport_.Backlogged()) {
            return clock_.MonoMs();
        }
        for (std::size_t d = 0; d < devices_.size(); ++d) {
            if (devices_[d].born) {
                next = std::min(next, devices_[d].dirty ? DueMs(d) : devices_[d].freshUntilMs);
            }
        }
    }
    return next;
}

void EdgeSession::OnConnectSent() {
    if (phase_ == Phase::Connecting) {
        bdSeqFile_.Sent();
    }
}

void EdgeSession::OnConnected(int code) {
    if (phase_ != Phase::Connecting) {
        return;
    }
    bdSeqFile_.Sent(); // answered, so sent, whatever the transport saw
    if (code != 0) {
        Drop("the broker refused the connection (CONNACK " + std::to_string(code) + ")");
        return;
    }
    ++counters_.connections;
    Log(LogLevel::Info, "connected to the broker " + settings_.host + ":" + std::to_string(settings_.port));
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
    if (phase_ == Phase::Stopping) {
        stopConnected_ = false;
        return;
    }
    if (phase_ == Phase::Connecting || phase_ == Phase::Subscribing || phase_ == Phase::WaitingForHost ||
        phase_ == Phase::Online) {
        Log(LogLevel::Warning, "connection to the broker lost: " + DisconnectWords(code));
        RetryAfterFailure();
    }
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

} // namespace orvgate::mqtt
