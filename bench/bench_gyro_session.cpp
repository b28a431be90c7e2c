// The gyroscope path end to end against the phone simulator measuring at
// 400 Hz behind a 5 MB/s link:
//   gyro answer-bytes-1min=… answer-bytes-30min=… answers-per-s-1min=… answers-per-s-30min=…
//     what an answer costs after 1 and after 30 minutes of phone measurement;
//   gyro kept=…% error-median-ms=… error-p95-ms=…
//     samples in the station's gyro.csv of those the phone took during the
//     session, and how far the receiver's times lie from the instants at which
//     the samples were taken (after the first second);
//   gyro rss-start-mb=… rss-end-mb=…
//     the station's memory early in the session and at its end.
// TALVEX_BENCH_GYRO_SECONDS sets the session's length (default 600).
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "QuietStdout.h"
#include "app/GyroReceiver.h"
#include "core/Clock.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"

namespace {

using talvex::steadyNow;
using namespace talvex::test;

void pump(double seconds) {
    const double end = steadyNow() + seconds;
    while (steadyNow() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

double field(const std::string& json, const std::string& key) {
    const auto at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? NAN : std::atof(json.c_str() + at + key.size() + 4);
}

// The phone behind a 5 MB/s link.
struct Simulator : PhoneSimulator {
    explicit Simulator(const QStringList& arguments)
        : PhoneSimulator(QStringList{"--bandwidth", "5000000"} + arguments) {}
    std::string state() const { return control("state=1"); }
};

// Bytes per answer and answers per second of a phone that has measured for history seconds.
std::pair<double, double> answerFigures(int history) {
    Simulator phone({"--history", QString::number(history)});
    talvex::GyroReceiver receiver(phone.address());
    receiver.connectToPhone();
    pump(3.0);
    const std::string before = phone.state();
    const double from = steadyNow();
    pump(10.0);
    const std::string after = phone.state();
    const double answers = field(after, "answers") - field(before, "answers");
    return {(field(after, "answerBytes") - field(before, "answerBytes")) / answers,
            answers / (steadyNow() - from)};
}

double rssMegabytes(qint64 pid) {
    std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return NAN;
}

struct Received {
    std::mutex mutex;
    std::vector<std::pair<long, double>> samples;  // number, timestamp
};

// gyro.csv rows of the session folder under root, as (sample number, session time).
std::vector<std::pair<long, double>> gyroRows(const QString& root) {
    std::vector<std::pair<long, double>> rows;
    for (const QString& folder : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::istringstream lines(readText((root + "/" + folder + "/gyro.csv").toStdString()));
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            double t, x, y, z;
            char c;
            if (std::istringstream(line) >> t >> c >> x >> c >> y >> c >> z)
                rows.emplace_back(std::lround(z * 1e6), t);
        }
    }
    return rows;
}

struct SessionFigures {
    double keptPercent, errorMedian, errorP95, rssStart, rssEnd;
};

SessionFigures sessionFigures(double seconds) {
    QTemporaryDir dir;
    const std::string truthFile = (dir.path() + "/truth").toStdString();
    Simulator phone({"--truth", QString::fromStdString(truthFile)});
    talvex::GyroReceiver receiver(phone.address());
    Received received;
    receiver.onSample = [&](double t, double, double, double z) {
        std::lock_guard lock(received.mutex);
        received.samples.emplace_back(std::lround(z * 1e6), t);
    };
    receiver.connectToPhone();

    const int ipcPort = freePort();
    QProcess station;
    station.setProcessChannelMode(QProcess::MergedChannels);
    station.setStandardOutputFile(dir.path() + "/station.log");
    station.start(TALVEX_BINARY_DIR "/talvex",
                  {"--headless", "--virtual-cameras", "1", "--ipc-port", QString::number(ipcPort),
                   "--ipc-bind", "127.0.0.1", "--output-root", dir.path() + "/out", "--phyphox",
                   QString::fromStdString(phone.address())});
    for (double end = steadyNow() + 60; steadyNow() < end;) {
        const std::string log = readText((dir.path() + "/station.log").toStdString());
        if (log.find("listening on port") != std::string::npos &&
            log.find("opened cameras: 1") != std::string::npos)
            break;
        pump(0.2);
    }
    pump(2.0);
    sendCommand(ipcPort, "START bench");
    const double from = steadyNow();
    pump(5.0);
    const double rssStart = rssMegabytes(station.processId());
    pump(std::max(0.0, seconds - 5.0));
    const double rssEnd = rssMegabytes(station.processId());
    const double stop = steadyNow();
    sendCommand(ipcPort, "STOP");
    pump(10.0);
    station.terminate();
    station.waitForFinished(30000);

    std::map<long, double> taken;
    for (const auto& sample : readTruth(truthFile)) taken[sample.number] = sample.host;
    std::vector<double> errors;
    {
        std::lock_guard lock(received.mutex);
        for (const auto& [k, t] : received.samples)
            if (taken.count(k) && taken[k] >= from + 1.0 && taken[k] <= stop)
                errors.push_back(t - taken[k]);
    }
    // The session's start instant, as the rows have it: the median of host instant minus session
    // time.
    const auto rows = gyroRows(dir.path() + "/out");
    std::vector<double> starts;
    for (const auto& [k, t] : rows)
        if (taken.count(k)) starts.push_back(taken[k] - t);
    std::sort(starts.begin(), starts.end());
    const double start = starts.empty() ? from : starts[starts.size() / 2];
    std::size_t inSession = 0, kept = 0;
    std::map<long, bool> written;
    for (const auto& [k, t] : rows) written[k] = true;
    for (const auto& [k, host] : taken)
        if (host >= start && host <= stop) {
            ++inSession;
            kept += written.count(k);
        }
    const auto [median, p95] = medianAndP95(errors);
    return {inSession ? 100.0 * double(kept) / double(inSession) : 0.0, median, p95, rssStart,
            rssEnd};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const char* length = std::getenv("TALVEX_BENCH_GYRO_SECONDS");
    const double seconds = length ? std::atof(length) : 600.0;
    std::pair<double, double> minute, halfHour;
    {
        QuietStdout quiet;  // the receiver's own lines
        minute = answerFigures(60);
        halfHour = answerFigures(1800);
    }
    std::printf(
        "gyro answer-bytes-1min=%.0f answer-bytes-30min=%.0f answers-per-s-1min=%.1f "
        "answers-per-s-30min=%.1f\n",
        minute.first, halfHour.first, minute.second, halfHour.second);
    std::fflush(stdout);
    SessionFigures session{};
    {
        QuietStdout quiet;
        session = sessionFigures(seconds);
    }
    std::printf("gyro kept=%.3f%% error-median-ms=%.2f error-p95-ms=%.2f session-s=%.0f\n",
                session.keptPercent, session.errorMedian * 1000, session.errorP95 * 1000, seconds);
    std::printf("gyro rss-start-mb=%.1f rss-end-mb=%.1f\n", session.rssStart, session.rssEnd);
    return 0;
}
