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
    : settings_(Resolved(settings)), source_(source), log_(log ? std::move(log) : LogSink(ToStandardError)) {}

EdgeNode::~EdgeNode() {
    Stop();
    mailbox_->Close();
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
    if (mailbox_->wakeFd < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    const std::weak_ptr<Mailbox> mailbox = mailbox_;
    session_ = std::make_unique<EdgeSession>(settings_, source_, *transport_, clock_, log_,
                                             [mailbox](std::uint64_t token, const WriteOutcome &outcome) {
                                                 if (const std::shared_ptr<Mailbox> m = mailbox.lock()) {
                                                     m->Post(Event{Event::Kind::Write, 0, 0, token, outcome});
                                                 }
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
    mailbox_->Wake();
    thread_.join();
    // A write's outcome that comes later finds nobody to tell, and is dropped.
    mailbox_->Close();
}

EdgeCounters EdgeNode::Counters() const {
    std::lock_guard<std::mutex> lock(countersMutex_);
    return counters_;
}

void EdgeNode::Queue::CycleDone(std::int32_t channel) {
    node_.mailbox_->Post(Event{Event::Kind::Cycle, channel, 0, 0, {}});
}

void EdgeNode::Queue::BlockChanged(std::int32_t channel, std::int32_t secondary) {
    node_.mailbox_->Post(Event{Event::Kind::Block, channel, secondary, 0, {}});
}

void EdgeNode::Queue::HealthChanged(std::int32_t channel) {
    node_.mailbox_->Post(Event{Event::Kind::Health, channel, 0, 0, {}});
}

// Made with the node, before the core's threads may post to it.
EdgeNode::Mailbox::Mailbox() : wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

EdgeNode::Mailbox::~Mailbox() {
    if (wakeFd >= 0) {
        close(wakeFd);
    }
}

void EdgeNode::Mailbox::Post(Event event) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed) {
            return;
        }
        if (event.kind == Event::Kind::Cycle && !cyclesQueued.insert(event.channel).second) {
            return;
        }
        if (event.kind == Event::Kind::Health && !healthQueued.insert(event.channel).second) {
            return;
        }
        // A secondary's blocks that changed before the thread looked: one look does.
        if (event.kind == Event::Kind::Block && !blocksQueued.insert({event.channel, event.secondary}).second) {
            return;
        }
        queue.push_back(std::move(event));
    }
    Wake();
}

void EdgeNode::Mailbox::Wake() {
    if (wakeFd < 0) {
        return;
    }
    const std::uint64_t one = 1;
    // A full counter still wakes the thread, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t n = write(wakeFd, &one, sizeof one);
}

std::deque<EdgeNode::Event> EdgeNode::Mailbox::TakeAll() {
    std::deque<Event> events;
    std::lock_guard<std::mutex> lock(mutex);
    events.swap(queue);
    cyclesQueued.clear();
    blocksQueued.clear();
    healthQueued.clear();
    return events;
}

void EdgeNode::Mailbox::Close() {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    queue.clear();
}

void EdgeNode::Run() {
    session_->Start();
    bool stopping = false;
    for (;;) {
        heartbeat_.Beat();
        for (const Event &e : mailbox_->TakeAll()) {
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
        if (stop_ && !stopping) {
            stopping = true;
            session_->Stop();
        }
        session_->Tick();
        {
            std::lock_guard<std::mutex> lock(countersMutex_);
            counters_ = session_->Counters();
        }
        phase_ = session_->phase();
        if (session_->phase() == EdgeSession::Phase::Stopped) {
            break;
        }
        const std::uint64_t now = clock_.MonoMs();
        const std::uint64_t next = session_->NextTimerMs();
        const int timeout = next <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(next - now, 1000));
        transport_->Wait(mailbox_->wakeFd, timeout);
        std::uint64_t drained = 0;
        [[maybe_unused]] const ssize_t n = read(mailbox_->wakeFd, &drained, sizeof drained);
    }
}

} // namespace orvgate::mqtt
