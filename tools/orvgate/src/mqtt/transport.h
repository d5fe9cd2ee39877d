// The seam between the edge node's session and its MQTT client: what the
// session asks of a connection, and what the connection tells it. The
// session's unit tests stand a recording fake in for the libmosquitto one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvgate::mqtt {

// What the connection reports, on the edge node's thread.
class TransportEvents {
  public:
    virtual ~TransportEvents() = default;
    // The CONNECT packet was written to the connection: the bdSeq of its
    // Will is used. A connection refused, or whose TLS handshake failed,
    // never sent one.
    virtual void OnConnectSent() = 0;
    // The broker's CONNACK: 0 accepted, else its refusal code.
    virtual void OnConnected(int code) = 0;
    // The SUBACK of a subscription; `granted` false when the broker refused it.
    virtual void OnSubscribed(int mid, bool granted) = 0;
    virtual void OnMessage(const std::string &topic, const std::uint8_t *data, std::size_t size) = 0;
    // The connection ended, asked for or not (or never came to be).
    virtual void OnDisconnected(int code) = 0;
};

struct WillMessage {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = false;
};

class Transport {
  public:
    virtual ~Transport() = default;
    virtual void SetEvents(TransportEvents *events) = 0;
    // Begins a clean-session connection with this Will, set anew for it,
    // on a client that holds nothing of the connections before (no message
    // of theirs is sent again). False, with the reason, when it failed at
    // once (OnDisconnected is then not called).
    virtual bool Connect(const WillMessage &will, std::string &error) = 0;
    virtual bool Subscribe(const std::string &filter, int qos, int &mid) = 0;
    // False when the message was not taken (no connection, or too large):
    // it will never be sent.
    virtual bool Publish(const std::string &topic, const std::string &payload, int qos, bool retain) = 0;
    // Whether messages published before still wait to be written: the
    // history is sent no faster than the connection takes it.
    virtual bool Backlogged() const {
        return false;
    }
    // Sends what was published before, waits a bounded time for the
    // broker to acknowledge the QoS 1 messages among them, then sends
    // DISCONNECT, so the broker drops the Will; OnDisconnected follows.
    virtual void Disconnect() = 0;
    // Waits at most `timeoutMs` for the connection or for `wakeFd` to be
    // readable, and carries out the reads, writes and keep-alive due.
    virtual void Wait(int wakeFd, int timeoutMs) = 0;
};

} // namespace orvgate::mqtt
