#pragma once

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace talvex {

// Runs the function on the context object's thread one event-loop turn later.
// If the context object is destroyed first, the call is dropped with it.
template <typename Function>
void postTo(QObject* context, Function&& function) {
    QMetaObject::invokeMethod(context, std::forward<Function>(function), Qt::QueuedConnection);
}

// One event-loop turn later on the main thread, for work that has no owner.
inline void postToMain(std::function<void()> function) {
    if (auto* app = QCoreApplication::instance()) postTo(app, std::move(function));
}

// Hands work from any thread to the main thread. The work travels through a
// queue behind a std::mutex and the main thread is only woken, with no data
// in the wake-up, so ThreadSanitizer sees the whole hand-over (Qt's own event
// queue, built without it, would look like a race).
class MainMailbox {
public:
    // Main thread, before any other thread posts.
    static void install() {
        auto* app = QCoreApplication::instance();
        auto& box = instance();
        if (!app || box.dispatcher_.load()) return;
        QAbstractEventDispatcher* dispatcher = app->thread()->eventDispatcher();
        if (!dispatcher) return;
        QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, app,
                         [] { instance().drain(); });
        box.dispatcher_ = dispatcher;
    }

    static void post(std::function<void()> work) {
        auto& box = instance();
        QAbstractEventDispatcher* dispatcher = box.dispatcher_.load();
        if (!dispatcher) return;
        {
            std::lock_guard lock(box.mutex_);
            box.work_.push_back(std::move(work));
        }
        dispatcher->wakeUp();
    }

private:
    static MainMailbox& instance() {
        static MainMailbox mailbox;
        return mailbox;
    }
    void drain() {
        std::deque<std::function<void()>> ready;
        {
            std::lock_guard lock(mutex_);
            ready.swap(work_);
        }
        for (auto& work : ready) work();
    }

    std::atomic<QAbstractEventDispatcher*> dispatcher_{nullptr};
    std::mutex mutex_;
    std::deque<std::function<void()>> work_;
};

}  // namespace talvex
