#include "mqtt/settings.h"

#include <unistd.h>

#include <array>

#include "mqtt/names.h"

namespace orvgate::mqtt {

namespace {

bool CheckId(const char *what, const std::string &id, int line, std::string &error) {
    const std::string why = NameProblem(id, kMaxIdBytes);
    if (why.empty()) {
        return true;
    }
    error = (line > 0 ? "line " + std::to_string(line) + ": " : std::string()) + what + " \"" + id + "\" " + why;
    return false;
}

} // namespace

std::string HostName() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) {
        return "";
    }
    return std::string(name.data());
}

EdgeSettings Resolved(EdgeSettings settings) {
    if (settings.edgeNodeId.empty()) {
        settings.edgeNodeId = HostName();
    }
    if (settings.clientId.empty()) {
        settings.clientId = "orvgate-" + settings.groupId + "-" + settings.edgeNodeId;
    }
    return settings;
}

bool CheckSettings(const EdgeSettings &settings, const EdgeModel &model, std::string &error) {
    if (!CheckId("group id", settings.groupId, settings.groupIdLine, error) ||
        !CheckId("edge node id", settings.edgeNodeId, settings.edgeNodeIdLine, error)) {
        return false;
    }
    if (!settings.primaryHostId.empty() &&
        !CheckId("primary host id", settings.primaryHostId, settings.primaryHostIdLine, error)) {
        return false;
    }
    if (settings.port < 1 || settings.port > 65535) {
        error = "broker port " + std::to_string(settings.port) + " is outside 1..65535";
        return false;
    }
    if (settings.host.empty()) {
        error = "no broker host";
        return false;
    }
    if (!settings.passwordFile.empty() && settings.username.empty()) {
        error = "a password file needs a user name";
        return false;
    }
    if (settings.certFile.empty() != settings.keyFile.empty()) {
        error = "a client certificate needs its key, and a key its certificate";
        return false;
    }
    if (!settings.certFile.empty() && settings.caFile.empty()) {
        error = "a client certificate needs TLS, which needs the CA file";
        return false;
    }
    if (settings.storeSize == 0) {
        error = "the store of changes needs room for at least one";
        return false;
    }
    if (settings.keepAliveS < 5 || settings.keepAliveS > 65535) {
        error = "keep-alive " + std::to_string(settings.keepAliveS) + " s is outside 5..65535";
        return false;
    }
    if (settings.reconnectMinMs == 0 || settings.reconnectMaxMs < settings.reconnectMinMs ||
        settings.connectTimeoutMs == 0) {
        error = "reconnection waits out of order";
        return false;
    }
    return CheckModel(model, error);
}

} // namespace orvgate::mqtt
