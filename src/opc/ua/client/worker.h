// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/wait.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>

namespace opc::ua {

// The bridge's worker thread. Calls from the window's thread hand it a
// function and wait for its answer with a timeout; they never run an event
// loop of their own meanwhile.
class Worker {
public:
    Worker();
    ~Worker();
    QObject *context() const { return m_context; }

    // Runs start(complete) on the worker; waits until complete(value) or
    // the timeout, whichever comes first.
    template <typename T>
    T call(int timeoutMs, T onTimeout, std::function<void(std::function<void(T)>)> start)
    {
        const opc::WaitScope waiting;
        auto promise = std::make_shared<std::promise<T>>();
        auto done = std::make_shared<std::atomic_bool>(false);
        std::future<T> future = promise->get_future();
        QMetaObject::invokeMethod(m_context, [start = std::move(start), promise, done] {
            start([promise, done](T value) {
                if (!done->exchange(true))
                    promise->set_value(std::move(value));
            });
        }, Qt::QueuedConnection);
        if (future.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
            done->store(true);
            return onTimeout;
        }
        return future.get();
    }

private:
    QThread m_thread;
    QObject *m_context;
};

} // namespace opc::ua
