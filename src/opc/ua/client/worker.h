// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/wait.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace opc::ua {

// One answer handed from the worker to the thread that waits for it: one
// futex wake at most, and none when the answer comes before the wait.
class Handoff {
public:
    // Until posted or the time is up (forever when negative); whether it was posted.
    bool wait(int timeoutMs);
    void post();

private:
    // 0 nothing yet, 1 posted, 2 nothing yet and a thread asleep on it.
    int m_state = 0;
};

// The bridge's worker thread. Calls from the window's thread wait for its
// answer with a timeout; they never run an event loop of their own
// meanwhile.
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
        auto answer = std::make_shared<Answer<T>>();
        std::function<void(T)> complete = completer(answer);
        QMetaObject::invokeMethod(m_context, [start = std::move(start), complete = std::move(complete)] { start(complete); },
                                  Qt::QueuedConnection);
        return finish(*answer, timeoutMs, std::move(onTimeout));
    }

    // The same with start(complete) run here, on the calling thread: for a
    // call that goes out from here (the worker then only hands back its
    // answer), or hands itself to the worker when it cannot.
    template <typename T>
    T callHere(int timeoutMs, T onTimeout, const std::function<void(std::function<void(T)>)> &start)
    {
        return startHere(timeoutMs, std::move(onTimeout), start).get();
    }

private:
    template <typename T>
    struct Answer {
        Handoff ready;
        std::atomic_bool claimed = false;
        std::optional<T> value;
    };

public:
    // A call started and not yet waited for: others can go out beside it.
    template <typename T>
    class Pending {
    public:
        // Waits for the answer, the timeout counted from here; once.
        T get()
        {
            const opc::WaitScope waiting;
            return finish(*m_answer, m_timeoutMs, std::move(m_onTimeout));
        }

    private:
        friend class Worker;
        Pending(std::shared_ptr<Answer<T>> answer, int timeoutMs, T onTimeout)
            : m_answer(std::move(answer)), m_timeoutMs(timeoutMs), m_onTimeout(std::move(onTimeout))
        {
        }
        std::shared_ptr<Answer<T>> m_answer;
        int m_timeoutMs;
        T m_onTimeout;
    };

    // callHere's start, its answer waited for later.
    template <typename T>
    Pending<T> startHere(int timeoutMs, T onTimeout, const std::function<void(std::function<void(T)>)> &start)
    {
        auto answer = std::make_shared<Answer<T>>();
        start(completer(answer));
        return Pending<T>(std::move(answer), timeoutMs, std::move(onTimeout));
    }

private:

    // Stores the first answer only: one that comes after the wait gave up
    // finds it claimed.
    template <typename T>
    static std::function<void(T)> completer(const std::shared_ptr<Answer<T>> &answer)
    {
        return [answer](T value) {
            if (answer->claimed.exchange(true))
                return;
            answer->value = std::move(value);
            answer->ready.post();
        };
    }

    template <typename T>
    static T finish(Answer<T> &answer, int timeoutMs, T onTimeout)
    {
        if (!answer.ready.wait(timeoutMs)) {
            if (!answer.claimed.exchange(true))
                return onTimeout;
            answer.ready.wait(-1); // being stored this moment
        }
        return std::move(*answer.value);
    }

    QThread m_thread;
    QObject *m_context;
};

} // namespace opc::ua
