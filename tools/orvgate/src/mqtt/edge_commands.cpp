// The session's commands: the NCMD it obeys (a rebirth), DCMDs checked
// against the map and their age and turned into writes, the writes'
// outcomes confirmed, and the writes not begun withdrawn at a stop.
#include <algorithm>

#include "mqtt/commands.h"
#include "mqtt/edge_session.h"

namespace orvgate::mqtt {

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
    std::optional<std::uint64_t> sentMs;
    if (!DecodeCommand(data, size, metrics, error, &sentMs)) {
        Reject(where, error);
        return;
    }
    const auto dev = deviceById_.find(deviceId);
    if (dev == deviceById_.end()) {
        Reject(where, "no such device", std::max<std::size_t>(metrics.size(), 1));
        return;
    }
    if (phase_ != Phase::Online) {
        Reject(where, phase_ == Phase::Stopping ? "the node is stopping" : "the node has not sent its births",
               std::max<std::size_t>(metrics.size(), 1));
        return;
    }
    // A command a host's client held through an outage is not what its
    // operator asks for now. One without a timestamp cannot be judged, and
    // is taken: hosts that queue commands stamp them.
    const std::uint64_t now = clock_.WallMs();
    if (sentMs && settings_.commandMaxAgeMs > 0 && *sentMs < now && now - *sentMs > settings_.commandMaxAgeMs) {
        counters_.commandsRefused += metrics.size();
        Log(LogLevel::Warning, where + ": refused: sent " + std::to_string(now - *sentMs) + " ms ago, more than " +
                                   std::to_string(settings_.commandMaxAgeMs) + " ms");
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
            Reject(where, "\"" + metric.name + "\": " + Explain(check, metric, c));
            continue;
        }
        if (pending_.size() >= kMaxPendingWrites) {
            ++counters_.commandsRefused;
            Log(LogLevel::Warning, where + ": \"" + metric.name + "\": refused: too many writes waiting");
            continue;
        }
        const std::uint64_t token = nextToken_++;
        // Entered before the write: its outcome may be posted before Write returns.
        const auto entry = pending_.emplace(token, PendingWrite{d, m, {}}).first;
        const WritePoster post = post_;
        std::function<bool()> cancel =
            source_.Write(metric.point, raw, [post, token](const WriteOutcome &outcome) { post(token, outcome); });
        entry->second.cancel = std::move(cancel);
    }
}

void EdgeSession::WithdrawWrites() {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->second.cancel && it->second.cancel()) {
            const DeviceDef &def = model_.devices[it->second.device];
            ++counters_.commandsRefused;
            Log(LogLevel::Warning, "DCMD " + def.id + ": \"" + def.metrics[it->second.metric].name +
                                       "\": withdrawn at the stop, not written");
            it = pending_.erase(it);
        } else {
            ++it;
        }
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
        ++counters_.commandsApplied;
        break;
    case WriteOutcome::Result::Refused:
    case WriteOutcome::Result::Expired:
    case WriteOutcome::Result::Unhealthy:
        ++counters_.commandsRefused;
        Log(LogLevel::Warning, what + "write refused: " + outcome.detail);
        break;
    case WriteOutcome::Result::Failed:
        ++counters_.commandsFailed;
        Log(LogLevel::Warning, what + "write not confirmed: " + outcome.detail);
        break;
    }
    Device &dev = devices_[w.device];
    const bool online = phase_ == Phase::Online || (phase_ == Phase::Stopping && stopConnected_);
    // The value read back after the write is the confirmation a host waits
    // for, so it is sent even when it equals what the host was last told.
    if (outcome.result == WriteOutcome::Result::Applied && outcome.readBackGood && online && dev.born) {
        PointValue v;
        v.state = PointValue::State::Good;
        v.raw = outcome.readBack;
        v.timestampMs = outcome.readBackMs;
        PayloadBuilder message = Message(NextSeq());
        message.AddPoint(metric, aliases_.Of(w.device, w.metric), false, v);
        if (Publish(ddataTopics_[w.device], message)) {
            // Its freshness is the next read's to give; until then it is as fresh as the last.
            const std::uint64_t freshUntil = dev.told[w.metric].freshUntilMs;
            dev.told[w.metric] = Told{true, false, v.raw, freshUntil};
        }
    }
    if (phase_ == Phase::Stopping && pending_.empty()) {
        FinishStop();
    }
}

} // namespace orvgate::mqtt
