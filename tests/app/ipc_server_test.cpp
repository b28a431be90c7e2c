#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "app/IPCServer.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"

using namespace talvex;
using namespace std::string_literals;
using test::waitUntil;

namespace {

void connectTo(int fd, quint16 port) {
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

// A blocking loopback client, as Lumetra would be.
struct Client {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ended = false;

    explicit Client(quint16 port) { connectTo(fd, port); }
    ~Client() { ::close(fd); }
    bool send(const std::string& bytes) {  // blocks until all is sent
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // Up to count bytes, stopping early at end of stream, an error or a silence of ms.
    std::string receive(std::size_t count, int ms = 10000) {
        timeval timeout{ms / 1000, ms % 1000 * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        std::string data;
        char buffer[4096];
        ssize_t n = 0;
        while (data.size() < count &&
               (n = ::recv(fd, buffer, std::min(sizeof buffer, count - data.size()), 0)) > 0)
            data.append(buffer, static_cast<std::size_t>(n));
        ended = n == 0 || (n < 0 && errno != EAGAIN);
        return data;
    }
    std::string ask(const std::string& text) { return send(text) ? receive(3) : ""; }
    // Whether the server closed the connection (end of stream or reset) in time.
    bool endsWithin() { return receive(std::size_t(1) << 30), ended; }
};

// Listens on a port that was free; 0 when it could not.
quint16 listenOn(IPCServer& server) {
    auto port = static_cast<quint16>(test::freePort());
    server.startListening(port, "127.0.0.1");
    return waitUntil([&] { return server.isRunning(); }) ? port : 0;
}

}  // namespace

// One server through every kind of peer, step by step; each step's clients
// are gone before the next.
TEST(IPCServer, ServesEveryKindOfPeer) {
    auto server = std::make_unique<IPCServer>();
    std::vector<IPCCommand> received;
    server->onCommand = [&](const IPCCommand& command) { received.push_back(command); };
    int lastCommandChanges = 0;
    QObject::connect(server.get(), &IPCServer::lastCommandChanged, [&] { ++lastCommandChanges; });
    // Sends one command; whether it was answered and delivered.
    const auto command = [&](Client& client, const std::string& text) {
        auto before = received.size();
        return client.ask(text) == "OK\n" && waitUntil([&] { return received.size() > before; });
    };
    const auto openFds = [] {
        auto entries = std::filesystem::directory_iterator("/proc/self/fd");
        return static_cast<int>(std::distance(begin(entries), end(entries)));
    };
    testing::internal::CaptureStdout();
    const quint16 port = listenOn(*server);
    {
        SCOPED_TRACE("where it listens and why it cannot");
        IPCServer other;
        other.startListening(port, "not an address");
        const quint16 otherPort = listenOn(other);  // reported after the failure above
        const std::string log = testing::internal::GetCapturedStdout();
        for (const auto& line : {"failed to create listener on port " + std::to_string(port),
                                 "listening on port " + std::to_string(otherPort) + "\n"})
            EXPECT_EQ(test::countOf(log, "Talvex IPC: " + line), 1) << log;
    }
    {
        SCOPED_TRACE("every valid text answered and delivered");
        // Each text whole, NUL and all, as received: its trimmed text is the last command.
        const std::pair<std::string, std::string> cases[] = {
            {"START x", "START x"}, {"ANIMATION jump\n", "ANIMATION jump"}, {"PING", "PING"},
            {"  \r\n", ""},         {"caf\xC3\xA9\0"s, "caf\xC3\xA9\0"s},   {"STOP\r\n", "STOP"}};
        Client client(port);
        for (const auto& [sent, lastCommand] : cases) {
            ASSERT_TRUE(command(client, sent)) << sent;
            EXPECT_EQ(describeCommand(received.back()), describeCommand(parseCommand(sent)));
            EXPECT_EQ(server->lastCommand(), lastCommand);
        }
        EXPECT_EQ(lastCommandChanges, static_cast<int>(std::size(cases)));
        // A final command before a half-close is still handled and answered.
        ASSERT_TRUE(client.send("ANIMATION last one"));
        ::shutdown(client.fd, SHUT_WR);
        EXPECT_EQ(client.receive(3), "OK\n");
        EXPECT_TRUE(client.endsWithin());
        EXPECT_TRUE(waitUntil([&] { return server->lastCommand() == "ANIMATION last one"; }));
    }
    {
        SCOPED_TRACE("peers that vanish");
        // A process started from a shell gets the default action for SIGPIPE, which kills.
        auto previous = std::signal(SIGPIPE, SIG_DFL);
        const int baseline = openFds();
        Client silent(port);  // stays connected without a word throughout
        // Many small commands, then a reset while replies are still being written.
        for (int i = 0; i < 3000; ++i) {
            Client client(port);
            if (i % 3 == 0) {
                ASSERT_EQ(client.ask("ANIMATION a"), "OK\n");
            } else if (i % 3 == 1) {
                client.send(i % 30 == 1 ? std::string(8000, 'S') : "STA");
                linger option{1, 0};  // closed with a reset instead of an orderly end
                ::setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
            }  // else: connect and leave without a word
        }
        // The silent client's socket and the server's end of it stay open.
        EXPECT_TRUE(waitUntil([&] { return openFds() == baseline + 2; })) << openFds() - baseline;
        Client client(port);  // still served, and everything before it delivered
        ASSERT_TRUE(command(client, "STOP"));
        std::signal(SIGPIPE, previous);
    }
    {
        SCOPED_TRACE("invalid UTF-8 gets no reply and the next command works");
        received.clear();
        for (const auto& input : {"\xFF"s, "STOP\xC3"s, "\xC0\xA0START"s, "\xED\xA0\x80"s,
                                  std::string(1 << 20, '\xFF')}) {
            Client client(port);
            ASSERT_TRUE(client.send(input));
            // STOP may first be read together with leftovers and be dropped as well.
            std::string replies;
            for (int attempt = 0; attempt < 50 && replies.empty() && client.send("STOP"); ++attempt)
                replies = client.receive(3, 200);
            EXPECT_EQ(replies + client.receive(64, 200), "OK\n") << testing::PrintToString(input);
        }
        ASSERT_TRUE(waitUntil([&] { return received.size() >= 5; }));
        EXPECT_EQ(received, std::vector<IPCCommand>(received.size(), StopCommand{}));
    }
    {
        // Accepting rests and resumes; the log goes to a file read back
        // without opening anything new.
        SCOPED_TRACE("out of file descriptors");
        std::FILE* log = std::tmpfile();
        int savedStdout = ::dup(STDOUT_FILENO);
        ::dup2(::fileno(log), STDOUT_FILENO);
        auto logged = [&] {
            std::string text(1 << 16, '\0');
            text.resize(std::max<ssize_t>(0, ::pread(::fileno(log), text.data(), text.size(), 0)));
            return text;
        };
        const std::string line =
            "Talvex IPC: cannot accept connections for now, trying again shortly: Too many open "
            "files\n";
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        const rlimit low{static_cast<rlim_t>(openFds() + 40), saved.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
        // Take every descriptor left, then connect some (fewer than the backlog
        // holds): the server cannot accept them.
        std::vector<int> sockets;
        for (int fd; (fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) >= 0;)
            sockets.push_back(fd);
        for (std::size_t i = 0; i < std::min<std::size_t>(sockets.size(), 40); ++i)
            connectTo(sockets[i], port);
        EXPECT_TRUE(waitUntil([&] { return logged().find(line) != std::string::npos; }));
        waitUntil([] { return false; }, 0.3);  // a few more rounds of failing accepts
        for (int fd : sockets) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        Client after(port);
        ASSERT_TRUE(command(after, "STOP"));
        ::dup2(savedStdout, STDOUT_FILENO);
        ::close(savedStdout);
        EXPECT_EQ(test::countOf(logged(), line), 1) << logged();
        std::fclose(log);
    }
    // Idle connections never lock a new client out: at the cap, the one silent
    // the longest makes room, and the line saying so comes at most once a second.
    SCOPED_TRACE("the connection cap");
    std::deque<Client> clients;
    for (int i = 0; i < IPCServer::kMaxConnections; ++i)
        ASSERT_TRUE(command(clients.emplace_back(port), "ANIMATION " + std::to_string(i)));
    ASSERT_TRUE(command(clients[0], "ANIMATION heard again"));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(command(clients.emplace_back(port), "STOP"));
    EXPECT_TRUE(clients[1].endsWithin());
    ASSERT_TRUE(command(clients[0], "ANIMATION still here"));
    // A crowd of new clients: each one pushes out the one silent the longest.
    constexpr int kCrowd = 150;
    QElapsedTimer took;
    took.start();
    for (int i = 0; i < kCrowd; ++i) clients.emplace_back(port);
    ASSERT_TRUE(command(clients.back(), "STOP"));
    const int seconds = static_cast<int>(took.elapsed() / 1000);
    waitUntil([] { return false; }, 1.5);  // the count of the last second is reported
    const std::string log = testing::internal::GetCapturedStdout(),
                      marker =
                          "Talvex IPC: 64 connections already open: closed the one silent "
                          "the longest, from 127.0.0.1 (";
    int lines = test::countOf(log, marker), closed = 0;
    for (auto at = log.find(marker); at != log.npos; at = log.find(marker, at + 1))
        closed += std::stoi(log.substr(at + marker.size()));
    EXPECT_EQ(closed, 1 + kCrowd) << log;
    EXPECT_LE(lines, seconds + 3) << log;

    // A restart cancels every connection.
    std::vector<bool> states;
    QObject::connect(server.get(), &IPCServer::isRunningChanged,
                     [&](bool running) { states.push_back(running); });
    server->startListening(port, "127.0.0.1");
    for (auto at = clients.end() - IPCServer::kMaxConnections; at != clients.end(); ++at)
        EXPECT_TRUE(at->endsWithin()) << clients.end() - at;
    ASSERT_TRUE(waitUntil([&] { return server->isRunning(); }));
    EXPECT_EQ(states, (std::vector<bool>{false, true}));
    Client fresh(port);
    ASSERT_TRUE(command(fresh, "STOP"));

    // Nothing is delivered once the server is gone, neither what it answered
    // on its own thread while the deliveries waited for the main loop.
    const auto delivered = received.size();
    for (int i = 0; i < 10; ++i) ASSERT_EQ(fresh.ask("ANIMATION n"), "OK\n");
    server.reset();
    waitUntil([] { return false; }, 0.5);
    EXPECT_EQ(received.size(), delivered);
    EXPECT_TRUE(fresh.endsWithin());
}
