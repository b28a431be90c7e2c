#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/MainThread.h"
#include "core/IPCCommand.h"

namespace talvex {

// The command port: accepts TCP connections, turns every received text into
// an IPCCommand, hands it to onCommand on the main thread and answers "OK\n"
// without waiting for the handler. Sockets, reads and parsing live on the
// thread "talvex.ipc"; the published state changes only on the main thread.
class IPCServer : public QObject {
    Q_OBJECT
public:
    // At most this many connections are open at once, so that a misbehaving
    // client on the network cannot use up the process's files; a new one
    // beyond it takes the place of the one silent the longest.
    static constexpr int kMaxConnections = 64;
    static constexpr int kMaxReadSize = 1024;

    explicit IPCServer(QObject* parent = nullptr);
    ~IPCServer() override;

    bool isRunning() const { return running_; }
    const std::string& lastCommand() const { return lastCommand_; }

    // Called on the main thread, once per received text, in the order read.
    std::function<void(const IPCCommand&)> onCommand;

    // (Re)starts the listener; existing connections are cancelled. An empty
    // address listens on every interface. Main thread only.
    void startListening(quint16 port, const QString& bindAddress = {});

signals:
    void isRunningChanged(bool running);
    void lastCommandChanged();
    // The listener could not be set up or its socket failed (after its line).
    void listenerFailed();

private:
    class Worker;

    void setRunning(bool running);
    void listenerReported(std::uint64_t generation, bool ready);
    void deliver(std::string text, const IPCCommand& command);

    bool running_ = false;
    std::string lastCommand_ = "\u2014";
    // Tells the latest start's outcome apart from that of one it replaced.
    std::uint64_t generation_ = 0;
    Mailbox<IPCServer> mailbox_{this};  // outlives worker_, which posts into it
    std::unique_ptr<Worker> worker_;
};

}  // namespace talvex
