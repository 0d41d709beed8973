// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/timer.h"

#include "toolkit/error.h"

#include <limits>

namespace toolkit {

Timer::Timer(QObject *parent, int interval) : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Timer::Tick);
    setInterval(interval);
}

void Timer::setInterval(int64_t milliseconds)
{
    if (milliseconds < 0 || milliseconds > std::numeric_limits<int>::max())
        throw WidgetError(InvalidPropertyValue, "timer interval out of range");
    m_interval = static_cast<int>(milliseconds);
    if (m_interval == 0) {
        m_timer.stop();
        return;
    }
    m_timer.start(m_interval);
}

} // namespace toolkit
