// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/error.h"

namespace toolkit {

WidgetError::WidgetError(int32_t number, const char *what)
    : std::runtime_error(what), m_number(number)
{
}

} // namespace toolkit
