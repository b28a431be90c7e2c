#include "app/StationOptions.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <cstdio>
#include <cstring>

namespace talvex {

namespace {

struct Definitions {
    QCommandLineOption headless{
        "headless", "Run without a window: the station is driven from the command port alone."};
    QCommandLineOption outputRoot{
        "output-root", "Folder for session folders, for this run only (not stored).", "DIR"};
    QCommandLineOption ipcPort{"ipc-port", "TCP port of the command port (default 8765).", "N",
                               "8765"};
    QCommandLineOption ipcBind{
        "ipc-bind", "Address the command port listens on (default: every interface).", "ADDRESS"};
    QCommandLineOption phyphox{"phyphox", "Phone address (host[:port]) of Phyphox for this run.",
                               "ADDRESS"};
    QCommandLineOption virtualCameras{"virtual-cameras", "Add N synthetic test-pattern cameras.",
                                      "N", "0"};
    QCommandLineOption cameraTiming{
        "camera-timing",
        "Synthetic cameras: \"steady\" (exactly the asked rate, frames on time; the default) or "
        "\"free-running\" (each on its own clock, a little off the rate, frames a few ms late, as "
        "real cameras).",
        "TIMING", "steady"};
    QCommandLineOption cameras{"cameras", "Headless: device ids to open into slots 0 and 1.",
                               "ID[,ID]"};
};

}  // namespace

ParsedOptions parseStationOptions(const QStringList& arguments) {
    Definitions d;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Talvex recording station: cameras and a phone's gyroscope into session folders.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({d.headless, d.outputRoot, d.ipcPort, d.ipcBind, d.phyphox, d.virtualCameras,
                       d.cameraTiming, d.cameras});

    ParsedOptions result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText().toStdString();
        return result;
    }
    if (parser.isSet("help")) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        result.exitNow = true;
        return result;
    }
    if (parser.isSet("version")) {
        std::printf("talvex %s\n", TALVEX_VERSION);
        result.exitNow = true;
        return result;
    }
    StationOptions& o = result.options;
    o.headless = parser.isSet(d.headless);
    o.outputRoot = parser.value(d.outputRoot).toStdString();
    bool ok = false;
    uint port = parser.value(d.ipcPort).toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        result.error = "--ipc-port needs a port number from 1 to 65535";
    o.ipcPort = static_cast<quint16>(port);
    o.ipcBind = parser.value(d.ipcBind).toStdString();
    if (!o.ipcBind.empty() && QHostAddress(QString::fromStdString(o.ipcBind)).isNull())
        result.error = "--ipc-bind needs an IP address";
    if (parser.isSet(d.phyphox)) o.phyphox = parser.value(d.phyphox).toStdString();
    o.virtualCameras = parser.value(d.virtualCameras).toInt(&ok);
    if (!ok || o.virtualCameras < 0 || o.virtualCameras > 16)
        result.error = "--virtual-cameras needs a number from 0 to 16";
    const QString timing = parser.value(d.cameraTiming);
    if (timing != "steady" && timing != "free-running")
        result.error = "--camera-timing needs \"steady\" or \"free-running\"";
    o.freeRunningCameras = timing == "free-running";
    for (const QString& id : parser.value(d.cameras).split(',', Qt::SkipEmptyParts))
        o.cameras.push_back(id.toStdString());
    return result;
}

bool wantsNoWindow(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        for (const char* flag : {"--headless", "--help", "-h", "--version", "-v", "--help-all"})
            if (std::strcmp(a, flag) == 0) return true;
    }
    return false;
}

}  // namespace talvex
