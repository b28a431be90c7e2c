// The headless station end to end: two free-running synthetic cameras (each
// on its own clock, frames a few ms late), the phone simulator, commands over
// TCP, and the session folder as Lumetra reads it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <QThread>
#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/Clock.h"
#include "core/FileUtil.h"
#include "core/SessionFiles.h"
#include "support/MovieProbe.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"

using namespace talvex::test;

namespace {

constexpr const char* kGyroHeader = "time_seconds,gyro_x_rad_s,gyro_y_rad_s,gyro_z_rad_s\n";
const std::vector<std::string> kSessionFiles{"gyro.csv", "recording.mp4", "session.json"};

bool ended(const std::string& folder) {
    return readText(folder + "/session.json").find("recording_end") != std::string::npos;
}

// The first folder in root whose name starts with prefix and, if asked, whose
// record is finished ("" if none).
std::string folderOf(const std::string& root, const std::string& prefix, bool finished = false) {
    for (const auto& name : listDir(root))
        if (name.starts_with(prefix) && (!finished || ended(root + "/" + name)))
            return root + "/" + name;
    return {};
}

// The headless station on free-running synthetic cameras and a phone
// simulator of its own, with a command port on 127.0.0.1 that was free,
// recording under root; given an environment, in its own places instead.
struct Station {
    Station(const std::string& where, const QStringList& phoneArguments = {},
            const QStringList& environment = {})
        : phone(phoneArguments),
          root(where),
          process("env",
                  environment +
                      QStringList{QString::fromStdString(binaryPath("talvex")), "--headless",
                                  "--ipc-port", QString::number(port), "--ipc-bind", "127.0.0.1",
                                  "--virtual-cameras", "2", "--camera-timing", "free-running",
                                  "--phyphox", QString::fromStdString(phone.address())} +
                      (environment.isEmpty()
                           ? QStringList{"--output-root", QString::fromStdString(where)}
                           : QStringList{})) {}
    // Listening for commands with its cameras open.
    bool ready() {
        return phone.port() != 0 && process.waitForOutput("Talvex IPC: listening on port", 60000) &&
               process.waitForOutput("Talvex: opened cameras: 2", 60000);
    }
    std::string out() { return process.output(); }
    // Sends each command, which must be taken, then lets ms pass reading the
    // station's output (a full pipe would cost log lines).
    void send(std::initializer_list<std::string> commands, int ms = 0) {
        for (const auto& text : commands) EXPECT_EQ(sendCommand(port, text), "OK\n") << text;
        waitUntil([] { return false; }, ms / 1000.0);
    }
    // The folder of the session named prefix..., once its record is finished.
    std::string finished(const std::string& prefix) {
        std::string folder;
        EXPECT_TRUE(waitUntil([&] { return !(folder = folderOf(root, prefix, true)).empty(); }))
            << out();
        return folder;
    }
    void kill() {
        process.signal(SIGKILL);
        process.waitForExit(10000);
    }
    // Quits as on a SIGTERM from the system: a clean exit.
    void quit() {
        process.signal(SIGTERM);
        EXPECT_EQ(process.waitForExit(60000), 0) << out();
    }

    PhoneSimulator phone;
    const std::string root;
    const int port = freePort();
    ChildProcess process;
};

// gyro.csv against the simulator's record of when each sample was taken: every
// row a sample the phone took, once, at its session time (one constant start
// instant), in order; none missing between the first and the last row but
// those the phone threw away in its clear (sent at clearedAt). The rows' times.
std::vector<double> expectRowsOnTime(const std::string& csv, const std::string& truthFile,
                                     double clearedAt) {
    std::map<long, double> taken, rows;
    for (const auto& s : readTruth(truthFile)) taken[s.number] = s.host;
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    std::vector<double> times, starts;  // per row: session time, host instant minus it
    for (double t, x, y, z; std::getline(lines, line); times.push_back(t)) {
        char comma;
        std::istringstream(line) >> t >> comma >> x >> comma >> y >> comma >> z;
        const long k = sampleNumber(z);
        EXPECT_TRUE(taken.count(k) && rows.emplace(k, t).second) << line;
        EXPECT_TRUE(times.empty() || t > times.back()) << line;
        if (taken.count(k)) starts.push_back(taken[k] - t);
    }
    if (rows.empty()) return times;
    std::vector<double> sorted = starts;
    std::sort(sorted.begin(), sorted.end());
    for (double& s : starts) s -= sorted[sorted.size() / 2];
    EXPECT_LE(medianAndP95(starts).second, 0.030) << "rows stamped off their host instants";
    std::size_t missing = 0;
    for (auto at = taken.find(rows.begin()->first);
         at != taken.end() && at->first <= rows.rbegin()->first; ++at)
        missing += !rows.count(at->first) && std::abs(at->second - clearedAt) > 0.2;
    EXPECT_EQ(missing, 0u);
    return times;
}

}  // namespace

// One session commanded over TCP, in the station's own places, where FIFOs
// stand for its settings, camera names and an old session's record and links
// planted as gyro.csv wait in every folder the START may take; the phone is
// cleared mid-session and a command carries a forged log line.
TEST(HeadlessStation, RemoteSessionLeavesMovieGyroAndRecord) {
    TempDir home;
    const std::string root = home.file("Documents/TalvexRecordings");
    const std::string names = home.file("data/Talvex/camera_names.json");
    const std::string settings = home.file("config/Talvex/Talvex.conf");
    const std::string oldRecord = root + "/old_20250101_000000/session.json";
    for (const auto& fifo : {names, settings, oldRecord}) {
        QDir().mkpath(QFileInfo(QString::fromStdString(fifo)).path());
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << fifo;
    }
    const QString at = QString::fromStdString(home.path());
    Station station(
        root, {"--truth", at + "/truth"},
        {"HOME=" + at, "XDG_DATA_HOME=" + at + "/data", "XDG_CONFIG_HOME=" + at + "/config"});
    // A station stalled by any of the FIFOs never gets ready.
    ASSERT_TRUE(station.ready()) << station.out();
    const std::string target = home.file("precious");
    ASSERT_FALSE(talvex::writeFile(target, "precious"));
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 1; t < now + 10; ++t) {
        std::string folder = root + "/" + talvex::sessionFolderName(std::string("run_7"), t);
        QDir().mkpath(QString::fromStdString(folder));
        ASSERT_EQ(::symlink(target.c_str(), (folder + "/gyro.csv").c_str()), 0);
    }

    station.send({"START run_7"}, 1000);
    station.send({"ANIMATION jump", "ANIMATION fixation cross",
                  "HELLO\nTalvex: session was interrupted: /fake"},
                 1000);
    // Samples continue on the host clock after the phone's clear and start.
    const double clearedAt = talvex::steadyNow();
    station.phone.control("cmd=clear");
    station.send({}, 300);
    station.phone.control("cmd=start");
    station.send({}, 1500);
    station.send({"STOP"});
    const std::string folder = station.finished("run_7_");
    station.quit();
    const std::string out = station.out();
    EXPECT_EQ(countOf(out, "Talvex: unknown IPC command: HELLO\\nTalvex: session was interrupted"),
              1)
        << out;
    EXPECT_EQ(countOf(out, "\nTalvex: session was interrupted"), 0) << out;
    EXPECT_EQ(countOf(out, "Talvex Gyro: Phyphox buffer reset detected"), 1) << out;
    for (const auto& fifo : {names, settings, oldRecord})
        EXPECT_EQ(countOf(out, "Talvex: skipped " + fifo + ": a FIFO, not a regular file"), 1);
    EXPECT_EQ(readText(target), "precious");
    struct stat info {};
    for (const auto& fifo : {names, settings})
        EXPECT_TRUE(::lstat(fifo.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) << fifo;

    EXPECT_EQ(listDir(folder), kSessionFiles);
    const MovieInfo movie = probeMovie(folder + "/recording.mp4");
    EXPECT_EQ(movie.streams.rfind("stream,h264,High,2560,720,", 0), 0u) << movie.streams;
    EXPECT_GT(movie.seconds, 2.5);
    // 30 fps cameras: never more frames than captured, and no gross loss even
    // on a loaded machine under the sanitizers.
    EXPECT_LE(movie.frames() / movie.seconds, 31.0) << movie.seconds;
    EXPECT_GE(movie.frames() / movie.seconds, 15.0) << movie.seconds;

    auto record = nlohmann::json::parse(readText(folder + "/session.json"));
    EXPECT_EQ(record["initiated_by"], "Lumetra Program");
    EXPECT_EQ(record["animations_run"], nlohmann::json({"jump", "fixation cross"}));
    EXPECT_EQ(record["cameras"], nlohmann::json({"camera1", "camera2"}));
    EXPECT_EQ(record["gyroscope"], true);
    for (const char* key : {"recording_start", "recording_end"})
        EXPECT_TRUE(std::string(record[key]).ends_with("Z")) << key;

    const std::string csv = readText(folder + "/gyro.csv");
    ASSERT_EQ(csv.rfind(kGyroHeader, 0), 0u);
    const auto times = expectRowsOnTime(csv, home.file("truth"), clearedAt);
    ASSERT_GT(times.size(), 100u);
    EXPECT_GE(times.front(), 0.0);
    EXPECT_LT(times.back(), movie.seconds + 1.0);
    EXPECT_EQ(countOf(out, "Talvex Gyro: session kept " + std::to_string(times.size()) +
                               " samples, longest gap "),
              1)
        << out;
}

TEST(HeadlessStation, KilledStationKeepsWhatWasSaved) {
    TempDir root;
    {
        // The rate this test was sized for: with a 400 Hz phone a loaded
        // sanitizer build has less of the movie on disk at the kill.
        Station station(root.path(), {"--rate", "100"});
        ASSERT_TRUE(station.ready()) << station.out();
        station.send({"START crash"}, 1000);
        station.send({"ANIMATION before kill"}, 3500);
        station.kill();
    }
    const std::string folder = folderOf(root.path(), "crash_");
    ASSERT_FALSE(folder.empty());
    auto record = nlohmann::json::parse(readText(folder + "/session.json"));
    EXPECT_FALSE(record.contains("recording_end"));
    EXPECT_EQ(record["animations_run"], nlohmann::json({"before kill"}));

    // The kill came about 4.5 s after the start: the movie plays to within
    // about a second of it (plus the start's own latency, and the frames a
    // loaded machine drops).
    MovieInfo movie = probeMovie(folder + "/recording.mp4");
    EXPECT_EQ(movie.streams.rfind("stream,h264,", 0), 0u) << movie.streams;
    EXPECT_GE(movie.seconds, 2.0);
    EXPECT_GT(movie.frames(), 30u);
    const std::string csv = readText(folder + "/gyro.csv");
    EXPECT_GT(std::atof(csv.c_str() + csv.rfind('\n', csv.size() - 2) + 1), 4.5 - 2.0)
        << "last row";

    Station next(root.path());
    EXPECT_TRUE(next.process.waitForOutput("Talvex: session was interrupted", 60000)) << next.out();
    // Killed before the movie's first fragment: the file still opens, as an empty movie.
    ASSERT_TRUE(next.ready()) << next.out();
    next.send({"START early"});
    const auto movieOf = [&] { return folderOf(root.path(), "early_") + "/recording.mp4"; };
    ASSERT_TRUE(waitUntil([&] { return talvex::fileExists(movieOf()); }));
    QThread::msleep(200);
    next.kill();
    movie = probeMovie(movieOf());  // an empty movie has no profile yet
    EXPECT_EQ(movie.streams.rfind("stream,h264,", 0), 0u) << movie.streams;
    EXPECT_NE(movie.streams.find(",2560,720,"), std::string::npos) << movie.streams;
}

// Lumetra's back-to-back trials: a START right after a STOP, a STOP right
// after a START and the same name again within a second all leave complete
// sessions of their own, and the station ends idle.
TEST(HeadlessStation, BackToBackCommandsLoseNoSession) {
    TempDir root;
    Station station(root.path());
    ASSERT_TRUE(station.ready()) << station.out();
    station.send({"START trial1"}, 1500);
    station.send({"STOP", "START trial2"}, 1500);
    station.send({"STOP", "START early", "STOP", "START same", "STOP", "START same", "STOP",
                  "START same", "STOP"});
    const auto all = [&] { return listDir(root.path()); };
    ASSERT_TRUE(waitUntil([&] {
        return all().size() == 6 &&
               std::ranges::all_of(all(), [&](const auto& name) { return ended(root.file(name)); });
    })) << station.out();
    station.quit();
    EXPECT_EQ(
        countOf(station.out(), "Talvex: start waited for the previous session to finish: trial2"),
        1);

    std::map<std::string, int> sessionsByName;
    for (const auto& name : all()) {
        sessionsByName[name.substr(0, name.find('_'))]++;
        // A session stopped before its first frame keeps no movie; any movie plays.
        const bool trial = name.starts_with("trial");
        const std::string movie = root.file(name) + "/recording.mp4";
        if (!trial && !talvex::fileExists(movie)) continue;
        const MovieInfo info = probeMovie(movie);
        EXPECT_EQ(info.streams.rfind("stream,h264,", 0), 0u) << name << info.streams;
        EXPECT_TRUE(!trial || info.frames() > 0) << name;
    }
    EXPECT_EQ(sessionsByName, (std::map<std::string, int>{
                                  {"early", 1}, {"same", 3}, {"trial1", 1}, {"trial2", 1}}));
}

// Help without a display; bad options end with 2, a command port that
// cannot listen with 1 and a clear line.
TEST(StationCommandLine, HelpBadOptionsAndATakenPort) {
    int exitCode = -1;
    const std::string talvex = "'" + binaryPath("talvex") + "' ";
    std::string help = runCommand(
        "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + talvex + "--help", &exitCode);
    EXPECT_EQ(exitCode, 0);
    for (const char* option :
         {"--headless", "--output-root", "--ipc-port", "--ipc-bind", "--phyphox",
          "--virtual-cameras", "--camera-timing", "--cameras", "--version"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    for (const char* bad : {"--ipc-port 0", "--ipc-port x", "--virtual-cameras -1",
                            "--ipc-bind nowhere", "--camera-timing sometimes"}) {
        runCommand(talvex + "--headless " + bad + " 2>/dev/null", &exitCode);
        EXPECT_EQ(exitCode, 2) << bad;
    }

    TempDir root;
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost));
    const std::string out = runCommand(talvex + "--headless --ipc-bind 127.0.0.1 --ipc-port " +
                                           std::to_string(taken.serverPort()) + " --output-root '" +
                                           root.path() + "' 2>&1",
                                       &exitCode);
    EXPECT_EQ(exitCode, 1) << out;
    EXPECT_EQ(countOf(out, "Talvex IPC: listener failed: Address already in use"), 1) << out;
}

// A disk that fills up mid-session: every file ends on a whole unit (the
// movie on its last whole fragment, gyro.csv on its last whole line) and the
// record gets its end from the reserve. A start on a nearly full disk is
// refused and leaves no folder; once space is free the next one works.
TEST(HeadlessStation, FullDiskKeepsWholeFilesAndTheRecord) {
    TempDir root;
    std::string disk = root.file("disk");
    QDir().mkpath(QString::fromStdString(disk));
    int mounted = -1;
    runCommand("mount -t tmpfs -o size=24m tmpfs '" + disk + "' 2>&1", &mounted);
    if (mounted != 0) GTEST_SKIP() << "cannot mount a small file system here";
    const std::shared_ptr<void> unmount(nullptr,
                                        [&](void*) { runCommand("umount '" + disk + "'"); });
    Station station(disk, {"--rate", "100"});  // gyro.csv takes its share of the space
    ASSERT_TRUE(station.ready()) << station.out();

    runCommand("head -c 21000000 /dev/zero > '" + disk + "/filler'");  // about 4 MB stay free
    station.send({"START refused"});
    EXPECT_TRUE(station.process.waitForOutput("Talvex: start refused: only ", 60000))
        << station.out();
    EXPECT_EQ(listDir(disk), std::vector<std::string>{"filler"});
    runCommand("rm -f '" + disk + "/filler'");

    station.send({"START full"}, 3500);                               // a few whole fragments first
    runCommand("cat /dev/zero > '" + disk + "/filler' 2>/dev/null");  // until the disk is full
    station.send({"ANIMATION on a full disk"}, 2500);
    station.send({"STOP"});
    const std::string first = station.finished("full_");
    EXPECT_NE(station.out().find("No space left on device"), std::string::npos) << station.out();

    runCommand("rm -f '" + disk + "/filler'");
    station.send({"START again"}, 1500);
    station.send({"STOP"});
    const std::string second = station.finished("again_");
    station.quit();

    MovieInfo movie = probeMovie(first + "/recording.mp4");
    EXPECT_EQ(movie.errors, "");
    EXPECT_GT(movie.frames(), 0u);
    std::string csv = readText(first + "/gyro.csv");
    ASSERT_EQ(csv.rfind(kGyroHeader, 0), 0u);
    std::istringstream lines(csv);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(countOf(line, ","), 3) << line;
    EXPECT_EQ(csv.back(), '\n');
    EXPECT_EQ(listDir(first), kSessionFiles);
    EXPECT_GT(probeMovie(second + "/recording.mp4").frames(), 10u);
}

// Nobody reads the station's output for 20 s: its log lines are dropped and
// counted, and the recording goes on at full rate meanwhile.
TEST(HeadlessStation, AnOutputNobodyReadsCostsLogLinesButNoFrames) {
    TempDir root;
    Station station(root.path());
    ASSERT_TRUE(station.ready()) << station.out();
    station.send({"START unread"});
    QThread::msleep(20000);  // no event loop runs and nothing reads: the output pipe fills up
    station.send({"STOP"});
    const std::string folder = station.finished("unread_");
    EXPECT_TRUE(station.process.waitForOutput(" log lines dropped", 60000)) << station.out();
    station.quit();
    const MovieInfo movie = probeMovie(folder + "/recording.mp4");
    EXPECT_GT(movie.seconds, 18.0);
    // 30 fps cameras; a stalled log once left under 5 fps. A sanitizer build
    // on a machine busy with compilers keeps well above 10.
    EXPECT_GE(movie.frames() / movie.seconds, 10.0) << movie.seconds;
}
