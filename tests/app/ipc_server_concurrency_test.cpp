// Many loopback clients at once against one server: every command answered,
// every command delivered once on the main thread, in each client's order.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/IPCServer.h"

using namespace talvex;

namespace {

constexpr int kClients = 32;
constexpr int kCommandsPerClient = 100;
constexpr int kChurners = 4;

int connectTo(quint16 port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool commandAnswered(int fd, const std::string& text) {
    if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
        return false;
    std::string reply;
    char buffer[3];
    while (reply.size() < 3) {
        auto n = ::recv(fd, buffer, 3 - reply.size(), 0);
        if (n <= 0) return false;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    return reply == "OK\n";
}

// Sends its commands one at a time and counts the replies.
void runClient(quint16 port, int id, std::atomic<int>& answered) {
    int fd = connectTo(port);
    if (fd < 0) return;
    for (int i = 0; i < kCommandsPerClient; ++i) {
        if (!commandAnswered(fd, "ANIMATION c" + std::to_string(id) + " " + std::to_string(i)))
            break;
        answered.fetch_add(1);
    }
    ::close(fd);
}

// Connects and leaves, sometimes after garbage, to churn the connection set.
void runChurner(quint16 port, int seed) {
    std::mt19937 random(static_cast<unsigned>(seed));
    for (int i = 0; i < 200; ++i) {
        int fd = connectTo(port);
        if (fd < 0) continue;
        if (random() % 2) ::send(fd, "\xFF\xFE", 2, MSG_NOSIGNAL);
        ::close(fd);
    }
}

TEST(IPCServerStress, DozensOfClientsAllAnsweredAndDeliveredInOrder) {
    IPCServer server;
    std::map<int, std::vector<int>> delivered;  // client -> command numbers, main thread only
    int total = 0;
    server.onCommand = [&](const IPCCommand& command) {
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
        auto* animation = std::get_if<AnimationCommand>(&command);
        ASSERT_TRUE(animation);
        int client = 0, number = 0;
        ASSERT_EQ(std::sscanf(animation->name.c_str(), "c%d %d", &client, &number), 2);
        delivered[client].push_back(number);
        ++total;
    };

    std::mt19937 random(std::random_device{}());
    quint16 port = 0;
    for (int attempt = 0; attempt < 20 && !server.isRunning(); ++attempt) {
        port = static_cast<quint16>(std::uniform_int_distribution<int>(20000, 32000)(random));
        server.startListening(port, "127.0.0.1");
        QDeadlineTimer deadline(2000);
        while (!server.isRunning() && !deadline.hasExpired()) QCoreApplication::processEvents();
    }
    ASSERT_TRUE(server.isRunning());

    std::atomic<int> answered = 0;
    std::atomic<int> finished = 0;
    std::vector<std::thread> threads;
    for (int id = 0; id < kClients; ++id)
        threads.emplace_back([&, id] {
            runClient(port, id, answered);
            ++finished;
        });
    for (int id = 0; id < kChurners; ++id)
        threads.emplace_back([&, id] {
            runChurner(port, id);
            ++finished;
        });

    const int expected = kClients * kCommandsPerClient;
    QDeadlineTimer deadline(120000);
    while ((finished < kClients + kChurners || total < expected) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(answered.load(), expected);
    EXPECT_EQ(total, expected);
    ASSERT_EQ(delivered.size(), static_cast<std::size_t>(kClients));
    std::vector<int> inOrder(kCommandsPerClient);
    for (int i = 0; i < kCommandsPerClient; ++i) inOrder[i] = i;
    for (const auto& [client, numbers] : delivered)
        EXPECT_EQ(numbers, inOrder) << "client " << client;
}

}  // namespace
