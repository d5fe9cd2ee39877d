#include "modbus_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <modbus/modbus.h>

#include "gate_log.h"
#include "modbus_frame.h"

namespace orvgate {
namespace {

constexpr int kBacklog = 32;
constexpr int kTableSize = 0x10000;
// Longest a poll sleeps when no deadline is nearer.
constexpr int kPollCeilingMs = 1000;
// Refused connections are logged at most this often.
constexpr auto kRefusalLogEvery = std::chrono::seconds(10);
// Requests taken from one connection before the others get their turn: a
// client that sends many at once does not hold up the rest.
constexpr int kRequestsPerTurn = 16;

int MsUntil(Clock::time_point when, Clock::time_point now) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::clamp<long long>(ms + 1, 0, kPollCeilingMs));
}

// Until `bytes` are waiting, poll does not call the connection readable (an
// end of the stream still does): a frame that comes in pieces costs one
// wake-up per piece, not a spin until it is whole.
void WakeAt(int fd, int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

ModbusServer::ModbusServer(ServerSettings settings, const Router &router, JobQueue &jobs, GateStats &stats)
    : settings_(std::move(settings)), router_(router), jobs_(jobs), stats_(stats) {}

ModbusServer::~ModbusServer() {
    for (auto &[id, client] : clients_) {
        close(client.fd);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
    if (wakeRead_ >= 0) {
        close(wakeRead_);
        close(wakeWrite_);
    }
    if (mapping_ != nullptr) {
        modbus_mapping_free(mapping_);
    }
    if (ctx_ != nullptr) {
        modbus_free(ctx_);
    }
}

bool ModbusServer::Listen(std::string &error) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("cannot make the wake-up pipe: ") + std::strerror(errno);
        return false;
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    ctx_ = modbus_new_tcp_pi(settings_.host.c_str(), settings_.port.c_str());
    // One table of each kind over the whole address space: an answer fills
    // the entries its request names, and libmodbus builds it from them.
    mapping_ = modbus_mapping_new_start_address(0, kTableSize, 0, kTableSize, 0, kTableSize, 0, kTableSize);
    if (ctx_ == nullptr || mapping_ == nullptr) {
        error = std::string("cannot set up libmodbus: ") + modbus_strerror(errno);
        return false;
    }
    tables_.coils = {mapping_->tab_bits, kTableSize};
    tables_.discreteInputs = {mapping_->tab_input_bits, kTableSize};
    tables_.holding = {mapping_->tab_registers, kTableSize};
    tables_.input = {mapping_->tab_input_registers, kTableSize};
    headerLength_ = modbus_get_header_length(ctx_);
    listenFd_ = modbus_tcp_pi_listen(ctx_, kBacklog);
    if (listenFd_ < 0 || !SetNonBlocking(listenFd_)) {
        error = "cannot listen on " + settings_.host + " port " + settings_.port + ": " + modbus_strerror(errno);
        return false;
    }
    Say("serving Modbus TCP on %s port %s (at most %d clients)", settings_.host.c_str(), settings_.port.c_str(),
        settings_.maxClients);
    return true;
}

void ModbusServer::Stop() {
    stopping_ = true;
    Wake();
}

void ModbusServer::Wake() {
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = write(wakeWrite_, &byte, 1);
}

void ModbusServer::Run() {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    while (!stopping_) {
        fds.clear();
        ids.clear();
        fds.push_back({wakeRead_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const auto &[id, client] : clients_) {
            // A client whose answer waits for the driver is not read from
            // meanwhile, so its requests are answered in order.
            fds.push_back({client.fd, static_cast<short>(client.waiting ? 0 : POLLIN | POLLRDHUP), 0});
            ids.push_back(id);
        }
        const int ready = poll(fds.data(), fds.size(), PollTimeoutMs(Clock::now()));
        if (ready < 0 && errno != EINTR) {
            Say("poll failed: %s", std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
            Answer(jobs_.TakeFinished());
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const short events = fds[i + 2].revents;
            auto at = clients_.find(ids[i]);
            if (events == 0 || at == clients_.end()) {
                continue;
            }
            if ((events & POLLIN) != 0) {
                if (Serve(at->second) && (events & POLLRDHUP) != 0 && at->second.partial) {
                    stats_.Malformed(); // the client ended in the middle of a frame
                    Close(ids[i]);
                }
            } else if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                Close(ids[i]);
            }
        }
        if (fds[1].revents != 0) {
            Accept();
        }
        CloseOverdue(Clock::now());
        stats_.ClientsConnected(clients_.size());
    }
}

int ModbusServer::PollTimeoutMs(Clock::time_point now) const {
    int timeout = kPollCeilingMs;
    for (const auto &[id, c] : clients_) {
        if (c.partial) {
            timeout = std::min(timeout, MsUntil(c.partialSince + settings_.frameTimeout, now));
        }
        if (settings_.idleTimeout.count() > 0 && !c.waiting) {
            timeout = std::min(timeout, MsUntil(c.lastRequest + settings_.idleTimeout, now));
        }
    }
    return timeout;
}

void ModbusServer::CloseOverdue(Clock::time_point now) {
    std::vector<std::uint64_t> overdue;
    for (const auto &[id, c] : clients_) {
        if (c.partial && now >= c.partialSince + settings_.frameTimeout) {
            stats_.Malformed(); // a frame that never came whole
            overdue.push_back(id);
        } else if (settings_.idleTimeout.count() > 0 && !c.waiting && now >= c.lastRequest + settings_.idleTimeout) {
            stats_.IdleClosed();
            overdue.push_back(id);
        }
    }
    for (const std::uint64_t id : overdue) {
        Close(id);
    }
}

void ModbusServer::Accept() {
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return; // EAGAIN once the backlog is empty; anything else is the client's loss
        }
        if (static_cast<int>(clients_.size()) >= settings_.maxClients) {
            close(fd);
            stats_.Refused();
            const Clock::time_point now = Clock::now();
            if (now >= lastRefusalLog_ + kRefusalLogEvery) {
                Say("refused a connection: %d clients are being served (--max-clients)", settings_.maxClients);
                lastRefusalLog_ = now;
            }
            continue;
        }
        Client c;
        c.fd = fd;
        c.id = nextId_++;
        c.lastRequest = Clock::now();
        clients_.emplace(c.id, std::move(c));
    }
}

bool ModbusServer::Serve(Client &client) {
    std::uint8_t peek[kMaxFrameBytes];
    std::uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
    const std::uint64_t id = client.id;
    for (int turn = 0; turn < kRequestsPerTurn && !client.waiting; ++turn) {
        const ssize_t seen = recv(client.fd, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
        if (seen < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return true;
        }
        if (seen <= 0) {
            Close(id); // the client went, or its connection failed
            return false;
        }
        const Clock::time_point now = Clock::now();
        const FrameCheck check = CheckFrame({peek, static_cast<std::size_t>(seen)});
        if (check.state == FrameState::Malformed) {
            stats_.Malformed();
            Close(id);
            return false;
        }
        if (check.state == FrameState::Incomplete) {
            if (!client.partial) {
                client.partial = true;
                client.partialSince = now;
            }
            const int wanted = static_cast<int>(check.frameBytes > 0 ? check.frameBytes : kHeaderBytes);
            if (wanted != client.wakeAt) {
                WakeAt(client.fd, wanted);
                client.wakeAt = wanted;
            }
            return true;
        }
        if (client.wakeAt != 1) {
            WakeAt(client.fd, 1);
            client.wakeAt = 1;
        }
        client.partial = false;
        client.lastRequest = now;
        modbus_set_socket(ctx_, client.fd);
        const int length = modbus_receive(ctx_, request);
        if (length != static_cast<int>(check.libraryBytes)) {
            stats_.Malformed();
            Close(id);
            return false;
        }
        if (check.frameBytes > check.libraryBytes) {
            // A function this server does not serve, with more bytes than
            // libmodbus reads of it: they are dropped, and the answer says
            // the function is not served.
            std::uint8_t rest[kMaxFrameBytes];
            const std::size_t left = check.frameBytes - check.libraryBytes;
            if (recv(client.fd, rest, left, MSG_DONTWAIT) != static_cast<ssize_t>(left)) {
                Close(id);
                return false;
            }
            if (!Send(client, request, length, ExceptionOf(kIllegalFunction))) {
                return false;
            }
            continue;
        }
        const Request decoded =
            DecodeRequest({request, static_cast<std::size_t>(length)}, static_cast<std::size_t>(headerLength_));
        Routed routed = router_.Route(decoded, now, tables_);
        if (routed.kind == Routed::Kind::Queue) {
            client.waiting = true;
            client.pending.assign(request, request + length);
            routed.job.ticket = id;
            jobs_.Push(std::move(routed.job));
            return true;
        }
        if (!Send(client, request, length, routed)) {
            return false;
        }
    }
    return true;
}

bool ModbusServer::Send(Client &client, const std::uint8_t *request, int length, const Routed &routed) {
    modbus_set_socket(ctx_, client.fd);
    const bool exception = routed.kind == Routed::Kind::Exception;
    const int sent = exception ? modbus_reply_exception(ctx_, request, routed.exception)
                               : modbus_reply(ctx_, request, length, mapping_);
    stats_.Answered(exception);
    if (sent < 0) {
        Close(client.id); // a client that does not take its answers
        return false;
    }
    return true;
}

void ModbusServer::Answer(std::vector<DriverJob> finished) {
    for (DriverJob &job : finished) {
        auto at = clients_.find(job.ticket);
        if (at == clients_.end()) {
            continue; // the client left while its job ran
        }
        Client &client = at->second;
        const std::vector<std::uint8_t> request = std::move(client.pending);
        client.waiting = false;
        client.lastRequest = Clock::now();
        Routed routed;
        if (job.exception != 0) {
            routed = ExceptionOf(job.exception);
        } else {
            routed.kind = Routed::Kind::Reply;
            router_.Complete(DecodeRequest(request, static_cast<std::size_t>(headerLength_)), job, tables_);
        }
        if (Send(client, request.data(), static_cast<int>(request.size()), routed)) {
            Serve(client); // requests it sent meanwhile
        }
    }
}

void ModbusServer::Close(std::uint64_t id) {
    auto at = clients_.find(id);
    if (at != clients_.end()) {
        close(at->second.fd);
        clients_.erase(at);
    }
}

} // namespace orvgate
