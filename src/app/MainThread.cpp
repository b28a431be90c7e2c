#include "app/MainThread.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <deque>
#include <mutex>

namespace talvex {

namespace {

class MainQueue {
public:
    static MainQueue& instance() {
        static MainQueue queue;
        return queue;
    }

    void install() {
        auto* app = QCoreApplication::instance();
        if (!app || dispatcher_.load() || QThread::currentThread() != app->thread()) return;
        QAbstractEventDispatcher* dispatcher = app->thread()->eventDispatcher();
        if (!dispatcher) return;
        QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, app, [this] { drain(); });
        QObject::connect(dispatcher, &QObject::destroyed, [this] { dispatcher_ = nullptr; });
        dispatcher_ = dispatcher;
        dispatcher->wakeUp();  // for work that came before
    }

    void post(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            work_.push_back(std::move(work));
        }
        if (QAbstractEventDispatcher* dispatcher = dispatcher_.load()) dispatcher->wakeUp();
    }

private:
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

}  // namespace

void installMainQueue() {
    MainQueue::instance().install();
}

void postToMain(std::function<void()> work) {
    MainQueue& queue = MainQueue::instance();
    queue.install();
    queue.post(std::move(work));
}

}  // namespace talvex
