// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <cstdint>

namespace quorivo {

// A rate field's text as a signed 32-bit number of milliseconds: the leading
// number (blanks skipped wherever they stand, a "." point whatever the
// locale, an exponent), rounded half to even. A text without a number gives
// 0; "&H" and "&O" prefixes read hexadecimal and octal. Outside the 32-bit
// range it throws opc::OpcError with the numeric-overflow error 6.
int32_t rateFromText(const QString &text);

} // namespace quorivo
