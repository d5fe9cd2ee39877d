#include "service/service_monitor.h"

#include <algorithm>

#include "common/gate_log.h"
#include "service/channel_watch.h"
#include "service/progress_judge.h"

namespace orvgate::service {
namespace {

// How often the status is looked at, whatever the watchdog asks.
constexpr Clock::duration kLook = std::chrono::seconds(1);
// The driver's adapter reset: the previous-command wait, then 20 s for the reset.
constexpr Clock::duration kWarmStart = std::chrono::seconds(21);
constexpr Clock::duration kPreviousCommandWait = std::chrono::milliseconds(250);
constexpr int kAttempts = 3;

} // namespace

Clock::duration LongestDriverCall(std::int32_t timeoutMs) {
    const Clock::duration read = kAttempts * (kPreviousCommandWait + 2 * std::chrono::milliseconds(timeoutMs));
    return std::max(kWarmStart, read);
}

ServiceMonitor::ServiceMonitor(const Notifier &notifier, Clock::duration startupLimit, std::int32_t timeoutMs)
    : notifier_(notifier), startupLimit_(startupLimit), started_(Clock::now()) {
    const std::optional<Clock::duration> watchdog = notifier.WatchdogTime();
    const Clock::duration longest = LongestDriverCall(timeoutMs);
    if (watchdog && *watchdog <= longest) {
        Say("warning: WatchdogSec (%.1f s) is not longer than the longest driver call (%.1f s, a warm start of a "
            "dead card or a read that gets no reply): a card thread in such a call stops the watchdog",
            Seconds(*watchdog), Seconds(longest));
    }
}

ServiceMonitor::~ServiceMonitor() {
    Stop();
}

void ServiceMonitor::HealthChanged(std::int32_t) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        woken_ = true;
    }
    wake_.notify_one();
}

void ServiceMonitor::Serving(std::function<std::vector<CardStatus>()> cards, std::vector<Part> parts,
                             std::string serving, std::function<void()> giveUp) {
    notifier_.Ready();
    thread_ = std::thread(&ServiceMonitor::Run, this, std::move(cards), std::move(parts), std::move(serving),
                          std::move(giveUp));
}

void ServiceMonitor::Stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stop_) {
            return;
        }
        stop_ = true;
    }
    notifier_.Stopping();
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool ServiceMonitor::GaveUp() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return gaveUp_;
}

void ServiceMonitor::Run(std::function<std::vector<CardStatus>()> cards, std::vector<Part> parts, std::string serving,
                         std::function<void()> giveUp) {
    ChannelWatch watch(startupLimit_, started_);
    const std::optional<Clock::duration> watchdog = notifier_.WatchdogTime();
    // A part is held once it made no progress for the whole WatchdogSec; the
    // pings, at half of it, stop then, and systemd ends the process within
    // another WatchdogSec.
    ProgressJudge judge(watchdog.value_or(Clock::duration::max()));
    for (const Part &p : parts) {
        judge.Watch(p.first, *p.second);
    }
    // systemd's own advice: ping at half of WatchdogSec.
    const Clock::duration pingEvery = watchdog ? *watchdog / 2 : Clock::duration::max();
    std::optional<Clock::time_point> pinged;
    std::string said;
    bool wasHeld = false;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        lock.unlock();
        const Clock::time_point now = Clock::now();
        const ChannelWatch::Verdict verdict = watch.Look(cards(), now);
        const std::optional<HeldPart> held = watchdog ? judge.Held(now) : std::nullopt;
        std::string status = serving + "; " + verdict.status;
        if (held) {
            status += "; " + held->name + " makes no progress";
            if (!wasHeld) {
                Say("%s has made no progress for %.1f s: the watchdog is no longer pinged", held->name.c_str(),
                    Seconds(held->since));
            }
        } else if (wasHeld) {
            Say("every card thread and front end makes progress again: the watchdog is pinged");
        }
        wasHeld = held.has_value();
        // The status first: what systemd shows is never behind a ping.
        if (status != said) {
            notifier_.Status(status);
            said = status;
        }
        if (watchdog && !held && (!pinged || now - *pinged >= pingEvery)) {
            notifier_.Watchdog();
            pinged = now;
        }
        Clock::time_point next = now + kLook;
        if (watchdog && pinged && !held) {
            next = std::min(next, *pinged + pingEvery); // in the future: it pinged now or less than pingEvery ago
        }
        lock.lock();
        if (verdict.giveUp && !gaveUp_) {
            gaveUp_ = true;
            Say("%s; exiting", verdict.status.c_str());
            lock.unlock();
            giveUp();
            lock.lock();
        }
        wake_.wait_until(lock, next, [this] { return stop_ || woken_; });
        woken_ = false;
    }
}

} // namespace orvgate::service
