// The Sparkplug B edge node's session, as a state machine over two seams:
// the Transport (an MQTT connection) and the EdgeSource (the gateway's
// core). Every call is made on one thread, the edge node's; the clock is a
// seam too, so the tests run on a fake one. Its jobs live in a file each:
//   edge_session.cpp     the connection: bdSeq, the Will, subscriptions,
//                        retries, the planned stop, the timer
//   edge_publishing.cpp  births and seq, reports by exception, freshness,
//                        health as device deaths and births, the history
//   edge_commands.cpp    NCMD and DCMD, the writes and their outcomes
//   edge_host_state.cpp  the primary host's STATE
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mqtt/bd_seq_file.h"
#include "mqtt/edge_source.h"
#include "mqtt/history_store.h"
#include "mqtt/names.h"
#include "mqtt/payload.h"
#include "mqtt/settings.h"
#include "mqtt/transport.h"

namespace orvgate::mqtt {

enum class LogLevel { Info, Warning };
using LogSink = std::function<void(LogLevel, const std::string &)>;

class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::uint64_t WallMs() const = 0; // ms since the Unix epoch, UTC, for timestamps
    // A steady clock, for waits, and the scale of PointValue::freshUntilMs.
    virtual std::uint64_t MonoMs() const = 0;
};

class SystemClock final : public Clock {
  public:
    std::uint64_t WallMs() const override;
    // std::chrono::steady_clock's milliseconds since its epoch: the core
    // computes PointValue::freshUntilMs from the same clock.
    std::uint64_t MonoMs() const override;
};

// What the edge node counts; the counters are also its own node metrics
// (the names in the comments).
struct EdgeCounters {
    std::uint64_t connections = 0;     // MQTT/Connections: sessions the broker accepted
    std::uint64_t births = 0;          // MQTT/Births: NBIRTHs sent, rebirths included
    std::uint64_t commandsApplied = 0; // MQTT/Commands applied: written, the driver returned 0
    std::uint64_t commandsRefused = 0; // MQTT/Commands refused: refused, too old, expired, withdrawn, target failing
    std::uint64_t commandsFailed = 0;  // MQTT/Commands failed: not confirmed (no answer)
    std::uint64_t commandsRejected =
        0;                       // MQTT/Commands rejected: never written (unknown, read-only, type, value, malformed)
    std::uint64_t storeHeld = 0; // MQTT/Store held: changes waiting for the broker
    std::uint64_t storeDropped = 0;  // MQTT/Store dropped: changes lost to a full store
    std::uint64_t publishFailed = 0; // MQTT/Publish failed: changes the connection did not take, kept in the store
};

// Hands a write's outcome back to the edge node's thread (from a card
// thread, or from inside EdgeSource::Write), to come back as WriteDone.
using WritePoster = std::function<void(std::uint64_t token, const WriteOutcome &outcome)>;

// Writes waiting for their outcome, at most; a command beyond is refused.
inline constexpr std::size_t kMaxPendingWrites = 256;
// Historical values per DDATA when the store is sent after a birth.
inline constexpr std::size_t kHistoryPerMessage = 256;
// Historical values sent per wake-up of the edge node's thread, so that its
// connection (reads, writes, keep-alive) is served between two slices.
inline constexpr std::size_t kHistoryPerSlice = 16 * kHistoryPerMessage;

class EdgeSession final : public TransportEvents {
  public:
    enum class Phase {
        Idle,           // not started
        Waiting,        // for the next try to connect
        Connecting,     // CONNECT sent, waiting for the CONNACK
        Subscribing,    // waiting for the SUBACKs
        WaitingForHost, // subscribed; the primary host is not online
        Online,         // births sent: data flows
        Stopping,       // a planned stop waits (bounded) for writes already running
        Stopped
    };

    // `settings` resolved and checked (settings.h).
    EdgeSession(const EdgeSettings &settings, EdgeSource &source, Transport &transport, const Clock &clock, LogSink log,
                WritePoster post);

    void Start();
    // A planned stop: writes not begun are withdrawn; those running get up
    // to settings.stopWaitMs for their outcome (phase Stopping, ended by
    // WriteDone or Tick); then NDEATH, then DISCONNECT (phase Stopped).
    void Stop();
    void CycleDone(std::int32_t channel);
    // A block of the secondary was read with other values: its device's
    // changes go out at once, unless its last DDATA is less than a scan
    // cycle old; then when it is.
    void BlockChanged(std::int32_t channel, std::int32_t secondary);
    void HealthChanged(std::int32_t channel);
    void WriteDone(std::uint64_t token, const WriteOutcome &outcome);
    // Carries out what is due by now on the steady clock: a new try to
    // connect, a time-out of the CONNACK or the SUBACKs, changes held back
    // until their device's DDATA is a scan cycle old, values that aged past
    // their freshness (sent as null), a slice of the history, the end of a
    // stop's wait.
    void Tick();
    // When Tick is next due on the steady clock (UINT64_MAX: never).
    std::uint64_t NextTimerMs() const;

    Phase phase() const {
        return phase_;
    }
    std::uint8_t BdSeq() const {
        return bdSeq_;
    }
    const EdgeCounters &Counters() const {
        return counters_;
    }

    void OnConnectSent() override;
    void OnConnected(int code) override;
    void OnSubscribed(int mid, bool granted) override;
    void OnMessage(const std::string &topic, const std::uint8_t *data, std::size_t size) override;
    void OnDisconnected(int code) override;

  private:
    // The last value of a metric the host was told (or the store given).
    struct Told {
        bool known = false;
        bool null = true;
        std::uint32_t raw = 0;
        std::uint64_t freshUntilMs = UINT64_MAX; // of the last good read of it (steady clock)
    };
    struct Device {
        bool born = false;
        std::vector<Told> told;
        bool dirty = false;                      // its values may differ from what the host was told
        std::uint64_t toldAtMs = 0;              // when its last birth or DDATA went out (steady clock)
        std::uint64_t freshUntilMs = UINT64_MAX; // the earliest of its told good values'
    };
    // A channel's scan cycles, as their ends were told (steady clock).
    struct Cycles {
        std::uint64_t lastEndMs = 0;
        std::uint64_t lengthMs = 0; // the last cycle's, 0 before two ends
    };
    struct PendingWrite {
        std::size_t device;
        std::size_t metric;
        std::function<bool()> cancel; // EdgeSource::Write's
    };

    void Log(LogLevel level, const std::string &text) const;
    void TryConnect();
    void Retry(std::uint64_t delayMs);
    void RetryAfterFailure();
    void Drop(const std::string &why); // disconnects, and tries again later
    void FinishStop();
    bool Publish(const std::string &topic, const PayloadBuilder &payload);
    PayloadBuilder Message(std::uint8_t seq) const;
    void SendDeath();
    std::uint8_t NextSeq();
    void Birth();
    void DeviceBirth(std::size_t device);
    void DeviceDeath(std::size_t device);
    void Reconcile(std::int32_t channel, bool withData);
    bool ReportChanges(std::size_t device); // true when a DDATA went out
    void ReportWhenDue(std::size_t device);
    std::uint64_t DueMs(std::size_t device) const;
    // The value of a metric now, null once it is past its freshness.
    PointValue ReadNow(const MetricDef &def) const;
    void Tell(Device &dev, std::size_t metric, const PointValue &value);
    void NoteFreshness(Device &dev);
    void Keep(std::size_t device, std::size_t metric, const PointValue &value);
    void RecordChanges(std::size_t device);
    void FlushSlice();
    void NoteStore();
    void WithdrawWrites();
    std::vector<NodeMetric> AllNodeMetrics() const;
    void ReportNodeMetrics();
    void NodeCommand(const std::uint8_t *data, std::size_t size);
    void DeviceCommand(const std::string &deviceId, const std::uint8_t *data, std::size_t size);
    void Reject(const std::string &where, const std::string &why, std::uint64_t count = 1);
    void HostState(const std::uint8_t *data, std::size_t size);

    EdgeSettings settings_;
    EdgeSource &source_;
    Transport &transport_;
    const Clock &clock_;
    LogSink log_;
    WritePoster post_;
    const EdgeModel &model_;
    Aliases aliases_;
    BdSeqFile bdSeqFile_;
    HistoryStore store_;

    std::string nbirthTopic_, ndeathTopic_, ndataTopic_, ncmdTopic_, dcmdPrefix_, stateTopic_;
    std::vector<std::string> dbirthTopics_, ddeathTopics_, ddataTopics_;
    std::map<std::string, std::size_t> deviceById_;
    std::vector<std::map<std::string, std::size_t>> metricByName_;
    std::map<std::int32_t, std::vector<std::size_t>> devicesOfChannel_;
    std::map<std::int32_t, Cycles> cycles_;

    Phase phase_ = Phase::Idle;
    std::uint8_t bdSeq_ = 0;
    std::uint8_t seq_ = 0;
    std::uint64_t timerMs_ = UINT64_MAX; // retry, the CONNACK/SUBACK deadline, or the end of a stop's wait
    unsigned failures_ = 0;
    bool stopConnected_ = false; // Stopping with a session, which gets the NDEATH
    bool flushPending_ = false;  // the store may hold entries of born devices
    std::set<int> subscriptions_;
    bool hostOnline_ = false;
    bool hostSeen_ = false;
    std::uint64_t hostTimestampMs_ = 0;
    std::vector<Device> devices_;

    std::vector<NodeMetric> nodeTold_; // as the last NBIRTH or NDATA gave them
    std::map<std::string, std::size_t> nodeIndex_;
    std::uint64_t nodeReportedMs_ = 0;

    std::map<std::uint64_t, PendingWrite> pending_;
    std::uint64_t nextToken_ = 1;
    EdgeCounters counters_;
};

} // namespace orvgate::mqtt
