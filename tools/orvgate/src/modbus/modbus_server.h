// The Modbus TCP server: one thread polls the listening socket, the clients
// and a wake-up pipe through which finished jobs arrive. It cuts each
// connection's bytes into frames itself (MBAP, bounded) and has libmodbus
// build every answer (modbus_reply, modbus_reply_exception) into a socket
// pair, from which it sends, so that a client whose socket buffer is full is
// waited for, within a bound, rather than closed. A request that waits for
// the core holds up only its own connection; a connection that closes
// cancels the write it was waiting for, if that had not begun. Safe by
// default: the address it is given (127.0.0.1 unless told otherwise), only
// the peers --allow names, a bounded number of connections (a newcomer
// never closes one that asked recently: see ConnectionTable), silent
// connections closed, and a malformed frame closes its connection and
// nothing else. Out of file descriptors, it stops accepting for a moment
// rather than spin, and serves the connections it has. Every refusal, and
// every close the server decides, is logged with the peer; accepts and a
// client's own closes with --verbose, else counted in a line a minute.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/heartbeat.h"
#include "modbus/connection_summary.h"
#include "modbus/connection_table.h"
#include "modbus/mbap_stream.h"
#include "modbus/peer_filter.h"
#include "modbus/request_router.h"
#include "scan/jobs.h"

typedef struct _modbus modbus_t;
struct _modbus_mapping_t;

namespace orvgate {

struct ServerSettings {
    std::string host = "127.0.0.1";
    std::string port = "1502";
    int maxClients = 16;
    int maxClientsPerPeer = 0;            // 0: no limit per peer address
    std::chrono::seconds idleTimeout{60}; // 0: never
    // A request keeps its connection from giving way to a newcomer this long.
    std::chrono::seconds keepActive{30};
    PeerFilter allow; // empty: every peer may connect
    // A frame begun must be whole within this, or its connection is closed.
    std::chrono::milliseconds frameTimeout{1000};
    // An answer the client does not take within this closes its connection.
    std::chrono::milliseconds sendTimeout{5000};
};

// What the server saw, for the statistics.
struct ModbusCounters {
    std::atomic<std::uint64_t> connected{0}; // now
    std::atomic<std::uint64_t> accepted{0};
    std::atomic<std::uint64_t> refused{0};      // nothing could give way
    std::atomic<std::uint64_t> notAllowed{0};   // refused: not in --allow
    std::atomic<std::uint64_t> acceptPaused{0}; // times accepting paused for want of file descriptors
    std::atomic<std::uint64_t> gaveWay{0};      // closed for a newcomer
    std::atomic<std::uint64_t> malformed{0};    // closed for a malformed or unfinished frame
    std::atomic<std::uint64_t> idle{0};         // closed for silence
    std::atomic<std::uint64_t> stalled{0};      // closed for not taking answers
    std::atomic<std::uint64_t> answered{0};
    std::atomic<std::uint64_t> exceptions{0};
    std::array<std::atomic<std::uint64_t>, 12> exceptionsByCode{}; // by exception code, 1..11
};

class ModbusServer {
  public:
    using Submit = std::function<void(std::shared_ptr<Job>)>;
    ModbusServer(ServerSettings settings, const Router &router, Submit submit);
    ~ModbusServer();
    ModbusServer(const ModbusServer &) = delete;
    ModbusServer &operator=(const ModbusServer &) = delete;

    bool Listen(std::string &error);
    // Serves until Stop, then closes every connection and the listening
    // socket; false when it ended on its own (it could not go on polling).
    bool Run();
    // Any thread.
    void Stop();

    const ModbusCounters &Counters() const {
        return counters_;
    }
    // Stamped on each turn of its loop, for the service's watchdog.
    const Heartbeat &Progress() const {
        return heartbeat_;
    }

  private:
    struct Client {
        int fd = -1;
        std::uint64_t id = 0;
        std::string peer;    // address and port, for the log
        std::string address; // the peer's address alone, for the limit per peer
        MbapStream in;
        bool partial = false;
        bool framesLeft = false; // whole frames may wait in `in` after its turn ended
        Clock::time_point partialSince{};
        std::vector<std::uint8_t> out; // answers not yet taken
        std::size_t outSent = 0;
        Clock::time_point outSince{};
        std::shared_ptr<Job> job;          // the request the core works on
        std::vector<std::uint8_t> pending; // its frame
    };

    void Wake();
    void Accept();
    // accept() found no file descriptor for a newcomer: the listening
    // socket rests for a while, the connections are served meanwhile.
    void PauseAccepting(int error, Clock::time_point now);
    // Reads what the client sent and serves its whole frames; false when the
    // connection was closed.
    bool Receive(Client &client);
    bool ServeFrames(Client &client);
    bool Serve(Client &client, std::span<const std::uint8_t> frame);
    bool Answer(Client &client, std::span<const std::uint8_t> frame, const Routed &routed);
    bool Flush(Client &client);
    void Finished();
    void Close(std::uint64_t id, const std::string &why);
    void CloseOverdue(Clock::time_point now);
    int PollTimeoutMs(Clock::time_point now) const;
    void CloseAll();

    ServerSettings settings_;
    const Router &router_;
    Submit submit_;
    modbus_t *ctx_ = nullptr;
    _modbus_mapping_t *mapping_ = nullptr;
    Tables tables_;
    int listenFd_ = -1;
    Clock::time_point acceptFrom_{}; // the listening socket rests until then
    bool descriptorsShort_ = false;  // since the first accept that found none, until one succeeds
    Clock::time_point shortSince_{};
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int replyRead_ = -1; // libmodbus writes its answers into the pair, the server takes them out
    int replyWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::map<std::uint64_t, Client> clients_;
    ConnectionTable table_;
    ConnectionSummary summary_{Clock::now()};
    std::uint64_t nextId_ = 1;
    ModbusCounters counters_;
    Heartbeat heartbeat_;

    // Where finished jobs wait for the server thread. Jobs hold it, not the
    // server, so that one ending after the server went finds it closed.
    struct Mailbox {
        std::mutex mutex;
        bool open = true;
        int wakeFd = -1;
        std::vector<std::pair<std::uint64_t, std::shared_ptr<Job>>> finished;
    };
    std::shared_ptr<Mailbox> mailbox_ = std::make_shared<Mailbox>();
};

} // namespace orvgate
