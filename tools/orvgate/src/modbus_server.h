// The Modbus TCP server: one thread polls the listening socket, the
// clients and a wake-up pipe from the driver thread. libmodbus receives
// every request and sends every answer; a request that waits for the driver
// thread holds up only its own connection. Safe by default: the address it
// is given (127.0.0.1 unless told otherwise), at most so many connections
// (more are accepted and closed at once), silent connections closed, and a
// malformed frame closes its connection and nothing else.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver_jobs.h"
#include "gate_stats.h"
#include "request_router.h"

typedef struct _modbus modbus_t;
struct _modbus_mapping_t;

namespace orvgate {

struct ServerSettings {
    std::string host = "127.0.0.1";
    std::string port = "1502";
    int maxClients = 16;
    std::chrono::seconds idleTimeout{60}; // 0: never
    // A frame begun must be whole within this, or its connection is closed.
    std::chrono::milliseconds frameTimeout{1000};
};

class ModbusServer {
  public:
    ModbusServer(ServerSettings settings, const Router &router, JobQueue &jobs, GateStats &stats);
    ~ModbusServer();
    ModbusServer(const ModbusServer &) = delete;
    ModbusServer &operator=(const ModbusServer &) = delete;

    bool Listen(std::string &error);
    // Serves until Stop.
    void Run();
    // Any thread; also what the driver thread's finished jobs call.
    void Stop();
    void Wake();

  private:
    struct Client {
        int fd = -1;
        std::uint64_t id = 0;
        Clock::time_point lastRequest{};
        Clock::time_point partialSince{};
        bool partial = false;
        int wakeAt = 1; // SO_RCVLOWAT: bytes that make it readable
        bool waiting = false;
        std::vector<std::uint8_t> pending; // the request a job is answering
    };

    void Accept();
    // Takes the client's whole requests while it has no job pending; false
    // when the connection was closed.
    bool Serve(Client &client);
    void Answer(std::vector<DriverJob> finished);
    bool Send(Client &client, const std::uint8_t *request, int length, const Routed &routed);
    void Close(std::uint64_t id);
    void CloseOverdue(Clock::time_point now);
    int PollTimeoutMs(Clock::time_point now) const;

    ServerSettings settings_;
    const Router &router_;
    JobQueue &jobs_;
    GateStats &stats_;
    modbus_t *ctx_ = nullptr;
    _modbus_mapping_t *mapping_ = nullptr;
    Tables tables_;
    int headerLength_ = 7;
    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::map<std::uint64_t, Client> clients_;
    std::uint64_t nextId_ = 1;
    Clock::time_point lastRefusalLog_{};
};

} // namespace orvgate
