#include "ui/RecordSection.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/CameraManager.h"
#include "app/SessionManager.h"
#include "ui/LumetraRow.h"
#include "ui/TakeReportView.h"
#include "ui/UiStyle.h"

namespace talvex {

namespace {

QIcon recordIcon(bool recording) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 3));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QRectF(2.5, 2.5, 27, 27));
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    if (recording)
        painter.drawRect(QRectF(11, 11, 10, 10));
    else
        painter.drawEllipse(QRectF(9, 9, 14, 14));
    return QIcon(pixmap);
}

QString buttonStyle(const QColor& tint) {
    return QString(
               "QPushButton { background: %1; color: white; border: none; border-radius: 6px;"
               " padding: 8px; font-weight: 600; }"
               "QPushButton:pressed { background: %2; }"
               "QPushButton:disabled { background: %3; color: rgba(255,255,255,0.7); }")
        .arg(tint.name(), tint.darker(120).name(), tint.lighter(150).name());
}

}  // namespace

RecordSection::RecordSection(SessionManager& session, CameraManager& cameras,
                             NameSource sessionName, QWidget* parent)
    : QWidget(parent),
      session_(session),
      cameras_(cameras),
      sessionName_(std::move(sessionName)),
      elapsed_(new QLabel(this)),
      button_(new QPushButton(this)),
      hint_(new QLabel("Open cameras and click Apply to enable recording", this)),
      notice_(new QLabel(this)),
      takeReport_(new TakeReportView(this)),
      lumetra_(new LumetraRow(session, this)) {
    elapsed_->setObjectName("elapsedLabel");
    elapsed_->setFont(ui::monoFont(32, QFont::Bold));
    elapsed_->setAlignment(Qt::AlignCenter);
    button_->setObjectName("recordButton");
    button_->setMinimumHeight(40);
    button_->setIconSize(QSize(16, 16));
    hint_->setObjectName("recordHint");
    hint_->setFont(ui::monoFont(11));
    hint_->setAlignment(Qt::AlignCenter);
    hint_->setWordWrap(true);
    ui::setTextColor(hint_, ui::warningOrange());
    notice_->setObjectName("startNotice");
    notice_->setFont(ui::monoFont(11));
    notice_->setAlignment(Qt::AlignCenter);
    notice_->setWordWrap(true);
    ui::setTextColor(notice_, ui::warningOrange());
    takeReport_->setObjectName("takeReport");
    lumetra_->setObjectName("lumetraRow");

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 8);
    column->setSpacing(8);
    column->addWidget(elapsed_);
    column->addWidget(button_);
    column->addWidget(hint_);
    column->addWidget(notice_);
    column->addWidget(takeReport_);
    column->addWidget(lumetra_);

    connect(button_, &QPushButton::clicked, this, &RecordSection::record);
    connect(lumetra_, &LumetraRow::lumetraError, this, &RecordSection::lumetraError);
    connect(&session_, &SessionManager::recordingStateChanged, this, &RecordSection::refresh);
    connect(&session_, &SessionManager::elapsedSecondsChanged, this, &RecordSection::refresh);
    connect(&cameras_, &CameraManager::openedRecordersChanged, this, &RecordSection::refresh);
    connect(&session_, &SessionManager::startProblemChanged, this, &RecordSection::refresh);
    connect(&session_, &SessionManager::lastTakeChanged, this, &RecordSection::refresh);
    // Cameras opened since answer a start that found none.
    connect(&cameras_, &CameraManager::openedRecordersChanged, this, [this] {
        if (!cameras_.openedRecorders().empty()) session_.clearStartProblem();
    });
    refresh();
}

void RecordSection::record() {
    if (session_.recordingState().recording) {
        session_.stopSession();
        return;
    }
    std::optional<std::string> name = sessionName_ ? sessionName_() : std::nullopt;
    session_.startSession(name, "user");
}

void RecordSection::refresh() {
    bool recording = session_.recordingState().recording;
    bool noCameras = cameras_.openedRecorders().empty();
    elapsed_->setText(QString::fromStdString(session_.elapsedString()));
    ui::setTextColor(elapsed_, recording ? ui::recordRed() : ui::secondaryColor());
    button_->setText(recording ? "Stop Recording" : "Start Recording");
    button_->setIcon(recordIcon(recording));
    button_->setStyleSheet(buttonStyle(recording ? QColor(142, 142, 147) : ui::recordRed()));
    button_->setEnabled(recording || !noCameras);
    hint_->setVisible(!recording && noCameras);
    const auto& problem = session_.startProblem();
    notice_->setText(QString::fromStdString(problem.value_or("")));
    notice_->setVisible(!recording && problem.has_value());
    const auto& take = session_.lastTake();
    takeReport_->setLines(take ? describeTake(*take) : std::vector<TakeLine>{});
    takeReport_->setVisible(!recording && take.has_value());
    lumetra_->refresh();
}

}  // namespace talvex
