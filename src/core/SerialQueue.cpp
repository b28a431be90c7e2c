#include "core/SerialQueue.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

namespace talvex {

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool closing = false;
    std::thread thread;
};

namespace {

void runLoop(std::shared_ptr<SerialQueue::State> state) {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->closing || !state->tasks.empty(); });
            if (state->tasks.empty()) return;
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
        }
        task();
    }
}

}  // namespace

SerialQueue::SerialQueue(const std::string& label) : state_(std::make_shared<State>()) {
    state_->thread = std::thread(runLoop, state_);
    // Thread names are limited to 15 bytes; keep the distinctive end of the label.
    std::string name = label.size() > 15 ? label.substr(label.size() - 15) : label;
    pthread_setname_np(state_->thread.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
    }
    state_->wake.notify_all();
    // The last owner may be a task on this very queue; it cannot join itself.
    if (isCurrent())
        state_->thread.detach();
    else
        state_->thread.join();
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
    }
    state_->wake.notify_one();
}

void SerialQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    async([&] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == state_->thread.get_id();
}

}  // namespace talvex
