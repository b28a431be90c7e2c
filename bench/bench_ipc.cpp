// Commands per second answered with "OK\n" on loopback: each client sends one
// command, waits for the reply and repeats. The server runs in this process
// with its deliveries handled by the Qt event loop on the main thread.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "app/IPCServer.h"

using namespace talvex;

namespace {

quint16 serverPort = 0;

int connectTo(quint16 port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

bool answered(int fd, const std::string& command) {
    if (::send(fd, command.data(), command.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(command.size()))
        return false;
    char reply[3];
    std::size_t got = 0;
    while (got < sizeof reply) {
        auto n = ::recv(fd, reply + got, sizeof reply - got, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return std::string_view(reply, 3) == "OK\n";
}

void commandsAnswered(benchmark::State& state) {
    int fd = connectTo(serverPort);
    if (fd < 0) {
        state.SkipWithError("cannot connect to the command port");
        return;
    }
    const std::string command = "ANIMATION bench " + std::to_string(state.thread_index());
    for (auto _ : state) {
        if (!answered(fd, command)) {
            state.SkipWithError("a command was not answered with OK");
            break;
        }
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(commandsAnswered)->Threads(1)->Threads(16)->UseRealTime()->MinTime(2.0);

bool startServer(IPCServer& server) {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 20 && !server.isRunning(); ++attempt) {
        serverPort = static_cast<quint16>(std::uniform_int_distribution<int>(20000, 32000)(random));
        server.startListening(serverPort, "127.0.0.1");
        QDeadlineTimer deadline(2000);
        while (!server.isRunning() && !deadline.hasExpired()) QCoreApplication::processEvents();
    }
    return server.isRunning();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    IPCServer server;
    std::atomic<long> delivered = 0;
    server.onCommand = [&](const IPCCommand&) { ++delivered; };
    if (!startServer(server)) return 1;

    std::thread runner([&] {
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    runner.join();
    return 0;
}
