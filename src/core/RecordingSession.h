#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "core/FileWriteQueue.h"
#include "core/GyroCsvFile.h"
#include "core/GyroSessionStats.h"
#include "core/RecordingOperations.h"
#include "core/SessionFiles.h"
#include "core/TakeReport.h"

namespace talvex {

// One recording, from its folder to its final record: the folder, the
// record (session.json), gyro.csv with the samples it kept, the start
// instant every time in its files counts from, and what its stop kept.
// Every file write goes through the file queue it is given, in order.
// Main thread, except writeGyroSample, which the gyroscope calls from its own.
class RecordingSession {
public:
    // The folder exists; startTime is the steady instant its times count from.
    RecordingSession(std::string folder, SessionMetadata record, double startTime,
                     FileWriteQueue& files);
    ~RecordingSession();
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    const std::string& folder() const { return folder_; }
    const std::string& id() const { return id_; }
    double startTime() const { return startTime_; }
    SessionMetadata record() const;

    // Its cameras started: gyro.csv is opened and the record written.
    void camerasStarted();
    // From here to the stop, gyroscope samples go to gyro.csv.
    void takeSamples();
    // The stop, at the steady instant now: samples are refused from here on
    // and the record gets its end. The take's length.
    double stop(double now);
    // The cameras are finished: gyro.csv is closed and the final record,
    // with what the stop kept, written after every write asked for before;
    // then `written` runs on the file queue's thread. The take's figures.
    TakeFigures finish(const StopReport& report, std::function<void()> written);

    // Kept in the record; written to the folder while the session runs.
    void recordAnimation(const std::string& name);
    // A sample at this steady instant; any thread.
    void writeGyroSample(double sampleTime, double x, double y, double z);

private:
    enum class Stage { prepared, leadIn, recording, stopped, finished };

    void writeRecord(std::string bytes);

    const std::string folder_;
    const std::string id_;
    const double startTime_;
    FileWriteQueue& files_;
    double length_ = 0;  // start to stop, steady seconds

    // Shared with writeGyroSample's thread.
    mutable std::mutex mutex_;
    Stage stage_ = Stage::prepared;
    SessionMetadata record_;
    GyroCsvFile gyroFile_{&files_};
    GyroSessionStats gyroStats_;
};

}  // namespace talvex
