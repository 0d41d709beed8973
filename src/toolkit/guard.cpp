// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/guard.h"

#include <QDebug>
#include <exception>

namespace toolkit {

void runGuarded(const char *what, const std::function<void()> &body) noexcept
{
    try {
        body();
    } catch (const std::exception &e) {
        qWarning("%s: unexpected failure: %s", what, e.what());
    } catch (...) {
        qWarning("%s: unexpected failure", what);
    }
}

} // namespace toolkit
