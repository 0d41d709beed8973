#pragma once

#include <QString>
#include <functional>

namespace toolkit {

// Every modal message of the program goes through here, so tests can answer
// and record it instead of blocking on a real dialog.
namespace MessageBox {

constexpr int OkOnly = 0;
constexpr int ResultOk = 1;

using Handler = std::function<int(const QString &prompt, int buttons, const QString &title)>;

int show(const QString &prompt, int buttons, const QString &title);

// Replaces the real dialog; an empty handler restores it.
void setHandler(Handler handler);

} // namespace MessageBox
} // namespace toolkit
