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
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

namespace {

using talvex::steadyNow;

void pump(double seconds) {
    const double end = steadyNow() + seconds;
    while (steadyNow() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

// One blocking exchange with a server on 127.0.0.1: the reply up to the
// server's close, or its first line when the server keeps the connection.
std::string exchange(int port, const std::string& request, bool oneLine = false) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            reply.append(buffer, std::size_t(n));
            if (oneLine && reply.find('\n') != std::string::npos) break;
        }
    }
    ::close(fd);
    return reply;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

double field(const std::string& json, const std::string& key) {
    const auto at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? NAN : std::atof(json.c_str() + at + key.size() + 4);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Simulator {
public:
    explicit Simulator(QStringList arguments) {
        process_.start("python3", QStringList{TALVEX_SOURCE_DIR "/tools/phone_simulator.py",
                                              "--port", "0", "--bandwidth", "5000000"} +
                                      arguments);
        const double end = steadyNow() + 300;
        std::string out;
        while (out.find('\n') == std::string::npos && steadyNow() < end) {
            process_.waitForReadyRead(100);
            out += process_.readAll().toStdString();
        }
        if (out.rfind("listening on ", 0) == 0) port_ = std::atoi(out.c_str() + 13);
    }
    ~Simulator() {
        process_.kill();
        process_.waitForFinished(5000);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string state() const { return exchange(port_, "GET /sim?state=1 HTTP/1.0\r\n\r\n"); }

private:
    QProcess process_;
    int port_ = 0;
};

// Bytes per answer and answers per second of a phone that has measured for history seconds.
std::pair<double, double> answerFigures(int history) {
    Simulator phone({"--history", QString::number(history)});
    talvex::GyroReceiver receiver(phone.address());
    receiver.connect();
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
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return NAN;
}

std::pair<double, double> medianAndP95(std::vector<double> values) {
    if (values.empty()) return {NAN, NAN};
    for (double& v : values) v = std::fabs(v);
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values[values.size() * 95 / 100]};
}

struct Received {
    std::mutex mutex;
    std::vector<std::pair<long, double>> samples;  // number, timestamp
};

// gyro.csv rows of the session folder under root, as (sample number, session time).
std::vector<std::pair<long, double>> gyroRows(const QString& root) {
    std::vector<std::pair<long, double>> rows;
    for (const QString& folder : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::istringstream lines(readFile((root + "/" + folder + "/gyro.csv").toStdString()));
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
    receiver.connect();

    const int ipcPort = freePort();
    QProcess station;
    station.setProcessChannelMode(QProcess::MergedChannels);
    station.setStandardOutputFile(dir.path() + "/station.log");
    station.start(TALVEX_BINARY_DIR "/talvex",
                  {"--headless", "--virtual-cameras", "1", "--ipc-port", QString::number(ipcPort),
                   "--ipc-bind", "127.0.0.1", "--output-root", dir.path() + "/out", "--phyphox",
                   QString::fromStdString(phone.address())});
    for (double end = steadyNow() + 60; steadyNow() < end;) {
        const std::string log = readFile((dir.path() + "/station.log").toStdString());
        if (log.find("listening on port") != std::string::npos &&
            log.find("opened cameras: 1") != std::string::npos)
            break;
        pump(0.2);
    }
    pump(2.0);
    exchange(ipcPort, "START bench", true);
    const double from = steadyNow();
    pump(5.0);
    const double rssStart = rssMegabytes(station.processId());
    pump(std::max(0.0, seconds - 5.0));
    const double rssEnd = rssMegabytes(station.processId());
    const double stop = steadyNow();
    exchange(ipcPort, "STOP", true);
    pump(10.0);
    station.terminate();
    station.waitForFinished(30000);

    std::map<long, double> taken;
    {
        std::istringstream lines(readFile(truthFile));
        long k;
        double host, phoneTime;
        while (lines >> k >> host >> phoneTime) taken[k] = host;
    }
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
