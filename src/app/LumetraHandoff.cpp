#include "app/LumetraHandoff.h"

#include <QFileInfo>
#include <QProcess>
#include <filesystem>
#include <system_error>

#include "app/MainThread.h"
#include "app/Paths.h"
#include "core/FileUtil.h"
#include "core/FileWriteQueue.h"
#include "core/Log.h"
#include "core/LumetraHandoffFiles.h"

namespace talvex {

namespace {

// gio returns once the entry's program has been spawned; this only guards
// against a launcher that never returns.
constexpr int kDesktopLaunchTimeoutMs = 30000;

std::optional<std::string> launchDesktopEntry(const QString& entry) {
    QProcess gio;
    gio.start("gio", {"launch", entry});
    if (!gio.waitForStarted()) return gio.errorString().toStdString();
    if (!gio.waitForFinished(kDesktopLaunchTimeoutMs)) {
        gio.kill();
        gio.waitForFinished();
        return "the launcher did not finish";
    }
    if (gio.exitStatus() == QProcess::NormalExit && gio.exitCode() == 0) return std::nullopt;
    QString reason = QString::fromUtf8(gio.readAllStandardError()).trimmed();
    if (reason.startsWith("gio: ")) reason.remove(0, 5);
    if (reason.isEmpty()) reason = QString("gio launch exited with status %1").arg(gio.exitCode());
    return reason.toStdString();
}

std::optional<std::string> launchExecutable(const QString& program) {
    QProcess process;
    process.setProgram(program);
    process.setWorkingDirectory(QFileInfo(program).absolutePath());
    if (process.startDetached()) return std::nullopt;
    QString reason = process.errorString();
    if (reason.isEmpty()) reason = "cannot start " + program;
    return reason.toStdString();
}

// An application is either a .desktop entry or a program (script or binary).
std::optional<std::string> launch(const std::string& appPath) {
    QString path = QString::fromStdString(appPath);
    if (path.endsWith(".desktop")) return launchDesktopEntry(path);
    return launchExecutable(path);
}

// Removes an earlier record so that a failed write cannot leave it in place
// for Lumetra to open as if it belonged to this session.
void removeEarlierRecord(const std::string& path) {
    std::error_code error;
    std::filesystem::remove(path, error);
    if (error) logLine("Talvex: failed to remove earlier pending session: " + error.message());
}

}  // namespace

std::string lumetraAppPath() {
    return paths::settings()->value(settingsKeys::kLumetraAppPath).toString().toStdString();
}

void setLumetraAppPath(const std::string& path) {
    paths::settings()->setValue(settingsKeys::kLumetraAppPath, QString::fromStdString(path));
}

bool isLumetraConfigured() {
    std::string path = lumetraAppPath();
    return !path.empty() && fileExists(path);
}

void writeSidecar(const std::string& videoFile, const std::optional<std::string>& gyroFile) {
    std::optional<std::string> body = sidecarBody(videoFile, gyroFile);
    if (!body) return;
    std::string target = sidecarPath(videoFile);
    if (auto error = writeFile(target, *body))
        logLine("Talvex: could not write sidecar: " + *error);
    else
        logLine("Talvex: wrote sidecar: " + target);
}

void writePendingSession(const std::string& videoFile, const std::optional<std::string>& gyroFile,
                         const std::string& folder) {
    std::string target = joinPath(folder, kPendingSessionFileName);
    if (!folder.empty()) removeEarlierRecord(target);
    std::optional<std::string> body =
        pendingSessionBody(videoFile, gyroFile, deriveSubjectId(videoFile));
    if (!body) return;
    if (folder.empty()) {
        logLine("Talvex: failed to write pending session: no application data folder");
        return;
    }
    makeDirectories(folder);
    // Atomic, so an interrupted write leaves no half record either.
    if (auto error = writeFileAtomically(target, *body))
        logLine("Talvex: failed to write pending session: " + *error);
    else
        logLine("Talvex: wrote pending session to: " + target);
}

void openInLumetra(const std::string& videoFile, const std::optional<std::string>& gyroFile,
                   HandoffDone done) {
    if (!isLumetraConfigured()) {
        done(std::string("Lumetra path not configured. Use 'Locate Lumetra…' first."));
        return;
    }
    // Lumetra reads the files as it starts: launch once they are written.
    installMainQueue();
    static FileWriteQueue handoffFiles("talvex.handoff");
    handoffFiles.async([videoFile, gyroFile, folder = paths::appDataDir(), done] {
        writeSidecar(videoFile, gyroFile);
        writePendingSession(videoFile, gyroFile, folder);
        postToMain([done] {
            std::optional<std::string> error = launch(lumetraAppPath());
            done(error ? std::optional<std::string>("Failed to launch Lumetra: " + *error)
                       : std::nullopt);
        });
    });
}

}  // namespace talvex
