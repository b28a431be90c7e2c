#pragma once

#include <QWidget>
#include <vector>

class QLabel;

namespace talvex {

class CameraManager;
class PreviewView;
class SessionManager;

// The black area left of the side panel: a placeholder without cameras, one
// preview filling it, or two side by side in display order (swapped on request)
// with "L"/"R" badges.
class PreviewArea : public QWidget {
    Q_OBJECT
public:
    PreviewArea(CameraManager& cameras, SessionManager& session, QWidget* parent = nullptr);

    const std::vector<PreviewView*>& views() const { return views_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void rebuild();
    void refreshRecording();
    void placeViews();

    CameraManager& cameras_;
    SessionManager& session_;
    QLabel* placeholder_ = nullptr;
    std::vector<PreviewView*> views_;
};

}  // namespace talvex
