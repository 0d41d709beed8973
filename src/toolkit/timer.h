// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QTimer>

namespace toolkit {

// Ticks every Interval milliseconds while enabled; an interval of 0 stops it.
class Timer : public QObject {
    Q_OBJECT
public:
    explicit Timer(QObject *parent = nullptr, int interval = 10);

    int Interval() const { return m_interval; }
    // Throws WidgetError(InvalidPropertyValue) for a negative interval.
    void setInterval(int64_t milliseconds);
    bool isTicking() const { return m_timer.isActive(); }

signals:
    void Tick();

private:
    QTimer m_timer;
    int m_interval = 0;
};

} // namespace toolkit
