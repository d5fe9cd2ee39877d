// The session and the primary host: births wait for its STATE to say it is
// online, and the node leaves the broker when it goes offline.
#include "mqtt/edge_session.h"
#include "mqtt/state_message.h"

namespace orvgate::mqtt {

void EdgeSession::HostState(const std::uint8_t *data, std::size_t size) {
    const std::optional<orvgate::mqtt::HostState> state =
        ParseHostState(std::string_view(reinterpret_cast<const char *>(data), size));
    if (!state) {
        Log(LogLevel::Warning, "STATE of " + settings_.primaryHostId + ": not {\"online\":bool,\"timestamp\":ms}");
        return;
    }
    // A host's death certificate carries its birth's timestamp, so a state
    // as old as the last one seen still counts; only an older one is stale.
    if (hostSeen_ && state->timestampMs < hostTimestampMs_) {
        Log(LogLevel::Info, "STATE of " + settings_.primaryHostId + ": older than the last one seen, ignored");
        return;
    }
    hostSeen_ = true;
    hostTimestampMs_ = state->timestampMs;
    hostOnline_ = state->online;
    if (state->online) {
        if (phase_ == Phase::WaitingForHost) {
            Log(LogLevel::Info, "primary host " + settings_.primaryHostId + " online");
            Birth();
        }
        return;
    }
    if (phase_ == Phase::Online) {
        // The NDEATH is acknowledged (or given up on) before the DISCONNECT,
        // and the next connection's client holds nothing of this one's.
        Log(LogLevel::Warning, "primary host " + settings_.primaryHostId + " offline: leaving the broker");
        SendDeath();
        transport_.Disconnect();
        failures_ = 0;
        Retry(settings_.reconnectMinMs);
    }
}

} // namespace orvgate::mqtt
