#include "core/RecordingSession.h"

#include "core/Clock.h"
#include "core/DiskSpace.h"
#include "core/FileUtil.h"
#include "core/Log.h"
#include "core/NumberFormat.h"

namespace talvex {

RecordingSession::RecordingSession(std::string folder, SessionMetadata record, double startTime,
                                   FileWriteQueue& files)
    : folder_(std::move(folder)),
      id_(record.sessionId),
      startTime_(startTime),
      files_(files),
      record_(std::move(record)) {}

RecordingSession::~RecordingSession() {
    std::lock_guard lock(mutex_);
    gyroFile_.close();
}

SessionMetadata RecordingSession::record() const {
    std::lock_guard lock(mutex_);
    return record_;
}

void RecordingSession::camerasStarted() {
    std::string bytes;
    {
        std::lock_guard lock(mutex_);
        stage_ = Stage::leadIn;
        gyroFile_.open(folder_);
        bytes = encodeSessionMetadata(record_);
    }
    writeRecord(std::move(bytes));
}

void RecordingSession::takeSamples() {
    std::lock_guard lock(mutex_);
    stage_ = Stage::recording;
}

double RecordingSession::stop(double now) {
    std::lock_guard lock(mutex_);
    stage_ = Stage::stopped;
    length_ = now - startTime_;
    logLine(gyroStats_.report(length_));
    record_.recordingEnd = wallNow();
    return length_;
}

// The reserve is given back just before the final record, so a session
// stopped on a full disk still gets its end.
TakeFigures RecordingSession::finish(const StopReport& report, std::function<void()> written) {
    TakeFigures take;
    std::string bytes;
    {
        std::lock_guard lock(mutex_);
        stage_ = Stage::finished;
        gyroFile_.close();
        take = {startTime_,
                length_,
                report.cameras,
                report.movies,
                static_cast<std::int64_t>(gyroStats_.kept()),
                gyroStats_.longestGap(length_)};
        if (report.videoStartTime) record_.videoStartSeconds = *report.videoStartTime - startTime_;
        record_.gyroSamples = take.gyroSamples;
        record_.gyroLongestGapSeconds = take.gyroLongestGap;
        record_.durationSeconds = take.durationSeconds;
        record_.cameraDevices = report.cameras;
        for (CameraTake& camera : *record_.cameraDevices)
            if (camera.lostAt) camera.lostAt = *camera.lostAt - startTime_;
        bytes = encodeSessionMetadata(record_);
    }
    files_.async([folder = folder_] {
        if (!isDirectory(folder)) {
            makeDirectories(folder);
            logLine("Talvex: the session folder had vanished and was created again: " + folder);
        }
        removeReserveFile(folder);
    });
    writeRecord(std::move(bytes));
    files_.async(std::move(written));
    return take;
}

void RecordingSession::recordAnimation(const std::string& name) {
    std::string bytes;
    {
        std::lock_guard lock(mutex_);
        record_.animationsRun.push_back(name);
        if (stage_ != Stage::prepared && stage_ != Stage::finished)
            bytes = encodeSessionMetadata(record_);
    }
    // While the session runs, the folder always holds the record as known so
    // far; once the final record is asked for, a late name stays in memory.
    if (!bytes.empty()) writeRecord(std::move(bytes));
}

void RecordingSession::writeGyroSample(double sampleTime, double x, double y, double z) {
    std::lock_guard lock(mutex_);
    if (stage_ == Stage::prepared || stage_ == Stage::leadIn) return;
    if (stage_ != Stage::recording) {
        logLine("Talvex Gyro: sample rejected — no start time");  // the tail-out
        return;
    }
    const double t = sampleTime - startTime_;
    // One line per sample is part of the station's documented output: keep it.
    logLine("Talvex Gyro: writing sample at t=" + formatNumber(t));
    if (!(t >= 0)) {
        logLine("Talvex Gyro: sample rejected — negative time " + formatNumber(t));
        return;
    }
    // Only rows that reached gyro.csv count as kept.
    if (gyroFile_.append(gyroCsvLine(t, x, y, z))) gyroStats_.add(t);
    record_.gyroscopeConnected = true;
}

// Queued: the disk is never waited for here, and a later record never lands
// before an earlier one.
void RecordingSession::writeRecord(std::string bytes) {
    files_.writeAtomically(joinPath(folder_, kMetadataFileName), std::move(bytes),
                           [](const std::string& error) {
                               logLine("Talvex: could not write session.json: " + error);
                           });
}

}  // namespace talvex
