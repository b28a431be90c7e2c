#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/IPCServer.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"

using namespace talvex;
using namespace std::string_literals;

namespace {

constexpr int kWaitMs = 10000;
using test::waitUntil;

bool onMainThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// A blocking loopback client, as Lumetra would be.
struct Client {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ended = false;

    explicit Client(quint16 port) {
        sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~Client() { ::close(fd); }
    bool send(const std::string& bytes) {  // blocks until all is sent
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // Up to count bytes, stopping early at end of stream, an error or a silence of ms.
    std::string receive(std::size_t count, int ms = kWaitMs) {
        timeval timeout{ms / 1000, ms % 1000 * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        std::string data;
        char buffer[4096];
        while (data.size() < count) {
            auto n = ::recv(fd, buffer, std::min(sizeof buffer, count - data.size()), 0);
            if (n <= 0) {
                ended = n == 0 || errno != EAGAIN;
                break;
            }
            data.append(buffer, static_cast<std::size_t>(n));
        }
        return data;
    }
    // Whether the server closed the connection (end of stream or reset) in time.
    bool endsWithin() {
        receive(std::size_t(1) << 30);
        return ended;
    }
    void reset() {  // closes with a reset instead of an orderly end
        linger option{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        ::close(std::exchange(fd, -1));
    }
};

// Listens on a port that was free; 0 when it could not.
quint16 listenOn(IPCServer& server) {
    auto port = static_cast<quint16>(test::freePort());
    server.startListening(port, "127.0.0.1");
    return waitUntil([&] { return server.isRunning(); }) ? port : 0;
}

struct Fixture : ::testing::Test {
    std::unique_ptr<IPCServer> server = std::make_unique<IPCServer>();
    std::vector<IPCCommand> received;
    quint16 port = 0;

    void SetUp() override {
        server->onCommand = [this](const IPCCommand& command) {
            EXPECT_TRUE(onMainThread());
            received.push_back(command);
        };
        ASSERT_NE(port = listenOn(*server), 0) << "no free port found";
    }
    // Sends one command and waits for the reply and its delivery.
    void command(Client& client, const std::string& text) {
        auto before = received.size();
        ASSERT_TRUE(client.send(text));
        ASSERT_EQ(client.receive(3), "OK\n") << text;
        ASSERT_TRUE(waitUntil([&] { return received.size() > before; })) << text;
    }
};

TEST_F(Fixture, AnswersEveryValidTextAndDeliversItOnTheMainThread) {
    int lastCommandChanges = 0;
    QObject::connect(server.get(), &IPCServer::lastCommandChanged, [&] {
        EXPECT_TRUE(onMainThread());
        ++lastCommandChanges;
    });
    // Each text whole, NUL and all, as received: its trimmed text is the last command.
    const std::pair<std::string, std::string> cases[] = {
        {"START x", "START x"}, {"ANIMATION jump\n", "ANIMATION jump"}, {"PING", "PING"},
        {"  \r\n", ""},         {"caf\xC3\xA9\0"s, "caf\xC3\xA9\0"s},   {"STOP\r\n", "STOP"}};
    EXPECT_EQ(server->lastCommand(), "\u2014");
    Client client(port), second(port);  // the second is served alongside the first
    for (const auto& [sent, lastCommand] : cases) {
        ASSERT_NO_FATAL_FAILURE(command(client, sent));
        EXPECT_EQ(describeCommand(received.back()), describeCommand(parseCommand(sent)));
        EXPECT_EQ(server->lastCommand(), lastCommand);
        ASSERT_NO_FATAL_FAILURE(command(second, "ANIMATION other"));
    }
    EXPECT_EQ(lastCommandChanges, 2 * static_cast<int>(std::size(cases)));

    // A final command before a half-close is still handled and answered.
    ASSERT_TRUE(client.send("ANIMATION last one"));
    ::shutdown(client.fd, SHUT_WR);
    EXPECT_EQ(client.receive(3), "OK\n");
    EXPECT_TRUE(client.endsWithin());
    EXPECT_TRUE(waitUntil([&] { return server->lastCommand() == "ANIMATION last one"; }));
}

TEST_F(Fixture, LogsWhereItListensAndWhyItCannot) {
    testing::internal::CaptureStdout();
    IPCServer other;
    other.startListening(port, "127.0.0.1");  // the address is taken
    other.startListening(port, "not an address");
    const quint16 otherPort = listenOn(other);  // reported after the failures above
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Talvex IPC: listener failed: "), log.npos) << log;
    EXPECT_NE(log.find("Talvex IPC: failed to create listener on port " + std::to_string(port)),
              log.npos);
    EXPECT_NE(log.find("Talvex IPC: listening on port " + std::to_string(otherPort) + "\n"),
              log.npos);
}

TEST_F(Fixture, InvalidUtf8GetsNoReplyAndTheNextCommandWorks) {
    const std::string inputs[] = {"\xFF", "STOP\xC3", "\xC0\xA0START", "\xED\xA0\x80",
                                  std::string(1 << 20, '\xFF')};
    for (const auto& input : inputs) {
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

// Nothing is delivered once the server is gone, neither what it answered on
// its own thread while the deliveries waited for the main loop.
TEST_F(Fixture, GonePeersLeaveNoFilesBehindAndRaiseNoSignal) {
    // A process started from a shell gets the default action for SIGPIPE, which kills.
    auto previous = std::signal(SIGPIPE, SIG_DFL);
    auto openFds = [] {
        auto entries = std::filesystem::directory_iterator("/proc/self/fd");
        return static_cast<int>(std::distance(begin(entries), end(entries)));
    };
    const int baseline = openFds();
    Client silent(port);  // stays connected without a word throughout
    // Many small commands, then a reset while replies are still being written.
    std::string burst;
    for (int i = 0; i < 2000; ++i) burst += "STOP";
    for (int i = 0; i < 3000; ++i) {
        Client client(port);
        if (i % 3 == 0) {
            ASSERT_EQ((client.send("ANIMATION a"), client.receive(3)), "OK\n");
        } else if (i % 3 == 1) {
            client.send(i % 30 == 1 ? burst : "STA");
            client.reset();
        }  // else: connect and leave without a word
    }
    // The silent client's socket and the server's end of it stay open.
    EXPECT_TRUE(waitUntil([&] { return openFds() == baseline + 2; })) << openFds() - baseline;
    Client client(port);
    ASSERT_NO_FATAL_FAILURE(command(client, "STOP"));
    std::signal(SIGPIPE, previous);

    const auto delivered = received.size();
    for (int i = 0; i < 10; ++i) ASSERT_EQ((client.send("ANIMATION n"), client.receive(3)), "OK\n");
    server.reset();
    waitUntil([] { return false; }, 0.5);
    EXPECT_EQ(received.size(), delivered);
    EXPECT_TRUE(client.endsWithin());
}

// Idle connections never lock a new client out: at the cap, the one silent
// the longest makes room, and the line saying so comes at most once a second.
TEST_F(Fixture, AtTheCapTheConnectionSilentTheLongestMakesRoom) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < IPCServer::kMaxConnections; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_NO_FATAL_FAILURE(command(*clients.back(), "ANIMATION " + std::to_string(i)));
    }
    ASSERT_NO_FATAL_FAILURE(command(*clients[0], "ANIMATION heard again"));
    testing::internal::CaptureStdout();
    Client next(port);
    ASSERT_NO_FATAL_FAILURE(command(next, "STOP"));
    EXPECT_TRUE(clients[1]->endsWithin());
    ASSERT_NO_FATAL_FAILURE(command(*clients[0], "ANIMATION still here"));

    // A crowd of new clients: each one pushes out the one silent the longest.
    constexpr int kCrowd = 150;
    std::vector<std::unique_ptr<Client>> crowd;
    QElapsedTimer took;
    took.start();
    for (int i = 0; i < kCrowd; ++i) crowd.push_back(std::make_unique<Client>(port));
    ASSERT_NO_FATAL_FAILURE(command(*crowd.back(), "STOP"));
    const int seconds = static_cast<int>(took.elapsed() / 1000);
    waitUntil([] { return false; }, 1.5);  // the count of the last second is reported
    std::string log = testing::internal::GetCapturedStdout();
    int lines = 0, closed = 0;
    const std::string marker =
        "64 connections already open: closed the one silent the longest, from 127.0.0.1 (";
    for (auto at = log.find(marker); at != log.npos; at = log.find(marker, at + 1)) {
        ++lines;
        closed += std::stoi(log.substr(at + marker.size()));
    }
    EXPECT_EQ(closed, 1 + kCrowd) << log;
    EXPECT_LE(lines, seconds + 3) << log;

    // A restart cancels every connection.
    std::vector<bool> states;
    QObject::connect(server.get(), &IPCServer::isRunningChanged,
                     [&](bool running) { states.push_back(running); });
    server->startListening(port, "127.0.0.1");
    EXPECT_FALSE(server->isRunning());
    for (int i = kCrowd - IPCServer::kMaxConnections; i < kCrowd; ++i)
        EXPECT_TRUE(crowd[i]->endsWithin()) << i;
    ASSERT_TRUE(waitUntil([&] { return server->isRunning(); }));
    EXPECT_EQ(states, (std::vector<bool>{false, true}));
    Client fresh(port);
    ASSERT_NO_FATAL_FAILURE(command(fresh, "STOP"));
}

// With the process out of file descriptors, accepting rests and resumes;
// clients that come once there are files again are answered.
TEST_F(Fixture, AnswersAgainAfterABurstThatUsedUpTheFiles) {
    // The log goes to a file read back without opening anything new.
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
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(highest + 40);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    // Take every descriptor left, then connect some (fewer than the backlog
    // holds): the server cannot accept them.
    std::vector<int> sockets;
    for (int fd; (fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) >= 0;)
        sockets.push_back(fd);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    for (std::size_t i = 0; i < std::min<std::size_t>(sockets.size(), 40); ++i)
        ::connect(sockets[i], reinterpret_cast<sockaddr*>(&address), sizeof address);
    EXPECT_TRUE(waitUntil([&] { return logged().find(line) != std::string::npos; }));
    waitUntil([] { return false; }, 0.3);  // a few more rounds of failing accepts
    for (int fd : sockets) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    Client after(port);
    ASSERT_NO_FATAL_FAILURE(command(after, "STOP"));
    EXPECT_TRUE(server->isRunning());
    ::dup2(savedStdout, STDOUT_FILENO);
    ::close(savedStdout);
    std::string text = logged();
    std::fclose(log);
    EXPECT_EQ(text.find(line), text.rfind(line)) << text;
}

}  // namespace
