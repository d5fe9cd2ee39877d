#include "web/metrics_text.h"

#include <cstdio>
#include <utility>

namespace orvgate::web {

namespace {

using Labels = std::vector<std::pair<const char *, std::string>>;

std::string Escaped(const std::string &value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// Writes each family's HELP and TYPE once, before its first sample.
class Exposition {
  public:
    void Family(const char *name, const char *type, const char *help) {
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        name_ = name;
    }
    void Sample(const Labels &labels, double value) {
        text_ += name_;
        if (!labels.empty()) {
            text_ += '{';
            for (std::size_t i = 0; i < labels.size(); ++i) {
                text_ += (i == 0 ? "" : ",") + std::string(labels[i].first) + "=\"" + Escaped(labels[i].second) + "\"";
            }
            text_ += '}';
        }
        char number[40];
        std::snprintf(number, sizeof number, " %.17g\n", value);
        text_ += number;
    }
    void Sample(const Labels &labels, std::uint64_t value) {
        Sample(labels, static_cast<double>(value));
    }
    std::string Take() {
        return std::move(text_);
    }

  private:
    std::string text_;
    std::string name_;
};

double UnixSeconds(std::chrono::system_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

constexpr HealthState kStates[] = {HealthState::Unknown, HealthState::Good, HealthState::Failing};

const char *OutcomeLabel(JobResult r) {
    switch (r) {
    case JobResult::Done:
        return "applied";
    case JobResult::Refused:
        return "refused";
    case JobResult::Failed:
        return "failed";
    case JobResult::Expired:
        return "expired";
    case JobResult::Dropped:
        return "dropped";
    case JobResult::Unhealthy:
        return "target_failing";
    case JobResult::AddressRefused:
        return "address_refused";
    }
    return "failed";
}

// Each scan class a channel reads: its period as configured, as run and as
// achieved, its share of the line, and whether it misses its period.
void Classes(Exposition &e, const GateFigures &f) {
    const auto each = [&](const char *name, const char *type, const char *help, auto value) {
        e.Family(name, type, help);
        for (const CardStatus &c : f.cards) {
            for (std::size_t k = 0; k < c.classes.size(); ++k) {
                if (c.classes[k].blocks == 0) {
                    continue;
                }
                const std::string cls = k < f.classNames.size() ? f.classNames[k] : std::to_string(k);
                e.Sample({{"channel", std::to_string(c.channel)}, {"class", cls}}, value(c, c.classes[k]));
            }
        }
    };
    each("orvgate_class_period_seconds", "gauge", "A scan class's period as configured.",
         [](const CardStatus &, const ClassFigures &k) { return Seconds(k.period); });
    each("orvgate_class_effective_period_seconds", "gauge",
         "The period the scheduler runs the class at: stretched when the line is short.",
         [](const CardStatus &, const ClassFigures &k) { return Seconds(k.effective); });
    each("orvgate_class_achieved_period_seconds", "gauge", "The median interval between two reads of a block.",
         [](const CardStatus &, const ClassFigures &k) { return Seconds(k.achievedMedian); });
    each("orvgate_class_achieved_period_p99_seconds", "gauge", "The 99th percentile of those intervals.",
         [](const CardStatus &, const ClassFigures &k) { return Seconds(k.achievedP99); });
    each("orvgate_class_line_ratio", "gauge", "Share of the time since start the class's reads took on the line.",
         [](const CardStatus &c, const ClassFigures &k) { return LineShare(k.busy, c.running); });
    each("orvgate_class_reads_total", "counter", "Block reads of the class.",
         [](const CardStatus &, const ClassFigures &k) { return static_cast<double>(k.reads); });
    each("orvgate_class_missing", "gauge", "1 while the class misses its period.",
         [](const CardStatus &, const ClassFigures &k) { return k.missing ? 1.0 : 0.0; });
}

void Channels(Exposition &e, const GateFigures &f) {
    e.Family("orvgate_channel_state", "gauge",
             "The channel's card: 1 for the state it is in (unknown, good, failing).");
    for (const CardStatus &c : f.cards) {
        for (const HealthState s : kStates) {
            e.Sample({{"channel", std::to_string(c.channel)}, {"state", StateWord(s)}},
                     c.health.state == s ? 1.0 : 0.0);
        }
    }
    e.Family("orvgate_channel_state_since_seconds", "gauge", "When the channel came into its state, Unix time.");
    for (const CardStatus &c : f.cards) {
        e.Sample({{"channel", std::to_string(c.channel)}}, UnixSeconds(f.Wall(c.health.since)));
    }
    e.Family("orvgate_channel_transfers_total", "counter", "Driver calls made on the channel.");
    for (const CardStatus &c : f.cards) {
        e.Sample({{"channel", std::to_string(c.channel)}}, c.health.transfers);
    }
    e.Family("orvgate_channel_failures_total", "counter", "Driver calls on the channel that failed.");
    for (const CardStatus &c : f.cards) {
        e.Sample({{"channel", std::to_string(c.channel)}}, c.health.failures);
    }
    e.Family("orvgate_scan_cycles_total", "counter", "Scan cycles the channel's card thread ended.");
    for (const CardStatus &c : f.cards) {
        e.Sample({{"channel", std::to_string(c.channel)}}, c.cycles);
    }
    e.Family("orvgate_scan_cycle_seconds", "gauge", "The median of the channel's last scan cycles.");
    for (const CardStatus &c : f.cards) {
        e.Sample({{"channel", std::to_string(c.channel)}}, Seconds(c.medianCycle));
    }
    e.Family("orvgate_scan_last_cycle_seconds", "gauge", "The channel's last scan cycle.");
    for (const CardStatus &c : f.cards) {
        e.Sample({{"channel", std::to_string(c.channel)}}, Seconds(c.lastCycle));
    }
    e.Family("orvgate_scan_cycle_cpu_seconds", "gauge", "CPU the channel's card thread used in its last cycle.");
    for (const CardStatus &c : f.cards) {
        e.Sample({{"channel", std::to_string(c.channel)}}, std::chrono::duration<double>(c.cycleCpu).count());
    }
    e.Family("orvgate_line_busy_ratio", "gauge", "Share of the time since start the channel's line was busy.");
    for (const CardStatus &c : f.cards) {
        e.Sample({{"channel", std::to_string(c.channel)}}, LineShare(c.lineBusy, c.running));
    }
    Classes(e, f);
}

void Secondaries(Exposition &e, const GateFigures &f) {
    e.Family("orvgate_secondary_state", "gauge",
             "A secondary as the front ends serve it (failing with its channel): 1 for its state.");
    for (const CardStatus &c : f.cards) {
        for (const auto &[number, h] : c.secondaries) {
            const HealthState state = c.SecondaryState(number);
            for (const HealthState s : kStates) {
                e.Sample({{"channel", std::to_string(c.channel)},
                          {"secondary", std::to_string(number)},
                          {"state", StateWord(s)}},
                         state == s ? 1.0 : 0.0);
            }
        }
    }
    e.Family("orvgate_secondary_state_since_seconds", "gauge",
             "When the secondary came into its own state, Unix time.");
    for (const CardStatus &c : f.cards) {
        for (const auto &[number, h] : c.secondaries) {
            e.Sample({{"channel", std::to_string(c.channel)}, {"secondary", std::to_string(number)}},
                     UnixSeconds(f.Wall(h.since)));
        }
    }
    e.Family("orvgate_secondary_transfers_total", "counter", "Driver calls made through the secondary.");
    for (const CardStatus &c : f.cards) {
        for (const auto &[number, h] : c.secondaries) {
            e.Sample({{"channel", std::to_string(c.channel)}, {"secondary", std::to_string(number)}}, h.transfers);
        }
    }
    e.Family("orvgate_secondary_failures_total", "counter", "Driver calls through the secondary that failed.");
    for (const CardStatus &c : f.cards) {
        for (const auto &[number, h] : c.secondaries) {
            e.Sample({{"channel", std::to_string(c.channel)}, {"secondary", std::to_string(number)}}, h.failures);
        }
    }
}

void FrontEnds(Exposition &e, const GateFigures &f) {
    e.Family("orvgate_writes_total", "counter", "Writes from the front ends, by what became of them.");
    for (std::size_t i = 0; i < kJobResults.size(); ++i) {
        e.Sample({{"outcome", OutcomeLabel(kJobResults[i])}}, f.writes[i]);
    }
    if (f.modbus) {
        const ModbusFigures &m = *f.modbus;
        e.Family("orvgate_modbus_connections", "gauge", "Modbus TCP clients connected now.");
        e.Sample({}, m.connected);
        e.Family("orvgate_modbus_connections_accepted_total", "counter", "Modbus TCP connections accepted.");
        e.Sample({}, m.accepted);
        e.Family("orvgate_modbus_connections_refused_total", "counter",
                 "Modbus TCP connections refused: no room, and none could give way.");
        e.Sample({}, m.refused);
        e.Family("orvgate_modbus_connections_closed_total", "counter",
                 "Modbus TCP connections the gateway closed, by reason.");
        e.Sample({{"reason", "gave_way"}}, m.gaveWay);
        e.Sample({{"reason", "malformed"}}, m.malformed);
        e.Sample({{"reason", "idle"}}, m.idle);
        e.Sample({{"reason", "not_taking_answers"}}, m.stalled);
        e.Family("orvgate_modbus_requests_total", "counter", "Modbus requests answered, exceptions included.");
        e.Sample({}, m.answered);
        e.Family("orvgate_modbus_exceptions_total", "counter",
                 "Modbus requests answered with an exception, by its code (0x0B: the value is not served).");
        for (std::size_t code = 1; code < m.exceptionsByCode.size(); ++code) {
            char label[8];
            std::snprintf(label, sizeof label, "0x%02X", static_cast<unsigned>(code));
            e.Sample({{"code", label}}, m.exceptionsByCode[code]);
        }
    }
    if (f.mqtt) {
        const MqttFigures &q = *f.mqtt;
        e.Family("orvgate_mqtt_online", "gauge", "1 while the edge node is online at the broker (births sent).");
        e.Sample({}, q.online ? 1.0 : 0.0);
        e.Family("orvgate_mqtt_connections_total", "counter", "MQTT sessions the broker accepted.");
        e.Sample({}, q.connections);
        e.Family("orvgate_mqtt_births_total", "counter", "NBIRTHs sent, rebirths included.");
        e.Sample({}, q.births);
        e.Family("orvgate_mqtt_commands_total", "counter", "MQTT commands, by what became of them.");
        e.Sample({{"outcome", "applied"}}, q.commandsApplied);
        e.Sample({{"outcome", "refused"}}, q.commandsRefused);
        e.Sample({{"outcome", "failed"}}, q.commandsFailed);
        e.Sample({{"outcome", "rejected"}}, q.commandsRejected);
        e.Family("orvgate_mqtt_store_held", "gauge", "Changes held for the broker while it is away.");
        e.Sample({}, q.storeHeld);
        e.Family("orvgate_mqtt_store_dropped_total", "counter", "Changes lost to a full store.");
        e.Sample({}, q.storeDropped);
    }
    e.Family("orvgate_web_live_pages", "gauge", "Live pages of the web view open now.");
    e.Sample({}, f.webStreams);
    e.Family("orvgate_web_live_pages_refused_total", "counter", "Live pages refused: as many were open as allowed.");
    e.Sample({}, f.webStreamsRefused);
}

} // namespace

std::string MetricsText(const GateFigures &f) {
    Exposition e;
    e.Family("orvgate_start_time_seconds", "gauge", "When the gateway started, Unix time.");
    e.Sample({}, UnixSeconds(f.startedAt));
    Channels(e, f);
    Secondaries(e, f);
    FrontEnds(e, f);
    return e.Take();
}

} // namespace orvgate::web
