#include "web/web_server.h"

#include <httplib.h>

#include <thread>

#include "common/gate_log.h"
#include "web/metrics_text.h"
#include "web/status_json.h"
#include "web/web_assets.h"

namespace orvgate::web {

namespace {

// Threads beside the live pages' for the page, its documents and /metrics.
constexpr int kSpareThreads = 4;

void Secure(httplib::Response &res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Content-Security-Policy", "default-src 'self'; style-src 'self' 'unsafe-inline'");
    res.set_header("Referrer-Policy", "no-referrer");
}

void Document(httplib::Response &res, const std::string &body, const char *type) {
    Secure(res);
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, type);
}

// A live page's own state: what it was last sent, and when the overview was.
struct LivePage {
    ValueStream values;
    Clock::time_point statusSent{};
    bool first = true;
};

} // namespace

WebServer::WebServer(WebSettings settings, const Gateway &core, FigureSources sources,
                     std::chrono::system_clock::time_point startedAt)
    : settings_(std::move(settings)), core_(core), sources_(std::move(sources)), startedAt_(startedAt),
      http_(std::make_unique<httplib::Server>()) {
    const auto threads = static_cast<std::size_t>(settings_.maxLivePages + kSpareThreads);
    http_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // Short keep-alive and read time-outs, so that idle connections give their threads back.
    http_->set_keep_alive_timeout(2);
    http_->set_keep_alive_max_count(20);
    http_->set_read_timeout(5, 0);
    http_->set_write_timeout(5, 0);
    http_->set_payload_max_length(4096); // it takes no bodies
    Routes();
}

WebServer::~WebServer() {
    Stop();
}

GateFigures WebServer::Figures() const {
    GateFigures f;
    f.now = Clock::now();
    f.wallNow = std::chrono::system_clock::now();
    f.startedAt = startedAt_;
    f.cards = core_.Cards();
    for (const ScanClass &c : core_.Classes()) {
        f.classNames.push_back(c.name);
    }
    for (std::size_t i = 0; i < kJobResults.size(); ++i) {
        f.writes[i] = core_.Writes().Count(kJobResults[i]);
    }
    f.recentWrites = core_.Writes().Recent();
    if (sources_.modbus) {
        f.modbus = sources_.modbus();
    }
    if (sources_.mqtt) {
        f.mqtt = sources_.mqtt();
    }
    f.webStreams = static_cast<std::uint64_t>(livePages_.load());
    f.webStreamsRefused = livePagesRefused_.load();
    return f;
}

bool WebServer::Pause(std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    stopped_.wait_for(lock, d, [this] { return stopping_; });
    return !stopping_;
}

void WebServer::Routes() {
    http_->Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
        Document(res, MetricsText(Figures()), "text/plain; version=0.0.4; charset=utf-8");
    });
    http_->Get("/api/status", [this](const httplib::Request &, httplib::Response &res) {
        Document(res, StatusJson(Figures()), "application/json");
    });
    http_->Get("/api/points", [this](const httplib::Request &, httplib::Response &res) {
        Document(res, PointsJson(core_.Values()), "application/json");
    });
    http_->Get("/api/events", [this](const httplib::Request &, httplib::Response &res) {
        Secure(res);
        if (livePages_.fetch_add(1) >= settings_.maxLivePages) {
            livePages_.fetch_sub(1);
            ++livePagesRefused_;
            res.status = 503;
            res.set_header("Retry-After", "10");
            res.set_content("as many live pages are open as --http-pages allows\n", "text/plain");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        auto page = std::make_shared<LivePage>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, page](std::size_t, httplib::DataSink &sink) {
                const Clock::time_point now = Clock::now();
                std::string events;
                if (page->first || now - page->statusSent >= settings_.statusEvery) {
                    events += "event: status\ndata: " + StatusJson(Figures()) + "\n\n";
                    page->statusSent = now;
                }
                const std::string values = page->values.Next(core_.Values(), now, std::chrono::system_clock::now());
                if (!values.empty()) {
                    events += "event: values\ndata: " + values + "\n\n";
                } else if (events.empty()) {
                    events = ": quiet\n\n"; // tells a page that left, by the failed write
                }
                page->first = false;
                if (!sink.write(events.data(), events.size())) {
                    return false;
                }
                if (!Pause(settings_.valuesEvery)) {
                    sink.done();
                }
                return true;
            },
            [this](bool) { livePages_.fetch_sub(1); });
    });
    // Browsers ask for an icon whatever the page says; it has none.
    http_->Get("/favicon.ico", [](const httplib::Request &, httplib::Response &res) { res.status = 204; });
    http_->Get(R"(/[a-z.]*)", [](const httplib::Request &req, httplib::Response &res) {
        const WebAsset *asset = FindAsset(req.path);
        if (asset == nullptr) {
            res.status = 404;
            return;
        }
        Secure(res);
        res.set_header("Cache-Control", "max-age=300");
        res.set_content(reinterpret_cast<const char *>(asset->data), asset->size, asset->type);
    });
}

bool WebServer::Listen(std::string &error) {
    const int port = std::stoi(settings_.port);
    std::string host = settings_.host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (!http_->bind_to_port(host, port)) {
        error = "cannot listen for the web view on " + settings_.host + " port " + settings_.port;
        return false;
    }
    Say("serving the web view and /metrics on http://%s:%s/ (at most %d live pages)", settings_.host.c_str(),
        settings_.port.c_str(), settings_.maxLivePages);
    return true;
}

void WebServer::Run() {
    running_ = true;
    if (!StopRequested()) {
        http_->listen_after_bind();
    }
    running_ = false;
}

bool WebServer::StopRequested() {
    std::lock_guard<std::mutex> guard(stopMutex_);
    return stopping_;
}

void WebServer::Stop() {
    {
        std::lock_guard<std::mutex> guard(stopMutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    // The listener takes note of a stop only once it runs: one asked for
    // just as its thread began waits the moment that takes.
    for (int wait = 0; running_ && !http_->is_running() && wait < 1000; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    http_->stop();
}

} // namespace orvgate::web
