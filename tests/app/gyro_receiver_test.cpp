#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/GyroReceiver.h"
#include "app/Paths.h"
#include "core/Clock.h"
#include "support/TestSupport.h"

namespace talvex {
namespace {

// The phone simulator on a free loopback port, stopped with the test.
class PhoneSimulator {
public:
    explicit PhoneSimulator(QStringList extra = {}) {
        const QString python = QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
        process_.start(
            python,
            QStringList{QString::fromStdString(test::sourcePath("tools/phone_simulator.py")),
                        "--port", "0"} +
                extra);
        process_.waitForReadyRead(10000);
        const QString line = QString::fromUtf8(process_.readLine()).trimmed();
        if (line.startsWith("listening on ")) port_ = line.mid(13).toInt();
    }
    ~PhoneSimulator() {
        process_.kill();
        process_.waitForFinished(5000);
    }
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    // Blocking GET of /control with the query; returns the reply body.
    std::string control(const std::string& query) const {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(uint16_t(port_));
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string reply;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) {
            const std::string request =
                "GET /control?" + query + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
            (void)!::write(fd, request.data(), request.size());
            char buffer[4096];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, n);
        }
        ::close(fd);
        return reply.substr(reply.find("\r\n\r\n") + 4);
    }

private:
    QProcess process_;
    int port_ = 0;
};

bool waitUntil(const std::function<bool()>& done, double seconds = 5.0) {
    const double end = steadyNow() + seconds;
    while (!done() && steadyNow() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return done();
}

void settle(double seconds) {
    waitUntil([] { return false; }, seconds);
}

struct Sample {
    double timestamp, x, y, z;
    double phoneTime() const { return z * 1000.0; }
};

class Samples {
public:
    void install(GyroReceiver& receiver) {
        receiver.onSample = [this](double t, double x, double y, double z) {
            std::lock_guard lock(mutex_);
            samples_.push_back({t, x, y, z});
        };
    }
    std::vector<Sample> all() const {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return samples_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Sample> samples_;
};

// Every delivered value must be the simulator's value for that phone time.
void expectRealSamples(const std::vector<Sample>& samples) {
    for (const Sample& s : samples) {
        ASSERT_NEAR(s.x, std::sin(s.phoneTime()), 1e-9) << s.phoneTime();
        ASSERT_NEAR(s.y, std::cos(s.phoneTime()), 1e-9) << s.phoneTime();
    }
}

// Collects the log lines printed on standard output; whatever is still
// collected when a test stops early is printed after all, with the failure.
class LogCapture {
public:
    LogCapture() { start(); }
    ~LogCapture() {
        if (active_) std::fputs(take().c_str(), stdout);
    }
    void start() {
        testing::internal::CaptureStdout();
        active_ = true;
    }
    std::string take() {
        active_ = false;
        return testing::internal::GetCapturedStdout();
    }

private:
    bool active_ = false;
};

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(GyroReceiverTest, SessionSamplesFollowThePhoneAndSurviveARestart) {
    PhoneSimulator phone({"--offset", "30"});
    ASSERT_GT(phone.port(), 0);
    GyroReceiver receiver(phone.address());
    Samples samples;
    samples.install(receiver);
    LogCapture capture;
    receiver.connect();
    ASSERT_TRUE(waitUntil([&] { return receiver.isConnected() && receiver.isMeasuring(); }));
    EXPECT_TRUE(receiver.lastPollSucceeded());

    const double start = steadyNow();
    receiver.beginSession(start);
    const std::size_t before = samples.size();
    ASSERT_TRUE(waitUntil([&] { return samples.size() >= before + 60; }));
    // The window's rates follow the delivered samples.
    EXPECT_TRUE(waitUntil([&] {
        for (const Sample& s : samples.all())
            if (s.x == receiver.roll() && s.y == receiver.pitch() && s.z == receiver.yaw())
                return true;
        return false;
    }));

    // The phone's experiment starts over and the user reconnects.
    const double restart = steadyNow();
    phone.control("restart=1");
    receiver.connect();
    std::size_t atRestart = samples.size();
    ASSERT_TRUE(waitUntil([&] {
        auto all = samples.all();
        return all.size() > atRestart + 40 && all.back().phoneTime() < 5.0;
    }));
    const std::string log = capture.take();

    const std::vector<Sample> all = samples.all();
    const std::vector<Sample> session(all.begin() + long(before), all.end());
    expectRealSamples(session);
    ASSERT_GE(session.front().timestamp, start);
    std::size_t restartAt = 0;
    for (std::size_t i = 1; i < session.size(); ++i) {
        const double phoneStep = session[i].phoneTime() - session[i - 1].phoneTime();
        if (phoneStep < 0) {
            EXPECT_EQ(restartAt, 0u) << "one restart only";
            restartAt = i;
            continue;
        }
        // Evenly spaced like the phone's own times, no repeats.
        EXPECT_NEAR(session[i].timestamp - session[i - 1].timestamp, phoneStep, 1e-6);
        EXPECT_NEAR(phoneStep, 0.01, 1e-6);
    }
    ASSERT_GT(restartAt, 0u);
    // The new experiment continues from its first sample, stamped near the host's clock.
    EXPECT_NEAR(session[restartAt].phoneTime(), 0.0, 1e-9);
    EXPECT_NEAR(session[restartAt].timestamp, restart, 0.5);
    EXPECT_LE(session.back().timestamp, steadyNow() + 0.1);

    EXPECT_NE(log.find("Talvex Gyro: config response: {\"crc32\""), std::string::npos) << log;
    EXPECT_EQ(
        count(log,
              "Talvex Gyro: discovered buffers: [\"gyrX\", \"gyrY\", \"gyrZ\", \"gyr_time\"]\n"),
        2u)
        << log;
    EXPECT_EQ(count(log, "Talvex Gyro: Phyphox buffer reset detected ("), 1u) << log;
    EXPECT_EQ(count(log, "Talvex Gyro: anchoring at "), 2u) << log;
}

TEST(GyroReceiverTest, BadAnswersAndFailuresKeepTheRightState) {
    PhoneSimulator phone;
    GyroReceiver receiver(phone.address());
    Samples samples;
    samples.install(receiver);
    LogCapture capture;
    receiver.connect();
    ASSERT_TRUE(waitUntil([&] { return receiver.isConnected(); }));

    // Unreadable answers log and change no flag; an array with a string and a
    // boolean is read as empty, so the answer delivers nothing.
    for (const char* mode : {"malformed", "empty", "truncated", "mixed"}) {
        SCOPED_TRACE(mode);
        phone.control(std::string("mode=") + mode);
        settle(0.3);
        const std::size_t before = samples.size();
        settle(0.3);
        EXPECT_TRUE(receiver.isConnected());
        EXPECT_TRUE(receiver.lastPollSucceeded());
        EXPECT_EQ(samples.size(), before);
    }

    struct Failure {
        const char* mode;
        const char* description;
    };
    for (Failure failure : {Failure{"close", ""}, Failure{"stall", "The request timed out."},
                            Failure{"huge", "The answer is larger than 256 MiB."}}) {
        SCOPED_TRACE(failure.mode);
        phone.control("mode=normal");
        ASSERT_TRUE(waitUntil([&] { return receiver.isConnected(); }));
        phone.control(std::string("mode=") + failure.mode);
        ASSERT_TRUE(waitUntil([&] { return !receiver.lastPollSucceeded(); }));
        EXPECT_FALSE(receiver.isConnected());
        EXPECT_TRUE(receiver.isMeasuring());
        // Let the polls sent before the change come back.
        settle(1.2);
        // Answers and failures already on their way may reconnect for a
        // moment, so the loss can be logged more than once.
        const std::string log = capture.take();
        EXPECT_GE(count(log, "Talvex Gyro: poll error: "), 1u) << log;
        EXPECT_GE(count(log, std::string("Talvex Gyro: poll error: ") + failure.description), 1u)
            << log;
        // Further failures while disconnected are silent.
        capture.start();
        settle(1.0);
        const std::string later = capture.take();
        EXPECT_EQ(count(later, "Talvex Gyro: poll error: "), 0u) << later;
        capture.start();
    }

    phone.control("mode=normal&measuring=0");
    ASSERT_TRUE(waitUntil([&] { return receiver.lastPollSucceeded(); }));
    EXPECT_FALSE(receiver.isMeasuring());
    EXPECT_FALSE(receiver.isConnected());
    const std::string log = capture.take();
    EXPECT_EQ(count(log, "Talvex Gyro: poll error: "), 0u) << log;
    expectRealSamples(samples.all());
}

TEST(GyroReceiverTest, AddressIsStoredUnlessGivenForThisRun) {
    {
        GyroReceiver receiver;
        receiver.setPhyphoxIP("127.0.0.1:1");
    }
    EXPECT_EQ(GyroReceiver().phyphoxIP(), "127.0.0.1:1");
    GyroReceiver overridden(std::string("127.0.0.1:2"));
    EXPECT_EQ(overridden.phyphoxIP(), "127.0.0.1:2");
    EXPECT_EQ(paths::settings()->value(settingsKeys::phyphoxIP).toString(), "127.0.0.1:1");

    // A text that is no URL sends nothing; a refused phone only clears the flags.
    LogCapture capture;
    overridden.setPhyphoxIP("127.0.0.1:1 bad");
    overridden.connect();
    settle(0.3);
    overridden.setPhyphoxIP("127.0.0.1:1");
    settle(0.3);
    EXPECT_FALSE(overridden.lastPollSucceeded());
    const std::string log = capture.take();
    EXPECT_EQ(log, "") << "no config is fetched again, failures while disconnected are silent";
}

}  // namespace
}  // namespace talvex
