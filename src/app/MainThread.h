#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <functional>
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

}  // namespace talvex
