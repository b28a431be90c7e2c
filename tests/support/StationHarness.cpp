#include "support/StationHarness.h"

#include <signal.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/TestSupport.h"

namespace talvex::test {

ChildProcess::ChildProcess(const QString& program, const QStringList& arguments) {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(program, arguments);
    process_.waitForStarted(10000);
}

ChildProcess::~ChildProcess() {
    process_.kill();
    process_.waitForFinished(5000);
}

std::string ChildProcess::output() {
    // QProcess only pulls from the pipe inside an event loop or a wait.
    while (process_.state() == QProcess::Running && process_.waitForReadyRead(20)) {
    }
    output_ += process_.readAll().toStdString();
    return output_;
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs) {
    const auto seen = [&] { return output().find(text) != std::string::npos; };
    waitUntil([&] { return seen() || process_.state() == QProcess::NotRunning; },
              timeoutMs / 1000.0);
    return seen();
}

int ChildProcess::end(int signalNumber) {
    ::kill(static_cast<pid_t>(process_.processId()), signalNumber);
    return waitForExit(60000);
}

int ChildProcess::waitForExit(int timeoutMs) {
    if (!process_.waitForFinished(timeoutMs)) return -1;
    output();
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

PhoneSimulator::PhoneSimulator(const QStringList& extraArguments)
    : process_("python3",
               QStringList{QString::fromStdString(sourcePath("tools/phone_simulator.py")), "--port",
                           "0"} +
                   extraArguments) {
    if (process_.waitForOutput("listening on ", 300000)) {  // a long history takes a while
        const std::string out = process_.output();
        port_ = std::atoi(out.c_str() + out.find("listening on ") + 13);
    }
}

namespace {

// Sends text to 127.0.0.1:port; the answer up to the server's close or `enough` bytes.
std::string talk(int port, const std::string& text, qint64 enough = 1 << 30) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    if (!socket.waitForConnected(5000)) return {};
    socket.write(text.data(), static_cast<qint64>(text.size()));
    while (socket.bytesAvailable() < enough && socket.waitForReadyRead(5000)) {
    }
    return socket.read(enough).toStdString();
}

}  // namespace

std::string PhoneSimulator::control(const std::string& query) const {
    const std::string reply = talk(port_, "GET /control?" + query + " HTTP/1.0\r\n\r\n");
    const auto body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

std::vector<TruthSample> readTruth(const std::string& path) {
    std::vector<TruthSample> samples;
    std::istringstream lines(readText(path));
    for (TruthSample s; lines >> s.number >> s.host >> s.phoneTime;) samples.push_back(s);
    return samples;
}

std::pair<double, double> medianAndP95(std::vector<double> values) {
    if (values.empty()) return {NAN, NAN};
    for (double& v : values) v = std::fabs(v);
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2],
            values[std::min(values.size() - 1, values.size() * 95 / 100)]};
}

std::string sendCommand(int port, const std::string& text) {
    return talk(port, text, 3);
}

int freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

FlashAndSpike findFlashAndSpike(const std::string& folder, int x) {
    FlashAndSpike found;
    const std::string movie = folder + "/recording.mp4";
    const auto times = movieFrameTimes(movie);
    const std::string pixels =
        runCommand("ffmpeg -v error -i '" + movie +
                   "' -fps_mode passthrough -vf crop=64:64:" + std::to_string(x - 32) +
                   ":328,scale=1:1 -pix_fmt gray -f rawvideo - 2>/dev/null");
    // Both decodes must see the same frames, or the times would not be the flash's.
    for (std::size_t i = 0; pixels.size() == times.size() && i < times.size() && !found.flash; ++i)
        if (static_cast<unsigned char>(pixels[i]) > 200) found.flash = times[i];
    std::istringstream lines(readText(folder + "/gyro.csv"));
    for (std::string line; !found.spike && std::getline(lines, line);)  // the header reads as 0
        if (std::atof(line.c_str() + line.find(',') + 1) > 19)
            found.spike = std::atof(line.c_str());
    auto record = nlohmann::json::parse(readText(folder + "/session.json"), nullptr, false);
    if (record.is_object() && record.contains("video_start_seconds"))
        found.videoStart = record["video_start_seconds"].get<double>();
    return found;
}

}  // namespace talvex::test
