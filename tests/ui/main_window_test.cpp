#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "app/LumetraHandoff.h"
#include "app/Paths.h"
#include "app/TalvexApp.h"
#include "core/Clock.h"
#include "core/FileUtil.h"
#include "core/NumberFormat.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"
#include "support/MovieProbe.h"
#include "support/StationHarness.h"
#include "support/TestSupport.h"
#include "ui/GyroMonitor.h"
#include "ui/MainWindow.h"
#include "ui/PreviewView.h"
#include "ui/RenameSheet.h"
#include "ui/StatusDot.h"
#include "ui/StatusRow.h"

using namespace talvex;

namespace {

constexpr int waitMs = 30000;

// The window over a station with two synthetic cameras and no stored settings.
struct Window : ::testing::Test {
    test::TempDir root;
    std::unique_ptr<TalvexApp> app;
    std::unique_ptr<MainWindow> window;

    Window() {
        QApplication::setQuitOnLastWindowClosed(false);
        setLumetraAppPath("");
        paths::settings()->remove("phyphoxIP");
        std::filesystem::remove(joinPath(paths::appDataDir(), "camera_names.json"));
        StationOptions options;
        options.outputRoot = root.path();
        options.ipcPort = test::freePort();
        options.ipcBind = "127.0.0.1";
        options.virtualCameras = 2;
        app = std::make_unique<TalvexApp>(options);
        window = std::make_unique<MainWindow>(*app);
        window->resize(1200, 720);
        window->show();
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return app->cameras().availableDevices().size() >= 2; }, waitMs));
    }
    ~Window() override {
        window.reset();
        app.reset();
        SyntheticCameras::reset();
    }

    template <class T>
    T* find(const char* name) {
        T* found = window->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString detail(const char* row) { return find<StatusRow>(row)->detail(); }
    void click(const char* button) { QTest::mouseClick(find<QPushButton>(button), Qt::LeftButton); }
    void pick(const char* picker, int entry) {
        find<QComboBox>(picker)->setCurrentIndex(entry);
        emit find<QComboBox>(picker)->activated(entry);
    }
    void open(std::size_t cameras) {
        pick("cam1Picker", 1);
        if (cameras == 2) pick("cam2Picker", 2);
        click("applyButton");
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return app->cameras().openedRecorders().size() == cameras; }, waitMs));
    }
    bool recording() { return app->session().recordingState().recording; }
};

}  // namespace

TEST_F(Window, IdleWindowTextsAndRules) {
    EXPECT_TRUE(QTest::qWaitFor([&] { return app->ipc().isRunning(); }, waitMs));
    EXPECT_EQ(find<QLabel>("previewPlaceholder")->text(),
              "No cameras open\nSelect cameras and click Apply");
    EXPECT_EQ(find<QLabel>("recordHint")->text(),
              "Open cameras and click Apply to enable recording");
    EXPECT_EQ(find<QPushButton>("recordButton")->text(), "Start Recording");
    EXPECT_EQ(detail("lumetraStatus"), "Ready");
    EXPECT_EQ(find<QComboBox>("cam1Picker")->itemText(1).toStdString(),
              app->cameras().availableDevices()[0].name);

    struct Rule {
        const char* name;
        bool visible, enabled;
    };
    for (const Rule& r : {Rule{"recordButton", true, false}, Rule{"recordHint", true, true},
                          Rule{"applyButton", true, false}, Rule{"swapButton", false, true},
                          Rule{"lumetraRow", false, true}, Rule{"sessionIdLabel", false, true}}) {
        EXPECT_EQ(find<QWidget>(r.name)->isVisible(), r.visible) << r.name;
        EXPECT_EQ(find<QWidget>(r.name)->isEnabled(), r.enabled) << r.name;
    }
    pick("cam2Picker", 1);
    EXPECT_FALSE(find<QPushButton>("applyButton")->isEnabled()) << "Cam 2 alone cannot be applied";
    pick("cam1Picker", 2);
    EXPECT_TRUE(find<QPushButton>("applyButton")->isEnabled());

    // Without a measuring phone the gyro chart is hidden and takes no samples.
    EXPECT_FALSE(find<QWidget>("gyroMonitor")->isVisible());
    emit app->gyro().samplesArrived({{10.0, 0.1, 0.2, 0.3}, {10.01, 0.1, 0.2, 0.3}});
    EXPECT_TRUE(find<GyroMonitor>("gyroMonitor")->trace().empty());
}

TEST_F(Window, GyroscopeStatusFollowsThePhone) {
    test::PhoneSimulator phone({"--rate", "200"});
    ASSERT_NE(phone.port(), 0);
    auto* field = find<QLineEdit>("phyphoxAddressField");
    auto* play = find<QPushButton>("phyphoxConnectButton");
    auto* hint = find<QLabel>("phyphoxHint");
    auto* dot = find<StatusRow>("gyroStatus")->dot();
    auto type = [&](const std::string& text) {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, QString::fromStdString(text));
    };
    EXPECT_EQ(detail("gyroStatus"), "No IP set");
    EXPECT_FALSE(play->isEnabled());

    type("127.0.0.1:" + std::to_string(test::freePort()));  // nobody answers there
    EXPECT_EQ(app->gyro().phyphoxIP(), field->text().toStdString()) << "stored as typed";
    QTest::mouseClick(play, Qt::LeftButton);
    QTest::qWait(300);
    EXPECT_EQ(detail("gyroStatus"), "Not measuring");
    EXPECT_FALSE(dot->glow().isValid()) << "no glow when the phone does not answer";
    EXPECT_FALSE(hint->isVisible());

    type(phone.address());
    QTest::mouseClick(play, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return detail("gyroStatus") == "Measuring"; }, waitMs));
    EXPECT_EQ(dot->fill().rgb(), QColor(52, 199, 89).rgb());
    auto* monitor = find<GyroMonitor>("gyroMonitor");
    EXPECT_TRUE(monitor->isVisible());
    auto* rate = find<QLabel>("gyroRateLabel");
    EXPECT_TRUE(QTest::qWaitFor([&] { return rate->text() == "200 Hz"; }, waitMs))
        << "the simulator's rate, measured from its samples: " << rate->text().toStdString();

    phone.control("measuring=0");
    ASSERT_TRUE(QTest::qWaitFor([&] { return detail("gyroStatus") == "Not measuring"; }, waitMs));
    EXPECT_EQ(hint->text(), "Press ▶ in Phyphox to start the experiment");
    EXPECT_TRUE(hint->isVisible());
    EXPECT_EQ(dot->fill().rgb(), QColor(255, 149, 0).rgb()) << "orange: answers, not measuring";
    EXPECT_TRUE(monitor->trace().empty()) << "a phone that stopped leaves no stale chart";
    EXPECT_FALSE(monitor->isVisible()) << "the hint takes the chart's place";

    type("");
    EXPECT_EQ(detail("gyroStatus"), "No IP set");
    EXPECT_FALSE(play->isEnabled());
}

TEST_F(Window, RecordSwapAndHandOffWithTwoCameras) {
    open(2);
    auto* swap = find<QPushButton>("swapButton");
    EXPECT_TRUE(swap->isVisible());
    EXPECT_EQ(swap->text(), "Swap: L→R");
    EXPECT_TRUE(find<QPushButton>("recordButton")->isEnabled());
    const auto& recorders = app->cameras().openedRecorders();
    EXPECT_EQ(find<PreviewView>("preview0")->source(), &recorders[0]->frameSlot());
    QTest::mouseClick(swap, Qt::LeftButton);
    EXPECT_EQ(swap->text(), "Swap: R→L");
    auto* left = find<PreviewView>("preview0");
    EXPECT_EQ(left->source(), &recorders[1]->frameSlot()) << "second-opened camera on the left";
    EXPECT_EQ(left->badge(), "L");
    QTest::mouseClick(swap, Qt::LeftButton);

    test::PhoneSimulator phone;  // the record button's session takes its own gyro anchor
    app->gyro().setPhyphoxIP(phone.address());
    app->gyro().connect();
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->gyro().isConnected(); }, waitMs));

    QTest::keyClicks(find<QLineEdit>("sessionNameField"), "run_7");
    click("recordButton");
    ASSERT_TRUE(QTest::qWaitFor([&] { return recording(); }, waitMs));
    EXPECT_EQ(find<QPushButton>("recordButton")->text(), "Stop Recording");
    EXPECT_FALSE(swap->isEnabled());
    EXPECT_TRUE(find<QLabel>("sessionIdLabel")->text().startsWith("run_7_"));
    EXPECT_TRUE(find<PreviewView>("preview0")->isRecording());
    EXPECT_FALSE(find<QWidget>("lumetraRow")->isVisible());

    // The picture for the lead: both previews showing frames and the gyro
    // chart over a second of samples, mid-recording.
    const GyroTrace& trace = find<GyroMonitor>("gyroMonitor")->trace();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return recorders[0]->latestFrame() && recorders[1]->latestFrame() &&
                   app->session().elapsedSeconds() >= 1 && trace.samples().size() > 100;
        },
        waitMs));
    QTest::qWait(100);
    EXPECT_TRUE(window->grab().save(TALVEX_BINARY_DIR "/talvex_window.png"));

    click("recordButton");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app->session().isBusy(); }, waitMs));
    auto gyro = app->session().lastSessionGyroURL();
    ASSERT_TRUE(gyro);
    std::istringstream lines(test::readText(*gyro));
    std::string line;
    std::getline(lines, line);
    std::vector<double> times;
    while (std::getline(lines, line)) times.push_back(std::stod(line));
    ASSERT_GT(times.size(), 50u);
    EXPECT_GE(times.front(), 0.0);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end(), std::less_equal<>()))
        << "strictly increasing";
    ASSERT_TRUE(QTest::qWaitFor([&] { return find<QWidget>("lumetraRow")->isVisible(); }, waitMs))
        << "after a finished session";
    auto* open = find<QPushButton>("openInLumetraButton");
    auto* gear = find<QToolButton>("lumetraGearButton");
    EXPECT_FALSE(open->isEnabled());

    // Cancelling the chooser tells the user; choosing stores the path.
    auto choose = [&](const std::string& path) {
        QTest::mouseClick(gear, Qt::LeftButton);
        auto* chooser = window->findChild<QFileDialog*>("locateLumetraDialog");
        ASSERT_NE(chooser, nullptr);
        if (path.empty()) return chooser->reject();
        chooser->selectFile(QString::fromStdString(path));
        static_cast<QDialog*>(chooser)->accept();
    };
    choose("");
    auto* alert = find<QMessageBox>("lumetraAlert");
    ASSERT_TRUE(QTest::qWaitFor([&] { return alert->isVisible(); }, waitMs));
    EXPECT_EQ(alert->text(), "Lumetra was not selected.");
    alert->button(QMessageBox::Ok)->click();

    std::string stub = root.file("Lumetra");
    std::string launched = root.file("launched");
    writeFile(stub, "#!/bin/sh\ntouch '" + launched + "'\n");
    std::filesystem::permissions(stub, std::filesystem::perms::owner_all);
    choose(stub);
    ASSERT_TRUE(QTest::qWaitFor([&] { return open->isEnabled(); }, waitMs));
    EXPECT_EQ(gear->toolTip().toStdString(), "Lumetra: " + stub);
    QTest::mouseClick(open, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return fileExists(launched); }, waitMs));
    EXPECT_TRUE(fileExists(joinPath(*app->session().lastSessionDir(), "recording.talvex")));
}

TEST_F(Window, CameraErrorAlertShowsAndClears) {
    auto* alert = find<QMessageBox>("cameraErrorAlert");
    app->cameras().setErrorMessage(std::string("first problem"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return alert->isVisible(); }, waitMs));
    EXPECT_EQ(alert->windowTitle(), "Camera Error");
    app->cameras().setErrorMessage(std::string("second problem"));
    EXPECT_EQ(alert->text(), "second problem") << "a newer error replaces the text";
    alert->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !alert->isVisible(); }, waitMs));
    EXPECT_FALSE(app->cameras().errorMessage());
}

// Done saves nothing, an empty name is kept out, Save stores one name.
TEST_F(Window, RenameSheetSavesOneNameAtATime) {
    const CameraDevice camera = app->cameras().availableDevices()[0];
    auto stored = [&] { return app->cameras().registry().store().at(camera.id); };
    QLineEdit* field = nullptr;
    auto rename = [&](const char* typed) {
        click("renameButton");
        auto* sheet = window->findChild<RenameSheet*>("renameSheet");
        field = sheet->findChild<QLineEdit*>("renameField0");
        field->clear();
        QTest::keyClicks(field, typed);
        return sheet;
    };
    rename("Left rig")->findChild<QPushButton*>("renameDoneButton")->click();
    QTest::qWait(50);
    EXPECT_EQ(stored(), camera.name);
    RenameSheet* sheet = rename("x");
    QTest::keyClick(field, Qt::Key_Backspace);
    sheet->findChild<QPushButton*>("renameSave0")->click();
    EXPECT_EQ(stored(), camera.name);
    QTest::keyClicks(field, "Left rig");
    sheet->findChild<QPushButton*>("renameSave0")->click();
    EXPECT_EQ(stored(), "Left rig");
    app->cameras().registry().waitUntilSaved();
    EXPECT_NE(test::readText(app->cameras().registry().filePath()).find("Left rig"),
              std::string::npos);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return find<QComboBox>("cam1Picker")->itemText(1) == "Left rig"; }, waitMs));
    sheet->close();
}

// Restoring a minimised window must not rescan or restart the command port;
// showing it afresh does both.
TEST_F(Window, OnlyAFreshShowSetsTheStationUp) {
    QTest::qWait(100);
    QSignalSpy scans(&app->cameras(), &CameraManager::availableDevicesChanged);
    window->showMinimized();
    QTest::qWait(100);
    window->showNormal();  // a spontaneous show, as from the window system
    QTest::qWait(200);
    EXPECT_EQ(scans.count(), 0);
    window->hide();
    window->show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return scans.count() > 0; }, waitMs));
}

TEST_F(Window, ClosingWhileRecordingFinishesTheMovieFirst) {
    open(1);
    click("recordButton");
    ASSERT_TRUE(QTest::qWaitFor([&] { return recording(); }, waitMs));
    std::string folder = joinPath(root.path(), app->session().recordingState().sessionId);
    QTest::qWait(1000);

    window->close();
    EXPECT_TRUE(window->isVisible()) << "waits for the files";
    EXPECT_TRUE(window->isFinishing());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, waitMs));
    EXPECT_FALSE(app->session().isBusy());
    EXPECT_TRUE(fileExists(joinPath(folder, "session.json")));
    EXPECT_GT(test::probeMovie(joinPath(folder, "camera1.mp4")).seconds, 0.3);
}

// At one host instant camera 0 flashes and the phone's gyroscope spikes, on
// free-running cameras: in the finished session the flash's movie time plus
// "video_start_seconds" is the spike's gyro.csv time, within one frame.
TEST_F(Window, MovieTimeZeroOnTheGyroClock) {
    SyntheticCameras::setTiming(SyntheticCameras::Timing::freeRunning);
    open(2);
    test::PhoneSimulator phone;
    app->gyro().setPhyphoxIP(phone.address());
    app->gyro().connect();
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->gyro().isConnected(); }, waitMs));
    click("recordButton");
    ASSERT_TRUE(QTest::qWaitFor([&] { return recording(); }, waitMs));
    const double instant = steadyNow() + 1.5;
    SyntheticCameras::flashAt(app->cameras().openedRecorders()[0]->device().id, instant);
    phone.control("spike_at=" + formatNumber(instant));
    QTest::qWait(3000);
    click("recordButton");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app->session().isBusy(); }, waitMs));
    SyntheticCameras::setTiming(SyntheticCameras::Timing::steady);

    const std::string folder = *app->session().lastSessionDir();
    auto record = nlohmann::json::parse(test::readText(folder + "/session.json"));
    ASSERT_TRUE(record.contains("video_start_seconds")) << record.dump();
    const double videoStart = record["video_start_seconds"];
    // Frames already on their way when the recording starts may have been
    // taken a moment before it, so the offset can be slightly negative.
    EXPECT_GT(videoStart, -0.5);
    EXPECT_LT(videoStart, 2.0);

    const auto times = test::probeMovie(folder + "/recording.mp4").frameTimes;
    const test::SmallFrames frames(folder + "/recording.mp4", 128);
    ASSERT_EQ(frames.frameCount(), times.size());
    std::optional<double> flash;
    for (std::size_t i = 0; i < times.size() && !flash; ++i)
        if (test::Rgb p = frames.at(i, 32, 18); std::min({p.r, p.g, p.b}) > 200) flash = times[i];
    ASSERT_TRUE(flash) << "no white frame in camera 0's half";

    std::optional<double> spike;
    std::istringstream lines(test::readText(folder + "/gyro.csv"));
    std::string line;
    std::getline(lines, line);
    while (!spike && std::getline(lines, line))
        if (std::stod(line.substr(line.find(',') + 1)) > 19) spike = std::stod(line);
    ASSERT_TRUE(spike) << "no spike in gyro.csv";
    EXPECT_NEAR(*flash + videoStart, *spike, 0.033)
        << "flash at movie time " << *flash << ", spike at " << *spike;
}
