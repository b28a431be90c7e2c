#include "app/GyroReceiver.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <QUrl>
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

constexpr int configTimeoutMs = 2000;
constexpr int pollTimeoutMs = 1000;
constexpr std::size_t parserPadding = 64;  // spare bytes that let the reader parse in place
const char* const pollQuery = "gyrX=full&gyrY=full&gyrZ=full&gyr_time=full";

struct Transfer {
    bool failed = false;
    std::string error;
    std::string body;
};

// Runs the HTTP requests on its own thread, where the access manager delivers
// their replies. Each request has a total deadline and a size cap.
class Network : public QObject {
public:
    using Done = std::function<void(Transfer)>;

    Network() { manager_.setProxy(QNetworkProxy::NoProxy); }
    ~Network() override { closing_ = true; }

    void get(const QUrl& url, int timeoutMs, Done done) {
        QNetworkRequest request(url);
        QNetworkReply* reply = manager_.get(request);
        auto state = std::make_shared<State>();
        state->done = std::move(done);
        auto* deadline = new QTimer(reply);
        deadline->setSingleShot(true);
        QObject::connect(deadline, &QTimer::timeout, reply,
                         [reply, state] { abort(reply, *state, "The request timed out."); });
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply,
                         [reply, state] { checkSize(reply, *state); });
        QObject::connect(reply, &QNetworkReply::readyRead, reply,
                         [reply, state] { readSome(reply, *state); });
        QObject::connect(reply, &QNetworkReply::finished, reply,
                         [this, reply, state] { finish(reply, *state); });
        deadline->start(timeoutMs);
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
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        const qulonglong announced = length.isValid() ? length.toULongLong() : 0;
        if (announced > GyroReceiver::maxAnswerBytes)
            return abort(reply, state, "The answer is larger than 256 MiB.");
        if (announced > 0) state.transfer.body.reserve(announced + parserPadding);
    }

    static void readSome(QNetworkReply* reply, State& state) {
        checkSize(reply, state);
        if (!state.abortReason.empty()) return;
        const qint64 available = reply->bytesAvailable();
        if (state.transfer.body.size() + std::size_t(available) > GyroReceiver::maxAnswerBytes)
            return abort(reply, state, "The answer is larger than 256 MiB.");
        const QByteArray bytes = reply->read(available);
        state.transfer.body.append(bytes.constData(), std::size_t(bytes.size()));
    }

    // Transport failures and our own aborts fail the request; an HTTP error
    // status with a body is an answer like any other.
    void finish(QNetworkReply* reply, State& state) {
        reply->deleteLater();
        if (state.abortReason.empty() && reply->isOpen()) readSome(reply, state);
        const QNetworkReply::NetworkError error = reply->error();
        const bool httpAnswer =
            reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() && error >= 200;
        if (!state.abortReason.empty()) {
            state.transfer = {true, state.abortReason, {}};
        } else if (error != QNetworkReply::NoError && !httpAnswer) {
            state.transfer = {true, reply->errorString().toStdString(), {}};
        }
        if (closing_ || !state.done) return;
        Done done = std::move(state.done);
        done(std::move(state.transfer));
    }

    bool closing_ = false;
    QNetworkAccessManager manager_{this};
};

}  // namespace

// Everything that lives off the main thread. Declared so that the queue goes
// first when it is destroyed, letting its tasks finish with the rest intact.
struct GyroReceiver::Ingest {
    using Sink = std::function<void(double, double, double, double)>;

    struct Answer {
        std::uint64_t number = 0;
        std::string body;
        Sink sink;
    };

    explicit Ingest(GyroReceiver* owner) : receiver(owner) {
        network = new Network;
        network->moveToThread(&networkThread);
        networkThread.setObjectName("talvex.gyro.network");
        networkThread.start();
    }

    ~Ingest() {
        QMetaObject::invokeMethod(
            network, [this] { delete network; }, Qt::BlockingQueuedConnection);
        networkThread.quit();
        networkThread.wait();
    }

    void send(const QUrl& url, int timeoutMs, Network::Done done) {
        QMetaObject::invokeMethod(
            network,
            [this, url, timeoutMs, done = std::move(done)]() mutable {
                network->get(url, timeoutMs, std::move(done));
            },
            Qt::QueuedConnection);
    }

    // Network thread. Only the newest waiting answer is kept: every answer
    // repeats the whole buffers, so skipping an older one loses nothing.
    void offer(Answer answer) {
        std::lock_guard lock(pendingMutex);
        if (pending && pending->number > answer.number) return;
        pending = std::move(answer);
        if (scheduled) return;
        scheduled = true;
        queue.async([this] { handleNext(); });
    }

    void handleNext() {
        std::optional<Answer> answer;
        {
            std::lock_guard lock(pendingMutex);
            answer.swap(pending);
            scheduled = false;
        }
        if (answer) handle(*answer);
    }

    // A late answer, sent before the newest one handled, is dropped unread:
    // taking its older times for a restarted phone clock would re-anchor.
    void handle(const Answer& answer) {
        if (answer.number <= newestHandled) return;
        newestHandled = answer.number;
        const PhyphoxAnswer::Poll poll = reader.readPoll(answer.body);
        if (poll == PhyphoxAnswer::Poll::unreadable) {
            logLine("Talvex Gyro: failed to parse response");
            return;
        }
        const bool measuring = poll == PhyphoxAnswer::Poll::measuring;
        postTo(receiver, [r = receiver, measuring] { r->publishAnswer(measuring); });
        if (measuring) deliverSamples(answer.sink);
    }

    void deliverSamples(const Sink& sink) {
        const PhyphoxAnswer::Buffers& b = reader.buffers();
        double last[3] = {0, 0, 0};
        const std::size_t delivered = timing.process(b.time, b.x, b.y, b.z, steadyNow(),
                                                     [&](double t, double x, double y, double z) {
                                                         if (sink) sink(t, x, y, z);
                                                         last[0] = x, last[1] = y, last[2] = z;
                                                     });
        // One update per answer: the window shows the newest sample either way.
        if (delivered > 0)
            postTo(receiver, [r = receiver, x = last[0], y = last[1], z = last[2]] {
                r->publishRates(x, y, z);
            });
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
        postTo(receiver, [r = receiver] { r->startPolling(); });
    }

    GyroReceiver* receiver;
    QThread networkThread;
    Network* network = nullptr;
    GyroTiming timing;
    PhyphoxAnswer reader;                        // queue only
    std::uint64_t newestHandled = 0;             // queue only
    std::vector<std::string> discoveredBuffers;  // queue only
    std::mutex pendingMutex;
    std::optional<Answer> pending;
    bool scheduled = false;
    SerialQueue queue{"talvex.gyro"};
};

GyroReceiver::GyroReceiver(std::optional<std::string> addressOverride, QObject* parent)
    : QObject(parent), ingest_(std::make_unique<Ingest>(this)) {
    if (addressOverride) {
        phyphoxIP_ = *addressOverride;
    } else {
        phyphoxIP_ = paths::settings()->value(settingsKeys::phyphoxIP).toString().toStdString();
    }
}

GyroReceiver::~GyroReceiver() {
    delete pollTimer_;
    pollTimer_ = nullptr;
    ingest_.reset();
}

void GyroReceiver::setPhyphoxIP(const std::string& address) {
    paths::settings()->setValue(settingsKeys::phyphoxIP, QString::fromStdString(address));
    if (address == phyphoxIP_) return;
    phyphoxIP_ = address;
    emit stateChanged();
}

void GyroReceiver::connectIfConfigured() {
    if (!phyphoxIP_.empty()) connect();
}

// The high-water mark is kept on purpose: a phone whose experiment was
// restarted while disconnected must still show up as a reset, or every new
// sample would wait behind the old watermark.
void GyroReceiver::connect() {
    delete pollTimer_;
    pollTimer_ = nullptr;
    if (phyphoxIP_.empty()) return;
    fetchConfig();
}

void GyroReceiver::beginSession(double instant) {
    ingest_->timing.beginSession(instant);
}

void GyroReceiver::fetchConfig() {
    const QUrl url(QString::fromStdString("http://" + phyphoxIP_ + "/config"), QUrl::StrictMode);
    if (!url.isValid()) return startPolling();
    Ingest* ingest = ingest_.get();
    ingest->send(url, configTimeoutMs, [ingest](Transfer transfer) {
        ingest->queue.async(
            [ingest, transfer = std::move(transfer)] { ingest->handleConfig(transfer); });
    });
}

void GyroReceiver::startPolling() {
    delete pollTimer_;
    pollTimer_ = new QTimer(this);
    QObject::connect(pollTimer_, &QTimer::timeout, this, &GyroReceiver::poll);
    pollTimer_->start(int(pollInterval * 1000));
}

void GyroReceiver::poll() {
    if (phyphoxIP_.empty()) return;
    const QUrl url(QString::fromStdString("http://" + phyphoxIP_ + "/get?" + pollQuery),
                   QUrl::StrictMode);
    if (!url.isValid()) return;
    Ingest* ingest = ingest_.get();
    const std::uint64_t number = ++pollNumber_;
    ingest->send(url, pollTimeoutMs, [this, ingest, number, sink = onSample](Transfer transfer) {
        if (transfer.failed) {
            postTo(this, [this, error = std::move(transfer.error)] { handlePollError(error); });
            return;
        }
        ingest->offer({number, std::move(transfer.body), sink});
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
