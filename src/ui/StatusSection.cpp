#include "ui/StatusSection.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/GyroReceiver.h"
#include "app/IPCServer.h"
#include "app/SessionManager.h"
#include "ui/GyroMonitor.h"
#include "ui/StatusRow.h"
#include "ui/UiStyle.h"

namespace talvex {

StatusSection::StatusSection(IPCServer& ipc, GyroReceiver& gyro, SessionManager& session,
                             QWidget* parent)
    : QWidget(parent),
      ipc_(ipc),
      gyro_(gyro),
      lumetra_(new StatusRow("Lumetra Apps", this)),
      gyroRow_(new StatusRow("Gyroscope", this)),
      monitor_(new GyroMonitor(this)),
      hint_(new QLabel("Press ▶ in Phyphox to start the experiment", this)),
      address_(new QLineEdit(this)),
      connect_(new QPushButton("▶", this)) {
    lumetra_->setObjectName("lumetraStatus");
    gyroRow_->setObjectName("gyroStatus");
    monitor_->setObjectName("gyroMonitor");
    hint_->setObjectName("phyphoxHint");
    hint_->setFont(ui::monoFont(11));
    hint_->setWordWrap(true);
    ui::setTextColor(hint_, ui::warningOrange());
    address_->setObjectName("phyphoxAddressField");
    address_->setPlaceholderText("192.168.x.x");
    address_->setFont(ui::monoFont(12));
    connect_->setObjectName("phyphoxConnectButton");
    connect_->setFixedWidth(32);

    auto* addressRow = new QHBoxLayout;
    addressRow->setSpacing(8);
    auto* addressLabel = new QLabel("Phyphox IP:", this);
    addressLabel->setFont(ui::monoFont(12));
    ui::setTextColor(addressLabel, ui::secondaryColor());
    addressRow->addWidget(addressLabel);
    addressRow->addWidget(address_, 1);
    addressRow->addWidget(connect_);

    auto* column = ui::sectionColumn(
        this, "Status", ui::symbolIcon("dialog-information", QStyle::SP_MessageBoxInformation), 6);
    column->addWidget(lumetra_);
    column->addWidget(gyroRow_);
    column->addWidget(monitor_);
    column->addWidget(hint_);
    column->addLayout(addressRow);

    address_->setText(QString::fromStdString(gyro_.phyphoxIP()));
    connect(address_, &QLineEdit::textEdited, this, &StatusSection::addressEdited);
    connect(connect_, &QPushButton::clicked, this, [this] { gyro_.connectToPhone(); });
    connect(&ipc_, &IPCServer::isRunningChanged, this, &StatusSection::refreshListener);
    connect(&gyro_, &GyroReceiver::stateChanged, this, &StatusSection::refreshGyro);
    // Samples of an answer that arrive after the phone stopped measuring would
    // bring back a chart the status row no longer vouches for.
    connect(&gyro_, &GyroReceiver::samplesArrived, monitor_, [this](const GyroSampleBatch& batch) {
        if (gyro_.isConnected()) monitor_->addSamples(batch);
    });
    connect(&session, &SessionManager::recordingStateChanged, monitor_,
            [this, &session] { monitor_->setRecording(session.recordingState().recording); });
    refreshListener();
    refreshGyro();
}

void StatusSection::refreshListener() {
    bool running = ipc_.isRunning();
    lumetra_->setState(running, running ? "Ready" : "Offline");
}

void StatusSection::refreshGyro() {
    bool connected = gyro_.isConnected();
    bool answered = gyro_.lastPollSucceeded();
    bool hasAddress = !gyro_.phyphoxIP().empty();
    QString detail = connected ? "Measuring" : hasAddress ? "Not measuring" : "No IP set";
    gyroRow_->setState(connected, detail, answered && !connected);
    // The chart shows only while the phone measures, so the hint takes its place.
    monitor_->setVisible(connected);
    if (!connected) monitor_->clear();
    hint_->setVisible(!connected && answered && hasAddress);
    connect_->setEnabled(hasAddress);
    QString stored = QString::fromStdString(gyro_.phyphoxIP());
    if (address_->text() != stored && !address_->hasFocus()) address_->setText(stored);
}

void StatusSection::addressEdited(const QString& text) {
    gyro_.setPhyphoxIP(text.toStdString());
    refreshGyro();
}

}  // namespace talvex
