#include "modbus/modbus_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <modbus/modbus.h>

#include "common/gate_log.h"

namespace orvgate {
namespace {

constexpr int kBacklog = 32;
constexpr int kTableSize = 0x10000;
// Longest a poll sleeps when no deadline is nearer.
constexpr int kPollCeilingMs = 1000;
// The closes of every day, logged with --verbose only; a close the gateway
// decided (a newcomer, silence, a malformed frame) is always logged.
constexpr char kClientLeft[] = "the client left";
constexpr char kGatewayStops[] = "the gateway stops";
// Requests taken from one connection before the others get their turn: a
// client that sends many at once does not hold up the rest.
constexpr int kRequestsPerTurn = 16;
// How long the listening socket rests when no file descriptor is left for a
// newcomer: long enough not to spin, short enough that a connection closing
// meanwhile soon makes room.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);

int MsUntil(Clock::time_point when, Clock::time_point now) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::clamp<long long>(ms + 1, 0, kPollCeilingMs));
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// "127.0.0.1:40112", "[::1]:40112"; the address alone in `address`.
std::string PeerOf(const sockaddr_storage &from, socklen_t length, std::string &address) {
    char host[NI_MAXHOST] = "?";
    char service[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<const sockaddr *>(&from), length, host, sizeof host, service, sizeof service,
                NI_NUMERICHOST | NI_NUMERICSERV);
    address = host;
    return from.ss_family == AF_INET6 ? "[" + address + "]:" + service : address + ":" + service;
}

} // namespace

ModbusServer::ModbusServer(ServerSettings settings, const Router &router, Submit submit)
    : settings_(std::move(settings)), router_(router), submit_(std::move(submit)),
      table_(settings_.maxClients, settings_.maxClientsPerPeer, settings_.keepActive) {}

ModbusServer::~ModbusServer() {
    CloseAll();
    {
        std::lock_guard<std::mutex> guard(mailbox_->mutex);
        mailbox_->open = false;
        mailbox_->finished.clear();
    }
    for (const int fd : {wakeRead_, wakeWrite_, replyRead_, replyWrite_}) {
        if (fd >= 0) {
            close(fd);
        }
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
    int pair[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("cannot make the server's pipes: ") + std::strerror(errno);
        return false;
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    replyRead_ = pair[0];
    replyWrite_ = pair[1];
    mailbox_->wakeFd = wakeWrite_;
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
    listenFd_ = modbus_tcp_pi_listen(ctx_, kBacklog);
    if (listenFd_ < 0 || !SetNonBlocking(listenFd_)) {
        error = "cannot listen on " + settings_.host + " port " + settings_.port + ": " + modbus_strerror(errno);
        return false;
    }
    const std::string perPeer =
        settings_.maxClientsPerPeer > 0 ? ", " + std::to_string(settings_.maxClientsPerPeer) + " per address" : "";
    Say("serving Modbus TCP on %s port %s (at most %d clients%s)", settings_.host.c_str(), settings_.port.c_str(),
        settings_.maxClients, perPeer.c_str());
    if (!settings_.allow.Empty()) {
        Say("only from %s", settings_.allow.Text().c_str());
    }
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

bool ModbusServer::Run() {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    bool ok = true;
    while (!stopping_) {
        heartbeat_.Beat();
        fds.clear();
        ids.clear();
        fds.push_back({wakeRead_, POLLIN, 0});
        // A resting listening socket is left out (poll skips a negative descriptor).
        fds.push_back({Clock::now() < acceptFrom_ ? -1 : listenFd_, POLLIN, 0});
        for (const auto &[id, c] : clients_) {
            // A client whose answer waits (for the core, or for the client to
            // take it) is not read from meanwhile, so that its requests are
            // answered in order; its closing is still seen.
            short events = POLLRDHUP;
            if (!c.job && c.out.empty()) {
                events |= POLLIN;
            }
            if (!c.out.empty()) {
                events |= POLLOUT;
            }
            fds.push_back({c.fd, events, 0});
            ids.push_back(id);
        }
        const int ready = poll(fds.data(), fds.size(), PollTimeoutMs(Clock::now()));
        if (ready < 0 && errno != EINTR) {
            Say("the server cannot poll its sockets: %s", std::strerror(errno));
            ok = false;
            break;
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
            Finished();
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const short events = fds[i + 2].revents;
            auto at = clients_.find(ids[i]);
            if (events == 0 || at == clients_.end()) {
                continue;
            }
            Client &c = at->second;
            if ((events & (POLLERR | POLLNVAL)) != 0) {
                Close(c.id, "its connection failed");
                continue;
            }
            if ((events & POLLOUT) != 0) {
                if (!Flush(c) || (c.out.empty() && !ServeFrames(c))) {
                    continue;
                }
            }
            if ((events & POLLIN) != 0) {
                Receive(c);
            } else if ((events & (POLLRDHUP | POLLHUP)) != 0 && (c.job || !c.out.empty())) {
                Close(c.id, kClientLeft);
            }
        }
        if (fds[1].revents != 0) {
            Accept();
        }
        // Frames already read whose turn ended: not to wait for another event.
        std::vector<std::uint64_t> left;
        for (const auto &[id, c] : clients_) {
            if (c.framesLeft && !c.job && c.out.empty()) {
                left.push_back(id);
            }
        }
        for (const std::uint64_t id : left) {
            if (auto at = clients_.find(id); at != clients_.end()) {
                ServeFrames(at->second);
            }
        }
        CloseOverdue(Clock::now());
        counters_.connected = clients_.size();
        if (auto line = summary_.Due(Clock::now(), clients_.size())) {
            Say("%s", line->c_str());
        }
    }
    CloseAll();
    return ok;
}

void ModbusServer::CloseAll() {
    while (!clients_.empty()) {
        Close(clients_.begin()->first, kGatewayStops);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
    }
    counters_.connected = 0;
}

int ModbusServer::PollTimeoutMs(Clock::time_point now) const {
    int timeout = now < acceptFrom_ ? MsUntil(acceptFrom_, now) : kPollCeilingMs;
    for (const auto &[id, c] : clients_) {
        if (c.framesLeft && !c.job && c.out.empty()) {
            return 0;
        }
        if (c.partial) {
            timeout = std::min(timeout, MsUntil(c.partialSince + settings_.frameTimeout, now));
        }
        if (!c.out.empty()) {
            timeout = std::min(timeout, MsUntil(c.outSince + settings_.sendTimeout, now));
        }
        const auto idle = table_.IdleSince(id);
        if (settings_.idleTimeout.count() > 0 && idle && !c.job) {
            timeout = std::min(timeout, MsUntil(*idle + settings_.idleTimeout, now));
        }
    }
    return timeout;
}

void ModbusServer::CloseOverdue(Clock::time_point now) {
    std::vector<std::pair<std::uint64_t, const char *>> overdue;
    for (const auto &[id, c] : clients_) {
        const auto idle = table_.IdleSince(id);
        if (c.partial && now >= c.partialSince + settings_.frameTimeout) {
            ++counters_.malformed;
            overdue.emplace_back(id, "its frame was not whole within the frame time-out");
        } else if (!c.out.empty() && now >= c.outSince + settings_.sendTimeout) {
            ++counters_.stalled;
            overdue.emplace_back(id, "it took no answer within the send time-out");
        } else if (settings_.idleTimeout.count() > 0 && idle && !c.job && c.out.empty() &&
                   now >= *idle + settings_.idleTimeout) {
            ++counters_.idle;
            overdue.emplace_back(id, "it was silent for --idle-timeout");
        }
    }
    for (const auto &[id, why] : overdue) {
        Close(id, why);
    }
}

void ModbusServer::Accept() {
    for (;;) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr *>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        const Clock::time_point now = Clock::now();
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                PauseAccepting(errno, now);
            }
            return; // EAGAIN once the backlog is empty; anything else is the client's loss
        }
        if (descriptorsShort_) {
            descriptorsShort_ = false;
            Say("accepting connections again after %.1f s", Seconds(now - shortSince_));
        }
        std::string address;
        const std::string peer = PeerOf(from, length, address);
        if (!settings_.allow.Allows(address)) {
            close(fd);
            ++counters_.notAllowed;
            Say("refused %s: not in --allow", peer.c_str());
            continue;
        }
        const ConnectionTable::Admission admission = table_.Admit(address, now);
        if (!admission.accepted) {
            close(fd);
            ++counters_.refused;
            Say("refused %s: %s", peer.c_str(), admission.refusal);
            continue;
        }
        if (admission.givesWay) {
            const auto idle = table_.IdleSince(*admission.givesWay);
            const double seconds = idle ? Seconds(now - *idle) : 0;
            char why[160];
            std::snprintf(why, sizeof why,
                          admission.givesWaySilent ? "it gave way to %s, without a request in %.1f s"
                                                   : "it gave way to %s after %.1f s idle",
                          peer.c_str(), seconds);
            ++counters_.gaveWay;
            Close(*admission.givesWay, why);
        }
        Client c;
        c.fd = fd;
        c.id = nextId_++;
        c.peer = peer;
        c.address = address;
        table_.Add(c.id, address, now);
        ++counters_.accepted;
        summary_.Connected();
        Log(Level::Debug, "%s connected (%zu of %d)", peer.c_str(), table_.Size(), settings_.maxClients);
        clients_.emplace(c.id, std::move(c));
    }
}

void ModbusServer::PauseAccepting(int error, Clock::time_point now) {
    acceptFrom_ = now + kAcceptPause;
    if (!descriptorsShort_) {
        // Logged once an episode: a full descriptor table would otherwise
        // log four lines a second.
        descriptorsShort_ = true;
        shortSince_ = now;
        ++counters_.acceptPaused;
        Say("cannot accept a connection: %s; serving the %zu open ones and trying again every %lld ms",
            std::strerror(error), clients_.size(), static_cast<long long>(kAcceptPause.count()));
    }
}

bool ModbusServer::Receive(Client &client) {
    const std::span<std::uint8_t> room = client.in.Room();
    const ssize_t n = recv(client.fd, room.data(), room.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return true;
    }
    if (n <= 0) {
        if (client.in.Partial()) {
            ++counters_.malformed; // it ended in the middle of a frame
        }
        Close(client.id, n == 0 ? kClientLeft : "its connection failed");
        return false;
    }
    client.in.Appended(static_cast<std::size_t>(n));
    return ServeFrames(client);
}

bool ModbusServer::ServeFrames(Client &client) {
    const std::uint64_t id = client.id;
    client.framesLeft = false;
    for (int turn = 0; !client.job && client.out.empty(); ++turn) {
        if (turn == kRequestsPerTurn) {
            client.framesLeft = true; // the others' turn; its next comes without waiting for more bytes
            return true;
        }
        std::span<const std::uint8_t> frame;
        const MbapStream::Next next = client.in.Take(frame);
        if (next == MbapStream::Next::Malformed) {
            ++counters_.malformed;
            Close(id, "it sent what is not a Modbus TCP frame");
            return false;
        }
        if (next == MbapStream::Next::NeedMore) {
            if (client.in.Partial() && !client.partial) {
                client.partial = true;
                client.partialSince = Clock::now();
            }
            client.partial = client.in.Partial();
            return true;
        }
        client.partial = false;
        table_.Asked(id, Clock::now());
        if (!Serve(client, frame)) {
            return false;
        }
    }
    return true;
}

bool ModbusServer::Serve(Client &client, std::span<const std::uint8_t> frame) {
    const std::span<const std::uint8_t> pdu = frame.subspan(kMbapHeaderBytes);
    if ((pdu[0] & 0x80) != 0 || !PduHasItsShape(pdu)) {
        // An exception code is a response, never a request; a served
        // function's fields that disagree with the frame's length cannot be
        // answered safely.
        ++counters_.malformed;
        Close(client.id, "it sent a malformed request");
        return false;
    }
    const Request decoded = DecodeRequest(frame, kMbapHeaderBytes);
    Routed routed = router_.Route(decoded, Clock::now(), tables_);
    if (routed.kind != Routed::Kind::Queue) {
        return Answer(client, frame, routed);
    }
    client.job = routed.job;
    client.pending.assign(frame.begin(), frame.end());
    table_.Busy(client.id, true);
    Job &job = *routed.job;
    job.requester = client.peer;
    job.onDone = [mailbox = mailbox_, id = client.id, held = std::weak_ptr<Job>(routed.job)](Job &) {
        std::lock_guard<std::mutex> guard(mailbox->mutex);
        if (mailbox->open) {
            mailbox->finished.emplace_back(id, held.lock());
            const char byte = 1;
            [[maybe_unused]] const ssize_t n = write(mailbox->wakeFd, &byte, 1);
        }
    };
    submit_(std::move(routed.job));
    return true;
}

bool ModbusServer::Answer(Client &client, std::span<const std::uint8_t> frame, const Routed &routed) {
    modbus_set_socket(ctx_, replyWrite_);
    const bool exception = routed.kind == Routed::Kind::Exception;
    const int built = exception ? modbus_reply_exception(ctx_, frame.data(), routed.exception)
                                : modbus_reply(ctx_, frame.data(), static_cast<int>(frame.size()), mapping_);
    ++counters_.answered;
    counters_.exceptions += exception ? 1 : 0;
    if (exception && routed.exception < counters_.exceptionsByCode.size()) {
        ++counters_.exceptionsByCode[routed.exception];
    }
    std::uint8_t answer[kMaxFrameBytes + 8];
    const ssize_t n = built < 0 ? -1 : read(replyRead_, answer, sizeof answer);
    if (n <= 0) {
        Close(client.id, "its answer could not be built");
        return false;
    }
    if (client.out.empty()) {
        client.outSince = Clock::now();
    }
    client.out.insert(client.out.end(), answer, answer + n);
    return Flush(client);
}

bool ModbusServer::Flush(Client &client) {
    while (client.outSent < client.out.size()) {
        const ssize_t n = send(client.fd, client.out.data() + client.outSent, client.out.size() - client.outSent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return true; // waited for, within the send time-out
        }
        if (n <= 0) {
            Close(client.id, kClientLeft);
            return false;
        }
        client.outSent += static_cast<std::size_t>(n);
        client.outSince = Clock::now();
    }
    client.out.clear();
    client.outSent = 0;
    table_.Answered(client.id, Clock::now());
    return true;
}

void ModbusServer::Finished() {
    std::vector<std::pair<std::uint64_t, std::shared_ptr<Job>>> finished;
    {
        std::lock_guard<std::mutex> guard(mailbox_->mutex);
        finished.swap(mailbox_->finished);
    }
    for (auto &[id, job] : finished) {
        auto at = clients_.find(id);
        if (at == clients_.end() || job == nullptr || at->second.job != job) {
            continue; // the client left while its job ran
        }
        Client &client = at->second;
        const std::vector<std::uint8_t> frame = std::move(client.pending);
        client.job.reset();
        table_.Busy(id, false);
        table_.Answered(id, Clock::now());
        Routed routed;
        if (const std::uint8_t code = ExceptionFor(*job); code != 0) {
            routed = ExceptionOf(code);
        } else {
            routed.kind = Routed::Kind::Reply;
            router_.Complete(DecodeRequest(frame, kMbapHeaderBytes), *job, tables_);
        }
        if (Answer(client, frame, routed) && client.out.empty()) {
            ServeFrames(client); // the requests it sent meanwhile
        }
    }
}

void ModbusServer::Close(std::uint64_t id, const std::string &why) {
    auto at = clients_.find(id);
    if (at == clients_.end()) {
        return;
    }
    Client &c = at->second;
    if (c.job) {
        // A write not yet begun is never applied now: nobody waits for it.
        c.job->Cancel();
    }
    summary_.Closed();
    Log(why == kClientLeft || why == kGatewayStops ? Level::Debug : Level::Info, "%s closed: %s", c.peer.c_str(),
        why.c_str());
    close(c.fd);
    table_.Remove(id);
    clients_.erase(at);
}

} // namespace orvgate
