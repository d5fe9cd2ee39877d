#include "mqtt/mosquitto_transport.h"

#include <mosquitto.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>

namespace orvgate::mqtt {

namespace {

// What a password file may hold: MQTT caps a password at 65535 bytes.
constexpr std::size_t kMaxPasswordBytes = 65535;
constexpr int kMaxCallbackLoopMs = 1000; // loop_misc (keep-alive) at least this often
constexpr int kFlushMs = 1000;           // to write what is queued before a DISCONNECT
constexpr int kAckWaitMs = 1000;         // for the PUBACKs of QoS 1 messages before a DISCONNECT

std::string Why(int rc) {
    if (rc == MOSQ_ERR_ERRNO) {
        return std::strerror(errno);
    }
    return mosquitto_strerror(rc);
}

bool ReadPassword(const std::string &path, std::string &password, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read password file " + path;
        return false;
    }
    password.clear();
    char c = 0;
    while (in.get(c) && c != '\n') {
        if (password.size() >= kMaxPasswordBytes) {
            error = "password file " + path + ": the password is longer than 65535 bytes";
            return false;
        }
        password.push_back(c);
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return true;
}

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

MosquittoTransport::MosquittoTransport(const EdgeSettings &settings) : settings_(settings) {
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    MakeClient();
}

bool MosquittoTransport::MakeClient() {
    if (mosq_ != nullptr) {
        quiet_ = true;
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    unacked_.clear();
    setupError_.clear();
    mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    if (mosq_ == nullptr) {
        setupError_ = "cannot make an MQTT client: " + std::string(std::strerror(errno));
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Without it a DBIRTH written behind the NBIRTH waits for the broker's delayed ACK (about 40 ms).
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, HandleConnect);
    mosquitto_disconnect_callback_set(mosq_, HandleDisconnect);
    mosquitto_subscribe_callback_set(mosq_, HandleSubscribe);
    mosquitto_message_callback_set(mosq_, HandleMessage);
    mosquitto_publish_callback_set(mosq_, HandlePublish);
    if (!settings_.caFile.empty()) {
        const char *cert = settings_.certFile.empty() ? nullptr : settings_.certFile.c_str();
        const char *key = settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str();
        int rc = mosquitto_tls_set(mosq_, settings_.caFile.c_str(), nullptr, cert, key, nullptr);
        if (rc == MOSQ_ERR_SUCCESS) {
            // "tlsv1.2" refuses 1.0 and 1.1 and leaves 1.3 allowed; the broker's certificate is verified.
            rc = mosquitto_tls_opts_set(mosq_, 1, "tlsv1.2", nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            setupError_ = "TLS files (" + settings_.caFile + (cert ? ", " + settings_.certFile : "") +
                          (key ? ", " + settings_.keyFile : "") + "): " + Why(rc);
            return false;
        }
    }
    return true;
}

MosquittoTransport::~MosquittoTransport() {
    if (mosq_ != nullptr) {
        quiet_ = true;
        mosquitto_destroy(mosq_);
    }
}

bool MosquittoTransport::Ready(std::string &error) const {
    error = setupError_;
    return setupError_.empty();
}

bool MosquittoTransport::Connect(const WillMessage &will, std::string &error) {
    if (!setupError_.empty()) {
        error = setupError_;
        return false;
    }
    if (mosquitto_socket(mosq_) >= 0) {
        quiet_ = true;
        Close();
    }
    closeAsked_ = false;
    // A client of its own for each connection: libmosquitto sends the QoS 1
    // messages a client still holds again when it reconnects, clean session
    // or not, and an old NDEATH must never reach the next session.
    if (!MakeClient()) {
        error = setupError_;
        return false;
    }
    int rc = mosquitto_will_set(mosq_, will.topic.c_str(), static_cast<int>(will.payload.size()), will.payload.data(),
                                will.qos, will.retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = "cannot set the Will: " + Why(rc);
        return false;
    }
    if (!settings_.username.empty()) {
        std::string password;
        if (!settings_.passwordFile.empty() && !ReadPassword(settings_.passwordFile, password, error)) {
            return false;
        }
        rc = mosquitto_username_pw_set(mosq_, settings_.username.c_str(),
                                       settings_.passwordFile.empty() ? nullptr : password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "cannot set the user name: " + Why(rc);
            return false;
        }
    }
    rc = mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, settings_.keepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = Why(rc);
        if (mosquitto_socket(mosq_) >= 0) {
            Close();
        }
        return false;
    }
    quiet_ = false;
    connectSent_ = false;
    NoteConnectSent(); // on the loopback the CONNECT is often written at once
    return true;
}

void MosquittoTransport::NoteConnectSent(bool answered) {
    if (connectSent_ || quiet_) {
        return;
    }
    if (!answered) {
        if (mosquitto_socket(mosq_) < 0 || mosquitto_want_write(mosq_)) {
            return;
        }
        // In a TLS handshake libmosquitto holds the CONNECT back, yet wants no write.
        void *ssl = mosquitto_ssl_get(mosq_);
        if (ssl != nullptr && SSL_is_init_finished(static_cast<SSL *>(ssl)) == 0) {
            return;
        }
    }
    connectSent_ = true;
    if (events_ != nullptr) {
        events_->OnConnectSent();
    }
}

bool MosquittoTransport::Subscribe(const std::string &filter, int qos, int &mid) {
    return mosquitto_subscribe(mosq_, &mid, filter.c_str(), qos) == MOSQ_ERR_SUCCESS;
}

bool MosquittoTransport::Publish(const std::string &topic, const std::string &payload, int qos, bool retain) {
    if (payload.size() > 268435455u) { // the most an MQTT packet may carry
        return false;
    }
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain) !=
        MOSQ_ERR_SUCCESS) {
        return false;
    }
    if (qos > 0) {
        unacked_.insert(mid);
    }
    return true;
}

bool MosquittoTransport::Backlogged() const {
    return mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_);
}

void MosquittoTransport::Disconnect() {
    quiet_ = true;
    closeAsked_ = true;
    // Inside a callback libmosquitto only queues what it is given; the close
    // waits until its loop has returned.
    if (inLoop_ == 0) {
        Close();
    }
}

void MosquittoTransport::Flush(int ms) {
    const long long end = NowMs() + ms;
    while (mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_)) {
        const long long left = end - NowMs();
        if (left <= 0) {
            return;
        }
        pollfd p{mosquitto_socket(mosq_), POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            return;
        }
        ++inLoop_;
        const int rc = mosquitto_loop_write(mosq_, 1);
        --inLoop_;
        if (rc != MOSQ_ERR_SUCCESS) {
            return;
        }
    }
}

void MosquittoTransport::Close() {
    closeAsked_ = false;
    if (mosquitto_socket(mosq_) < 0) {
        return;
    }
    Flush(kFlushMs);
    // The broker's PUBACK of an NDEATH, so that it is known to have arrived
    // before the DISCONNECT; a broker that never sends it is left all the same.
    const long long end = NowMs() + kAckWaitMs;
    while (!unacked_.empty() && mosquitto_socket(mosq_) >= 0) {
        const long long left = end - NowMs();
        if (left <= 0) {
            break;
        }
        pollfd p{mosquitto_socket(mosq_), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            break;
        }
        ++inLoop_;
        const int rc = mosquitto_loop_read(mosq_, 1);
        --inLoop_;
        if (rc != MOSQ_ERR_SUCCESS) {
            break;
        }
    }
    if (mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS) {
        Flush(kFlushMs);
    }
    // The DISCONNECT written, libmosquitto closes the socket; a broker that
    // never read it is left behind here, the socket closed all the same.
    if (mosquitto_socket(mosq_) >= 0) {
        ++inLoop_;
        mosquitto_loop_read(mosq_, 1);
        --inLoop_;
    }
}

void MosquittoTransport::Wait(int wakeFd, int timeoutMs) {
    if (closeAsked_) {
        Close();
    }
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = wakeFd >= 0 ? 1 : 0;
    const int sock = mosquitto_socket(mosq_);
    if (sock >= 0) {
        fds[count] = {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
        ++count;
        timeoutMs = std::min(timeoutMs, kMaxCallbackLoopMs);
    }
    if (poll(fds, count, std::max(timeoutMs, 0)) < 0 && errno != EINTR) {
        return;
    }
    if (sock < 0) {
        return;
    }
    const pollfd &s = fds[count - 1];
    ++inLoop_;
    if ((s.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        mosquitto_loop_read(mosq_, 1);
    }
    if (mosquitto_socket(mosq_) >= 0 && ((s.revents & POLLOUT) != 0 || mosquitto_want_write(mosq_))) {
        mosquitto_loop_write(mosq_, 1);
    }
    if (mosquitto_socket(mosq_) >= 0) {
        mosquitto_loop_misc(mosq_);
    }
    --inLoop_;
    NoteConnectSent();
    // A TLS handshake that fails (a broker certificate of another CA) closes
    // the socket without a disconnect callback: tell the session all the same.
    if (mosquitto_socket(mosq_) < 0 && !quiet_ && events_ != nullptr) {
        quiet_ = true;
        events_->OnDisconnected(MOSQ_ERR_CONN_LOST);
    }
    if (closeAsked_) {
        Close();
    }
}

void MosquittoTransport::HandleConnect(struct mosquitto *, void *self, int code) {
    auto *t = static_cast<MosquittoTransport *>(self);
    t->NoteConnectSent(true); // a CONNACK answers a CONNECT that went out
    if (!t->quiet_ && t->events_ != nullptr) {
        t->events_->OnConnected(code);
    }
}

void MosquittoTransport::HandleDisconnect(struct mosquitto *, void *self, int code) {
    auto *t = static_cast<MosquittoTransport *>(self);
    if (!t->quiet_ && t->events_ != nullptr) {
        t->quiet_ = true;
        t->events_->OnDisconnected(code);
    }
}

void MosquittoTransport::HandleSubscribe(struct mosquitto *, void *self, int mid, int count, const int *granted) {
    auto *t = static_cast<MosquittoTransport *>(self);
    if (!t->quiet_ && t->events_ != nullptr) {
        // 0x80 is the broker's refusal of a subscription.
        t->events_->OnSubscribed(mid, count >= 1 && granted != nullptr && granted[0] != 0x80);
    }
}

void MosquittoTransport::HandlePublish(struct mosquitto *, void *self, int mid) {
    static_cast<MosquittoTransport *>(self)->unacked_.erase(mid);
}

void MosquittoTransport::HandleMessage(struct mosquitto *, void *self, const struct mosquitto_message *message) {
    auto *t = static_cast<MosquittoTransport *>(self);
    if (t->quiet_ || t->events_ == nullptr || message == nullptr || message->topic == nullptr ||
        message->payloadlen < 0) {
        return;
    }
    t->events_->OnMessage(message->topic, static_cast<const std::uint8_t *>(message->payload),
                          static_cast<std::size_t>(message->payloadlen));
}

} // namespace orvgate::mqtt
