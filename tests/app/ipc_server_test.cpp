#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/IPCServer.h"
#include "support/TestSupport.h"

using namespace talvex;
using namespace std::string_literals;

namespace {

constexpr int kWaitMs = 10000;

void turn() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Runs the event loop until the condition holds or a generous deadline passes.
template <typename Condition>
bool spinUntil(Condition condition, int ms = kWaitMs) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        turn();
    }
    return true;
}

int openFdCount() {
    int n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

bool threadNamed(const std::string& name) {
    for (auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        if (test::readText(task.path().string() + "/comm") == name + "\n") return true;
    return false;
}

// A blocking loopback client, as Lumetra would be.
class Client {
public:
    explicit Client(quint16 port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    bool send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            auto n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Up to `count` bytes, stopping early at end of stream, an error or the timeout.
    std::string receive(std::size_t count, int timeoutMs = kWaitMs) {
        std::string data;
        QDeadlineTimer deadline(timeoutMs);
        while (data.size() < count && !deadline.hasExpired()) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::min<qint64>(deadline.remainingTime(), 50))) <=
                0)
                continue;
            char buffer[4096];
            auto n = ::recv(fd_, buffer, std::min(sizeof buffer, count - data.size()), 0);
            if (n <= 0) {
                ended_ = true;
                break;
            }
            data.append(buffer, static_cast<std::size_t>(n));
        }
        return data;
    }
    // Whether the server closed the connection (end of stream or reset) in time.
    bool endsWithin(int timeoutMs = kWaitMs) {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            receive(1, 50);
            if (ended_) return true;
        }
        return false;
    }
    void halfClose() { ::shutdown(fd_, SHUT_WR); }
    // Closes with a reset instead of an orderly end.
    void reset() {
        linger option{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        close();
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool ended_ = false;
};

// Collects standard output (where the diagnostics go) while alive.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        saved_ = ::dup(1);
        std::FILE* file = std::tmpfile();
        fd_ = ::dup(::fileno(file));
        std::fclose(file);
        ::dup2(fd_, 1);
    }
    // Hands what was captured on to the real output, test failures included.
    ~StdoutCapture() {
        std::string captured = text();
        ::dup2(saved_, 1);
        std::fwrite(captured.data(), 1, captured.size(), stdout);
        std::fflush(stdout);
        ::close(saved_);
        ::close(fd_);
    }
    std::string text() {
        std::fflush(stdout);
        std::string all;
        char buffer[4096];
        ssize_t n;
        for (off_t at = 0; (n = ::pread(fd_, buffer, sizeof buffer, at)) > 0; at += n)
            all.append(buffer, static_cast<std::size_t>(n));
        return all;
    }

private:
    int saved_ = -1;
    int fd_ = -1;
};

// A random port below the usual ephemeral range (so our own clients do not
// hold it) that nothing on 127.0.0.1 is bound to right now.
quint16 randomPort() {
    static std::mt19937 random(std::random_device{}());
    for (;;) {
        auto port = static_cast<quint16>(std::uniform_int_distribution<int>(20000, 32000)(random));
        int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        if (free) return port;
    }
}

struct Fixture : ::testing::Test {
    IPCServer server;
    std::vector<IPCCommand> received;
    quint16 port = 0;

    Fixture() {
        server.onCommand = [this](const IPCCommand& command) {
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            received.push_back(command);
        };
    }

    // Ports are picked at random for each run; a taken one is skipped.
    void listen() {
        for (int attempt = 0; attempt < 20 && !server.isRunning(); ++attempt) {
            port = randomPort();
            server.startListening(port, "127.0.0.1");
            spinUntil([&] { return server.isRunning(); }, 2000);
        }
        ASSERT_TRUE(server.isRunning()) << "no free port found";
    }
    // Sends one command and waits for the reply and its delivery.
    void command(Client& client, const std::string& text) {
        auto before = received.size();
        ASSERT_TRUE(client.send(text));
        ASSERT_EQ(client.receive(3), "OK\n") << text;
        ASSERT_TRUE(spinUntil([&] { return received.size() > before; })) << text;
    }
    // Sends STOP until one is answered: after input the server drops, STOP
    // may first be read together with leftovers and be dropped as well.
    std::string stopAfterBadInput(Client& client) {
        std::string replies;
        for (int attempt = 0; attempt < 50 && replies.empty(); ++attempt) {
            if (!client.send("STOP")) break;
            replies = client.receive(3, 200);
        }
        return replies + client.receive(64, 200);
    }
    int countOf(const IPCCommand& command) const {
        return static_cast<int>(std::count(received.begin(), received.end(), command));
    }
};

TEST_F(Fixture, AnswersEveryValidTextAndDeliversItOnTheMainThread) {
    EXPECT_EQ(server.lastCommand(), "\u2014");
    EXPECT_FALSE(server.isRunning());
    listen();
    EXPECT_TRUE(threadNamed("talvex.ipc"));
    int lastCommandChanges = 0;
    QObject::connect(&server, &IPCServer::lastCommandChanged, [&] {
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
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
        {"\0"s, "\0"s, UnknownCommand{"\0"s}},
        {"caf\xC3\xA9", "caf\xC3\xA9", UnknownCommand{"caf\xC3\xA9"}},
        {"STOP\r\n", "STOP", StopCommand{}},
    };
    Client client(port);
    Client second(port);  // served alongside the first
    ASSERT_TRUE(client.connected());
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(command(client, c.sent));
        EXPECT_EQ(describeCommand(received.back()), describeCommand(c.command));
        EXPECT_EQ(server.lastCommand(), c.lastCommand);
        ASSERT_NO_FATAL_FAILURE(command(second, "ANIMATION other"));
    }
    EXPECT_EQ(lastCommandChanges, 2 * static_cast<int>(std::size(cases)));
}

TEST_F(Fixture, LogsWhereItListensAndWhyItCannot) {
    StdoutCapture output;
    listen();
    EXPECT_NE(output.text().find("Talvex IPC: listening on port " + std::to_string(port) + "\n"),
              std::string::npos);

    // Another server on the same port: the address is taken.
    IPCServer other;
    other.startListening(port, "127.0.0.1");
    EXPECT_TRUE(
        spinUntil([&] { return output.text().find("listener failed") != std::string::npos; }));
    EXPECT_NE(output.text().find("Talvex IPC: listener failed: "), std::string::npos);
    EXPECT_FALSE(other.isRunning());

    other.startListening(port, "not an address");
    EXPECT_TRUE(spinUntil([&] {
        return output.text().find("Talvex IPC: failed to create listener on port " +
                                  std::to_string(port) + "\n") != std::string::npos;
    }));
    EXPECT_FALSE(other.isRunning());
    EXPECT_TRUE(server.isRunning());
}

TEST_F(Fixture, InvalidUtf8GetsNoReplyAndTheNextCommandWorks) {
    listen();
    std::mt19937 random(7);
    std::string garbage(4096, '\0');
    for (auto& byte : garbage) byte = static_cast<char>(random());
    garbage[0] = '\xFF';  // never valid anywhere in a text

    const std::string inputs[] = {"\xFF",         "STOP\xC3", "\xC0\xA0START",
                                  "\xED\xA0\x80", garbage,    std::string(1 << 20, '\xFF')};
    for (const auto& input : inputs) {
        Client client(port);
        ASSERT_TRUE(client.send(input));
        EXPECT_EQ(stopAfterBadInput(client), "OK\n") << testing::PrintToString(input);
    }
    ASSERT_TRUE(spinUntil([&] { return countOf(StopCommand{}) >= 6; }));
    for (const auto& command : received) EXPECT_EQ(describeCommand(command), "stop");
}

TEST_F(Fixture, OneMebibyteAtOnceIsReadInPiecesOfAtMost1024Bytes) {
    listen();
    Client client(port);
    const std::size_t size = 1 << 20;
    ASSERT_TRUE(client.send(std::string(size, 'A')));

    std::size_t delivered = 0;
    ASSERT_TRUE(spinUntil([&] {
        for (; !received.empty(); received.erase(received.begin())) {
            auto* unknown = std::get_if<UnknownCommand>(&received.front());
            EXPECT_TRUE(unknown && unknown->text.size() <= 1024 && !unknown->text.empty());
            if (unknown) delivered += unknown->text.size();
        }
        return delivered == size;
    }));
    // One reply per piece, and nothing else.
    std::string replies = client.receive(1 << 16, 500);
    EXPECT_GE(replies.size(), 3u * 1024);
    EXPECT_EQ(replies.find_first_not_of("OK\n"), std::string::npos);
    EXPECT_EQ(replies.size() % 3, 0u);
    ASSERT_NO_FATAL_FAILURE(command(client, "STOP"));
}

TEST_F(Fixture, FinalCommandBeforeHalfCloseIsHandledAndAnswered) {
    listen();
    Client client(port);
    ASSERT_TRUE(client.send("ANIMATION last one"));
    client.halfClose();
    EXPECT_EQ(client.receive(3), "OK\n");
    EXPECT_TRUE(client.endsWithin());
    ASSERT_TRUE(spinUntil([&] { return !received.empty(); }));
    EXPECT_EQ(describeCommand(received.back()), describeCommand(AnimationCommand{"last one"}));
    EXPECT_EQ(server.lastCommand(), "ANIMATION last one");
}

TEST_F(Fixture, SilentAndResettingPeersDoNotDisturbOthers) {
    listen();
    Client silent(port);
    Client resetting(port);
    ASSERT_TRUE(resetting.send("STA"));
    resetting.reset();
    Client client(port);
    ASSERT_NO_FATAL_FAILURE(command(client, "START after"));
    EXPECT_EQ(describeCommand(received.back()),
              describeCommand(StartCommand{"after", "Lumetra Program"}));
}

TEST_F(Fixture, ReplyingToAGonePeerDoesNotKillTheProcess) {
    // A process started from a shell gets the default action, which kills.
    struct sigaction fatal {
    }, previous{};
    fatal.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &fatal, &previous);
    listen();
    // Many small commands, then a reset while replies are still being written.
    std::string burst;
    for (int i = 0; i < 2000; ++i) burst += "STOP";
    for (int round = 0; round < 20; ++round) {
        Client client(port);
        ASSERT_TRUE(client.send(burst));
        client.reset();
    }
    Client client(port);
    ASSERT_NO_FATAL_FAILURE(command(client, "PING"));
    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(Fixture, ClosedConnectionsLeaveNoFilesBehind) {
    listen();
    const int baseline = openFdCount();
    for (int i = 0; i < 3000; ++i) {
        Client client(port);
        ASSERT_TRUE(client.connected());
        switch (i % 3) {
            case 0:
                ASSERT_EQ((client.send("ANIMATION a"), client.receive(3)), "OK\n");
                break;
            case 1:
                client.reset();
                break;
            default:
                break;  // connect and leave without a word
        }
        if (i % 50 == 0) turn();
    }
    EXPECT_TRUE(spinUntil([&] { return openFdCount() == baseline; }))
        << openFdCount() << " vs " << baseline;
    Client client(port);
    ASSERT_NO_FATAL_FAILURE(command(client, "STOP"));
}

TEST_F(Fixture, ConnectionsBeyondTheCapAreRefusedWithOneLine) {
    listen();
    StdoutCapture output;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < IPCServer::kMaxConnections; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_NO_FATAL_FAILURE(command(*clients.back(), "ANIMATION " + std::to_string(i)));
    }
    Client refused(port);
    refused.send("STOP");
    EXPECT_TRUE(refused.endsWithin());
    EXPECT_NE(output.text().find(
                  "Talvex IPC: refusing connection from 127.0.0.1: 64 connections already open\n"),
              std::string::npos);
    EXPECT_EQ(countOf(StopCommand{}), 0);

    // A place frees up once one of them leaves.
    clients.front().reset();
    bool served = false;
    for (int attempt = 0; attempt < 100 && !served; ++attempt) {
        turn();
        Client next(port);
        next.send("STOP");
        served = next.receive(3, 100) == "OK\n";
    }
    EXPECT_TRUE(served);
}

TEST_F(Fixture, RestartCancelsExistingConnections) {
    listen();
    Client old(port);
    ASSERT_NO_FATAL_FAILURE(command(old, "START one"));
    std::vector<bool> states;
    QObject::connect(&server, &IPCServer::isRunningChanged,
                     [&](bool running) { states.push_back(running); });
    server.startListening(port, "127.0.0.1");
    EXPECT_FALSE(server.isRunning());
    EXPECT_TRUE(old.endsWithin());
    ASSERT_TRUE(spinUntil([&] { return server.isRunning(); }));
    EXPECT_EQ(states, (std::vector<bool>{false, true}));
    Client fresh(port);
    ASSERT_NO_FATAL_FAILURE(command(fresh, "STOP"));
}

TEST(IPCServerLifetime, NothingIsDeliveredOnceTheServerIsGone) {
    int delivered = 0;
    quint16 port = 0;
    std::unique_ptr<Client> client;
    {
        IPCServer server;
        server.onCommand = [&](const IPCCommand&) { ++delivered; };
        for (int attempt = 0; attempt < 20 && !server.isRunning(); ++attempt) {
            port = randomPort();
            server.startListening(port, "127.0.0.1");
            spinUntil([&] { return server.isRunning(); }, 2000);
        }
        ASSERT_TRUE(server.isRunning());
        client = std::make_unique<Client>(port);
        // Answered on the server's thread, while its deliveries wait for the main loop.
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(client->send("ANIMATION n"));
            ASSERT_EQ(client->receive(3), "OK\n");
        }
    }
    for (int i = 0; i < 50; ++i) turn();
    EXPECT_EQ(delivered, 0);
    EXPECT_TRUE(client->endsWithin());
}

}  // namespace
