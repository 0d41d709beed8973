// SPDX-License-Identifier: GPL-3.0-or-later
// The value-to-text conversion over values of every type: a text, or a
// type mismatch for the values that have no text form; numbers written so
// that they read back.
#include "opc/errors.h"
#include "opc/value.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace opc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 10)
        return 0;
    int64_t n;
    std::memcpy(&n, data + 2, sizeof n);
    double d;
    std::memcpy(&d, data + 2, sizeof d);
    float f;
    std::memcpy(&f, data + 2, sizeof f);
    const QLocale locale = (data[1] & 1) ? QLocale(QLocale::Italian, QLocale::Italy) : QLocale::c();
    Value v;
    bool hasText = true;
    switch (data[0] % 12) {
    case 0: v = Value::integer(VT_I1, static_cast<int8_t>(n)); break;
    case 1: v = Value::integer(VT_I2, static_cast<int16_t>(n)); break;
    case 2: v = Value::integer(VT_I4, static_cast<int32_t>(n)); break;
    case 3: v = Value::integer(VT_I8, n); break;
    case 4: v = Value::unsignedInteger(static_cast<uint64_t>(n)); break;
    case 5: v = Value::real(VT_R4, static_cast<double>(f)); break;
    case 6: v = Value::real(VT_R8, d); break;
    case 7: v = Value::currency(n); break;
    // Dates within ten thousand years either side of 1970.
    case 8: v = Value::date(QDateTime::fromMSecsSinceEpoch(n % (int64_t{315569520000} * 1000), Qt::UTC)); break;
    case 9: v = Value::boolean(n & 1); break;
    case 10: v = Value::error(static_cast<int32_t>(n)); hasText = false; break;
    default:
        v = Value::array(VT_I4, {Value::integer(VT_I4, static_cast<int32_t>(n))});
        hasText = false;
        break;
    }
    try {
        const QString text = valueToText(v, locale);
        if (!hasText)
            std::abort();
        switch (v.type()) {
        case VT_I1: case VT_I2: case VT_I4: case VT_I8:
            if (text != QString::number(v.toInt64()))
                std::abort();
            break;
        case VT_UI8:
            if (text != QString::number(v.toUInt64()))
                std::abort();
            break;
        case VT_R8:
            if (std::isfinite(d)) {
                // Fifteen significant digits: close, not exact. Read back
                // wider, as the rounded text may lie past the largest double.
                QString c = text;
                c.replace(locale.decimalPoint(), QStringLiteral("."));
                const long double back = std::strtold(c.toLatin1().constData(), nullptr);
                const long double exact = d;
                if (std::fabs(back - exact) > 1e-14L * std::fabs(exact) + 1e-300L)
                    std::abort();
            }
            break;
        default:
            if (text.isNull() && v.type() != VT_EMPTY && v.type() != VT_BOOL)
                std::abort();
        }
    } catch (const OpcError &e) {
        if (hasText || e.code() != Status::DISP_E_TYPEMISMATCH)
            std::abort();
    }
    return 0;
}
