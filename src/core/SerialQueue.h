#pragma once

#include <functional>
#include <memory>
#include <string>

namespace talvex {

// A labelled serial work queue: one thread running submitted tasks in order.
// Destroying the queue lets every task already submitted finish first.
class SerialQueue {
public:
    explicit SerialQueue(const std::string& label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> task);
    // Runs the task on the queue and waits for it; runs it inline when called on the queue.
    void sync(const std::function<void()>& task);
    bool isCurrent() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace talvex
