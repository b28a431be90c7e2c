#pragma once

#include <functional>
#include <memory>
#include <utility>

namespace talvex {

// The one way work reaches the main thread: cameras, the command port, the
// gyroscope receiver and the sessions all post through here. Work runs on the
// main thread one event-loop turn later, in the order posted from all
// threads together, and no sender ever waits for it.
//
// Why a queue of our own rather than Qt's posted events: the Qt on this
// system is built without ThreadSanitizer, so the race checker cannot see
// the hand-over inside Qt's event queue and would report whatever the work
// carries as a race. Here the work changes hands under a std::mutex, which
// the checker sees, and Qt's event loop is only woken, with no data in the
// wake-up.

// Hooks the queue into the running application's event loop. Main thread;
// done by every Mailbox and by postToMain on the main thread. Work posted by
// other threads before it waits for it.
void installMainQueue();

// Any thread: work that belongs to no object.
void postToMain(std::function<void()> work);

// A main-thread object's mailbox, a member of the object: work posted to it
// from any thread runs on the main thread with the object, or is dropped if
// the object has been destroyed by then. Made and destroyed on the main thread.
template <typename Target>
class Mailbox {
public:
    // A copy of the address, for threads and callbacks that may outlive the object.
    class Sender {
    public:
        void post(std::function<void(Target&)> work) const {
            postToMain([target = target_, work = std::move(work)] {
                if (*target) work(**target);
            });
        }

    private:
        friend class Mailbox;
        explicit Sender(std::shared_ptr<Target*> target) : target_(std::move(target)) {}
        std::shared_ptr<Target*> target_;
    };

    explicit Mailbox(Target* target) : target_(std::make_shared<Target*>(target)) {
        installMainQueue();
    }
    ~Mailbox() { *target_ = nullptr; }
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    Sender sender() const { return Sender(target_); }
    void post(std::function<void(Target&)> work) const { sender().post(std::move(work)); }

private:
    std::shared_ptr<Target*> target_;  // cleared on the main thread, read only there
};

}  // namespace talvex
