// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <stdexcept>

namespace toolkit {

// Widget operations fail with the classic control error numbers, so a handler
// can report them like any other failure.
enum WidgetErrorNumber : int32_t {
    InvalidPropertyValue = 380,
    ElementNotFound = 35601,
    KeyNotUnique = 35602,
    IndexOutOfBounds = 35600,
};

class WidgetError : public std::runtime_error {
public:
    WidgetError(int32_t number, const char *what);
    int32_t number() const { return m_number; }

private:
    int32_t m_number;
};

} // namespace toolkit
