// The headless station end to end: two free-running synthetic cameras (each
// on its own clock, frames a few ms late), the phone simulator, commands over
// TCP, and the session folder as Lumetra reads it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/Clock.h"
#include "core/FileUtil.h"
#include "core/SessionFiles.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"

using namespace talvex::test;

namespace {

struct Station {
    int port = freePort();
    ChildProcess process;
    Station(const std::string& root, const std::string& phone)
        : process(QString::fromStdString(binaryPath("talvex")),
                  {"--headless", "--virtual-cameras", "2", "--camera-timing", "free-running",
                   "--ipc-port", QString::number(port), "--ipc-bind", "127.0.0.1", "--output-root",
                   QString::fromStdString(root), "--phyphox", QString::fromStdString(phone)}) {}
    bool ready() {
        return process.waitForOutput("Talvex IPC: listening on port", 20000) &&
               process.waitForOutput("Talvex: opened cameras: 2", 20000);
    }
};

std::string onlyFolder(const std::string& root) {
    auto names = listDir(root);
    return names.size() == 1 ? root + "/" + names[0] : std::string();
}

bool waitForFile(const std::string& path, const std::string& text, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 100) {
        if (readText(path).find(text) != std::string::npos) return true;
        QThread::msleep(100);
    }
    return false;
}

std::string probe(const std::string& file, const std::string& entries) {
    return runCommand("ffprobe -v error -select_streams v:0 -count_frames -show_entries " +
                      entries + " -of default=noprint_wrappers=1 '" + file + "'");
}

double probeValue(const std::string& text, const std::string& key) {
    auto at = text.find(key + "=");
    if (at == std::string::npos) return -1;
    char* end = nullptr;
    const char* value = text.c_str() + at + key.size() + 1;
    double number = std::strtod(value, &end);
    return end == value ? -1 : number;  // "N/A" and the like
}

// Sets an environment variable for the stations started while it lives.
struct ScopedEnv {
    QByteArray name, before;
    ScopedEnv(const char* n, const std::string& value) : name(n), before(qgetenv(n)) {
        qputenv(n, QByteArray::fromStdString(value));
    }
    ~ScopedEnv() { qputenv(name.constData(), before); }
};

std::vector<double> gyroTimes(const std::string& csv) {
    std::vector<double> times;
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) times.push_back(std::stod(line.substr(0, line.find(','))));
    return times;
}

// gyro.csv against the simulator's record of when each sample was taken: every
// row a sample the phone took, once, at its session time (one constant start
// instant); none missing between the first and the last row but those the phone
// threw away in its clear (sent at clearedAt). Returns the number of rows.
std::size_t expectRowsOnTime(const std::string& csv, const std::string& truthFile,
                             double clearedAt) {
    std::map<long, double> taken;
    for (const auto& s : readTruth(truthFile)) taken[s.number] = s.host;
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    std::vector<double> starts;  // host instant minus session time, per row
    std::map<long, double> rows;
    while (std::getline(lines, line)) {
        double t, x, y, z;
        char comma;
        std::istringstream(line) >> t >> comma >> x >> comma >> y >> comma >> z;
        const long k = sampleNumber(z);
        EXPECT_TRUE(taken.count(k) && rows.emplace(k, t).second) << line;
        if (taken.count(k)) starts.push_back(taken[k] - t);
    }
    if (rows.empty()) return 0;
    std::vector<double> sorted = starts;
    std::sort(sorted.begin(), sorted.end());
    const double start = sorted[sorted.size() / 2];
    for (double& s : starts) s -= start;
    EXPECT_LE(medianAndP95(starts).second, 0.030) << "rows stamped off their host instants";
    std::size_t missing = 0;
    for (auto at = taken.find(rows.begin()->first);
         at != taken.end() && at->first <= rows.rbegin()->first; ++at)
        if (!rows.count(at->first) &&
            !(at->second > clearedAt - 0.2 && at->second <= clearedAt + 0.2))
            ++missing;
    EXPECT_EQ(missing, 0u);
    return rows.size();
}

}  // namespace

TEST(HeadlessStation, RemoteSessionLeavesMovieGyroAndRecord) {
    TempDir root;
    TempDir work;
    PhoneSimulator phone({"--truth", QString::fromStdString(work.file("truth"))});
    ASSERT_NE(phone.port(), 0);
    Station station(root.path(), phone.address());
    ASSERT_TRUE(station.ready()) << station.process.output();

    EXPECT_EQ(sendCommand(station.port, "START run_7"), "OK\n");
    QThread::msleep(1000);
    EXPECT_EQ(sendCommand(station.port, "ANIMATION jump"), "OK\n");
    EXPECT_EQ(sendCommand(station.port, "ANIMATION fixation cross"), "OK\n");
    EXPECT_EQ(sendCommand(station.port, "PING"), "OK\n");
    QThread::msleep(1000);
    // The phone's experiment is cleared and started again mid-session: samples
    // continue on the host clock.
    const double clearedAt = talvex::steadyNow();
    phone.get("/control?cmd=clear");
    QThread::msleep(300);
    phone.get("/control?cmd=start");
    QThread::msleep(1500);
    EXPECT_EQ(sendCommand(station.port, "STOP"), "OK\n");

    std::string folder = onlyFolder(root.path());
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(waitForFile(folder + "/session.json", "recording_end", 20000))
        << station.process.output();
    station.process.signal(SIGTERM);
    EXPECT_EQ(station.process.waitForExit(20000), 0);
    EXPECT_NE(station.process.output().find("Talvex: unknown IPC command: PING"),
              std::string::npos);
    EXPECT_NE(station.process.output().find("Talvex Gyro: Phyphox buffer reset detected"),
              std::string::npos);

    EXPECT_EQ(QDir(QString::fromStdString(folder)).dirName().left(6), "run_7_");
    EXPECT_EQ(listDir(folder),
              (std::vector<std::string>{"gyro.csv", "recording.mp4", "session.json"}));

    std::string info =
        probe(folder + "/recording.mp4",
              "stream=codec_name,profile,width,height,nb_read_frames:format=duration");
    EXPECT_NE(info.find("codec_name=h264"), std::string::npos) << info;
    EXPECT_NE(info.find("profile=High"), std::string::npos) << info;
    EXPECT_EQ(probeValue(info, "width"), 2560);
    EXPECT_EQ(probeValue(info, "height"), 720);
    double duration = probeValue(info, "duration");
    double frames = probeValue(info, "nb_read_frames");
    EXPECT_GT(duration, 2.5);
    // 30 fps cameras: never more frames than captured, and no gross loss even
    // on a loaded machine under the sanitizers.
    EXPECT_LE(frames / duration, 31.0) << info;
    EXPECT_GE(frames / duration, 15.0) << info;

    auto record = nlohmann::json::parse(readText(folder + "/session.json"));
    EXPECT_EQ(record["initiated_by"], "Lumetra Program");
    EXPECT_EQ(record["animations_run"], nlohmann::json({"jump", "fixation cross"}));
    EXPECT_EQ(record["cameras"], nlohmann::json({"camera1", "camera2"}));
    EXPECT_EQ(record["gyroscope"], true);
    for (const char* key : {"recording_start", "recording_end"})
        EXPECT_TRUE(std::string(record[key]).ends_with("Z")) << key;

    std::string csv = readText(folder + "/gyro.csv");
    ASSERT_EQ(csv.rfind("time_seconds,gyro_x_rad_s,gyro_y_rad_s,gyro_z_rad_s\n", 0), 0u);
    auto times = gyroTimes(csv);
    ASSERT_GT(times.size(), 100u);
    EXPECT_GE(times.front(), 0.0);
    for (std::size_t i = 1; i < times.size(); ++i) ASSERT_GT(times[i], times[i - 1]) << i;
    EXPECT_LT(times.back(), duration + 1.0);
    EXPECT_EQ(expectRowsOnTime(csv, work.file("truth"), clearedAt), times.size());
    EXPECT_NE(
        station.process.output().find("Talvex Gyro: session kept " + std::to_string(times.size()) +
                                      " samples, longest gap "),
        std::string::npos);
}

TEST(HeadlessStation, KilledStationKeepsWhatWasSaved) {
    TempDir root;
    // The rate this test was sized for: with a 400 Hz phone a loaded sanitizer
    // build has less of the movie on disk at the kill.
    PhoneSimulator phone({"--rate", "100"});
    ASSERT_NE(phone.port(), 0);
    std::string folder;
    {
        Station station(root.path(), phone.address());
        ASSERT_TRUE(station.ready()) << station.process.output();
        EXPECT_EQ(sendCommand(station.port, "START crash"), "OK\n");
        QThread::msleep(1000);
        EXPECT_EQ(sendCommand(station.port, "ANIMATION before kill"), "OK\n");
        QThread::msleep(3500);
        station.process.signal(SIGKILL);
        station.process.waitForExit(10000);
        folder = onlyFolder(root.path());
    }
    ASSERT_FALSE(folder.empty());
    auto record = nlohmann::json::parse(readText(folder + "/session.json"));
    EXPECT_FALSE(record.contains("recording_end"));
    EXPECT_EQ(record["animations_run"], nlohmann::json({"before kill"}));

    // The kill came about 4.5 s after the start: the movie plays to within
    // about a second of it (plus the start's own latency, and the frames a
    // loaded machine drops).
    std::string info =
        probe(folder + "/recording.mp4", "stream=codec_name,nb_read_frames:format=duration");
    EXPECT_NE(info.find("codec_name=h264"), std::string::npos) << info;
    EXPECT_GE(probeValue(info, "duration"), 2.0) << info;
    EXPECT_GT(probeValue(info, "nb_read_frames"), 30) << info;

    auto times = gyroTimes(readText(folder + "/gyro.csv"));
    ASSERT_FALSE(times.empty());
    EXPECT_GT(times.back(), 4.5 - 2.0);

    Station next(root.path(), phone.address());
    EXPECT_TRUE(next.process.waitForOutput("Talvex: session was interrupted", 20000))
        << next.process.output();

    // Killed before the movie's first fragment: the file still opens, as an empty movie.
    ASSERT_TRUE(next.ready()) << next.process.output();
    EXPECT_EQ(sendCommand(next.port, "START early"), "OK\n");
    std::string early;
    for (int waited = 0; waited < 20000 && early.empty(); waited += 10) {
        for (const auto& name : listDir(root.path()))
            if (name.rfind("early_", 0) == 0 &&
                talvex::fileExists(root.path() + "/" + name + "/recording.mp4"))
                early = root.path() + "/" + name + "/recording.mp4";
        QThread::msleep(10);
    }
    ASSERT_FALSE(early.empty());
    QThread::msleep(200);
    next.process.signal(SIGKILL);
    next.process.waitForExit(10000);
    info = probe(early, "stream=codec_name,width:format=format_name");
    EXPECT_NE(info.find("codec_name=h264"), std::string::npos) << info;
    EXPECT_EQ(probeValue(info, "width"), 2560) << info;
}

// Lumetra's back-to-back trials: a START right after a STOP, a STOP right
// after a START and the same name again within a second all leave complete
// sessions of their own, and the station ends idle.
TEST(HeadlessStation, BackToBackCommandsLoseNoSession) {
    TempDir root;
    PhoneSimulator phone;
    Station station(root.path(), phone.address());
    ASSERT_TRUE(station.ready()) << station.process.output();
    EXPECT_EQ(sendCommand(station.port, "START trial1"), "OK\n");
    QThread::msleep(1500);
    for (const char* command : {"STOP", "START trial2"})
        EXPECT_EQ(sendCommand(station.port, command), "OK\n");
    QThread::msleep(1500);
    for (const char* command : {"STOP", "START early", "STOP", "START same", "STOP", "START same",
                                "STOP", "START same", "STOP"})
        EXPECT_EQ(sendCommand(station.port, command), "OK\n");

    auto finished = [&] {
        auto names = listDir(root.path());
        return names.size() == 6 &&
               std::all_of(names.begin(), names.end(), [&](const std::string& name) {
                   return readText(root.path() + "/" + name + "/session.json")
                              .find("recording_end") != std::string::npos;
               });
    };
    for (int waited = 0; waited < 60000 && !finished(); waited += 200) QThread::msleep(200);
    ASSERT_TRUE(finished()) << station.process.output();
    station.process.signal(SIGTERM);
    EXPECT_EQ(station.process.waitForExit(20000), 0);
    EXPECT_NE(station.process.output().find(
                  "Talvex: start waited for the previous session to finish: trial2"),
              std::string::npos);

    std::map<std::string, int> sessionsByName;
    for (const auto& name : listDir(root.path())) {
        sessionsByName[name.substr(0, name.find('_'))]++;
        // A session stopped before its first frame keeps no movie; any movie plays.
        if (!name.starts_with("trial") &&
            !talvex::fileExists(root.path() + "/" + name + "/recording.mp4"))
            continue;
        std::string info =
            probe(root.path() + "/" + name + "/recording.mp4", "stream=codec_name,nb_read_frames");
        EXPECT_NE(info.find("codec_name=h264"), std::string::npos) << name << info;
        if (name.starts_with("trial")) {
            EXPECT_GT(probeValue(info, "nb_read_frames"), 0) << name << info;
        }
    }
    EXPECT_EQ(sessionsByName, (std::map<std::string, int>{
                                  {"early", 1}, {"same", 3}, {"trial1", 1}, {"trial2", 1}}));
}

TEST(StationCommandLine, HelpListsEveryOptionWithoutADisplay) {
    int exitCode = -1;
    std::string help = runCommand("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" +
                                      binaryPath("talvex") + "' --help",
                                  &exitCode);
    EXPECT_EQ(exitCode, 0);
    for (const char* option :
         {"--headless", "--output-root", "--ipc-port", "--ipc-bind", "--phyphox",
          "--virtual-cameras", "--camera-timing", "--cameras", "--version"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    for (const char* bad : {"--ipc-port 0", "--ipc-port x", "--virtual-cameras -1",
                            "--ipc-bind nowhere", "--camera-timing sometimes"}) {
        runCommand("'" + binaryPath("talvex") + "' --headless " + bad + " 2>/dev/null", &exitCode);
        EXPECT_EQ(exitCode, 2) << bad;
    }
}

// A disk that fills up mid-session: every file ends on a whole unit (the
// movie on its last whole fragment, gyro.csv on its last whole line) and the
// record gets its end from the reserve. A start on a nearly full disk is
// refused and leaves no folder; once space is free the next one works.
TEST(HeadlessStation, FullDiskKeepsWholeFilesAndTheRecord) {
    TempDir root;
    std::string disk = root.file("disk");
    QDir().mkpath(QString::fromStdString(disk));
    if (runCommand("mount -t tmpfs -o size=24m tmpfs '" + disk + "' 2>&1; echo $?").find("0\n") !=
        0)
        GTEST_SKIP() << "cannot mount a small file system here";
    struct Unmount {
        std::string path;
        ~Unmount() { runCommand("umount '" + path + "'"); }
    } unmount{disk};
    PhoneSimulator phone({"--rate", "100"});  // gyro.csv takes its share of the space
    Station station(disk, phone.address());
    ASSERT_TRUE(station.ready()) << station.process.output();
    auto folderOf = [&](const std::string& prefix) {
        for (const auto& name : listDir(disk))
            if (name.rfind(prefix, 0) == 0) return disk + "/" + name;
        return std::string();
    };

    runCommand("head -c 21000000 /dev/zero > '" + disk + "/filler'");  // about 4 MB stay free
    EXPECT_EQ(sendCommand(station.port, "START refused"), "OK\n");
    EXPECT_TRUE(station.process.waitForOutput("Talvex: start refused: only ", 20000))
        << station.process.output();
    EXPECT_EQ(listDir(disk), std::vector<std::string>{"filler"});
    runCommand("rm -f '" + disk + "/filler'");

    EXPECT_EQ(sendCommand(station.port, "START full"), "OK\n");
    QThread::msleep(3500);                                            // a few whole fragments first
    runCommand("cat /dev/zero > '" + disk + "/filler' 2>/dev/null");  // until the disk is full
    EXPECT_EQ(sendCommand(station.port, "ANIMATION on a full disk"), "OK\n");
    QThread::msleep(2500);
    EXPECT_EQ(sendCommand(station.port, "STOP"), "OK\n");
    std::string first = folderOf("full_");
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(waitForFile(first + "/session.json", "recording_end", 30000))
        << station.process.output();
    EXPECT_NE(station.process.output().find("No space left on device"), std::string::npos)
        << station.process.output();

    runCommand("rm -f '" + disk + "/filler'");
    EXPECT_EQ(sendCommand(station.port, "START again"), "OK\n");
    QThread::msleep(1500);
    EXPECT_EQ(sendCommand(station.port, "STOP"), "OK\n");
    std::string second = folderOf("again_");
    ASSERT_FALSE(second.empty());
    EXPECT_TRUE(waitForFile(second + "/session.json", "recording_end", 30000))
        << station.process.output();
    station.process.signal(SIGTERM);
    EXPECT_EQ(station.process.waitForExit(20000), 0);

    EXPECT_EQ(runCommand("ffmpeg -v error -i '" + first + "/recording.mp4' -f null - 2>&1"), "");
    std::string info = probe(first + "/recording.mp4", "stream=codec_name,nb_read_frames");
    EXPECT_GT(probeValue(info, "nb_read_frames"), 0) << info;
    std::string csv = readText(first + "/gyro.csv");
    ASSERT_EQ(csv.rfind("time_seconds,gyro_x_rad_s,gyro_y_rad_s,gyro_z_rad_s\n", 0), 0u);
    std::istringstream lines(csv);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 3) << line;
    EXPECT_EQ(csv.back(), '\n');
    EXPECT_EQ(listDir(first),
              (std::vector<std::string>{"gyro.csv", "recording.mp4", "session.json"}));
    info = probe(second + "/recording.mp4", "stream=codec_name,nb_read_frames");
    EXPECT_GT(probeValue(info, "nb_read_frames"), 10) << info;
}

// FIFOs where the station reads its settings, camera names and an old
// session's record; links planted as gyro.csv; a command with a forged line.
TEST(HeadlessStation, FilesInItsFoldersAndForgedTextsCannotStopOrTrickIt) {
    // The station's own places (no --output-root), so that the settings are read too.
    TempDir home;
    ScopedEnv homeVariable("HOME", home.path()), data("XDG_DATA_HOME", home.file("data")),
        config("XDG_CONFIG_HOME", home.file("config"));
    const std::string root = home.file("Documents/TalvexRecordings");
    const std::string names = home.file("data/Talvex/camera_names.json");
    const std::string settings = home.file("config/Talvex/Talvex.conf");
    const std::string oldRecord = root + "/old_20250101_000000/session.json";
    for (const auto& fifo : {names, settings, oldRecord}) {
        QDir().mkpath(QFileInfo(QString::fromStdString(fifo)).path());
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << fifo;
    }
    PhoneSimulator phone;
    const int port = freePort();
    ChildProcess station(
        QString::fromStdString(binaryPath("talvex")),
        {"--headless", "--virtual-cameras", "2", "--ipc-port", QString::number(port), "--ipc-bind",
         "127.0.0.1", "--phyphox", QString::fromStdString(phone.address())});
    // A station stalled by any of them never listens; an idle machine gets here
    // within a few seconds, a loaded one within the deadline.
    ASSERT_TRUE(station.waitForOutput("Talvex IPC: listening on port", 20000)) << station.output();
    ASSERT_TRUE(station.waitForOutput("Talvex: opened cameras: 2", 20000)) << station.output();
    for (const auto& fifo : {names, settings, oldRecord})
        EXPECT_NE(station.output().find("Talvex: skipped " + fifo + ": a FIFO, not a regular file"),
                  std::string::npos)
            << fifo;

    EXPECT_EQ(
        sendCommand(port,
                    "HELLO\nTalvex: session was interrupted, its files hold what was saved: /fake"),
        "OK\n");
    // Links planted as gyro.csv in every folder the next START may take.
    const std::string target = home.file("precious");
    ASSERT_FALSE(talvex::writeFile(target, "precious"));
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 1; t < now + 10; ++t) {
        std::string folder = root + "/" + talvex::sessionFolderName(std::string("trap"), t);
        QDir().mkpath(QString::fromStdString(folder));
        ASSERT_EQ(::symlink(target.c_str(), (folder + "/gyro.csv").c_str()), 0);
    }
    EXPECT_EQ(sendCommand(port, "START trap"), "OK\n");
    QThread::msleep(2000);
    EXPECT_EQ(sendCommand(port, "STOP"), "OK\n");
    auto finished = [&] {
        for (const auto& name : listDir(root))
            if (name.starts_with("trap_") &&
                readText(root + "/" + name + "/session.json").find("recording_end") !=
                    std::string::npos)
                return true;
        return false;
    };
    for (int waited = 0; waited < 20000 && !finished(); waited += 100) QThread::msleep(100);
    EXPECT_TRUE(finished()) << station.output();
    station.signal(SIGTERM);
    EXPECT_EQ(station.waitForExit(20000), 0);

    EXPECT_EQ(readText(target), "precious");
    std::string out = station.output();
    EXPECT_NE(out.find("Talvex: unknown IPC command: HELLO\\nTalvex: session was interrupted"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("\nTalvex: session was interrupted"), std::string::npos) << out;
    struct stat info {};
    for (const auto& fifo : {names, settings})
        EXPECT_TRUE(::lstat(fifo.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) << fifo;
}

TEST(HeadlessStation, ACommandPortThatCannotListenEndsItWithAFailure) {
    TempDir root;
    int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    ChildProcess second(
        QString::fromStdString(binaryPath("talvex")),
        {"--headless", "--ipc-port", QString::number(ntohs(address.sin_port)), "--ipc-bind",
         "127.0.0.1", "--output-root", QString::fromStdString(root.path())});
    EXPECT_EQ(second.waitForExit(30000), 1) << second.output();
    EXPECT_NE(second.output().find("Talvex IPC: listener failed: Address already in use"),
              std::string::npos);
    ::close(taken);
}

// Nobody reads the station's output for 20 s: its log lines are dropped and
// counted, and the recording goes on at full rate meanwhile.
TEST(HeadlessStation, AnOutputNobodyReadsCostsLogLinesButNoFrames) {
    TempDir root;
    PhoneSimulator phone;
    Station station(root.path(), phone.address());
    ASSERT_TRUE(station.ready()) << station.process.output();
    EXPECT_EQ(sendCommand(station.port, "START unread"), "OK\n");
    QThread::sleep(20);  // no event loop runs: the station's output pipe fills up
    EXPECT_EQ(sendCommand(station.port, "STOP"), "OK\n");
    std::string folder = onlyFolder(root.path());
    ASSERT_TRUE(waitForFile(folder + "/session.json", "recording_end", 30000));
    EXPECT_TRUE(station.process.waitForOutput(" log lines dropped", 20000))
        << station.process.output();
    station.process.signal(SIGTERM);
    EXPECT_EQ(station.process.waitForExit(20000), 0);

    std::string info = probe(folder + "/recording.mp4", "stream=nb_read_frames:format=duration");
    double duration = probeValue(info, "duration");
    EXPECT_GT(duration, 18.0) << info;
    // 30 fps cameras; a stalled log once left under 5 fps. A sanitizer build
    // on a machine busy with compilers keeps well above 10.
    EXPECT_GE(probeValue(info, "nb_read_frames") / duration, 10.0) << info;
}
