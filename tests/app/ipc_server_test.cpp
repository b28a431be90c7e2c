#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/IPCServer.h"

using namespace talvex;
using namespace std::string_literals;

namespace {

constexpr int kWaitMs = 10000;

template <typename Condition>
bool spinUntil(Condition condition, int ms = kWaitMs) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

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

// Listens on a random port below the ephemeral range; 0 when none could be had.
quint16 listenOn(IPCServer& server) {
    static std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto port = static_cast<quint16>(std::uniform_int_distribution<int>(20000, 32000)(random));
        server.startListening(port, "127.0.0.1");
        if (spinUntil([&] { return server.isRunning(); }, 2000)) return port;
    }
    return 0;
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
        ASSERT_TRUE(spinUntil([&] { return received.size() > before; })) << text;
    }
    int countOf(const IPCCommand& command) const {
        return static_cast<int>(std::count(received.begin(), received.end(), command));
    }
};

TEST_F(Fixture, AnswersEveryValidTextAndDeliversItOnTheMainThread) {
    int lastCommandChanges = 0;
    QObject::connect(server.get(), &IPCServer::lastCommandChanged, [&] {
        EXPECT_TRUE(onMainThread());
        ++lastCommandChanges;
    });
    struct Case {
        std::string sent, lastCommand;
        IPCCommand command;
    };
    const Case cases[] = {
        {"START x", "START x", StartCommand{"x", "Lumetra Program"}},
        {"ANIMATION jump\n", "ANIMATION jump", AnimationCommand{"jump"}},
        {"PING", "PING", UnknownCommand{"PING"}},
        {"  \r\n", "", UnknownCommand{""}},
        {"caf\xC3\xA9\0"s, "caf\xC3\xA9\0"s, UnknownCommand{"caf\xC3\xA9\0"s}},
        {"STOP\r\n", "STOP", StopCommand{}},
    };
    EXPECT_EQ(server->lastCommand(), "\u2014");
    Client client(port), second(port);  // the second is served alongside the first
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(command(client, c.sent));
        EXPECT_EQ(describeCommand(received.back()), describeCommand(c.command));
        EXPECT_EQ(server->lastCommand(), c.lastCommand);
        ASSERT_NO_FATAL_FAILURE(command(second, "ANIMATION other"));
    }
    EXPECT_EQ(lastCommandChanges, 2 * static_cast<int>(std::size(cases)));

    // A final command before a half-close is still handled and answered.
    ASSERT_TRUE(client.send("ANIMATION last one"));
    ::shutdown(client.fd, SHUT_WR);
    EXPECT_EQ(client.receive(3), "OK\n");
    EXPECT_TRUE(client.endsWithin());
    EXPECT_TRUE(spinUntil([&] { return server->lastCommand() == "ANIMATION last one"; }));
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
    ASSERT_TRUE(spinUntil([&] { return countOf(StopCommand{}) >= 5; }));
    EXPECT_EQ(countOf(StopCommand{}), static_cast<int>(received.size()));
}

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
    EXPECT_TRUE(spinUntil([&] { return openFds() == baseline + 2; })) << openFds() - baseline;
    Client client(port);
    ASSERT_NO_FATAL_FAILURE(command(client, "STOP"));
    std::signal(SIGPIPE, previous);
}

TEST_F(Fixture, ConnectionsBeyondTheCapAreRefusedUntilARestartCancelsThem) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < IPCServer::kMaxConnections; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_NO_FATAL_FAILURE(command(*clients.back(), "ANIMATION " + std::to_string(i)));
    }
    testing::internal::CaptureStdout();
    Client refused(port);
    refused.send("STOP");
    EXPECT_TRUE(refused.endsWithin());  // closed after the line is logged
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Talvex IPC: refusing connection from 127.0.0.1: 64 connections already open\n");
    EXPECT_EQ(countOf(StopCommand{}), 0);

    clients.front()->reset();  // a place frees up once one of them leaves
    bool served = false;
    for (int attempt = 0; attempt < 100 && !served; ++attempt) {
        Client next(port);
        served = next.send("STOP") && next.receive(3, 100) == "OK\n";
    }
    EXPECT_TRUE(served);

    std::vector<bool> states;
    QObject::connect(server.get(), &IPCServer::isRunningChanged,
                     [&](bool running) { states.push_back(running); });
    server->startListening(port, "127.0.0.1");
    EXPECT_FALSE(server->isRunning());
    for (std::size_t i = 1; i < clients.size(); ++i) EXPECT_TRUE(clients[i]->endsWithin()) << i;
    ASSERT_TRUE(spinUntil([&] { return server->isRunning(); }));
    EXPECT_EQ(states, (std::vector<bool>{false, true}));
    Client fresh(port);
    ASSERT_NO_FATAL_FAILURE(command(fresh, "STOP"));
}

TEST_F(Fixture, NothingIsDeliveredOnceTheServerIsGone) {
    Client client(port);
    // Answered on the server's thread, while its deliveries wait for the main loop.
    for (int i = 0; i < 10; ++i) ASSERT_EQ((client.send("ANIMATION n"), client.receive(3)), "OK\n");
    server.reset();
    spinUntil([] { return false; }, 500);
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(client.endsWithin());
}

}  // namespace
