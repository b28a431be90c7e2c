#pragma once

// A camera manager over three synthetic cameras, and its stop as a test sees it.

#include <gtest/gtest.h>

#include <QTest>
#include <QThread>

#include "app/CameraManager.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"
#include "support/MovieProbe.h"

namespace talvex::test {

inline CameraDevice device(int number, std::string name = {}) {
    std::string system = "Synthetic Camera " + std::to_string(number);
    return {"synthetic-" + std::to_string(number), name.empty() ? system : name, system};
}

struct CameraManagerFixture : ::testing::Test {
    TempDir data;
    std::unique_ptr<CameraManager> manager;

    CameraManagerFixture() {
        SyntheticCameras::reset();
        SyntheticCameras::add(3);
        manager = std::make_unique<CameraManager>(data.path());
    }
    ~CameraManagerFixture() override {
        manager.reset();
        SyntheticCameras::reset();
    }
    void open(const std::vector<CameraDevice>& devices) {
        manager->openCameras(devices);
        ASSERT_TRUE(waitUntil([&] { return manager->openedRecorders().size() == devices.size(); }));
    }
    std::vector<std::string> openIds() const {
        std::vector<std::string> ids;
        for (const auto& recorder : manager->openedRecorders())
            ids.push_back(recorder->device().id);
        return ids;
    }
    // The completion runs exactly once, on the main thread; its movies, described.
    std::string stop() {
        int completions = 0;
        bool onMainThread = true;
        std::string movies;
        manager->stopRecording([&](const StopReport& report) {
            ++completions;
            movies = describeMovies(report.movies);
            onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
        });
        EXPECT_TRUE(waitUntil([&] { return completions > 0; }));
        QTest::qWait(50);
        EXPECT_EQ(completions, 1);
        EXPECT_TRUE(onMainThread);
        return movies;
    }
};

}  // namespace talvex::test
