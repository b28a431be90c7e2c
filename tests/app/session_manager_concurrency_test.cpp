// writeGyroSample arrives on the receiver's thread while the main thread
// starts and stops sessions: every line in gyro.csv must be whole and the
// record consistent.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <sstream>
#include <thread>

#include "app/MainThread.h"
#include "app/SessionManager.h"
#include "core/Clock.h"
#include "core/FileUtil.h"
#include "support/TestSupport.h"

using namespace talvex;

namespace {

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

TEST(SessionManagerConcurrency, SamplesDuringStartsAndStops) {
    test::TempDir root;
    auto cameras = std::make_shared<InstantCameras>();
    SessionManager session(root.path());
    session.setCameraManager(cameras);

    std::atomic<bool> done{false};
    std::thread sampler([&] {
        while (!done) {
            session.writeGyroSample(steadyNow(), 0.25, -0.5, 1.0);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int i = 0; i < 20; ++i) {
        session.startSession("s" + std::to_string(i), "user");
        for (int turn = 0; turn < 3; ++turn) QCoreApplication::processEvents();
        session.stopSession();
        if (!test::waitUntil([&] { return !session.isBusy(); })) {
            ADD_FAILURE() << "session " << i << " never finished";
            break;
        }
    }
    done = true;
    sampler.join();

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
