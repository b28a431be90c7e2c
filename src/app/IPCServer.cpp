#include "app/IPCServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "app/MainThread.h"
#include "core/Clock.h"
#include "core/FileUtil.h"
#include "core/Log.h"
#include "core/SerialQueue.h"

namespace talvex {

namespace {

const std::string kLogPrefix = "Talvex IPC: ";
// Replies a peer leaves unread pile up to this much before its connection is
// no longer read from, so a client that never reads cannot grow memory.
constexpr std::size_t kMaxUnsent = 64 * 1024;
// How long accepting rests after the process ran out of files or memory.
constexpr double kAcceptPause = 0.1;
// Closing connections to make room is reported at most this often.
constexpr double kEvictionReportInterval = 1.0;

std::string errorText(int error) {
    return std::strerror(error);
}

// One place to listen on: an address of either family, and whether an IPv6
// wildcard should take IPv4 clients as well.
struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
    bool dualStack = false;
};

Endpoint ipv4Endpoint(in_addr host, quint16 port) {
    Endpoint e;
    auto* a = reinterpret_cast<sockaddr_in*>(&e.address);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr = host;
    e.length = sizeof(sockaddr_in);
    return e;
}

Endpoint ipv6Endpoint(in6_addr host, quint16 port, bool dualStack) {
    Endpoint e;
    auto* a = reinterpret_cast<sockaddr_in6*>(&e.address);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    a->sin6_addr = host;
    e.length = sizeof(sockaddr_in6);
    e.dualStack = dualStack;
    return e;
}

// Every interface means the IPv6 wildcard taking IPv4 too, or plain IPv4 on
// machines without IPv6. An address that does not parse gives nothing.
std::vector<Endpoint> endpointsFor(const std::string& bindAddress, quint16 port) {
    if (bindAddress.empty())
        return {ipv6Endpoint(in6addr_any, port, true), ipv4Endpoint({htonl(INADDR_ANY)}, port)};
    in_addr v4{};
    if (::inet_pton(AF_INET, bindAddress.c_str(), &v4) == 1) return {ipv4Endpoint(v4, port)};
    in6_addr v6{};
    if (::inet_pton(AF_INET6, bindAddress.c_str(), &v6) == 1)
        return {ipv6Endpoint(v6, port, false)};
    return {};
}

std::string peerText(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return "an unknown peer";
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
    } else {
        const in6_addr& a = reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a))
            ::inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &a, text, sizeof text);
    }
    return text;
}

// Errors of accept(2) that pass: the process or the system is short of files
// or memory, or the pending connection met a network error.
bool isPassingAcceptError(int error) {
    switch (error) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case EPERM:
            return true;
        default:
            return false;
    }
}

int millisecondsUntil(double when, double now) {
    return static_cast<int>((when - now) * 1000) + 1;
}

}  // namespace

// Owns the listening socket and every connection. All of it is touched only
// on the serial queue "talvex.ipc", which runs one poll round per task and
// queues the next round behind any request from the main thread.
class IPCServer::Worker {
public:
    explicit Worker(Mailbox<IPCServer>::Sender server);
    ~Worker();

    void listen(quint16 port, std::string bindAddress, std::uint64_t generation);

private:
    struct Connection {
        UniqueFd fd;
        std::string unsent;
        bool peerDone = false;  // the peer sent its last byte
        bool closed = false;
        double lastHeard = 0;  // steady time of the accept or the last bytes read
    };

    void pollRound();
    std::vector<pollfd> pollSet(bool accepting) const;
    int pollTimeout(double now, bool accepting) const;
    void serve(Connection& connection, short events);
    void open(quint16 port, const std::string& bindAddress);
    void closeAll();
    void acceptAll();
    void pauseAccepting(int error);
    void reapFinished();
    void evictLongestSilent();
    void reportEvictions(double now);
    void readOnce(Connection& connection);
    void handle(Connection& connection, std::string_view bytes);
    void flush(Connection& connection);
    void failListener(const std::string& error);
    void report(bool ready, const std::string& line);
    void wake();

    Mailbox<IPCServer>::Sender server_;
    UniqueFd wake_;
    UniqueFd listener_;
    std::uint64_t generation_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    double acceptPausedUntil_ = 0;
    bool acceptTroubleReported_ = false;  // once per spell of failing accepts
    int evictedSinceReport_ = 0;
    std::string lastEvictedPeer_;
    double lastEvictionReport_ = -kEvictionReportInterval;
    std::atomic<bool> stopping_ = false;
    // Declared last so that it is joined before the sockets above are closed.
    SerialQueue queue_{"talvex.ipc"};
};

IPCServer::Worker::Worker(Mailbox<IPCServer>::Sender server)
    : server_(std::move(server)), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    queue_.async([this] { pollRound(); });
}

IPCServer::Worker::~Worker() {
    stopping_ = true;
    wake();
}

void IPCServer::Worker::listen(quint16 port, std::string bindAddress, std::uint64_t generation) {
    queue_.async([this, port, bindAddress = std::move(bindAddress), generation] {
        if (stopping_) return;
        generation_ = generation;
        open(port, bindAddress);
    });
    wake();
}

void IPCServer::Worker::wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(wake_.get(), &one, sizeof one);
}

void IPCServer::Worker::pollRound() {
    if (stopping_) return;
    double now = steadyNow();
    bool accepting = listener_ && now >= acceptPausedUntil_;
    std::vector<pollfd> fds = pollSet(accepting);
    if (::poll(fds.data(), fds.size(), pollTimeout(now, accepting)) > 0) {
        if (fds[0].revents) {
            std::uint64_t count;
            [[maybe_unused]] auto ignored = ::read(wake_.get(), &count, sizeof count);
        }
        // Connections accepted in this round are served from the next one.
        std::size_t first = accepting ? 2 : 1;
        for (std::size_t i = first; i < fds.size(); ++i)
            if (fds[i].revents) serve(*connections_[i - first], fds[i].revents);
        std::erase_if(connections_, [](const auto& c) { return c->closed; });
        if (accepting && fds[1].revents) acceptAll();
    }
    reportEvictions(steadyNow());
    if (!stopping_) queue_.async([this] { pollRound(); });
}

std::vector<pollfd> IPCServer::Worker::pollSet(bool accepting) const {
    std::vector<pollfd> fds{{wake_.get(), POLLIN, 0}};
    if (accepting) fds.push_back({listener_.get(), POLLIN, 0});
    for (const auto& c : connections_) {
        short events = 0;
        if (!c->peerDone && c->unsent.size() < kMaxUnsent) events |= POLLIN;
        if (!c->unsent.empty()) events |= POLLOUT;
        fds.push_back({c->fd.get(), events, 0});
    }
    return fds;
}

// Wakes up for the end of a pause in accepting and for a due eviction report.
int IPCServer::Worker::pollTimeout(double now, bool accepting) const {
    int timeout = -1;
    if (listener_ && !accepting) timeout = millisecondsUntil(acceptPausedUntil_, now);
    if (evictedSinceReport_ > 0) {
        int report = millisecondsUntil(lastEvictionReport_ + kEvictionReportInterval, now);
        timeout = timeout < 0 ? report : std::min(timeout, report);
    }
    return timeout < 0 ? -1 : std::max(timeout, 1);
}

void IPCServer::Worker::serve(Connection& connection, short events) {
    bool reading = !connection.peerDone && connection.unsent.size() < kMaxUnsent;
    if (reading && (events & (POLLIN | POLLHUP | POLLERR)))
        readOnce(connection);
    else if (events & (POLLHUP | POLLERR))
        connection.closed = true;
    if (!connection.closed && (events & POLLOUT)) flush(connection);
}

void IPCServer::Worker::open(quint16 port, const std::string& bindAddress) {
    closeAll();
    std::vector<Endpoint> endpoints = endpointsFor(bindAddress, port);
    bool created = false;
    std::string error;
    for (const auto& endpoint : endpoints) {
        UniqueFd fd(
            ::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) continue;
        created = true;
        // A restart binds again at once even while old connections linger in TIME_WAIT.
        int on = 1, off = 0;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (endpoint.dualStack) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&endpoint.address),
                   endpoint.length) == 0 &&
            ::listen(fd.get(), kMaxConnections) == 0) {
            listener_ = std::move(fd);
            acceptPausedUntil_ = 0;
            acceptTroubleReported_ = false;
            report(true, kLogPrefix + "listening on port " + std::to_string(port));
            return;
        }
        error = errorText(errno);
    }
    if (created)
        report(false, kLogPrefix + "listener failed: " + error);
    else
        report(false, kLogPrefix + "failed to create listener on port " + std::to_string(port));
}

void IPCServer::Worker::closeAll() {
    listener_.reset();
    connections_.clear();
}

void IPCServer::Worker::acceptAll() {
    while (listener_) {
        UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            int error = errno;
            if (error == EINTR || error == ECONNABORTED) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) return;
            // Only a failure of the listening socket itself ends the listener.
            if (isPassingAcceptError(error))
                pauseAccepting(error);
            else
                failListener(errorText(error));
            return;
        }
        acceptTroubleReported_ = false;
        if (connections_.size() >= static_cast<std::size_t>(kMaxConnections)) reapFinished();
        if (connections_.size() >= static_cast<std::size_t>(kMaxConnections)) evictLongestSilent();
        auto connection = std::make_unique<Connection>();
        connection->fd = std::move(fd);
        connection->lastHeard = steadyNow();
        connections_.push_back(std::move(connection));
    }
}

// Serves every connection with something to read, so that those whose peers
// have already left are gone before one is closed to make room.
void IPCServer::Worker::reapFinished() {
    std::vector<pollfd> fds;
    for (const auto& c : connections_) fds.push_back({c->fd.get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 0) > 0)
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents) serve(*connections_[i], fds[i].revents);
    std::erase_if(connections_, [](const auto& c) { return c->closed; });
}

// The pending clients wait in the backlog meanwhile; polling the listener
// at once would only spin on the same error.
void IPCServer::Worker::pauseAccepting(int error) {
    acceptPausedUntil_ = steadyNow() + kAcceptPause;
    if (acceptTroubleReported_) return;
    acceptTroubleReported_ = true;
    logLine(kLogPrefix +
            "cannot accept connections for now, trying again shortly: " + errorText(error));
}

// A client that keeps a connection open for a whole experiment stays as long
// as there is room; at the cap the one silent the longest makes way.
void IPCServer::Worker::evictLongestSilent() {
    auto oldest =
        std::min_element(connections_.begin(), connections_.end(),
                         [](const auto& a, const auto& b) { return a->lastHeard < b->lastHeard; });
    lastEvictedPeer_ = peerText((*oldest)->fd.get());
    connections_.erase(oldest);
    ++evictedSinceReport_;
    reportEvictions(steadyNow());
}

void IPCServer::Worker::reportEvictions(double now) {
    if (evictedSinceReport_ == 0 || now - lastEvictionReport_ < kEvictionReportInterval) return;
    logLine(kLogPrefix + std::to_string(kMaxConnections) +
            " connections already open: closed the one silent the longest, from " +
            lastEvictedPeer_ + " (" + std::to_string(evictedSinceReport_) +
            " closed since the last such line)");
    lastEvictionReport_ = now;
    evictedSinceReport_ = 0;
}

void IPCServer::Worker::failListener(const std::string& error) {
    listener_.reset();
    report(false, kLogPrefix + "listener failed: " + error);
}

void IPCServer::Worker::readOnce(Connection& connection) {
    char buffer[kMaxReadSize];
    ssize_t n = ::recv(connection.fd.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
        connection.lastHeard = steadyNow();
        handle(connection, std::string_view(buffer, static_cast<std::size_t>(n)));
    } else if (n == 0) {
        // Replies still queued go out first; then the connection is done.
        connection.peerDone = true;
        connection.closed = connection.unsent.empty();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        connection.closed = true;
    }
}

void IPCServer::Worker::handle(Connection& connection, std::string_view bytes) {
    if (!isCommandText(bytes)) return;
    server_.post([text = trimCommandText(bytes), command = parseCommand(bytes)](
                     IPCServer& server) mutable { server.deliver(std::move(text), command); });
    connection.unsent += "OK\n";
    flush(connection);
}

void IPCServer::Worker::flush(Connection& connection) {
    while (!connection.unsent.empty()) {
        // MSG_NOSIGNAL: a peer that has gone must not raise SIGPIPE.
        ssize_t n = ::send(connection.fd.get(), connection.unsent.data(), connection.unsent.size(),
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            connection.unsent.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            connection.closed = true;
            return;
        }
    }
    if (connection.peerDone) connection.closed = true;
}

void IPCServer::Worker::report(bool ready, const std::string& line) {
    server_.post([generation = generation_, ready, line](IPCServer& server) {
        logLine(line);
        server.listenerReported(generation, ready);
    });
}

IPCServer::IPCServer(QObject* parent)
    : QObject(parent), worker_(std::make_unique<Worker>(mailbox_.sender())) {}

// The worker's thread is joined first; anything it posted that has not run
// yet is dropped with the mailbox.
IPCServer::~IPCServer() {
    worker_.reset();
}

void IPCServer::startListening(quint16 port, const QString& bindAddress) {
    ++generation_;
    setRunning(false);
    worker_->listen(port, bindAddress.toStdString(), generation_);
}

void IPCServer::setRunning(bool running) {
    if (running_ == running) return;
    running_ = running;
    emit isRunningChanged(running);
}

void IPCServer::listenerReported(std::uint64_t generation, bool ready) {
    if (generation != generation_) return;
    setRunning(ready);
    if (!ready) emit listenerFailed();
}

void IPCServer::deliver(std::string text, const IPCCommand& command) {
    lastCommand_ = std::move(text);
    emit lastCommandChanged();
    // A copy, so a handler that replaces onCommand does not destroy itself.
    if (auto handler = onCommand) handler(command);
}

}  // namespace talvex
