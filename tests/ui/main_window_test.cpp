#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QToolButton>
#include <filesystem>

#include "app/LumetraHandoff.h"
#include "app/Paths.h"
#include "app/TalvexApp.h"
#include "core/FileUtil.h"
#include "media/CameraRecorder.h"
#include "media/SyntheticCameras.h"
#include "support/TestSupport.h"
#include "ui/MainWindow.h"
#include "ui/PreviewView.h"
#include "ui/RenameSheet.h"
#include "ui/StatusDot.h"
#include "ui/StatusRow.h"

using namespace talvex;
using talvex::test::runCommand;
using talvex::test::TempDir;

namespace {

constexpr int waitMs = 30000;

quint16 freeLoopbackPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

struct Window : ::testing::Test {
    TempDir root;
    std::unique_ptr<TalvexApp> app;
    std::unique_ptr<MainWindow> window;

    Window() {
        QApplication::setQuitOnLastWindowClosed(false);
        // Settings and names live in the test's home and outlive a run.
        setLumetraAppPath("");
        paths::settings()->remove("phyphoxIP");
        std::filesystem::remove(joinPath(paths::appDataDir(), "camera_names.json"));
        StationOptions options;
        options.outputRoot = root.path();
        options.ipcPort = freeLoopbackPort();
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

    void pick(int slot, int entry) {
        auto* picker = find<QComboBox>(slot == 0 ? "cam1Picker" : "cam2Picker");
        picker->setCurrentIndex(entry);
        emit picker->activated(entry);
    }
    void openTwoCameras() {
        pick(0, 1);
        pick(1, 2);
        QTest::mouseClick(find<QPushButton>("applyButton"), Qt::LeftButton);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return app->cameras().openedRecorders().size() == 2; }, waitMs));
    }
    bool recording() { return app->session().recordingState().recording; }
    void clickRecord() { QTest::mouseClick(find<QPushButton>("recordButton"), Qt::LeftButton); }
};

}  // namespace

TEST_F(Window, IdleWindowTextsAndRules) {
    EXPECT_TRUE(QTest::qWaitFor([&] { return app->ipc().isRunning(); }, waitMs));
    EXPECT_EQ(window->minimumSize(), QSize(960, 620));
    EXPECT_EQ(find<QWidget>("sidePanel")->width(), 320);

    struct Text {
        const char* name;
        QString text;
    };
    for (const Text& t :
         {Text{"titleLabel", "Talvex"},
          Text{"previewPlaceholder", "No cameras open\nSelect cameras and click Apply"},
          Text{"recordHint", "Open cameras and click Apply to enable recording"},
          Text{"elapsedLabel", QString::fromStdString(app->session().elapsedString())}})
        EXPECT_EQ(find<QLabel>(t.name)->text(), t.text) << t.name;
    for (const Text& t : {Text{"recordButton", "Start Recording"}, Text{"applyButton", "Apply"},
                          Text{"scanButton", "Scan"}, Text{"renameButton", "Rename…"},
                          Text{"browseButton", "Browse…"}, Text{"phyphoxConnectButton", "▶"}})
        EXPECT_EQ(find<QPushButton>(t.name)->text(), t.text) << t.name;
    EXPECT_EQ(find<QLineEdit>("sessionNameField")->placeholderText(), "Name override (optional)");
    EXPECT_EQ(find<QLineEdit>("phyphoxAddressField")->placeholderText(), "192.168.x.x");
    EXPECT_EQ(find<QLabel>("outputPathLabel")->text(), QString::fromStdString(root.path()));
    EXPECT_EQ(detail("lumetraStatus"), "Ready");

    auto* picker = find<QComboBox>("cam1Picker");
    ASSERT_GE(picker->count(), 3);
    EXPECT_EQ(picker->itemText(0), "— none —");
    EXPECT_EQ(picker->itemText(1).toStdString(), app->cameras().availableDevices()[0].name);

    struct Rule {
        const char* name;
        bool visible, enabled;
    };
    for (const Rule& r : {Rule{"recordButton", true, false}, Rule{"recordHint", true, true},
                          Rule{"previewPlaceholder", true, true}, Rule{"applyButton", true, false},
                          Rule{"swapButton", false, true}, Rule{"lumetraRow", false, true},
                          Rule{"sessionIdLabel", false, true}}) {
        QWidget* widget = find<QWidget>(r.name);
        EXPECT_EQ(widget->isVisible(), r.visible) << r.name;
        EXPECT_EQ(widget->isEnabled(), r.enabled) << r.name;
    }
    pick(1, 1);
    EXPECT_FALSE(find<QPushButton>("applyButton")->isEnabled()) << "Cam 2 alone cannot be applied";
    pick(0, 2);
    EXPECT_TRUE(find<QPushButton>("applyButton")->isEnabled());
}

TEST_F(Window, GyroscopeStatusFollowsThePhone) {
    quint16 phonePort = freeLoopbackPort();
    QProcess phone;
    phone.start("python3", {QString::fromStdString(test::sourcePath("tools/phone_simulator.py")),
                            "--port", QString::number(phonePort)});
    ASSERT_TRUE(phone.waitForStarted());
    auto* field = find<QLineEdit>("phyphoxAddressField");
    auto* play = find<QPushButton>("phyphoxConnectButton");
    auto* hint = find<QLabel>("phyphoxHint");
    auto* dot = find<StatusRow>("gyroStatus")->dot();
    auto type = [&](const QString& text) {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    };

    EXPECT_EQ(detail("gyroStatus"), "No IP set");
    EXPECT_FALSE(play->isEnabled());

    type("127.0.0.1:" + QString::number(freeLoopbackPort()));  // nobody answers there
    EXPECT_EQ(app->gyro().phyphoxIP(), field->text().toStdString()) << "stored as typed";
    EXPECT_TRUE(play->isEnabled());
    QTest::mouseClick(play, Qt::LeftButton);
    QTest::qWait(300);
    EXPECT_EQ(detail("gyroStatus"), "Not measuring");
    EXPECT_FALSE(dot->glow().isValid()) << "no glow when the phone does not answer";
    EXPECT_FALSE(hint->isVisible());

    type("127.0.0.1:" + QString::number(phonePort));
    QTest::mouseClick(play, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return detail("gyroStatus") == "Measuring"; }, waitMs));
    EXPECT_EQ(dot->fill().rgb(), QColor(52, 199, 89).rgb());

    runCommand("python3 -c \"import urllib.request; urllib.request.urlopen('http://127.0.0.1:" +
               std::to_string(phonePort) + "/control?measuring=0').read()\"");
    ASSERT_TRUE(QTest::qWaitFor([&] { return detail("gyroStatus") == "Not measuring"; }, waitMs));
    EXPECT_TRUE(hint->isVisible());
    EXPECT_EQ(hint->text(), "Press ▶ in Phyphox to start the experiment");
    EXPECT_EQ(dot->fill().rgb(), QColor(255, 149, 0).rgb()) << "orange: answers, not measuring";

    type("");
    EXPECT_EQ(detail("gyroStatus"), "No IP set");
    EXPECT_FALSE(play->isEnabled());
    phone.kill();
    phone.waitForFinished();
}

TEST_F(Window, RecordSwapAndHandOffWithTwoCameras) {
    openTwoCameras();
    auto* swap = find<QPushButton>("swapButton");
    auto* record = find<QPushButton>("recordButton");
    EXPECT_TRUE(swap->isVisible());
    EXPECT_EQ(swap->text(), "Swap: L→R");
    EXPECT_TRUE(record->isEnabled());
    EXPECT_FALSE(find<QLabel>("recordHint")->isVisible());
    EXPECT_FALSE(find<QLabel>("previewPlaceholder")->isVisible());

    const auto& recorders = app->cameras().openedRecorders();
    auto* left = find<PreviewView>("preview0");
    auto* right = find<PreviewView>("preview1");
    EXPECT_EQ(left->badge(), "L");
    EXPECT_EQ(right->badge(), "R");
    EXPECT_EQ(left->source(), &recorders[0]->frameSlot());
    QTest::mouseClick(swap, Qt::LeftButton);
    EXPECT_EQ(swap->text(), "Swap: R→L");
    left = find<PreviewView>("preview0");
    EXPECT_EQ(left->source(), &recorders[1]->frameSlot()) << "second-opened camera on the left";
    EXPECT_EQ(left->badge(), "L");
    QTest::mouseClick(swap, Qt::LeftButton);

    QTest::keyClicks(find<QLineEdit>("sessionNameField"), "run_7");
    clickRecord();
    ASSERT_TRUE(QTest::qWaitFor([&] { return recording(); }, waitMs));
    EXPECT_EQ(record->text(), "Stop Recording");
    EXPECT_FALSE(swap->isEnabled());
    EXPECT_TRUE(find<QLabel>("sessionIdLabel")->isVisible());
    EXPECT_TRUE(find<QLabel>("sessionIdLabel")->text().startsWith("run_7_"));
    EXPECT_TRUE(find<PreviewView>("preview0")->isRecording());
    EXPECT_FALSE(find<QWidget>("lumetraRow")->isVisible());
    EXPECT_EQ(app->session().metadata()->initiatedBy, "user");

    // Both previews showing frames, mid-recording: the picture for the lead.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return recorders[0]->latestFrame() && recorders[1]->latestFrame() &&
                   app->session().elapsedSeconds() >= 1;
        },
        waitMs));
    QTest::qWait(100);
    EXPECT_TRUE(window->grab().save(TALVEX_BINARY_DIR "/talvex_window.png"));

    clickRecord();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app->session().isBusy(); }, waitMs));
    auto* row = find<QWidget>("lumetraRow");
    ASSERT_TRUE(QTest::qWaitFor([&] { return row->isVisible(); }, waitMs))
        << "after a finished session";
    auto* open = find<QPushButton>("openInLumetraButton");
    auto* gear = find<QToolButton>("lumetraGearButton");
    EXPECT_EQ(open->text(), "Open in Lumetra");
    EXPECT_FALSE(open->isEnabled());
    EXPECT_EQ(gear->toolTip(), "Locate Lumetra…");

    // Cancelling the chooser tells the user; choosing stores the path.
    QTest::mouseClick(gear, Qt::LeftButton);
    auto* chooser = window->findChild<QFileDialog*>("locateLumetraDialog");
    ASSERT_NE(chooser, nullptr);
    EXPECT_EQ(chooser->windowTitle(), "Locate Lumetra");
    EXPECT_EQ(chooser->labelText(QFileDialog::Accept), "Select");
    EXPECT_EQ(chooser->findChild<QLabel*>("locateMessage")->text(),
              "Select the Lumetra application");
    chooser->reject();
    auto* alert = find<QMessageBox>("lumetraAlert");
    ASSERT_TRUE(QTest::qWaitFor([&] { return alert->isVisible(); }, waitMs));
    EXPECT_EQ(alert->windowTitle(), "Lumetra");
    EXPECT_EQ(alert->text(), "Lumetra was not selected.");
    alert->button(QMessageBox::Ok)->click();

    std::string stub = root.file("Lumetra");
    std::string launched = root.file("launched");
    writeFile(stub, "#!/bin/sh\ntouch '" + launched + "'\n");
    std::filesystem::permissions(stub, std::filesystem::perms::owner_all);
    QTest::mouseClick(gear, Qt::LeftButton);
    chooser = window->findChild<QFileDialog*>("locateLumetraDialog");
    ASSERT_NE(chooser, nullptr);
    chooser->selectFile(QString::fromStdString(stub));
    static_cast<QDialog*>(chooser)->accept();
    ASSERT_TRUE(QTest::qWaitFor([&] { return open->isEnabled(); }, waitMs));
    EXPECT_EQ(gear->toolTip().toStdString(), "Lumetra: " + stub);
    EXPECT_TRUE(window->grab().save(TALVEX_BINARY_DIR "/talvex_window_idle.png"));
    QTest::mouseClick(open, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return fileExists(launched); }, waitMs));
    std::string folder = *app->session().lastSessionDir();
    EXPECT_TRUE(fileExists(joinPath(folder, "recording.talvex")));
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

TEST_F(Window, RenameSheetSavesOneNameAtATime) {
    auto rename = [&] {
        QTest::mouseClick(find<QPushButton>("renameButton"), Qt::LeftButton);
        auto* sheet = window->findChild<RenameSheet*>("renameSheet");
        EXPECT_NE(sheet, nullptr);
        return sheet;
    };
    std::string id = app->cameras().availableDevices()[0].id;
    std::string original = app->cameras().availableDevices()[0].name;
    RenameSheet* sheet = rename();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->windowTitle(), "Rename Cameras");
    EXPECT_EQ(sheet->size(), QSize(600, 300));
    auto* field = sheet->findChild<QLineEdit*>("renameField0");
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->text().toStdString(), original);
    EXPECT_EQ(field->placeholderText(), "Name");
    EXPECT_TRUE(sheet->grab().save(TALVEX_BINARY_DIR "/talvex_rename_sheet.png"));

    field->selectAll();
    QTest::keyClicks(field, "Left rig");
    sheet->findChild<QPushButton*>("renameDoneButton")->click();
    QTest::qWait(50);
    EXPECT_EQ(app->cameras().registry().store().at(id), original) << "Done saves nothing";

    sheet = rename();
    field = sheet->findChild<QLineEdit*>("renameField0");
    field->clear();
    QTest::keyClicks(field, "x");
    QTest::keyClick(field, Qt::Key_Backspace);
    sheet->findChild<QPushButton*>("renameSave0")->click();
    EXPECT_EQ(app->cameras().registry().store().at(id), original) << "an empty name is kept out";

    QTest::keyClicks(field, "Left rig");
    sheet->findChild<QPushButton*>("renameSave0")->click();
    EXPECT_EQ(app->cameras().registry().store().at(id), "Left rig");
    EXPECT_TRUE(test::readText(app->cameras().registry().filePath()).find("Left rig") !=
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
    pick(0, 1);
    QTest::mouseClick(find<QPushButton>("applyButton"), Qt::LeftButton);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return app->cameras().openedRecorders().size() == 1; }, waitMs));
    clickRecord();
    ASSERT_TRUE(QTest::qWaitFor([&] { return recording(); }, waitMs));
    std::string folder = joinPath(root.path(), app->session().recordingState().sessionId);
    QTest::qWait(1000);

    window->close();
    EXPECT_TRUE(window->isVisible()) << "waits for the files";
    EXPECT_TRUE(window->isFinishing());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, waitMs));
    EXPECT_FALSE(app->session().isBusy());
    EXPECT_TRUE(fileExists(joinPath(folder, "session.json")));
    int exitCode = -1;
    std::string duration =
        runCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                       joinPath(folder, "camera1.mp4") + "'",
                   &exitCode);
    EXPECT_EQ(exitCode, 0);
    EXPECT_GT(std::atof(duration.c_str()), 0.3) << duration;
}
