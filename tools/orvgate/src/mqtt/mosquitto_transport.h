// The Transport over libmosquitto, driven from the edge node's own thread
// with poll() (mosquitto_socket, mosquitto_loop_read/write/misc) rather than
// libmosquitto's thread, so that a card's event wakes the thread at once and
// a new Will is set before every connection: libmosquitto's own reconnect
// would send the old one. It only connects out; nothing listens.
#pragma once

#include <string>

#include "mqtt/settings.h"
#include "mqtt/transport.h"

struct mosquitto;
struct mosquitto_message;

namespace orvgate::mqtt {

class MosquittoTransport final : public Transport {
  public:
    // Clean session, MQTT 3.1.1, the broker and credentials of `settings`
    // (resolved); TLS 1.2 at least when a CA file is given.
    explicit MosquittoTransport(const EdgeSettings &settings);
    ~MosquittoTransport() override;
    MosquittoTransport(const MosquittoTransport &) = delete;
    MosquittoTransport &operator=(const MosquittoTransport &) = delete;

    // Whether the client was made and its TLS files were taken.
    bool Ready(std::string &error) const;

    void SetEvents(TransportEvents *events) override {
        events_ = events;
    }
    bool Connect(const WillMessage &will, std::string &error) override;
    bool Subscribe(const std::string &filter, int qos, int &mid) override;
    bool Publish(const std::string &topic, const std::string &payload, int qos, bool retain) override;
    void Disconnect() override;
    void Wait(int wakeFd, int timeoutMs) override;

  private:
    static void HandleConnect(struct mosquitto *, void *self, int code);
    static void HandleDisconnect(struct mosquitto *, void *self, int code);
    static void HandleSubscribe(struct mosquitto *, void *self, int mid, int count, const int *granted);
    static void HandleMessage(struct mosquitto *, void *self, const struct mosquitto_message *message);
    // Sends what is queued, then DISCONNECT, and closes.
    void Close();
    // Writes what libmosquitto holds for up to `ms`.
    void Flush(int ms);

    EdgeSettings settings_;
    struct mosquitto *mosq_ = nullptr;
    TransportEvents *events_ = nullptr;
    std::string setupError_;
    bool closeAsked_ = false;
    bool quiet_ = true; // no events: the connection was asked to close, or none was made
    int inLoop_ = 0;    // inside libmosquitto's loop, where its callbacks run
};

} // namespace orvgate::mqtt
