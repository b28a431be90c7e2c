// Work from other threads reaching the main thread: the command port's many
// clients and the gyroscope's samples while sessions start and stop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/IPCServer.h"
#include "app/MainThread.h"
#include "app/SessionManager.h"
#include "core/Clock.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"

using namespace talvex;

namespace {

constexpr int kClients = 32, kCommandsPerClient = 100;

int connectTo(quint16 port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

struct InstantCameras : RecordingOperations {
    std::size_t openedRecorderCount() const override { return 1; }
    std::optional<RecordingError> startRecording(const std::string&) override {
        return std::nullopt;
    }
    void stopRecording(StopCompletion completion) override {
        postToMain([completion] { completion({}); });
    }
};

}  // namespace

// Many loopback clients at once while the gyroscope's samples arrive on
// the receiver's thread and sessions start and stop: every command answered
// and delivered once on the main thread, in each client's order; every line
// in gyro.csv whole, every record ended.
TEST(MainThread, ClientsAndSamplesWhileSessionsStartAndStop) {
    test::TempDir root;
    auto cameras = std::make_shared<InstantCameras>();
    SessionManager session(root.path());
    session.setCameraManager(cameras);
    IPCServer server;
    std::vector<int> next(kClients);  // each client's next command number, main thread only
    int total = 0;
    server.onCommand = [&](const IPCCommand& command) {
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
        int client = -1, number = -1;
        if (auto* animation = std::get_if<AnimationCommand>(&command))
            std::sscanf(animation->name.c_str(), "c%d %d", &client, &number);
        if (client >= 0 && client < kClients && number == next[client]) ++next[client];
        ++total;
    };
    const auto port = static_cast<quint16>(test::freePort());
    server.startListening(port, "127.0.0.1");
    ASSERT_TRUE(test::waitUntil([&] { return server.isRunning(); }));

    std::atomic<int> answered = 0, finished = 0;
    std::atomic<bool> done = false;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(200)))
            session.writeGyroSample(steadyNow(), 0.25, -0.5, 1.0);
    });
    for (int id = 0; id < kClients; ++id)
        threads.emplace_back([&, id] {
            int fd = connectTo(port);
            for (int i = 0; i < kCommandsPerClient; ++i) {
                // A flood of peers that leave at once never costs a client its place.
                for (int k = 0; id < 4 && i == 50 && k < 200; ++k) ::close(connectTo(port));
                std::string text = "ANIMATION c" + std::to_string(id) + " " + std::to_string(i);
                char reply[4] = {};
                if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size()) ||
                    ::recv(fd, reply, 3, MSG_WAITALL) != 3 || std::string(reply) != "OK\n")
                    break;
                ++answered;
            }
            ::close(fd);
            ++finished;
        });
    for (int i = 0; i < 20 && !HasFailure(); ++i) {
        session.startSession("s" + std::to_string(i), "user");
        for (int turn = 0; turn < 3; ++turn) QCoreApplication::processEvents();
        session.stopSession();
        EXPECT_TRUE(test::waitUntil([&] { return !session.isBusy(); })) << "session " << i;
    }
    const int expected = kClients * kCommandsPerClient;
    test::waitUntil([&] { return finished == kClients && total >= expected; }, 120);
    done = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(answered.load(), expected);
    EXPECT_EQ(total, expected);
    EXPECT_EQ(next, std::vector<int>(kClients, kCommandsPerClient));

    for (const auto& folder : test::listDir(root.path())) {
        std::string csv = test::readText(root.file(folder) + "/gyro.csv");
        ASSERT_EQ(csv.rfind("time_seconds,", 0), 0u) << folder;
        std::istringstream lines(csv.substr(csv.find('\n') + 1));
        for (std::string line; std::getline(lines, line);)
            ASSERT_TRUE(line.ends_with(",0.25,-0.5,1.0")) << folder << ": " << line;
        EXPECT_NE(test::readText(root.file(folder) + "/session.json").find("recording_end"),
                  std::string::npos);
    }
}
