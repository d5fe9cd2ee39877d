// The edge node's settings, in one record the command line and the map
// fill in, and the check of them (and of the model) at start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "mqtt/edge_source.h"

namespace orvgate::mqtt {

struct EdgeSettings {
    std::string host = "127.0.0.1"; // the broker
    int port = 1883;
    std::string groupId;
    std::string edgeNodeId;   // empty: the host name
    std::string clientId;     // empty: "orvgate-GROUP-EDGE"
    std::string username;     // empty: no user name
    std::string passwordFile; // its first line is the password; read anew before each connection
    std::string caFile;       // set: TLS (1.2 at least), the broker's certificate checked against it
    std::string certFile;     // with keyFile: the client's certificate
    std::string keyFile;
    std::string primaryHostId;      // set: births wait for this host's STATE to say it is online
    std::string stateFile;          // where bdSeq survives restarts; empty: kept in memory only
    std::size_t storeSize = 100000; // changes kept while the broker is away (about 24 bytes each)
    int keepAliveS = 30;
    std::uint32_t reconnectMinMs = 1000;      // first wait before a new connection, doubled after each failure
    std::uint32_t reconnectMaxMs = 30000;     // ... up to this
    std::uint32_t connectTimeoutMs = 10000;   // for the CONNACK, and again for the SUBACKs
    std::uint32_t nodeMetricsPeriodMs = 1000; // least time between two NDATA of the statistics
    // A DCMD whose payload timestamp is older than this (by the gateway's
    // clock) is refused: a host's client may have queued it through an
    // outage. 0: no bound. A DCMD without a timestamp is taken.
    std::uint32_t commandMaxAgeMs = 60000;
    std::uint32_t stopWaitMs = 5000; // a planned stop's wait for the writes already running
    bool uint32InLong = false;       // UInt32 values in long_value, for hosts that read them there
    // The map lines that gave the ids, for errors (0: the command line or the default).
    int groupIdLine = 0;
    int edgeNodeIdLine = 0;
    int primaryHostIdLine = 0;
};

// The host name, as the default edge node id.
std::string HostName();

// The settings with their defaults filled in (edge node id, client id).
EdgeSettings Resolved(EdgeSettings settings);

// Checks the resolved settings and the model (names.h's CheckModel): ids,
// the port, the TLS files that go together, the bounds. The first problem
// is in `error`, naming the map line where there is one.
bool CheckSettings(const EdgeSettings &settings, const EdgeModel &model, std::string &error);

} // namespace orvgate::mqtt
