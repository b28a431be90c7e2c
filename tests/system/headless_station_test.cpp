// The headless station end to end: two free-running synthetic cameras (each
// on its own clock, frames a few ms late), the phone simulator, commands over
// TCP, and the session folder as Lumetra reads it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QThread>
#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <tuple>

#include "core/FileUtil.h"
#include "support/MovieProbe.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"
#include "webcam/TruthLogReader.h"
#include "webcam/WebcamControl.h"
#include "webcam/WebcamCounter.h"

using namespace talvex::test;

namespace {

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

// The headless station's command line (after env) in its own places under
// home: settings, camera names and output root.
QStringList stationIn(const std::string& home) {
    const QString at = QString::fromStdString(home);
    return QStringList{"HOME=" + at, "XDG_DATA_HOME=" + at + "/data",
                       "XDG_CONFIG_HOME=" + at + "/config",
                       QString::fromStdString(binaryPath("talvex"))} +
           QString("--headless --ipc-bind 127.0.0.1").split(' ');
}

// The headless station in its own places under home, recording into
// home/Documents/TalvexRecordings, on free-running synthetic cameras and a
// phone simulator of its own, with a command port on 127.0.0.1 that was free.
struct Station {
    Station(const std::string& home, const QStringList& phoneArguments = {})
        : phone(phoneArguments),
          root(home + "/Documents/TalvexRecordings"),
          process("env",
                  stationIn(home) + QString("--virtual-cameras 2 --camera-timing free-running "
                                            "--ipc-port %1 --phyphox %2")
                                        .arg(port)
                                        .arg(QString::fromStdString(phone.address()))
                                        .split(' ')) {}
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

    PhoneSimulator phone;
    const std::string root;
    const int port = freePort();
    ChildProcess process;
};

// The headless station among emulated webcams, recording into home/rec, with
// a command port on 127.0.0.1 that was free.
struct WebcamStation {
    explicit WebcamStation(const std::string& home, const QStringList& options = {})
        : root(home + "/rec"),
          process("env", stationIn(home) +
                             QStringList{"--ipc-port", QString::number(port), "--output-root",
                                         QString::fromStdString(root)} +
                             options) {}
    // Records the session name for ms; its folder once its record is finished.
    std::string record(const std::string& name, int ms) {
        EXPECT_EQ(sendCommand(port, "START " + name), "OK\n");
        QThread::msleep(ms);
        EXPECT_EQ(sendCommand(port, "STOP"), "OK\n");
        std::string folder;
        EXPECT_TRUE(
            waitUntil([&] { return !(folder = folderOf(root, name + "_", true)).empty(); }, 60))
            << process.output();
        return folder;
    }

    const int port = freePort();
    const std::string root;
    ChildProcess process;
};

// gyro.csv against the simulator's record of when each sample was taken: every
// row a sample the phone took, once, at its session time (one constant start
// instant), in order; none missing between the first and the last row. The
// rows' times.
std::vector<double> expectRowsOnTime(const std::string& csv, const std::string& truthFile) {
    std::map<long, double> taken, rows;
    std::string line;
    for (const auto& s : readTruth(truthFile)) taken[s.number] = s.host;
    std::istringstream lines(csv.substr(csv.find('\n') + 1));  // after the header
    std::vector<double> times, starts;  // per row: session time, host instant minus it
    for (double t, x, y, z; std::getline(lines, line); times.push_back(t)) {
        char c;
        std::istringstream(line) >> t >> c >> x >> c >> y >> c >> z;
        const long k = sampleNumber(z);
        EXPECT_TRUE(taken.count(k) && rows.emplace(k, t).second) << line;
        EXPECT_TRUE(times.empty() || t > times.back()) << line;
        starts.push_back(taken[k] - t);
    }
    if (rows.empty()) return times;
    const double median = medianAndP95(starts).first;  // of instants, all far above zero
    for (double& s : starts) s -= median;
    EXPECT_LE(medianAndP95(starts).second, 0.030) << "rows stamped off their host instants";
    EXPECT_EQ(rows.size(), rows.rbegin()->first - rows.begin()->first + 1) << "rows missing";
    return times;
}

}  // namespace

// One station through a day of Lumetra's, in its own places, where FIFOs stand
// for its settings, camera names and an old session's record: a session whose
// commands carry a forged log line and whose output nobody reads for 20 s;
// back-to-back trials; and a kill mid-session that the next start reports.
TEST(HeadlessStation, SessionsTrialsAndAKill) {
    TempDir home;
    const std::string root = home.file("Documents/TalvexRecordings");
    const std::string fifos[] = {home.file("data/Talvex/camera_names.json"),
                                 home.file("config/Talvex/Talvex.conf"),
                                 root + "/old_20250101_000000/session.json"};
    for (const auto& fifo : fifos)
        ASSERT_TRUE(talvex::makeDirectories(fifo.substr(0, fifo.rfind('/'))) &&
                    ::mkfifo(fifo.c_str(), 0600) == 0)
            << fifo;
    Station station(home.path(), {"--truth", QString::fromStdString(home.file("truth"))});
    // A station stalled by any of the FIFOs never gets ready.
    ASSERT_TRUE(station.ready()) << station.out();
    {
        SCOPED_TRACE("a remote session");
        station.send({"START run_7"}, 1000);
        station.send({"ANIMATION jump", "ANIMATION fixation cross",
                      "HELLO\nTalvex: session was interrupted: /fake"});
        // No event loop runs and nothing reads: the output pipe fills up, log
        // lines are dropped and counted, and the recording goes on at full rate.
        QThread::msleep(20000);
        station.send({"STOP"});
        const std::string folder = station.finished("run_7_");
        EXPECT_EQ(listDir(folder), kSessionFiles);
        const MovieInfo movie = probeMovie(folder + "/recording.mp4");
        expectPlayable(movie, 2560);
        EXPECT_GT(movie.seconds, 20.0);
        // 30 fps cameras: never more frames than captured, and no gross loss
        // (a stalled log once left under 5 fps) even on a loaded machine under
        // the sanitizers.
        EXPECT_LE(movie.frames() / movie.seconds, 31.0) << movie.seconds;
        EXPECT_GE(movie.frames() / movie.seconds, 15.0) << movie.seconds;
        auto record = nlohmann::json::parse(readText(folder + "/session.json"));
        EXPECT_EQ(record["initiated_by"], "Lumetra Program");
        EXPECT_EQ(record["animations_run"], nlohmann::json({"jump", "fixation cross"}));
        EXPECT_EQ(record["gyroscope"], true);

        const auto times = expectRowsOnTime(readText(folder + "/gyro.csv"), home.file("truth"));
        ASSERT_GT(times.size(), 100u);
        EXPECT_GE(times.front(), 0.0);
        EXPECT_LT(times.back(), movie.seconds + 1.0);
        EXPECT_TRUE(station.process.waitForOutput(" log lines dropped", 60000)) << station.out();
        const std::string out = station.out();
        EXPECT_EQ(
            countOf(out, "Talvex: unknown IPC command: HELLO\\nTalvex: session was interrupted"), 1)
            << out;
        for (const auto& fifo : fifos)
            EXPECT_EQ(countOf(out, "Talvex: skipped " + fifo + ": a FIFO, not a regular file"), 1);
    }
    // Back-to-back trials: a START right after a STOP, a STOP right after a
    // START and the same name again within a second all leave complete
    // sessions of their own.
    station.phone.control("rate=100");  // what the kill below is sized for
    station.send({"START trial1"}, 1500);
    station.send({"STOP", "START trial2"}, 1500);
    station.send({"STOP", "START early", "STOP", "START same", "STOP", "START same", "STOP",
                  "START same", "STOP"});
    const auto names = [&] {  // of the sessions, or "unfinished"
        std::vector<std::string> names;
        for (const auto& name : listDir(root))
            if (!name.starts_with("old_"))
                names.push_back(ended(root + "/" + name) ? name.substr(0, name.find('_'))
                                                         : "unfinished");
        return names;
    };
    const std::vector<std::string> all{"early", "run", "same", "same", "same", "trial1", "trial2"};
    EXPECT_TRUE(waitUntil([&] { return names() == all; }))
        << "back-to-back trials: " << testing::PrintToString(names());
    SCOPED_TRACE("a kill mid-session");
    station.send({"START crash"});
    const auto movieOf = [&] { return folderOf(root, "crash_") + "/recording.mp4"; };
    ASSERT_TRUE(waitUntil([&] { return talvex::fileExists(movieOf()); }));
    QThread::msleep(200);
    // Before its first fragment the movie already opens, as an empty one (no
    // profile yet): what a kill now would leave.
    MovieInfo movie = probeMovie(movieOf());
    EXPECT_TRUE(movie.streams.starts_with("stream,h264,") && movie.streams.find(",2560,720,") < 30)
        << movie.streams;
    station.send({"ANIMATION before kill"}, 4000);
    station.process.end(SIGKILL);
    const std::string folder = folderOf(root, "crash_");
    auto record = nlohmann::json::parse(readText(folder + "/session.json"));
    EXPECT_FALSE(record.contains("recording_end"));
    EXPECT_EQ(record["animations_run"], nlohmann::json({"before kill"}));
    // The kill came about 4.5 s after the start: the movie plays to within
    // about a second of it (plus the start's own latency, and the frames a
    // loaded machine drops).
    movie = probeMovie(movieOf());
    EXPECT_GE(movie.seconds, 2.0) << movie.errors;
    EXPECT_GT(movie.frames(), 30u);
    const std::string csv = readText(folder + "/gyro.csv");
    EXPECT_GT(std::atof(csv.c_str() + csv.rfind('\n', csv.size() - 2) + 1), 4.5 - 2.0)
        << "last row";

    // Kills in a session's first moments: about 10 ms after START (the folder
    // holds the reserve alone, if anything) and 0.2 s after its movie appeared
    // (a movie without a frame; the sanitizers make it appear later). What
    // each folder held then, and what the next station said at its start.
    std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> killed;
    for (int ms : {10, 200}) {
        Station early(home.path());
        ASSERT_TRUE(early.ready()) << early.out();
        if (!killed.empty()) std::get<2>(killed.back()) = early.out();
        const std::string name = "kill" + std::to_string(ms) + "_";
        early.send({"START " + name});
        EXPECT_TRUE(ms == 10 || waitUntil([&] {
                        return talvex::fileExists(folderOf(root, name) + "/recording.mp4");
                    }));
        QThread::msleep(ms);
        early.process.end(SIGKILL);
        killed.emplace_back(folderOf(root, name), listDir(folderOf(root, name)), "");
    }
    ASSERT_EQ(
        std::get<1>(killed.back()),
        (std::vector<std::string>{".talvex-reserve", "gyro.csv", "recording.mp4", "session.json"}));

    // The next start reports the killed sessions and what they left, removes
    // the frameless movie and gives every reserve back; a command port that
    // cannot listen (the phone's) ends it with 1 and a clear line.
    ChildProcess next("env", stationIn(home.path()) +
                                 QStringList{"--ipc-port", QString::number(station.phone.port())});
    EXPECT_EQ(next.waitForExit(60000), 1);
    const std::string out = std::get<2>(killed.back()) = next.output();
    const std::string saved = "Talvex: session was interrupted, its files hold what was saved: ";
    EXPECT_EQ(countOf(out, saved + folder), 1) << out;
    for (const auto& [at, files, report] : killed) {
        if (at.empty()) continue;  // killed before its folder was made
        const int recorded = std::count(files.begin(), files.end(), "session.json"),
                  movie = std::count(files.begin(), files.end(), "recording.mp4");
        EXPECT_EQ(countOf(report, saved + at), recorded) << report;
        EXPECT_EQ(
            countOf(report, "Talvex: session was interrupted before its record was written: " + at),
            !recorded && !files.empty())
            << report;
        EXPECT_EQ(countOf(report, "Talvex: session has no video: " + at +
                                      "/recording.mp4 held no frame and was removed"),
                  movie)
            << report;
        EXPECT_FALSE(talvex::fileExists(at + "/recording.mp4"));
    }
    for (const auto& name : listDir(root))
        EXPECT_FALSE(talvex::fileExists(root + "/" + name + "/.talvex-reserve")) << name;
    EXPECT_EQ(countOf(out, "Talvex IPC: listener failed: Address already in use"), 1) << out;
    struct stat info {};
    for (const auto& fifo : {fifos[0], fifos[1]})
        EXPECT_TRUE(::lstat(fifo.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) << fifo;
}

// Help without a display; bad options end with 2.
TEST(StationCommandLine, HelpAndBadOptions) {
    int exitCode = -1;
    const std::string talvex =
        "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" + binaryPath("talvex") + "' ";
    const std::string help = runCommand(talvex + "--help", &exitCode);
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
}

// A disk that fills up mid-session: every file ends on a whole unit (the
// movie on its last whole fragment, gyro.csv on its last whole line) and the
// record gets its end from the reserve. A start on a nearly full disk is
// refused and leaves no folder; once space is free the next one works.
TEST(HeadlessStation, FullDiskKeepsWholeFilesAndTheRecord) {
    TempDir home;
    const std::string disk = home.file("Documents/TalvexRecordings");
    int mounted = -1;
    runCommand("mkdir -p '" + disk + "' && mount -t tmpfs -o size=24m tmpfs '" + disk + "' 2>&1",
               &mounted);
    if (mounted != 0) GTEST_SKIP() << "cannot mount a small file system here";
    const std::shared_ptr<void> unmount(nullptr,
                                        [&](void*) { runCommand("umount '" + disk + "'"); });
    Station station(home.path(), {"--rate", "100"});  // gyro.csv takes its share of the space
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
    // Quits as on a SIGTERM from the system: a clean exit.
    EXPECT_EQ(station.process.end(SIGTERM), 0) << station.out();

    const MovieInfo movie = probeMovie(first + "/recording.mp4");
    EXPECT_TRUE(movie.errors.empty() && movie.frames() > 0) << movie.errors;
    const std::string csv = readText(first + "/gyro.csv");
    EXPECT_TRUE(countOf(csv, ",") == 3 * countOf(csv, "\n") && csv.ends_with('\n')) << csv;
    EXPECT_EQ(listDir(first), kSessionFiles);
    EXPECT_GT(probeMovie(second + "/recording.mp4").frames(), 10u);
}

// Cameras come back by themselves: one that another program holds at the
// start opens once it is let go; unplugged, it makes START say why, and
// plugged back (at another node) it is reopened and the next START records it.
TEST(HeadlessStation, CamerasComeBackByThemselves) {
    if (!amongWebcams("[camera front]\nmodel = 720p\nserial = F1\nheld = on\n"
                      "[camera spare]\nmodel = vga\nplugged = off\n"))
        return;
    TempDir home;
    WebcamStation webcams(home.path());
    ChildProcess& station = webcams.process;
    const int port = webcams.port;
    const auto said = [&](const std::string& line, int times = 1) {
        return waitUntil([&] { return countOf(station.output(), line) >= times; }, 30);
    };
    ASSERT_TRUE(
        said("Talvex: cannot open 'USB 2.0 Camera': another program is using the camera; "
             "the station will try again"))
        << station.output();
    EXPECT_EQ(webcam::control("release front"), "ok");
    ASSERT_TRUE(said("Talvex: opened cameras: 1")) << station.output();
    EXPECT_EQ(webcam::control("unplug front"), "ok");
    ASSERT_TRUE(said("Talvex: opened cameras: 0")) << station.output();
    EXPECT_EQ(sendCommand(port, "START gone"), "OK\n");
    EXPECT_TRUE(said("Talvex: start refused: camera 'USB 2.0 Camera' is missing"));
    EXPECT_EQ(webcam::control("replug spare") + webcam::control("replug front"), "okok");
    EXPECT_TRUE(said("Talvex: camera reopened: 'USB 2.0 Camera'", 2) && said(" at /dev/video2"))
        << station.output();
    ASSERT_TRUE(said("Talvex: opened cameras: 1", 2));
    const std::string folder = webcams.record("back", 1500);
    EXPECT_GT(probeMovie(folder + "/camera1.mp4").frames(), 5u) << station.output();
    EXPECT_TRUE(listDir(webcams.root).size() == 1) << "no folder for the refused start";
    EXPECT_EQ(station.end(SIGTERM), 0);
}

// Two webcams side by side, a 4:3 one in the dark (15 fps) and one bright (30
// fps, its clock fast enough to sweep its frames across the movie's ticks): each
// half keeps its own camera, nearly every frame of each at its own
// capture instant; the record says which camera is which, the log which one
// is slow.
TEST(HeadlessStation, SideBySideHalvesKeepTheirOwnWebcams) {
    if (!amongWebcams("[camera dim]\nmodel = vga\nserial = D1\nlow_light = on\n"
                      "[camera bright]\nmodel = 720p\nserial = B2\nrate_ppm = 6000\n"))
        return;
    TempDir home;
    WebcamStation webcams(home.path(), {"--cameras", "/dev/video0,/dev/video2"});
    ChildProcess& station = webcams.process;
    ASSERT_TRUE(station.waitForOutput("Talvex: opened cameras: 2", 60000)) << station.output();
    const std::string folder = webcams.record("pair", 5000);
    ASSERT_FALSE(folder.empty());
    const std::string log = station.output(), movie = folder + "/recording.mp4";
    EXPECT_EQ(countOf(log, "' delivers 15.0 fps of the 30 fps asked (low light?)"), 1) << log;
    const double start = std::stod(log.substr(log.find("basePTS=") + 8));

    // Each half's frames, by the counter drawn into them, against the truth log.
    const std::vector<double> times = movieFrameTimes(movie);
    const std::string gray =
        runCommand("ffmpeg -v error -i '" + movie +
                   "' -vf scale=960:270 -pix_fmt gray -f rawvideo - 2>/dev/null");
    ASSERT_EQ(gray.size(), times.size() * 960 * 270);
    const auto truth = webcam::readTruthLog();
    std::array<std::set<std::uint64_t>, 2> shown;
    double worst = 0;
    for (std::size_t i = 0; i < times.size(); ++i)
        for (int half : {0, 1}) {
            const auto* row = reinterpret_cast<const std::uint8_t*>(gray.data()) + i * 960 * 270;
            const auto code = webcam::readCounter(row + half * 480, 480, 270, 960);
            if (!code && i < 3) continue;  // black before its camera's first frame
            ASSERT_TRUE(code && code->camera == half) << i;
            if (!shown[half].insert(code->counter).second) continue;
            const auto frame = webcam::findFrame(truth, half ? "bright" : "dim", code->counter);
            worst = std::max(worst, std::abs(frame.captureNs / 1e9 - start - times[i]));
        }
    EXPECT_LE(worst, 0.020);
    for (int half : {0, 1}) {
        std::size_t delivered = 0;
        for (const auto& f : truth)
            delivered += f.camera == (half ? "bright" : "dim") && f.fate == "delivered" &&
                         f.counter >= *shown[half].begin() && f.counter <= *shown[half].rbegin();
        EXPECT_GE(shown[half].size(), delivered * 97 / 100) << half;
    }
    EXPECT_EQ(probeMovie(movie).errors, "");

    const auto devices =
        nlohmann::json::parse(readText(folder + "/session.json"))["camera_devices"];
    ASSERT_EQ(devices.size(), 2u) << devices;
    for (int half : {0, 1}) {
        const auto& camera = devices[half];
        EXPECT_NE(camera["id"].get<std::string>().find(half ? "_B2-" : "_D1-"), std::string::npos);
        EXPECT_EQ(camera["mode"], half ? "mjpeg 1280x720 30fps" : "yuyv 640x480 30fps");
        EXPECT_EQ(camera["frames_written"], shown[half].size()) << camera;
        EXPECT_GE(camera["frames_captured"], camera["frames_written"]);
    }
    EXPECT_EQ(station.end(SIGTERM), 0);
}
