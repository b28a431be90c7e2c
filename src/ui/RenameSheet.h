#pragma once

#include <QDialog>
#include <map>
#include <string>

class QVBoxLayout;
class QWidget;

namespace talvex {

class CameraManager;
struct CameraDevice;

// Lets the user give each discovered camera a lasting display name. Each
// row's "Save" stores one name and rescans; "Done" saves nothing.
class RenameSheet : public QDialog {
    Q_OBJECT
public:
    explicit RenameSheet(CameraManager& cameras, QWidget* parent = nullptr);

private:
    void rebuildRows();
    QWidget* makeRow(int index, const CameraDevice& device);
    void save(const CameraDevice& device);

    CameraManager& cameras_;
    std::map<std::string, std::string> names_;  // device id -> name being edited
    QWidget* rows_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
};

}  // namespace talvex
