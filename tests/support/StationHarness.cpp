#include "support/StationHarness.h"

#include <signal.h>

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cmath>
#include <sstream>

#include "support/TestSupport.h"

namespace talvex::test {

ChildProcess::ChildProcess(const QString& program, const QStringList& arguments) {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(program, arguments);
    process_.waitForStarted(10000);
}

ChildProcess::~ChildProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

std::string ChildProcess::output() {
    // QProcess only pulls from the pipe inside an event loop or a wait.
    while (process_.state() == QProcess::Running && process_.waitForReadyRead(20)) {
    }
    output_ += process_.readAll().toStdString();
    return output_;
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (output().find(text) == std::string::npos) {
        if (timer.elapsed() > timeoutMs || process_.state() == QProcess::NotRunning) return false;
        process_.waitForReadyRead(100);
    }
    return true;
}

void ChildProcess::signal(int signalNumber) {
    ::kill(static_cast<pid_t>(process_.processId()), signalNumber);
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

// Sends text to 127.0.0.1:port; the answer up to the server's close, or its
// first `enough` bytes.
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

}  // namespace talvex::test
