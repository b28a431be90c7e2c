#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/GyroReceiver.h"
#include "core/Clock.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"

namespace talvex {
namespace {

using test::countOf;
using test::PhoneSimulator;
using test::waitUntil;

const auto settle = [](double seconds) { waitUntil([] { return false; }, seconds); };

// What onSample delivered, from whichever thread, and what the batches brought.
// Made before the receiver, which lets its deliveries finish when it goes.
struct Samples {
    std::mutex mutex;
    GyroSampleBatch list;
    std::size_t batched = 0;  // main thread

    void follow(GyroReceiver& receiver) {
        receiver.onSample = [this](double t, double x, double y, double z) {
            std::lock_guard lock(mutex);
            list.push_back({t, x, y, z});
        };
        QObject::connect(&receiver, &GyroReceiver::samplesArrived,
                         [this](const GyroSampleBatch& batch) { batched += batch.size(); });
    }
    GyroSampleBatch all() {
        std::lock_guard lock(mutex);
        return list;
    }
    std::size_t size() { return all().size(); }
};

// Bad answers and failed requests; then a changed address.
void expectBadAnswersAndFailures(const PhoneSimulator& phone, GyroReceiver& receiver,
                                 Samples& samples, test::LogCapture& capture) {
    std::fputs(capture.take().c_str(), stdout);  // what the checks before said
    // A slow answer is never cut; an unreadable one (or arrays with a string and
    // a boolean, read as empty) delivers nothing and changes no flag; a failed
    // request disconnects and says why, once, and not again while disconnected.
    const std::map<std::string, std::string> why{{"close", ""},
                                                 {"stall", "The request timed out."},
                                                 {"huge", "The answer is larger than 256 MiB."}};
    for (std::string mode :
         {"slow", "malformed", "empty", "truncated", "mixed", "close", "stall", "huge"}) {
        SCOPED_TRACE(mode);
        const bool fails = why.count(mode);
        phone.control("mode=normal");
        ASSERT_TRUE(waitUntil([&] { return receiver.isConnected(); }));
        phone.control("mode=" + mode);
        settle(0.5);  // the answer under way
        const std::size_t before = samples.size();
        EXPECT_EQ(waitUntil([&] { return !receiver.lastPollSucceeded(); }, fails ? 60 : 2), fails);
        settle(1.5);
        EXPECT_EQ(receiver.isConnected(), !fails);
        EXPECT_EQ(receiver.lastPollSucceeded(), !fails);
        EXPECT_TRUE(receiver.isMeasuring());
        EXPECT_EQ(samples.size() > before, mode == "slow");
        const std::string log = capture.take();
        EXPECT_EQ(countOf(log, "Talvex Gyro: poll error: "), fails) << log;
        EXPECT_EQ(countOf(log, "Talvex Gyro: poll error: " + (fails ? why.at(mode) : "")), fails);
    }

    phone.control("mode=normal&measuring=0");
    ASSERT_TRUE(waitUntil([&] { return receiver.lastPollSucceeded(); }));
    EXPECT_FALSE(receiver.isMeasuring());
    EXPECT_FALSE(receiver.isConnected());
    EXPECT_EQ(countOf(capture.take(), "Talvex Gyro: poll error: "), 0);
    EXPECT_EQ(GyroReceiver().phyphoxIP(), "127.0.0.1:2") << "the address of this run is not stored";

    // A text that is no URL sends nothing; a refused phone only clears the flags.
    receiver.setPhyphoxIP("127.0.0.1:1 bad");
    receiver.connectToPhone();
    settle(0.3);
    receiver.setPhyphoxIP("127.0.0.1:1");
    settle(0.3);
    EXPECT_FALSE(receiver.lastPollSucceeded());
    EXPECT_EQ(capture.take(), "")
        << "no config is fetched again, failures while disconnected are silent";
    EXPECT_EQ(GyroReceiver().phyphoxIP(), "127.0.0.1:1") << "stored";
}

// An iPhone (full-precision numbers in any key order, buffers copied one by one
// so their lengths differ), an Android phone with half an hour at 400 Hz behind
// a 5 MB/s link, and an old one that closes connections without saying so:
// each is paused and resumed, and every sample of the session arrives on time.
TEST(GyroReceiverTest, FollowsThePhoneThroughAllItDoes) {
    GyroReceiver().setPhyphoxIP("127.0.0.1:2");
    for (const QString platform : {"ios", "android", "android-old"}) {
        SCOPED_TRACE(platform.toStdString());
        const bool android = platform == "android", old = platform == "android-old";
        test::TempDir dir;
        QStringList arguments{"--platform", platform, "--truth", dir.file("truth").c_str()};
        if (android) arguments += {"--history", "1800", "--bandwidth", "5000000"};
        PhoneSimulator phone(arguments + QStringList{"--slow-seconds", "2"});
        Samples samples;
        GyroReceiver receiver("http://" + phone.address() + "/");
        samples.follow(receiver);
        test::LogCapture capture;
        receiver.connectToPhone();
        ASSERT_TRUE(waitUntil([&] { return receiver.isConnected() && samples.size() > 400; }));
        const double start = steadyNow();
        receiver.beginSession(start);
        const std::string connectLog = capture.take();  // trouble is told once per session
        const std::size_t before = samples.size();
        settle(1.5);
        phone.control("cmd=stop");
        ASSERT_TRUE(waitUntil([&] { return !receiver.isMeasuring(); }));
        settle(1.0);
        phone.control("cmd=start");
        settle(2.0);
        const double end = steadyNow() - 0.2;
        const std::string log = capture.take();
        const GyroSampleBatch all = samples.all();
        EXPECT_GT(test::sampleNumber(all.front().z), android ? 1800 * 400 - 2000 : -1)
            << "history fetched";
        const GyroSampleBatch session(all.begin() + long(before), all.end());
        ASSERT_FALSE(session.empty());
        EXPECT_GE(session.front().timestamp, start) << "nothing from before the session";
        // Against the simulator's record: each sample once, in order, on time, intact.
        std::map<long, double> taken, delivered;
        for (const auto& s : test::readTruth(dir.file("truth"))) taken[s.number] = s.host;
        std::vector<double> errors, missing;
        for (std::size_t i = 0; i < session.size(); ++i) {
            const auto& [t, x, y, z] = session[i];
            const long k = test::sampleNumber(z);
            EXPECT_GT(t, i > 0 ? session[i - 1].timestamp : -INFINITY) << k;
            EXPECT_TRUE(delivered.emplace(k, t).second) << "twice: " << k;
            EXPECT_NEAR(x, std::sin(0.01 * double(k)), 1e-7) << k;
            EXPECT_NEAR(y, std::cos(0.01 * double(k)), 1e-7) << k;
            if (taken.count(k) && taken[k] >= start) errors.push_back(t - taken[k]);
        }
        for (const auto& [k, at] : taken)
            if (at >= start && at <= end && !delivered.count(k)) missing.push_back(at - start);
        EXPECT_TRUE(missing.empty())
            << missing.size() << " missing, the first taken at " << missing.front() << " s";
        EXPECT_GT(errors.size(), 1000u);
        EXPECT_LE(test::medianAndP95(errors).first, 0.010);
        EXPECT_LE(test::medianAndP95(errors).second, 0.030);
        EXPECT_TRUE(waitUntil([&] { return samples.batched >= samples.size(); }))
            << "every sample also comes in a batch";
        EXPECT_NEAR(receiver.yaw(), samples.all().back().z, 1e-3) << "the rates follow the samples";
        const std::string found =
            R"(discovered buffers: ["gyrX", "gyrY", "gyrZ", "gyr_time", "gyr"])";
        EXPECT_TRUE(connectLog.starts_with("Talvex Gyro: config response: {\"") &&
                    countOf(connectLog, "]}\nTalvex Gyro: " + found + "\n") == 1)
            << connectLog;
        EXPECT_EQ(countOf(log, "answer buffers of unequal length"), platform == "ios") << log;
        if (old) expectBadAnswersAndFailures(phone, receiver, samples, capture);
    }
}

}  // namespace
}  // namespace talvex
