#include "app/GyroReceiver.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

#include "app/MainThread.h"
#include "app/Paths.h"
#include "core/Clock.h"
#include "core/GyroTiming.h"
#include "core/Log.h"
#include "core/PhyphoxAnswer.h"
#include "core/SerialQueue.h"

namespace talvex {

namespace {

constexpr int kConfigTimeoutMs = 2000;
// A live phone sends something within this; a slow but moving answer is never cut.
constexpr int kPollIdleTimeoutMs = 1000;
// Only against a phone that trickles forever.
constexpr int kPollTotalCapMs = 60000;
constexpr std::size_t kParserPadding = 64;  // spare bytes that let the reader parse in place
const char* const kTimedOut = "The request timed out.";
const char* const kTooLarge = "The answer is larger than 256 MiB.";

struct Transfer {
    bool failed = false;
    std::string error;
    std::string body;
    double sent = 0.0;      // steady instant at which the request went out
    double received = 0.0;  // steady instant at which its answer began to arrive
};

// Runs the HTTP requests on its own thread, where the access manager delivers
// their replies. Each request fails after a while without a byte, after a
// total cap, or when its answer grows too large.
class Network : public QObject {
public:
    using Done = std::function<void(Transfer)>;

    Network() { manager_.setProxy(QNetworkProxy::NoProxy); }
    ~Network() override { closing_ = true; }

    void get(const QUrl& url, int idleTimeoutMs, int totalMs, Done done) {
        QNetworkRequest request(url);
        request.setTransferTimeout(idleTimeoutMs);
        auto state = std::make_shared<State>();
        state->done = std::move(done);
        state->transfer.sent = steadyNow();
        QNetworkReply* reply = manager_.get(request);
        auto* deadline = new QTimer(reply);
        deadline->setSingleShot(true);
        QObject::connect(deadline, &QTimer::timeout, reply,
                         [reply, state] { abort(reply, *state, kTimedOut); });
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply,
                         [reply, state] { checkSize(reply, *state); });
        QObject::connect(reply, &QNetworkReply::readyRead, reply,
                         [reply, state] { readSome(reply, *state); });
        QObject::connect(reply, &QNetworkReply::finished, reply,
                         [this, reply, state] { finish(reply, *state); });
        deadline->start(totalMs);
    }

private:
    struct State {
        Done done;
        Transfer transfer;
        std::string abortReason;
        bool sized = false;
    };

    static void abort(QNetworkReply* reply, State& state, const char* reason) {
        if (state.abortReason.empty()) state.abortReason = reason;
        reply->abort();
    }

    // An answer announced as too large is refused as soon as its headers arrive.
    static void checkSize(QNetworkReply* reply, State& state) {
        if (state.sized) return;
        state.sized = true;
        state.transfer.received = steadyNow();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        const qulonglong announced = length.isValid() ? length.toULongLong() : 0;
        if (announced > GyroReceiver::kMaxAnswerBytes) return abort(reply, state, kTooLarge);
        if (announced > 0) state.transfer.body.reserve(announced + kParserPadding);
    }

    static void readSome(QNetworkReply* reply, State& state) {
        checkSize(reply, state);
        if (!state.abortReason.empty()) return;
        const qint64 available = reply->bytesAvailable();
        if (state.transfer.body.size() + std::size_t(available) > GyroReceiver::kMaxAnswerBytes)
            return abort(reply, state, kTooLarge);
        const QByteArray bytes = reply->read(available);
        state.transfer.body.append(bytes.constData(), std::size_t(bytes.size()));
    }

    // Transport failures and aborts fail the request; an HTTP error status
    // with a body is an answer like any other.
    void finish(QNetworkReply* reply, State& state) {
        reply->deleteLater();
        if (state.abortReason.empty() && reply->isOpen()) readSome(reply, state);
        const QNetworkReply::NetworkError error = reply->error();
        const bool httpAnswer =
            reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() && error >= 200;
        const bool idle =
            error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError;
        Transfer& t = state.transfer;
        if (!state.abortReason.empty()) {
            t = {true, state.abortReason, {}, t.sent, t.received};
        } else if (idle) {
            t = {true, kTimedOut, {}, t.sent, t.received};
        } else if (error != QNetworkReply::NoError && !httpAnswer) {
            t = {true, reply->errorString().toStdString(), {}, t.sent, t.received};
        }
        if (t.received == 0.0) t.received = steadyNow();
        if (closing_ || !state.done) return;
        Done done = std::move(state.done);
        done(std::move(t));
    }

    bool closing_ = false;
    QNetworkAccessManager manager_{this};
};

}  // namespace

// Everything that lives off the main thread. Declared so that the queue goes
// first when it is destroyed, letting its tasks finish with the rest intact.
// One request is in flight at a time: the phone's server is not built for
// parallel requests, and each request's threshold comes from the answer before.
struct GyroReceiver::Ingest {
    using Sink = std::function<void(double, double, double, double)>;

    explicit Ingest(Mailbox<GyroReceiver>::Sender owner) : receiver(std::move(owner)) {
        network = new Network;
        network->moveToThread(&networkThread);
        // Deleted on its own thread as that thread ends, before wait() returns.
        QObject::connect(&networkThread, &QThread::finished, network, &QObject::deleteLater);
        networkThread.setObjectName("talvex.gyro.network");
        networkThread.start();
    }

    ~Ingest() {
        networkThread.quit();
        networkThread.wait();
    }

    void send(const QUrl& url, int idleTimeoutMs, int totalMs, Network::Done done) {
        QMetaObject::invokeMethod(
            network,
            [this, url, idleTimeoutMs, totalMs, done = std::move(done)]() mutable {
                network->get(url, idleTimeoutMs, totalMs, std::move(done));
            },
            Qt::QueuedConnection);
    }

    // Queue. The request is done once its answer is handled: only then is the
    // next one known. It goes out at once when the poll interval has passed.
    void handle(const Transfer& transfer, bool timeRecord, const Sink& sink) {
        if (transfer.failed) {
            timing.startOver();
            receiver.post([error = transfer.error](GyroReceiver& r) { r.handlePollError(error); });
        } else if (timeRecord) {
            timing.takeTimeRecord(PhyphoxAnswer::readTimeRecord(transfer.body), transfer.received);
        } else {
            handleAnswer(transfer, sink);
        }
        busy = false;
        receiver.post([](GyroReceiver& r) { r.pollWhenDue(); });
    }

    void handleAnswer(const Transfer& transfer, const Sink& sink) {
        const PhyphoxAnswer::Poll poll = reader.readPoll(transfer.body);
        if (poll == PhyphoxAnswer::Poll::unreadable) {
            logLine("Talvex Gyro: failed to parse response");
            return;
        }
        const bool measuring = poll == PhyphoxAnswer::Poll::measuring;
        const PhyphoxAnswer::Buffers& b = reader.buffers();
        const std::optional<double> sessionStart = timing.sessionStart();
        GyroSampleBatch batch;
        timing.process({b.time, b.x, b.y, b.z, measuring, b.mode, transfer.sent, transfer.received},
                       [&](double t, double x, double y, double z) {
                           if (sink && (!sessionStart || t >= *sessionStart)) sink(t, x, y, z);
                           batch.push_back({t, x, y, z});
                       });
        // One update per answer: the window shows the newest sample either way.
        // The samples go first: those of an answer that says "not measuring"
        // were taken before the pause that the flags then show.
        if (!batch.empty())
            receiver.post([batch = std::move(batch)](GyroReceiver& r) {
                r.publishRates(batch.back().x, batch.back().y, batch.back().z);
                emit r.samplesArrived(batch);
            });
        receiver.post([measuring](GyroReceiver& r) { r.publishAnswer(measuring); });
    }

    void handleConfig(const Transfer& transfer) {
        const auto config =
            transfer.failed ? std::nullopt : PhyphoxAnswer::readConfig(transfer.body);
        if (!config) {
            logLine("Talvex Gyro: could not fetch config");
        } else {
            logLine("Talvex Gyro: config response: " +
                    std::string(PhyphoxAnswer::firstCharacters(transfer.body, 1000)));
            if (config->bufferNames) {
                discoveredBuffers = *config->bufferNames;
                logLine("Talvex Gyro: discovered buffers: " +
                        PhyphoxAnswer::formatNames(discoveredBuffers));
            }
        }
        receiver.post([](GyroReceiver& r) { r.startPolling(); });
    }

    Mailbox<GyroReceiver>::Sender receiver;
    QThread networkThread;
    Network* network = nullptr;
    GyroTiming timing;
    PhyphoxAnswer reader;                        // queue only
    std::vector<std::string> discoveredBuffers;  // queue only
    std::atomic<bool> busy = false;              // a poll request is out
    double lastSent = 0.0;                       // main thread
    SerialQueue queue{"talvex.gyro"};
};

GyroReceiver::GyroReceiver(std::optional<std::string> addressOverride, QObject* parent)
    : QObject(parent), ingest_(std::make_unique<Ingest>(mailbox_.sender())) {
    if (addressOverride) {
        phyphoxIP_ = *addressOverride;
    } else {
        phyphoxIP_ = paths::settings()->value(settingsKeys::kPhyphoxIP).toString().toStdString();
    }
}

GyroReceiver::~GyroReceiver() {
    delete pollTimer_;
    pollTimer_ = nullptr;
    ingest_.reset();
}

void GyroReceiver::setPhyphoxIP(const std::string& address) {
    paths::settings()->setValue(settingsKeys::kPhyphoxIP, QString::fromStdString(address));
    if (address == phyphoxIP_) return;
    phyphoxIP_ = address;
    emit stateChanged();
}

void GyroReceiver::connectIfConfigured() {
    if (!phyphoxIP_.empty()) connectToPhone();
}

// The high-water mark is kept on purpose: a phone whose experiment was
// restarted while disconnected must still show up as a reset, or every new
// sample would wait behind the old watermark.
void GyroReceiver::connectToPhone() {
    delete pollTimer_;
    pollTimer_ = nullptr;
    if (phyphoxIP_.empty()) return;
    ingest_->timing.startOver();
    fetchConfig();
}

void GyroReceiver::beginSession(double instant) {
    ingest_->timing.beginSession(instant);
}

// The address is taken as the phone shows it; nothing is sent when it does
// not make a valid URL.
std::optional<std::string> GyroReceiver::baseUrl() const {
    auto base = PhyphoxAnswer::baseUrl(phyphoxIP_);
    if (!base || !QUrl(QString::fromStdString(*base + "/"), QUrl::StrictMode).isValid())
        return std::nullopt;
    return base;
}

void GyroReceiver::fetchConfig() {
    const auto base = baseUrl();
    if (!base) return startPolling();
    Ingest* ingest = ingest_.get();
    ingest->send(QUrl(QString::fromStdString(*base + "/config")), kConfigTimeoutMs,
                 kConfigTimeoutMs, [ingest](Transfer transfer) {
                     ingest->queue.async([ingest, transfer = std::move(transfer)] {
                         ingest->handleConfig(transfer);
                     });
                 });
}

void GyroReceiver::startPolling() {
    delete pollTimer_;
    pollTimer_ = new QTimer(this);
    QObject::connect(pollTimer_, &QTimer::timeout, this, &GyroReceiver::poll);
    pollTimer_->start(int(kPollInterval * 1000));
}

// The next request goes out as soon as the poll interval since the last one has passed.
void GyroReceiver::pollWhenDue() {
    const double wait = ingest_->lastSent + kPollInterval - steadyNow();
    if (wait <= 0) return poll();
    QTimer::singleShot(int(std::ceil(wait * 1000)), Qt::PreciseTimer, this, &GyroReceiver::poll);
}

// At most one request at a time and one per poll interval.
void GyroReceiver::poll() {
    Ingest* ingest = ingest_.get();
    const double now = steadyNow();
    if (!pollTimer_ || ingest->busy || now - ingest->lastSent < kPollInterval) return;
    const auto base = baseUrl();
    if (!base) return;
    const std::string path = ingest->timing.nextRequest();
    const bool timeRecord = path == "/time";
    ingest->busy = true;
    ingest->lastSent = now;
    ingest->send(
        QUrl(QString::fromStdString(*base + path), QUrl::TolerantMode), kPollIdleTimeoutMs,
        kPollTotalCapMs, [ingest, timeRecord, sink = onSample](Transfer transfer) {
            ingest->queue.async([ingest, timeRecord, sink, transfer = std::move(transfer)] {
                ingest->handle(transfer, timeRecord, sink);
            });
        });
}

void GyroReceiver::handlePollError(const std::string& description) {
    if (isConnected_) logLine("Talvex Gyro: poll error: " + description);
    const bool changed = isConnected_ || lastPollSucceeded_;
    isConnected_ = false;
    lastPollSucceeded_ = false;
    if (changed) emit stateChanged();
}

void GyroReceiver::publishAnswer(bool measuring) {
    const bool changed =
        isMeasuring_ != measuring || isConnected_ != measuring || !lastPollSucceeded_;
    isMeasuring_ = measuring;
    isConnected_ = measuring;
    lastPollSucceeded_ = true;
    if (changed) emit stateChanged();
}

void GyroReceiver::publishRates(double x, double y, double z) {
    roll_ = x;
    pitch_ = y;
    yaw_ = z;
    emit stateChanged();
}

}  // namespace talvex
