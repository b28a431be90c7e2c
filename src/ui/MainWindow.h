#pragma once

#include <QWidget>

#include "app/StationOptions.h"

namespace talvex {

class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
};

// Builds the one window and runs the event loop.
int runWindowStation(const StationOptions& options);

}  // namespace talvex
