// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <functional>
#include <type_traits>
#include <utility>

namespace toolkit {

// Last line of defence: an exception must never cross the event loop.
// Handlers catch what they own; anything left is logged here and dropped.
void runGuarded(const char *what, const std::function<void()> &body) noexcept;

// The wrapper takes the signal's own argument types, so no generic call is
// ever instantiated with the wrong arguments.
template <typename Sender, typename Class, typename... Args, typename Body>
QMetaObject::Connection connectGuarded(Sender *sender, void (Class::*signal)(Args...), QObject *context, const char *what,
                                       Body body)
{
    return QObject::connect(sender, signal, context, [what, body = std::move(body)](Args... args) {
        runGuarded(what, [&] {
            // Signals may carry more than the handler wants (clicked's bool).
            if constexpr (std::is_invocable_v<const Body &, Args...>)
                body(args...);
            else
                body();
        });
    });
}

} // namespace toolkit
