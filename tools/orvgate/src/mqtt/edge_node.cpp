#include "mqtt/edge_node.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mqtt/mosquitto_transport.h"

namespace orvgate::mqtt {

namespace {

void ToStandardError(LogLevel level, const std::string &text) {
    std::fprintf(stderr, "orvgate: mqtt: %s%s\n", level == LogLevel::Warning ? "warning: " : "", text.c_str());
}

} // namespace

EdgeNode::EdgeNode(const EdgeSettings &settings, EdgeSource &source, LogSink log)
    : settings_(Resolved(settings)), source_(source), log_(log ? std::move(log) : LogSink(ToStandardError)),
      // Made here, before the core's threads may post to it.
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

EdgeNode::~EdgeNode() {
    Stop();
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

bool EdgeNode::Start(std::string &error) {
    if (thread_.joinable()) {
        error = "already started";
        return false;
    }
    if (!CheckSettings(settings_, source_.Model(), error)) {
        return false;
    }
    transport_ = std::make_unique<MosquittoTransport>(settings_);
    if (!transport_->Ready(error)) {
        return false;
    }
    if (wakeFd_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    session_ = std::make_unique<EdgeSession>(settings_, source_, *transport_, clock_, log_,
                                             [this](std::uint64_t token, const WriteOutcome &outcome) {
                                                 Event e{Event::Kind::Write, 0, 0, token, outcome};
                                                 Post(std::move(e));
                                             });
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void EdgeNode::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    stop_ = true;
    Wake();
    thread_.join();
}

EdgeCounters EdgeNode::Counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

void EdgeNode::Queue::CycleDone(std::int32_t channel) {
    node_.Post(Event{Event::Kind::Cycle, channel, 0, 0, {}});
}

void EdgeNode::Queue::BlockChanged(std::int32_t channel, std::int32_t secondary) {
    node_.Post(Event{Event::Kind::Block, channel, secondary, 0, {}});
}

void EdgeNode::Queue::HealthChanged(std::int32_t channel) {
    node_.Post(Event{Event::Kind::Health, channel, 0, 0, {}});
}

void EdgeNode::Post(Event event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (event.kind == Event::Kind::Cycle && !cyclesQueued_.insert(event.channel).second) {
            return;
        }
        if (event.kind == Event::Kind::Health && !healthQueued_.insert(event.channel).second) {
            return;
        }
        // A secondary's blocks that changed before the thread looked: one look does.
        if (event.kind == Event::Kind::Block && !blocksQueued_.insert({event.channel, event.secondary}).second) {
            return;
        }
        queue_.push_back(std::move(event));
    }
    Wake();
}

void EdgeNode::Wake() {
    if (wakeFd_ < 0) {
        return;
    }
    const std::uint64_t one = 1;
    // A full counter still wakes the thread, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
}

void EdgeNode::Run() {
    session_->Start();
    while (!stop_) {
        heartbeat_.Beat();
        std::deque<Event> events;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events.swap(queue_);
            cyclesQueued_.clear();
            blocksQueued_.clear();
            healthQueued_.clear();
        }
        for (const Event &e : events) {
            switch (e.kind) {
            case Event::Kind::Cycle:
                session_->CycleDone(e.channel);
                break;
            case Event::Kind::Block:
                session_->BlockChanged(e.channel, e.secondary);
                break;
            case Event::Kind::Health:
                session_->HealthChanged(e.channel);
                break;
            case Event::Kind::Write:
                session_->WriteDone(e.token, e.outcome);
                break;
            }
        }
        session_->Tick();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            counters_ = session_->Counters();
        }
        phase_ = session_->phase();
        const std::uint64_t now = clock_.MonoMs();
        const std::uint64_t next = session_->NextTimerMs();
        const int timeout = next <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(next - now, 1000));
        transport_->Wait(wakeFd_, timeout);
        std::uint64_t drained = 0;
        [[maybe_unused]] const ssize_t n = read(wakeFd_, &drained, sizeof drained);
    }
    session_->Stop();
    phase_ = session_->phase();
}

} // namespace orvgate::mqtt
