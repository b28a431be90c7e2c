// Two emulated MJPEG 1280x720 30 fps webcams recorded side by side, live:
//   live-mjpeg cameras=2 cpu=C ffmpeg-cpu=F ratio=R
// C is the headless station's CPU (user+system, seconds per second of
// recording) while it records both cameras into its side-by-side movie, F the
// same for the ffmpeg command line capturing both cameras into a movie with
// the same encoder settings, R = C/F. The two alternate three times; each
// figure is its side's median (the shared machine's load swings).
//
// Both capture the same cameras of one run of the webcam emulator, which the
// program starts by running itself again under with-webcams (root only: the
// runner makes device nodes in a mount namespace of its own). The emulator
// makes each camera's JPEGs in the capturing process, so both figures include
// that; the program measures it alone (ffmpeg copying the packets to nowhere)
// and prints the figures without it on a line of their own.
// TALVEX_BENCH_LIVE_SECONDS sets each recording's length (default 60).

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "media/MovieSettings.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"

namespace {

using talvex::MovieSettings;
using talvex::steadyNow;
using namespace talvex::test;

constexpr int kRounds = 3;
constexpr double kEmulatorSeconds = 10;  // the emulator's own share needs no long run
const QStringList kCameras{"/dev/video0", "/dev/video2"};

// Two 1080p webcams (MJPEG 1280x720 at 30 fps is among their modes), each on
// a root port of its own, so both can stream at once.
constexpr const char* kWebcams =
    "[camera left]\nmodel = 1080p\nserial = L0001\n"
    "[camera right]\nmodel = 1080p\nserial = R0002\n";

double recordSeconds() {
    const char* length = std::getenv("TALVEX_BENCH_LIVE_SECONDS");
    return length ? std::atof(length) : 60.0;
}

// CPU seconds (user+system) of a process and of its children that it waited for.
double cpuSeconds(qint64 pid) {
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const auto end = stat.rfind(')');  // the program's name may hold spaces
    if (end == std::string::npos) return 0;
    std::istringstream fields(stat.substr(end + 2));
    std::string skip;
    for (int field = 3; field < 14; ++field) fields >> skip;
    double ticks = 0;
    for (int field = 14; field <= 17; ++field) {
        double value = 0;
        fields >> value;
        ticks += value;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Checks a few times a second (a tight loop would take CPU from the measured
// program on a two-core machine) until done or seconds passed.
bool waitFor(const std::function<bool()>& done, double seconds) {
    const double end = steadyNow() + seconds;
    while (!done()) {
        if (steadyNow() > end) return false;
        QThread::msleep(200);
    }
    return true;
}

bool waitForText(const std::string& path, const std::string& text, double seconds) {
    return waitFor([&] { return readText(path).find(text) != std::string::npos; }, seconds);
}

// The log's lines that hold text, without "Talvex: ", joined by "; ".
std::string linesWith(const std::string& log, const std::string& text) {
    std::string found;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(text) == std::string::npos) continue;
        if (line.starts_with("Talvex: ")) line.erase(0, 8);
        found += (found.empty() ? "" : "; ") + line;
    }
    return found;
}

// A movie's frames and length as ffprobe reads them.
std::string movieFigures(const std::string& path) {
    std::istringstream probe(runCommand(
        "ffprobe -v error -select_streams v:0 -count_packets -show_entries "
        "stream=nb_read_packets:format=duration -of default=noprint_wrappers=1:nokey=1 '" +
        path + "'"));
    std::string frames, seconds;
    probe >> frames >> seconds;
    return "movie " + frames + " frames in " + seconds + " s";
}

// CPU and wall clock over a stretch of a running process's life.
class Window {
public:
    explicit Window(qint64 pid) : pid_(pid), wall_(steadyNow()), cpu_(cpuSeconds(pid)) {}
    // CPU seconds per wall second since the start.
    double rate() const { return (cpuSeconds(pid_) - cpu_) / (steadyNow() - wall_); }

private:
    qint64 pid_;
    double wall_;
    double cpu_;
};

struct Run {
    double cpu = -1;     // CPU seconds per second, -1 when the run failed
    std::string detail;  // what it kept and lost, or why it failed
};

Run failed(const std::string& why, const std::string& logPath) {
    return {-1, why + " (its output: " + logPath + ")"};
}

// Runs the program with its output in logPath, until it exits or is ended.
class Child {
public:
    Child(const QString& program, const QStringList& arguments, const std::string& logPath,
          const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.setStandardOutputFile(QString::fromStdString(logPath));
        process_.setProcessEnvironment(environment);
        process_.start(program, arguments);
        process_.waitForStarted(10000);
    }
    ~Child() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.kill();
        process_.waitForFinished(10000);
    }
    qint64 pid() const { return process_.processId(); }
    // Sends the signal and waits for the exit; its exit code, -1 when it crashed or hung.
    int end(int signalNumber) {
        ::kill(static_cast<pid_t>(pid()), signalNumber);
        if (!process_.waitForFinished(60000)) return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

private:
    QProcess process_;
};

// The headless station, in places of its own under dir (no settings, no phone),
// recording both cameras for the given seconds.
Run stationRun(const std::string& dir, double seconds) {
    const std::string log = dir + "/station.log";
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", QString::fromStdString(dir));
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(dir + "/config"));
    environment.insert("XDG_DATA_HOME", QString::fromStdString(dir + "/data"));
    const int port = freePort();
    Child station(QString::fromStdString(binaryPath("talvex")),
                  {"--headless", "--ipc-bind", "127.0.0.1", "--ipc-port", QString::number(port),
                   "--output-root", QString::fromStdString(dir + "/recordings"), "--cameras",
                   kCameras.join(',')},
                  log, environment);
    if (!waitForText(log, "Talvex IPC: listening on port", 60) ||
        !waitForText(log, "Talvex: opened cameras: 2", 60))
        return failed("the station did not open both cameras", log);
    if (sendCommand(port, "START bench") != "OK\n" ||
        !waitForText(log, "Talvex: dual session started", 30))
        return failed("the station did not start recording", log);
    const Window window(station.pid());
    QThread::msleep(static_cast<unsigned long>(seconds * 1000));
    const double cpu = window.rate();
    if (sendCommand(port, "STOP") != "OK\n" || !waitForText(log, "Talvex: session bench", 60))
        return failed("the station did not stop", log);
    if (const int code = station.end(SIGTERM); code != 0)
        return failed("the station exited with " + std::to_string(code), log);
    std::string movie;
    for (const auto& session : std::filesystem::directory_iterator(dir + "/recordings"))
        movie = session.path() / "recording.mp4";
    return {cpu, movieFigures(movie) + "; " + linesWith(readText(log), " frames captured, ")};
}

// The ffmpeg command line's arguments for both cameras as MJPEG 1280x720 at 30 fps.
QStringList ffmpegInputs() {
    QStringList arguments{"-nostdin", "-v", "error", "-y"};
    for (const QString& camera : kCameras)
        arguments << QString("-f v4l2 -input_format mjpeg -video_size %1x%2 -framerate %3 -i")
                         .arg(MovieSettings::kCameraWidth)
                         .arg(MovieSettings::kCameraHeight)
                         .arg(MovieSettings::kCameraFps)
                         .split(' ')
                  << camera;
    return arguments;
}

// The station's side-by-side movie: each camera fitted into its 1280x720 half
// (the cameras are 1280x720, so a plain hstack), yuv420p at 30 fps, libx264
// with its preset, High profile, no B-frames, its average bit rate, a key
// frame every second and a fragment per key frame. Each camera is converted
// before the stack, once per camera frame, as the station does: hstack makes a
// picture whenever either camera brings a frame, up to 60 a second, and the
// 30 fps output drops the surplus only after the filters.
QStringList ffmpegSideBySide(const std::string& movie) {
    const MovieSettings settings = MovieSettings::sideBySide();
    return QStringList{"-filter_complex",
                       "[0:v]format=yuv420p[l];[1:v]format=yuv420p[r];[l][r]hstack",
                       "-r",
                       QString::number(settings.fps),
                       "-c:v",
                       "libx264",
                       "-preset",
                       QString::fromStdString(settings.preset),
                       "-profile:v",
                       "high",
                       "-bf",
                       "0",
                       "-b:v",
                       QString::number(settings.bitRate),
                       "-g",
                       QString::number(settings.fps),
                       "-movflags",
                       "+frag_keyframe+empty_moov+default_base_moof",
                       "-f",
                       "mp4",
                       QString::fromStdString(movie)};
}

// The last value of key in ffmpeg's progress file ("" if none).
std::string progressValue(const std::string& progress, const std::string& key) {
    const auto at = progress.rfind("\n" + key + "=");
    if (at == std::string::npos) return {};
    const auto from = at + key.size() + 2;
    return progress.substr(from, progress.find('\n', from) - from);
}

// ffmpeg with the given output arguments, from its first frame out for the
// given seconds, then stopped with SIGINT (it finishes its file).
Run ffmpegRun(const std::string& dir, const QStringList& output, double seconds) {
    const std::string log = dir + "/ffmpeg.log";
    const std::string progress = dir + "/progress";
    Child ffmpeg(
        "ffmpeg",
        ffmpegInputs() + QStringList{"-progress", QString::fromStdString(progress)} + output, log);
    const auto encoding = [&] {
        return std::atoi(progressValue(readText(progress), "frame").c_str()) > 0;
    };
    if (!waitFor(encoding, 30)) return failed("ffmpeg did not start", log);
    const Window window(ffmpeg.pid());
    QThread::msleep(static_cast<unsigned long>(seconds * 1000));
    const double cpu = window.rate();
    const int code = ffmpeg.end(SIGINT);
    if (code != 0 && code != 255)  // 255: ended by the signal, its file finished
        return failed("ffmpeg exited with " + std::to_string(code), log);
    const std::string text = readText(progress);
    const std::string movie = output.back().toStdString();
    return {cpu, (movie == "-" ? "frames " + progressValue(text, "frame") : movieFigures(movie)) +
                     "; pictures the 30 fps output dropped " + progressValue(text, "drop_frames") +
                     ", repeated " + progressValue(text, "dup_frames")};
}

// What happened to each frame the cameras started since the log's offset, by
// camera and fate; moves the offset to the log's end.
std::string cameraFates(std::size_t& offset) {
    const char* path = std::getenv("TALVEX_WEBCAM_TRUTH");
    const std::string text = path ? readText(path) : std::string();
    std::istringstream lines(text.substr(std::min(offset, text.size())));
    offset = text.size();
    std::map<std::string, std::map<std::string, int>> fates;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string camera, sequence, counter, capture, ready, fate;
        if (fields >> camera >> sequence >> counter >> capture >> ready >> fate)
            ++fates[camera][fate];
    }
    std::string summary;
    for (const auto& [camera, counts] : fates) {
        summary += summary.empty() ? "" : "; ";
        summary += camera;
        for (const auto& [fate, count] : counts)
            summary += " " + fate + "=" + std::to_string(count);
    }
    return summary;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string figures(const std::vector<double>& values) {
    std::string text;
    char number[32];
    for (double value : values) {
        std::snprintf(number, sizeof number, " %.2f", value);
        text += number;
    }
    return text;
}

void report(const char* side, int round, const Run& run, const std::string& fates) {
    std::printf("%s round %d: cpu=%.2f %s; cameras: %s\n", side, round, run.cpu, run.detail.c_str(),
                fates.c_str());
    std::fflush(stdout);
}

// Among the emulated webcams: the rounds, then the emulator's own share.
int measure(const std::string& dir) {
    std::string load = readText("/proc/loadavg");
    std::printf("load average at start: %s", load.c_str());
    const double seconds = recordSeconds();
    std::size_t truthOffset = 0;
    cameraFates(truthOffset);
    std::vector<double> station, ffmpeg;
    for (int round = 1; round <= kRounds; ++round) {
        const std::string roundDir = dir + "/round" + std::to_string(round);
        std::filesystem::create_directories(roundDir);
        const Run ours = stationRun(roundDir, seconds);
        report("station", round, ours, cameraFates(truthOffset));
        const Run theirs = ffmpegRun(roundDir, ffmpegSideBySide(roundDir + "/ffmpeg.mp4"), seconds);
        report("ffmpeg", round, theirs, cameraFates(truthOffset));
        if (ours.cpu < 0 || theirs.cpu < 0) return 1;
        station.push_back(ours.cpu);
        ffmpeg.push_back(theirs.cpu);
        std::filesystem::remove_all(roundDir + "/recordings");
        std::filesystem::remove(roundDir + "/ffmpeg.mp4");
    }
    const Run emulator = ffmpegRun(dir, {"-map", "0", "-map", "1", "-c", "copy", "-f", "null", "-"},
                                   kEmulatorSeconds);
    cameraFates(truthOffset);
    const double c = median(station), f = median(ffmpeg), e = emulator.cpu;
    std::printf("station cpu per round:%s ffmpeg cpu per round:%s (%.0f s each)\n",
                figures(station).c_str(), figures(ffmpeg).c_str(), seconds);
    if (e < 0) {
        std::printf("emulated cameras alone: %s\n", emulator.detail.c_str());
    } else {
        std::printf("emulated cameras alone (ffmpeg copying their packets): cpu=%.2f\n", e);
        std::printf("without the emulator's share: cpu=%.2f ffmpeg-cpu=%.2f ratio=%.2f\n", c - e,
                    f - e, (c - e) / (f - e));
    }
    std::printf("live-mjpeg cameras=2 cpu=%.2f ffmpeg-cpu=%.2f ratio=%.2f\n", c, f, c / f);
    return 0;
}

// Runs this program again under the webcam emulator's runner.
int amongWebcams() {
    if (::geteuid() != 0) {
        std::printf("live-mjpeg skipped: the webcam emulator needs root\n");
        return 0;
    }
    QTemporaryDir dir;
    const std::string config = dir.filePath("webcams.conf").toStdString();
    std::ofstream(config) << kWebcams;
    std::fflush(stdout);
    return QProcess::execute(
        QString::fromStdString(binaryPath("tools/webcam/with-webcams")),
        {"--truth", dir.filePath("truth"), QString::fromStdString(config), "--",
         QString::fromStdString(std::filesystem::read_symlink("/proc/self/exe")), dir.path()});
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (!std::getenv("TALVEX_WEBCAM_CONTROL")) return amongWebcams();
    if (argc < 2) {
        std::fprintf(stderr, "usage: with-webcams CONFIG -- %s DIR\n", argv[0]);
        return 2;
    }
    return measure(argv[1]);
}
