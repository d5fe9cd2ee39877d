#include "service/notifier.h"

#include <cstdint>
#include <cstdlib>

#include "common/gate_log.h"

#if defined(ORVGATE_HAVE_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

namespace orvgate::service {

Notifier::Notifier() {
    const char *socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') {
        return;
    }
#if defined(ORVGATE_HAVE_SYSTEMD)
    listening_ = true;
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        watchdog_ = std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(usec));
    }
#else
    Say("built without libsystemd: systemd is not told when orvgate is ready, nor pinged by its watchdog");
#endif
}

void Notifier::Send(const std::string &state) const {
#if defined(ORVGATE_HAVE_SYSTEMD)
    if (listening_) {
        sd_notify(0, state.c_str());
    }
#else
    (void)state;
#endif
}

void Notifier::Ready() const {
    Send("READY=1");
}

void Notifier::Status(const std::string &text) const {
    Send("STATUS=" + text);
}

void Notifier::Watchdog() const {
    Send("WATCHDOG=1");
}

void Notifier::Stopping() const {
    Send("STOPPING=1");
}

} // namespace orvgate::service
