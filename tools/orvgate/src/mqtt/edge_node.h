// The edge node: the session (edge_session.h) on a thread of its own over
// libmosquitto, woken by the card threads' events through an eventfd.
//
//   EdgeNode node(settings, source, log);
//   if (!node.Start(error)) { ... }          // checks settings and model, connects in the background
//   core.AddObserver(&node.Events());         // before the core runs: card threads queue events
//   ...
//   node.Stop();                              // NDEATH, DISCONNECT, thread joined
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "common/heartbeat.h"
#include "mqtt/edge_session.h"
#include "mqtt/edge_source.h"
#include "mqtt/settings.h"
#include "scan/core_events.h"

namespace orvgate::mqtt {

class MosquittoTransport;

class EdgeNode {
  public:
    // `log` gets every line of the edge node, from its thread; none: standard error.
    EdgeNode(const EdgeSettings &settings, EdgeSource &source, LogSink log = {});
    ~EdgeNode();
    EdgeNode(const EdgeNode &) = delete;
    EdgeNode &operator=(const EdgeNode &) = delete;

    // Resolves and checks the settings and the source's model, and starts
    // the thread, which connects (and reconnects) on its own. False, with
    // the first problem (naming the map line where there is one).
    bool Start(std::string &error);
    // A planned stop: the thread withdraws the writes not begun, waits
    // (bounded) for those running, publishes NDEATH, disconnects, and ends.
    void Stop();

    // For the core's card threads; they only queue and wake the edge node.
    CoreObserver &Events() {
        return events_;
    }

    // As the thread last left them; any thread may ask.
    EdgeCounters Counters() const;
    EdgeSession::Phase Phase() const {
        return phase_.load();
    }
    const EdgeSettings &Settings() const {
        return settings_;
    }
    // Stamped on each turn of its thread's loop, for the service's watchdog.
    const Heartbeat &Progress() const {
        return heartbeat_;
    }

  private:
    class Queue final : public CoreObserver {
      public:
        explicit Queue(EdgeNode &node) : node_(node) {}
        void CycleDone(std::int32_t channel) override;
        void BlockChanged(std::int32_t channel, std::int32_t secondary) override;
        void HealthChanged(std::int32_t channel) override;

      private:
        EdgeNode &node_;
    };
    struct Event {
        enum class Kind { Cycle, Block, Health, Write } kind;
        std::int32_t channel = 0;
        std::int32_t secondary = 0; // of a Block
        std::uint64_t token = 0;
        WriteOutcome outcome;
    };
    // What the other threads hand the edge node's. Shared with the writes'
    // callbacks, which a card thread may call after the node stopped, or
    // was destroyed: closed, it takes nothing.
    struct Mailbox {
        Mailbox();
        ~Mailbox();
        void Post(Event event);
        void Wake();
        std::deque<Event> TakeAll();
        void Close();

        int wakeFd = -1;
        std::mutex mutex; // guards what follows
        bool closed = false;
        std::deque<Event> queue;
        // A channel's cycle or health event, or a secondary's block event,
        // waiting already stands for the next ones, so the queue stays as
        // long as the channels and secondaries are many.
        std::set<std::int32_t> cyclesQueued;
        std::set<std::pair<std::int32_t, std::int32_t>> blocksQueued;
        std::set<std::int32_t> healthQueued;
    };

    void Run();

    EdgeSettings settings_;
    EdgeSource &source_;
    LogSink log_;
    Queue events_{*this};
    SystemClock clock_;
    std::unique_ptr<MosquittoTransport> transport_;
    std::unique_ptr<EdgeSession> session_;
    std::shared_ptr<Mailbox> mailbox_ = std::make_shared<Mailbox>();
    std::thread thread_;
    std::atomic<bool> stop_{false};
    Heartbeat heartbeat_;
    std::atomic<EdgeSession::Phase> phase_{EdgeSession::Phase::Idle};

    mutable std::mutex countersMutex_;
    EdgeCounters counters_;
};

} // namespace orvgate::mqtt
