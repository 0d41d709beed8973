#pragma once

#include <QObject>
#include <functional>
#include <type_traits>
#include <utility>

namespace toolkit {

// Last line of defence: an exception must never cross the event loop.
// Handlers catch what they own; anything left is logged here and dropped.
void runGuarded(const char *what, const std::function<void()> &body) noexcept;

template <typename Sender, typename Signal, typename Body>
QMetaObject::Connection connectGuarded(Sender *sender, Signal signal, QObject *context, const char *what, Body body)
{
    return QObject::connect(sender, signal, context,
                            [what, body = std::move(body)](auto &&...args) {
                                runGuarded(what, [&] {
                                    // Signals may carry more than the handler wants (clicked's bool).
                                    if constexpr (std::is_invocable_v<const Body &, decltype(args)...>)
                                        body(std::forward<decltype(args)>(args)...);
                                    else
                                        body();
                                });
                            });
}

} // namespace toolkit
