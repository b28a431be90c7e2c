#include "ui/MainWindow.h"

#include <QApplication>

namespace talvex {

MainWindow::MainWindow(QWidget* parent) : QWidget(parent) {
    setObjectName("mainWindow");
    setWindowTitle("Talvex");
    setMinimumSize(960, 620);
}

int runWindowStation(const StationOptions&) {
    MainWindow window;
    window.show();
    return QApplication::exec();
}

}  // namespace talvex
