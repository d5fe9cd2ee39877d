// The web view and the metrics on one HTTP listener (cpp-httplib from
// Debian: header-only, a fixed pool of threads, chunked responses for the
// live pages' server-sent events). Read-only: it answers GET alone and
// changes nothing in the gateway. Bounded: at most `maxLivePages` live
// pages at once (each holds one of the pool's threads), the rest of the
// pool for the page, its documents and /metrics. It binds to 127.0.0.1
// unless told otherwise; anything wider belongs behind a reverse proxy
// that authenticates (README).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "scan/gateway.h"
#include "web/gate_figures.h"

namespace httplib {
class Server;
}

namespace orvgate::web {

struct WebSettings {
    std::string host = "127.0.0.1";
    std::string port;
    int maxLivePages = 8;
    // How often a live page hears of changed values, and of the overview.
    std::chrono::milliseconds valuesEvery{250};
    std::chrono::milliseconds statusEvery{1000};
};

class WebServer {
  public:
    WebServer(WebSettings settings, const Gateway &core, FigureSources sources,
              std::chrono::system_clock::time_point startedAt);
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Binds the listener; false with `error` when it cannot.
    bool Listen(std::string &error);
    // Serves until Stop (on a thread of its own).
    void Run();
    // Any thread: ends the live pages and the listener.
    void Stop();

    GateFigures Figures() const;

  private:
    void Routes();
    // Waits up to `d`; false once the server stops.
    bool Pause(std::chrono::milliseconds d);
    bool StopRequested();

    WebSettings settings_;
    const Gateway &core_;
    FigureSources sources_;
    std::chrono::system_clock::time_point startedAt_;
    std::unique_ptr<httplib::Server> http_;
    std::atomic<bool> running_{false};
    std::atomic<int> livePages_{0};
    std::atomic<std::uint64_t> livePagesRefused_{0};
    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
};

} // namespace orvgate::web
