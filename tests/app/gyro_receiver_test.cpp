#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <QThread>
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
struct PhoneSimulator {
    QProcess process;
    std::string address;

    explicit PhoneSimulator(QStringList extra = {}) {
        const QString script = QString::fromStdString(test::sourcePath("tools/phone_simulator.py"));
        process.start("python3", QStringList{script, "--port", "0"} + extra);
        process.waitForReadyRead(10000);
        const QString line = QString::fromUtf8(process.readLine()).trimmed();
        if (line.startsWith("listening on ")) address = "127.0.0.1:" + line.mid(13).toStdString();
    }
    ~PhoneSimulator() {
        process.kill();
        process.waitForFinished(5000);
    }
    void control(const std::string& query) const {  // a blocking GET of /control?query
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in peer{
            AF_INET, htons(uint16_t(std::stoi(address.substr(10)))), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) {
            const std::string request = "GET /control?" + query + " HTTP/1.0\r\n\r\n";
            (void)!::write(fd, request.data(), request.size());
            char buffer[4096];
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
        }
        ::close(fd);
    }
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
    double phoneTime() const { return z * 1000.0; }  // the simulator sends z = t / 1000
};

// What onSample delivered, from whichever thread.
struct Samples {
    std::mutex mutex;
    std::vector<Sample> list;

    explicit Samples(GyroReceiver& receiver) {
        receiver.onSample = [this](double t, double x, double y, double z) {
            // Every value must be the simulator's value for its phone time.
            EXPECT_NEAR(x, std::sin(z * 1000.0), 1e-9) << z * 1000.0;
            EXPECT_NEAR(y, std::cos(z * 1000.0), 1e-9) << z * 1000.0;
            std::lock_guard lock(mutex);
            list.push_back({t, x, y, z});
        };
    }
    std::vector<Sample> all() {
        std::lock_guard lock(mutex);
        return list;
    }
};

// Captures standard output, where the log goes; what is not taken is printed at the end.
struct LogCapture {
    LogCapture() { testing::internal::CaptureStdout(); }
    ~LogCapture() { std::fputs(testing::internal::GetCapturedStdout().c_str(), stdout); }
    std::string take() {  // what was logged since the last take
        std::string log = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return log;
    }
};

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(GyroReceiverTest, SessionSamplesFollowThePhoneAndSurviveARestart) {
    PhoneSimulator phone({"--offset", "30"});
    GyroReceiver receiver(phone.address);
    Samples samples(receiver);
    LogCapture capture;
    receiver.connect();
    ASSERT_TRUE(waitUntil([&] { return receiver.isConnected() && receiver.isMeasuring(); }));

    const double start = steadyNow();
    receiver.beginSession(start);
    const std::size_t before = samples.all().size();
    ASSERT_TRUE(waitUntil([&] { return samples.all().size() >= before + 60; }));
    EXPECT_TRUE(waitUntil([&] {  // the window's rates follow the delivered samples
        for (const Sample& s : samples.all())
            if (s.x == receiver.roll() && s.y == receiver.pitch() && s.z == receiver.yaw())
                return true;
        return false;
    }));

    // The phone's experiment starts over and the user reconnects.
    const double restart = steadyNow();
    phone.control("restart=1");
    receiver.connect();
    const std::size_t atRestart = samples.all().size();
    ASSERT_TRUE(waitUntil([&] {
        auto all = samples.all();
        return all.size() > atRestart + 40 && all.back().phoneTime() < 5.0;
    }));
    const std::string log = capture.take();

    const std::vector<Sample> all = samples.all();
    const std::vector<Sample> session(all.begin() + long(before), all.end());
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
    const std::string buffers = "[\"gyrX\", \"gyrY\", \"gyrZ\", \"gyr_time\"]\n";
    EXPECT_EQ(count(log, "Talvex Gyro: discovered buffers: " + buffers), 2u) << log;
    EXPECT_EQ(count(log, "Talvex Gyro: Phyphox buffer reset detected ("), 1u) << log;
    EXPECT_EQ(count(log, "Talvex Gyro: anchoring at "), 2u) << log;
}

TEST(GyroReceiverTest, BadAnswersAndFailuresKeepTheRightState) {
    PhoneSimulator phone;
    GyroReceiver receiver(phone.address);
    Samples samples(receiver);
    LogCapture capture;
    receiver.connect();
    ASSERT_TRUE(waitUntil([&] { return receiver.isConnected(); }));

    // Unreadable answers log and change no flag; an array with a string and a
    // boolean is read as empty, so the answer delivers nothing.
    for (const char* mode : {"malformed", "empty", "truncated", "mixed"}) {
        SCOPED_TRACE(mode);
        phone.control(std::string("mode=") + mode);
        settle(0.3);
        const std::size_t before = samples.all().size();
        settle(0.3);
        EXPECT_TRUE(receiver.isConnected());
        EXPECT_TRUE(receiver.lastPollSucceeded());
        EXPECT_EQ(samples.all().size(), before);
    }

    for (std::string failure : {"close", "stall", "huge"}) {
        SCOPED_TRACE(failure);
        phone.control("mode=normal");
        ASSERT_TRUE(waitUntil([&] { return receiver.isConnected(); }));
        phone.control("mode=" + failure);
        ASSERT_TRUE(waitUntil([&] { return !receiver.lastPollSucceeded(); }));
        EXPECT_FALSE(receiver.isConnected());
        EXPECT_TRUE(receiver.isMeasuring());
        settle(1.2);  // let the polls sent before the change come back
        // Answers and failures already on their way may reconnect for a
        // moment, so the loss can be logged more than once.
        const std::string log = capture.take();
        const std::string why = failure == "stall"  ? "The request timed out."
                                : failure == "huge" ? "The answer is larger than 256 MiB."
                                                    : "";
        EXPECT_GE(count(log, "Talvex Gyro: poll error: " + why), 1u) << log;
        settle(1.0);  // further failures while disconnected are silent
        EXPECT_EQ(count(capture.take(), "Talvex Gyro: poll error: "), 0u);
    }

    phone.control("mode=normal&measuring=0");
    ASSERT_TRUE(waitUntil([&] { return receiver.lastPollSucceeded(); }));
    EXPECT_FALSE(receiver.isMeasuring());
    EXPECT_FALSE(receiver.isConnected());
    EXPECT_EQ(count(capture.take(), "Talvex Gyro: poll error: "), 0u);
}

TEST(GyroReceiverTest, AddressIsStoredUnlessGivenForThisRun) {
    GyroReceiver().setPhyphoxIP("127.0.0.1:1");
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
    EXPECT_EQ(capture.take(), "")
        << "no config is fetched again, failures while disconnected are silent";
}

}  // namespace
}  // namespace talvex
