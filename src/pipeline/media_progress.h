#pragma once

#include <QCoreApplication>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

namespace hf {

// How far a long media operation has come, 0...1, called from the thread that does the work.
using MediaProgress = std::function<void(double fraction)>;

// A MediaProgress that hands its reports to `report` on `context`'s thread, no more often than
// every `interval` (and always the last one, 1), in order, and not at all once `context` is gone.
// `context` must live on the main thread.
inline MediaProgress progressOnThreadOf(QObject* context, std::function<void(double)> report,
                                        std::chrono::milliseconds interval = std::chrono::milliseconds(100))
{
    struct Throttle {
        std::mutex lock;
        std::chrono::steady_clock::time_point last{};
        double lastFraction = -1;
    };
    auto throttle = std::make_shared<Throttle>();
    QPointer<QObject> target(context);
    return [throttle, target, report = std::move(report), interval](double fraction) {
        {
            std::lock_guard guard(throttle->lock);
            const auto now = std::chrono::steady_clock::now();
            if (fraction <= throttle->lastFraction || (fraction < 1.0 && now - throttle->last < interval))
                return;
            throttle->last = now;
            throttle->lastFraction = fraction;
        }
        // Posted to the application, which outlives every worker; `context` is looked at only on
        // its own thread.
        QCoreApplication* application = QCoreApplication::instance();
        if (!application)
            return;
        QMetaObject::invokeMethod(
            application,
            [target, report, fraction] {
                if (target)
                    report(fraction);
            },
            Qt::QueuedConnection);
    };
}

} // namespace hf
