#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "app/LumetraHandoff.h"
#include "app/Paths.h"
#include "app/TalvexApp.h"
#include "core/Clock.h"
#include "core/FileUtil.h"
#include "core/NumberFormat.h"
#include "core/SideBySideTimeline.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"
#include "support/MovieProbe.h"
#include "support/StationHarness.h"
#include "ui/GyroMonitor.h"
#include "ui/MainWindow.h"
#include "ui/PreviewView.h"
#include "ui/RenameSheet.h"
#include "ui/StatusDot.h"
#include "ui/StatusRow.h"
#include "ui/TakeReportView.h"

using namespace talvex;
using namespace talvex::test;

namespace {

// The window over a station with two free-running synthetic cameras, no stored settings.
struct Window : ::testing::Test {
    TempDir root;
    const int port = freePort();
    std::unique_ptr<TalvexApp> app;
    std::unique_ptr<MainWindow> window;

    Window() {
        QApplication::setQuitOnLastWindowClosed(false);
        SyntheticCameras::reset();
        setLumetraAppPath("");
        paths::settings()->remove("phyphoxIP");
        std::filesystem::remove(joinPath(paths::appDataDir(), "camera_names.json"));
        StationOptions options;
        options.outputRoot = root.path();
        options.ipcPort = port;
        options.ipcBind = "127.0.0.1";
        options.virtualCameras = 2;
        options.freeRunningCameras = true;
        app = std::make_unique<TalvexApp>(options);
        window = std::make_unique<MainWindow>(*app);
        window->show();
        EXPECT_TRUE(waitUntil([&] { return app->cameras().availableDevices().size() >= 2; }));
    }

    template <class T = QWidget>
    T* find(const char* name) {
        T* found = window->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString text(const char* name) { return find(name)->property("text").toString(); }
    bool shown(const char* name) { return find(name)->isVisible(); }
    QString detail(const char* row) { return find<StatusRow>(row)->detail(); }
    void click(const char* button) { QTest::mouseClick(find<QPushButton>(button), Qt::LeftButton); }
    void pick(const char* picker, int entry) {
        find<QComboBox>(picker)->setCurrentIndex(entry);
        emit find<QComboBox>(picker)->activated(entry);
    }
    bool recording() { return app->session().recordingState().recording; }
    // The record button, then a wait until a second is recorded or all is finished.
    void toggleRecording() {
        const bool starting = !recording();
        click("recordButton");
        ASSERT_TRUE(waitUntil([&] {
            return starting ? recording() && app->session().elapsedSeconds() >= 1
                            : !app->session().isBusy();
        }));
    }
    void connectTo(const std::string& address) {
        auto* field = find<QLineEdit>("phyphoxAddressField");
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, QString::fromStdString(address));
        click("phyphoxConnectButton");
    }
};

}  // namespace

// Every step of the window's life, from idle to closing during a recording.
TEST_F(Window, IdleAlertsRenamePhoneRecordingLumetraAndClosing) {
    EXPECT_TRUE(waitUntil([&] { return app->ipc().isRunning(); }));
    EXPECT_EQ(detail("lumetraStatus"), "Ready");
    struct Rule {
        const char* name;
        bool visible, enabled;
        const char* text = "";
    };
    for (const Rule& r :
         {Rule{"previewPlaceholder", true, true, "No cameras open\nSelect cameras and click Apply"},
          Rule{"recordHint", true, true, "Open cameras and click Apply to enable recording"},
          Rule{"recordButton", true, false, "Start Recording"},
          Rule{"applyButton", true, false, "Apply"}, Rule{"swapButton", false, true, "Swap: L→R"},
          Rule{"lumetraRow", false, true}, Rule{"sessionIdLabel", false, true},
          Rule{"gyroMonitor", false, true}, Rule{"takeReport", false, true},
          Rule{"startNotice", false, true}}) {
        EXPECT_EQ(shown(r.name), r.visible) << r.name;
        EXPECT_EQ(find(r.name)->isEnabled(), r.enabled) << r.name;
        EXPECT_EQ(text(r.name), r.text) << r.name;
    }
    // A remote START without a camera: still "OK", and the window says why.
    EXPECT_EQ(sendCommand(port, "START remote"), "OK\n");
    EXPECT_TRUE(waitUntil([&] { return shown("startNotice"); }));
    EXPECT_EQ(text("startNotice"), "Start refused: no camera is open");
    pick("cam2Picker", 1);
    EXPECT_FALSE(find("applyButton")->isEnabled()) << "Cam 2 alone cannot be applied";
    pick("cam1Picker", 2);
    EXPECT_TRUE(find("applyButton")->isEnabled());
    emit app->gyro().samplesArrived({{10.0, 0.1, 0.2, 0.3}, {10.01, 0.1, 0.2, 0.3}});
    EXPECT_TRUE(find<GyroMonitor>("gyroMonitor")->trace().empty()) << "no phone measuring";

    auto* alert = find<QMessageBox>("cameraErrorAlert");
    app->cameras().setErrorMessage(std::string("first problem"));
    ASSERT_TRUE(waitUntil([&] { return alert->isVisible(); }));
    EXPECT_EQ(alert->windowTitle(), "Camera Error");
    app->cameras().setErrorMessage(std::string("second problem"));
    EXPECT_EQ(alert->text(), "second problem") << "a newer error replaces the text";
    alert->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(waitUntil([&] { return !alert->isVisible(); }));
    EXPECT_FALSE(app->cameras().errorMessage());

    // Restoring a minimised window must not rescan; showing it afresh does.
    QSignalSpy scans(&app->cameras(), &CameraManager::availableDevicesChanged);
    window->showMinimized();
    QTest::qWait(100);
    window->showNormal();  // a spontaneous show, as from the window system
    QTest::qWait(200);
    EXPECT_EQ(scans.count(), 0);
    window->hide();
    window->show();
    EXPECT_TRUE(waitUntil([&] { return scans.count() > 0; }));

    // The rename sheet: Done saves nothing, an empty name is kept out, Save stores one.
    const CameraDevice camera = app->cameras().availableDevices()[0];
    auto stored = [&] { return app->cameras().registry().store().at(camera.id); };
    QLineEdit* field = nullptr;
    auto rename = [&](const char* typed) {  // each opening is a new sheet
        click("renameButton");
        auto* sheet = find<RenameSheet>("renameSheet");
        field = sheet->findChild<QLineEdit*>("renameField0");
        field->clear();
        QTest::keyClicks(field, typed);
        return sheet;
    };
    rename("Left rig")->findChild<QPushButton*>("renameDoneButton")->click();
    QTest::qWait(50);
    EXPECT_EQ(stored(), camera.name);
    auto* save = rename("x")->findChild<QPushButton*>("renameSave0");
    QTest::keyClick(field, Qt::Key_Backspace);
    save->click();
    EXPECT_EQ(stored(), camera.name);
    QTest::keyClicks(field, "Left rig");
    save->click();
    EXPECT_EQ(stored(), "Left rig");
    ASSERT_TRUE(
        waitUntil([&] { return find<QComboBox>("cam1Picker")->itemText(1) == "Left rig"; }));
    find<RenameSheet>("renameSheet")->close();

    // The gyroscope status follows the phone.
    PhoneSimulator phone({"--rate", "200"});
    auto* dot = find<StatusRow>("gyroStatus")->dot();
    auto* monitor = find<GyroMonitor>("gyroMonitor");
    EXPECT_EQ(detail("gyroStatus"), "No IP set");
    EXPECT_FALSE(find("phyphoxConnectButton")->isEnabled());
    connectTo("127.0.0.1:" + std::to_string(freePort()));  // nobody answers there
    EXPECT_EQ(app->gyro().phyphoxIP(), text("phyphoxAddressField").toStdString()) << "as typed";
    EXPECT_TRUE(waitUntil([&] { return detail("gyroStatus") == "Not measuring"; }));
    EXPECT_FALSE(dot->glow().isValid()) << "no glow when the phone does not answer";
    EXPECT_FALSE(shown("phyphoxHint"));
    connectTo("");
    EXPECT_EQ(detail("gyroStatus"), "No IP set");
    connectTo(phone.address());
    ASSERT_TRUE(waitUntil([&] { return detail("gyroStatus") == "Measuring"; }));
    EXPECT_EQ(dot->fill().rgb(), QColor(52, 199, 89).rgb());
    EXPECT_TRUE(monitor->isVisible());
    EXPECT_TRUE(waitUntil([&] { return text("gyroRateLabel") == "200 Hz"; })) << "measured";
    phone.control("measuring=0");
    ASSERT_TRUE(waitUntil([&] { return detail("gyroStatus") == "Not measuring"; }));
    EXPECT_EQ(text("phyphoxHint"), "Press ▶ in Phyphox to start the experiment");
    EXPECT_TRUE(shown("phyphoxHint"));
    EXPECT_EQ(dot->fill().rgb(), QColor(255, 149, 0).rgb()) << "orange: answers, not measuring";
    EXPECT_TRUE(monitor->trace().empty()) << "a phone that stopped leaves no stale chart";
    EXPECT_FALSE(monitor->isVisible()) << "the hint takes the chart's place";
    phone.control("measuring=1");
    ASSERT_TRUE(waitUntil([&] { return detail("gyroStatus") == "Measuring"; }));

    // A recording with the previews swapped: the layout locks and the session
    // shows while it runs. At one host instant camera 0 (now on the right)
    // flashes and the phone's gyroscope spikes.
    pick("cam1Picker", 1);
    pick("cam2Picker", 2);
    click("applyButton");
    ASSERT_TRUE(waitUntil([&] { return app->cameras().openedRecorders().size() == 2; }));
    EXPECT_FALSE(shown("startNotice")) << "until the next action";
    auto* swap = find<QPushButton>("swapButton");
    auto left = [&] { return find<PreviewView>("preview0"); };  // a swap builds new ones
    const auto& recorders = app->cameras().openedRecorders();
    EXPECT_EQ(left()->source(), &recorders[0]->frameSlot());
    EXPECT_TRUE(swap->isVisible());
    QTest::mouseClick(swap, Qt::LeftButton);
    EXPECT_EQ(swap->text(), "Swap: R→L");
    EXPECT_EQ(left()->source(), &recorders[1]->frameSlot());
    EXPECT_EQ(left()->badge(), "L");
    QTest::keyClicks(find<QLineEdit>("sessionNameField"), "run_7");
    toggleRecording();
    EXPECT_EQ(text("recordButton"), "Stop Recording");
    EXPECT_FALSE(swap->isEnabled());
    EXPECT_TRUE(text("sessionIdLabel").startsWith("run_7_"));
    EXPECT_TRUE(left()->isRecording());
    EXPECT_FALSE(shown("lumetraRow"));
    const double instant = steadyNow() + 1.5;
    SyntheticCameras::flashAt(recorders[0]->device().id, instant);
    phone.control("spike_at=" + formatNumber(instant));
    QTest::qWait(3000);
    if (const char* picture = std::getenv("TALVEX_WINDOW_PICTURE")) window->grab().save(picture);
    toggleRecording();
    EXPECT_TRUE(waitUntil([&] { return shown("lumetraRow"); }));
    // In the finished session the flash's movie time plus "video_start_seconds"
    // is the spike's gyro.csv time,
    const auto found = findFlashAndSpike(*app->session().lastSessionDir(), 1920);
    ASSERT_TRUE(found.videoStart && found.flash && found.spike)
        << "video_start_seconds, flash, spike found: " << bool(found.videoStart)
        << bool(found.flash) << bool(found.spike);
    // within one frame, beside how far a half's frame may lie from its movie time.
    EXPECT_NEAR(*found.flash + *found.videoStart, *found.spike,
                0.033 + SideBySideTimeline::kReach / 30)
        << "flash at movie time " << *found.flash << ", spike at " << *found.spike;

    // Cancelling the chooser tells the user; choosing stores the path and
    // opens the finished session in Lumetra.
    auto* open = find<QPushButton>("openInLumetraButton");
    auto* gear = find("lumetraGearButton");
    EXPECT_FALSE(open->isEnabled());
    auto choose = [&](const std::string& path) {
        QTest::mouseClick(gear, Qt::LeftButton);
        auto* chooser = window->findChild<QFileDialog*>("locateLumetraDialog");
        ASSERT_NE(chooser, nullptr);
        if (path.empty()) return chooser->reject();
        chooser->selectFile(QString::fromStdString(path));
        static_cast<QDialog*>(chooser)->accept();
    };
    choose("");
    auto* lumetraAlert = find<QMessageBox>("lumetraAlert");
    ASSERT_TRUE(waitUntil([&] { return lumetraAlert->isVisible(); }));
    EXPECT_EQ(lumetraAlert->text(), "Lumetra was not selected.");
    lumetraAlert->button(QMessageBox::Ok)->click();

    const std::string stub = root.file("Lumetra"), launched = root.file("launched");
    writeFile(stub, "#!/bin/sh\ntouch '" + launched + "'\n");
    std::filesystem::permissions(stub, std::filesystem::perms::owner_all);
    choose(stub);
    ASSERT_TRUE(waitUntil([&] { return open->isEnabled(); }));
    EXPECT_EQ(gear->toolTip().toStdString(), "Lumetra: " + stub);
    QTest::mouseClick(open, Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return fileExists(launched); }));
    EXPECT_TRUE(fileExists(joinPath(*app->session().lastSessionDir(), "recording.talvex")));

    // A take with a phone pause and a lost camera: the report says what
    // session.json, gyro.csv's rows and the movie say.
    toggleRecording();
    phone.control("cmd=stop");
    QTest::qWait(1200);
    phone.control("cmd=start");
    QTest::qWait(800);
    const CameraDevice lost = recorders[1]->device();
    const double lostAt = steadyNow() - app->session().recordingState().startTime;
    SyntheticCameras::disconnect(lost.id);
    ASSERT_TRUE(waitUntil([&] { return alert->isVisible(); }));
    alert->button(QMessageBox::Ok)->click();
    toggleRecording();
    const std::string take = *app->session().lastSessionDir();
    const auto record = nlohmann::json::parse(readText(take + "/session.json"));
    const double duration = record["duration_seconds"];
    std::istringstream csv(readText(take + "/gyro.csv"));
    std::vector<double> rows;
    for (std::string row; std::getline(csv, row);)
        if (!row.starts_with("time")) rows.push_back(std::stod(row));
    double gap = std::max(rows.at(0), duration - rows.back());
    for (std::size_t i = 1; i < rows.size(); ++i) gap = std::max(gap, rows[i] - rows[i - 1]);
    EXPECT_EQ(record["gyro_samples"], rows.size());
    EXPECT_DOUBLE_EQ(record["gyro_longest_gap_seconds"].get<double>(), gap);
    EXPECT_GT(gap, 1.0) << "the phone's pause";
    std::string frames;  // each camera's, in the halves' order
    for (const auto& camera : record["camera_devices"])
        frames += (frames.empty() ? "" : " + ") + camera["frames_written"].dump();
    const std::string gapText = QString::number(gap, 'f', 2).toStdString() + " s";
    std::vector<TakeLine> lines = find<TakeReportView>("takeReport")->lines();
    const std::string lostLine = "Camera '" + lost.name + "' lost at ";
    // A synthetic camera starved of CPU skips frames, and may fall below its
    // rate: counted in the report, but not what this take is about.
    std::erase_if(lines, [](const TakeLine& l) { return l.text.ends_with("below its rate"); });
    lines.at(0).text =
        std::regex_replace(lines[0].text, std::regex(" \\(\\d+ lost\\)|, none lost"), "");
    for (double late : {0.0, 1.0})  // the loss is noticed at the next frame, or soon after
        if (lines.size() == 3 && lines[1].text == lostLine + formatTakeTime(lostAt + late))
            lines[1].text = lostLine;
    EXPECT_EQ(lines, (std::vector<TakeLine>{
                         {"Take " + formatTakeTime(duration) + " · " + frames + " frames · " +
                          std::to_string(rows.size()) + " gyro samples, gap " + gapText},
                         {lostLine, true},
                         {"Gyroscope gap of " + gapText, true}}));

    // The side panel at the default and the smallest size, with the take
    // report, the Lumetra row and the chart: no row is squeezed or sticks out
    // of its parent, and the sections above the record section scroll into
    // view, the chart with its 48 px.
    SyntheticCameras::reconnect(lost.id);
    click("applyButton");
    ASSERT_TRUE(waitUntil([&] { return app->cameras().openedRecorders().size() == 2; }));
    ASSERT_TRUE(
        waitUntil([&] { return detail("gyroStatus") == "Measuring" && shown("lumetraRow"); }));
    auto* chart = find("gyroChart");
    for (QSize size : {QSize(1200, 720), QSize(960, 620)}) {
        window->resize(size);
        QTest::qWait(100);
        for (auto* row : find("sidePanel")->findChildren<QWidget*>()) {
            const QWidget* parent = row->parentWidget();
            if (!row->isVisible() || parent->objectName() == "qt_scrollarea_viewport") continue;
            const int needed = row->hasHeightForWidth() ? row->heightForWidth(row->width())
                                                        : row->minimumSizeHint().height();
            EXPECT_TRUE(row->height() >= needed && parent->rect().contains(row->geometry()))
                << row->metaObject()->className() << " at " << size.height();
        }
        find<QScrollArea>("sidePanelScroller")->ensureWidgetVisible(chart);
        EXPECT_GE(chart->visibleRegion().boundingRect().height(), 48) << size.height();
    }

    // Closing the window during a second recording finishes its movie first.
    toggleRecording();
    const std::string folder = root.file(app->session().recordingState().sessionId);
    window->close();
    EXPECT_TRUE(window->isVisible()) << "waits for the files";
    ASSERT_TRUE(waitUntil([&] { return !window->isVisible(); }));
    EXPECT_GT(probeMovie(folder + "/recording.mp4").seconds, 0.3);
}
