#include "web/status_json.h"

#include "common/gate_log.h"
#include "scan/failure_words.h"
#include "web/json_text.h"

namespace orvgate::web {

namespace {

std::uint64_t UnixMs(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

// A health as the page shows it: its state, since when (Unix ms and the
// local time of day), and for a failing one the driver's error and its meaning.
std::string HealthJson(const Health &h, HealthState shown, const Health &why, const GateFigures &f) {
    const auto since = f.Wall(h.since);
    std::string out = "\"state\":" + Quoted(StateWord(shown)) + ",\"since\":" + Number(UnixMs(since)) +
                      ",\"sinceText\":" + Quoted(LocalTime(since)) + ",\"transfers\":" + Number(h.transfers) +
                      ",\"failures\":" + Number(h.failures);
    if (shown == HealthState::Failing) {
        out += ",\"error\":" + Quoted(why.last.text) + ",\"meaning\":" + Quoted(FailureWords(why.last)) +
               ",\"nextTry\":" + Number(UnixMs(f.Wall(why.nextTry)));
    }
    return out;
}

// A new read of an unchanged value is sent only this long after the last
// one sent: the page's ages lag by at most this, and a fast scan does not
// resend every point on every update.
constexpr auto kAgeResend = std::chrono::seconds(1);

const char *AvailabilityWord(Availability a) {
    switch (a) {
    case Availability::Fresh:
        return "good";
    case Availability::Refused:
        return "refused";
    case Availability::Unavailable:
        return "unavailable";
    }
    return "unavailable";
}

} // namespace

std::string StatusJson(const GateFigures &f) {
    std::string out =
        "{\"now\":" + Number(UnixMs(f.wallNow)) + ",\"started\":" + Number(UnixMs(f.startedAt)) + ",\"channels\":[";
    for (std::size_t i = 0; i < f.cards.size(); ++i) {
        const CardStatus &c = f.cards[i];
        out += (i == 0 ? "{" : ",{") + std::string("\"channel\":") + std::to_string(c.channel) + "," +
               HealthJson(c.health, c.health.state, c.health, f) + ",\"cycles\":" + Number(c.cycles) +
               ",\"cycleMs\":" + Number(Milliseconds(c.medianCycle)) +
               ",\"lastCycleMs\":" + Number(Milliseconds(c.lastCycle)) +
               ",\"cpuMs\":" + Number(static_cast<double>(c.cycleCpu.count()) / 1000.0) + ",\"secondaries\":[";
        bool firstSecondary = true;
        for (const auto &[number, h] : c.secondaries) {
            // A secondary fails with its channel, and then the channel's error is why.
            const HealthState shown = c.SecondaryState(number);
            const Health &why = c.health.Failing() ? c.health : h;
            out += (firstSecondary ? "{" : ",{") + std::string("\"secondary\":") + std::to_string(number) + "," +
                   HealthJson(h, shown, why, f) + "}";
            firstSecondary = false;
        }
        out += "],\"lineBusy\":" + Number(LineShare(c.lineBusy, c.running)) + ",\"classes\":[";
        bool firstClass = true;
        for (std::size_t k = 0; k < c.classes.size(); ++k) {
            const ClassFigures &cls = c.classes[k];
            if (cls.blocks == 0) {
                continue;
            }
            const std::string name = k < f.classNames.size() ? f.classNames[k] : std::to_string(k);
            out += (firstClass ? "{" : ",{") + std::string("\"name\":") + Quoted(name) +
                   ",\"blocks\":" + Number(static_cast<double>(cls.blocks)) +
                   ",\"periodMs\":" + Number(Milliseconds(cls.period)) +
                   ",\"effectiveMs\":" + Number(Milliseconds(cls.effective)) +
                   ",\"achievedMs\":" + Number(Milliseconds(cls.achievedMedian)) +
                   ",\"p99Ms\":" + Number(Milliseconds(cls.achievedP99)) +
                   ",\"line\":" + Number(LineShare(cls.busy, c.running)) +
                   ",\"missing\":" + (cls.missing ? "true" : "false") + "}";
            firstClass = false;
        }
        out += "]}";
    }
    out += "],\"writes\":{";
    for (std::size_t i = 0; i < kJobResults.size(); ++i) {
        out += (i == 0 ? "" : ",") + Quoted(JobResultName(kJobResults[i])) + ":" + Number(f.writes[i]);
    }
    out += "},\"recentWrites\":[";
    for (std::size_t i = 0; i < f.recentWrites.size(); ++i) {
        const RecentWrite &w = f.recentWrites[i];
        out += (i == 0 ? "{" : ",{") + std::string("\"at\":") + Quoted(LocalTime(w.at)) +
               ",\"line\":" + Quoted(w.line) + ",\"applied\":" + (w.result == JobResult::Done ? "true" : "false") + "}";
    }
    out += "],\"modbus\":";
    if (f.modbus) {
        const ModbusFigures &m = *f.modbus;
        out += "{\"connected\":" + Number(m.connected) + ",\"accepted\":" + Number(m.accepted) +
               ",\"refused\":" + Number(m.refused) + ",\"gaveWay\":" + Number(m.gaveWay) +
               ",\"malformed\":" + Number(m.malformed) + ",\"idle\":" + Number(m.idle) +
               ",\"stalled\":" + Number(m.stalled) + ",\"answered\":" + Number(m.answered) +
               ",\"exceptions\":" + Number(m.exceptions) + "}";
    } else {
        out += "null";
    }
    out += ",\"mqtt\":";
    if (f.mqtt) {
        const MqttFigures &q = *f.mqtt;
        out += "{\"phase\":" + Quoted(q.phase) + ",\"online\":" + (q.online ? "true" : "false") +
               ",\"connections\":" + Number(q.connections) + ",\"births\":" + Number(q.births) +
               ",\"applied\":" + Number(q.commandsApplied) + ",\"refused\":" + Number(q.commandsRefused) +
               ",\"failed\":" + Number(q.commandsFailed) + ",\"rejected\":" + Number(q.commandsRejected) +
               ",\"storeHeld\":" + Number(q.storeHeld) + ",\"storeDropped\":" + Number(q.storeDropped) + "}";
    } else {
        out += "null";
    }
    return out + ",\"livePages\":" + Number(f.webStreams) + "}";
}

std::string PointsJson(const PointValues &values) {
    std::string out = "[";
    bool first = true;
    for (std::size_t r = 0; r < values.Ranges().size(); ++r) {
        const CheckedRange &c = values.Ranges()[r];
        const RangeLine &line = c.range;
        for (std::int32_t p = 0; p < line.count; ++p) {
            out += first ? "{" : ",{";
            first = false;
            out += "\"channel\":" + std::to_string(c.span.channel) +
                   ",\"secondary\":" + std::to_string(c.span.secondary) + ",\"label\":" + Quoted(PointLabel(line, p)) +
                   ",\"kind\":" + Quoted(ValueKindName(line.kind)) +
                   ",\"writable\":" + (values.Writable(r) ? "true" : "false");
            if (line.modbus) {
                out += ",\"unit\":" + std::to_string(line.unit) + ",\"table\":" + Quoted(TableName(line.table)) +
                       ",\"address\":" +
                       std::to_string(line.address + static_cast<std::uint32_t>(p) * SlotsPerValue(line.kind));
            }
            out += "}";
        }
    }
    return out + "]";
}

std::string ValueStream::Next(const PointValues &values, Clock::time_point now,
                              std::chrono::system_clock::time_point wallNow) {
    const PointValues::Snapshot look = values.Look(now);
    std::string changes;
    std::size_t index = 0;
    for (std::size_t r = 0; r < values.Ranges().size(); ++r) {
        const CheckedRange &c = values.Ranges()[r];
        for (std::int32_t p = 0; p < c.range.count; ++p, ++index) {
            const PointReading reading = look.Get(r, p);
            if (index >= sent_.size()) {
                sent_.resize(index + 1);
            }
            Sent &s = sent_[index];
            const bool changed = first_ || s.availability != reading.availability ||
                                 (reading.Fresh() && (s.raw != reading.raw || reading.readAt - s.readAt >= kAgeResend));
            if (!changed) {
                continue;
            }
            s = {reading.availability, reading.raw, reading.readAt};
            changes += changes.empty() ? "[" : ",[";
            changes += std::to_string(index) + "," + Quoted(AvailabilityWord(reading.availability));
            if (reading.Fresh()) {
                const auto readAt =
                    wallNow - std::chrono::duration_cast<std::chrono::system_clock::duration>(now - reading.readAt);
                changes += "," + Quoted(PointText(c.range.kind, reading.raw)) + "," + Number(UnixMs(readAt));
            }
            changes += "]";
        }
    }
    first_ = false;
    if (changes.empty()) {
        return {};
    }
    return "{\"now\":" + Number(UnixMs(wallNow)) + ",\"changes\":[" + changes + "]}";
}

} // namespace orvgate::web
