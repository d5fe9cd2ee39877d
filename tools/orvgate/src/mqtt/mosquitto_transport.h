// The Transport over libmosquitto, driven from the edge node's own thread
// with poll() (mosquitto_socket, mosquitto_loop_read/write/misc) rather than
// libmosquitto's thread, so that a card's event wakes the thread at once and
// a new Will is set before every connection: libmosquitto's own reconnect
// would send the old one. Each connection gets a client of its own, so a
// QoS 1 message the last one left unacknowledged (an NDEATH) is never sent
// again in the next. It only connects out; nothing listens.
//
// A broker that falls silent is noticed by the keep-alive: with nothing
// received for keepAliveS, libmosquitto sends PINGREQ, and with no answer
// by keepAliveS later it closes the connection; so within 2 x keepAliveS
// (plus the second of its clock and of this loop) after the broker's last
// packet.
#pragma once

#include <set>
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
    bool Backlogged() const override;
    void Disconnect() override;
    void Wait(int wakeFd, int timeoutMs) override;

  private:
    static void HandleConnect(struct mosquitto *, void *self, int code);
    static void HandleDisconnect(struct mosquitto *, void *self, int code);
    static void HandleSubscribe(struct mosquitto *, void *self, int mid, int count, const int *granted);
    static void HandleMessage(struct mosquitto *, void *self, const struct mosquitto_message *message);
    static void HandlePublish(struct mosquitto *, void *self, int mid);
    // A new client, its options, callbacks and TLS files set; false, with
    // setupError_, when one of them failed.
    bool MakeClient();
    // Whether the CONNECT packet has been written: `answered` (a CONNACK
    // came), or the socket is up, TLS (if any) established, and
    // libmosquitto holds nothing more to write. Tells the events once.
    void NoteConnectSent(bool answered = false);
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
    bool connectSent_ = true;
    int inLoop_ = 0;        // inside libmosquitto's loop, where its callbacks run
    std::set<int> unacked_; // QoS 1 messages the broker has not acknowledged
};

} // namespace orvgate::mqtt
