#pragma once

#include <QObject>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/MainThread.h"
#include "core/GyroSample.h"

class QTimer;

namespace talvex {

// The client of the Phyphox phone app's remote interface: fetches "/config"
// once, then asks for the gyroscope samples that are new since the last
// answer, at most every 0.05 s, and hands each new sample, on the host's
// steady clock, to onSample.
//
// One request is out at a time. Answers are read and processed on the
// "talvex.gyro" queue, requests run on their own network thread, and the
// published fields change on the main thread only.
class GyroReceiver : public QObject {
    Q_OBJECT
public:
    static constexpr double kPollInterval = 0.05;
    // A larger answer is aborted and counts as a failed poll.
    static constexpr std::size_t kMaxAnswerBytes = std::size_t(256) << 20;

    // addressOverride: the phone address of this run; used instead of the
    // stored "phyphoxIP" and not stored.
    explicit GyroReceiver(std::optional<std::string> addressOverride = std::nullopt,
                          QObject* parent = nullptr);
    ~GyroReceiver() override;

    bool isConnected() const { return isConnected_; }
    bool isMeasuring() const { return isMeasuring_; }
    bool lastPollSucceeded() const { return lastPollSucceeded_; }
    // The newest delivered sample's angular rates about x, y and z in rad/s
    // (rates, not angles, whatever the names suggest).
    double roll() const { return roll_; }
    double pitch() const { return pitch_; }
    double yaw() const { return yaw_; }

    const std::string& phyphoxIP() const { return phyphoxIP_; }
    // Stores the address as "phyphoxIP"; the next poll already uses it.
    void setPhyphoxIP(const std::string& address);

    // Called off the main thread, once per new sample taken since the last
    // beginSession; timestamp is on the steadyNow() clock.
    std::function<void(double timestamp, double x, double y, double z)> onSample;

    // Stops polling, fetches the configuration, then polls (nothing when the address is empty).
    void connectToPhone();
    void connectIfConfigured();
    // Samples taken before instant (a steadyNow() value) no longer go to onSample.
    void beginSession(double instant);

    struct Ingest;

signals:
    void stateChanged();
    // Emitted on the main thread once per answer that delivered samples, with
    // those samples in order, so views can follow the phone without one post
    // per sample.
    void samplesArrived(const talvex::GyroSampleBatch& batch);

private:
    std::optional<std::string> baseUrl() const;
    void fetchConfig();
    void startPolling();
    void poll();
    void pollWhenDue();
    void handlePollError(const std::string& description);
    void publishAnswer(bool measuring);
    void publishRates(double x, double y, double z);

    bool isConnected_ = false;
    bool isMeasuring_ = false;
    bool lastPollSucceeded_ = false;
    double roll_ = 0.0;
    double pitch_ = 0.0;
    double yaw_ = 0.0;
    std::string phyphoxIP_;
    QTimer* pollTimer_ = nullptr;
    Mailbox<GyroReceiver> mailbox_{this};  // before ingest_, which posts through it
    std::unique_ptr<Ingest> ingest_;
};

}  // namespace talvex
