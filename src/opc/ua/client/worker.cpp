// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/worker.h"

#include <QElapsedTimer>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace opc::ua {

namespace {
long futex(int *word, int op, int value, const timespec *timeout)
{
    return ::syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}
} // namespace

bool Handoff::wait(int timeoutMs)
{
    std::atomic_ref<int> state(m_state);
    QElapsedTimer clock;
    clock.start();
    int seen = state.load(std::memory_order_acquire);
    while (seen != 1) {
        if (seen == 0 && !state.compare_exchange_weak(seen, 2, std::memory_order_acq_rel))
            continue;
        timespec left{};
        if (timeoutMs >= 0) {
            const qint64 remaining = timeoutMs - clock.elapsed();
            if (remaining <= 0)
                return state.load(std::memory_order_acquire) == 1;
            left.tv_sec = static_cast<time_t>(remaining / 1000);
            left.tv_nsec = static_cast<long>(remaining % 1000) * 1000000;
        }
        futex(&m_state, FUTEX_WAIT_PRIVATE, 2, timeoutMs >= 0 ? &left : nullptr);
        seen = state.load(std::memory_order_acquire);
    }
    return true;
}

void Handoff::post()
{
    std::atomic_ref<int> state(m_state);
    if (state.exchange(1, std::memory_order_acq_rel) == 2)
        futex(&m_state, FUTEX_WAKE_PRIVATE, 1, nullptr);
}

Worker::Worker() : m_context(new QObject)
{
    m_context->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("opc.ua"));
    m_thread.start();
}

Worker::~Worker()
{
    QMetaObject::invokeMethod(m_context, [ctx = m_context] { delete ctx; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

} // namespace opc::ua
