#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace talvex::test {

// A child process whose standard output (and error) is collected.
class ChildProcess {
public:
    ChildProcess(const QString& program, const QStringList& arguments);
    ~ChildProcess();
    // Waits until a line containing text has been printed; false on timeout or exit.
    bool waitForOutput(const std::string& text, int timeoutMs);
    std::string output();
    int waitForExit(int timeoutMs);  // exit code, or -1
    int end(int signalNumber);       // sends it, then waits a minute for the exit code

private:
    QProcess process_;
    std::string output_;
};

// The phone simulator on 127.0.0.1 with a free port.
class PhoneSimulator {
public:
    explicit PhoneSimulator(const QStringList& extraArguments = {});
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // One of its controls, e.g. "cmd=clear" or "spike_at=12.5"; the answer's body.
    std::string control(const std::string& query) const;

private:
    ChildProcess process_;
    int port_ = 0;
};

// A sample as the simulator logged it (--truth): its number, the host
// instant (steady clock) at which it was taken and its phone time.
struct TruthSample {
    long number = 0;
    double host = 0.0, phoneTime = 0.0;
};
std::vector<TruthSample> readTruth(const std::string& path);
// The simulator's number of a sample, from its gyrZ value (number / 1e6).
inline long sampleNumber(double z) {
    return std::lround(z * 1e6);
}
// Median and 95th percentile of the absolute values.
std::pair<double, double> medianAndP95(std::vector<double> values);

// What a finished session says of one instant seen by camera and phone: the movie
// time of the first white frame around column x of recording.mp4 (a 64x64 patch at
// mid-height), the gyro.csv time of the first sample whose first axis exceeds 19
// rad/s, and "video_start_seconds"; each is missing when not found.
struct FlashAndSpike {
    std::optional<double> flash, spike, videoStart;
};
FlashAndSpike findFlashAndSpike(const std::string& folder, int x);

// Sends one command over TCP to 127.0.0.1 and returns the reply ("" on failure).
std::string sendCommand(int port, const std::string& text);

// A port on 127.0.0.1 that was free a moment ago.
int freePort();

}  // namespace talvex::test
