// SPDX-License-Identifier: GPL-3.0-or-later
// The server's conversion of a written text to an item's type: a value of
// exactly that type within its range, or a refusal with an OPC error; and
// what it gives reads back to itself through the value-to-text conversion.
#include "opc/errors.h"
#include "opc/value.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

using namespace opc;

namespace {

constexpr uint16_t Types[] = {VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_R4,
                              VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_BOOL, VT_ERROR, VT_NULL};

bool inRange(const Value &v)
{
    const int64_t n = v.toInt64();
    switch (v.type()) {
    case VT_I1: return n >= -128 && n <= 127;
    case VT_I2: return n >= -32768 && n <= 32767;
    case VT_I4: return n >= INT32_MIN && n <= INT32_MAX;
    case VT_UI1: return n >= 0 && n <= 255;
    case VT_UI2: return n >= 0 && n <= 65535;
    case VT_UI4: return n >= 0 && n <= int64_t{UINT32_MAX};
    case VT_R4: return std::abs(v.toDouble()) <= std::numeric_limits<float>::max();
    case VT_R8: return std::isfinite(v.toDouble());
    default: return true;
    }
}

bool isInteger(uint16_t type)
{
    return type == VT_I1 || type == VT_I2 || type == VT_I4 || type == VT_I8 || type == VT_UI1 || type == VT_UI2 ||
           type == VT_UI4 || type == VT_UI8;
}

void checkScalar(const Value &v, uint16_t type, const QLocale &locale)
{
    if (v.type() != type || !inRange(v))
        std::abort();
    // Integers and doubles come back from their own text unchanged.
    if (isInteger(type) || type == VT_R8) {
        const Value again = textToValue(valueToText(v, locale), type, locale);
        if (isInteger(type) ? again.toInt64() != v.toInt64()
                            : std::abs(again.toDouble() - v.toDouble()) > 1e-14 * std::abs(v.toDouble()))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint16_t scalar = Types[(data[0] & 0x0F) % std::size(Types)];
    const bool array = (data[0] & 0x10) != 0;
    const uint16_t type = array ? static_cast<uint16_t>(scalar | VT_ARRAY) : scalar;
    const QLocale locale = (data[0] & 0x20) ? QLocale(QLocale::Italian, QLocale::Italy) : QLocale::c();
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    try {
        const Value v = textToValue(text, type, locale);
        if (!array) {
            checkScalar(v, type, locale);
        } else {
            if (v.type() != type)
                std::abort();
            for (const Value &element : v.elements())
                if (element.type() != scalar || !inRange(element))
                    std::abort();
        }
    } catch (const OpcError &e) {
        const int32_t c = e.code();
        if (c != Status::DISP_E_TYPEMISMATCH && c != Status::DISP_E_OVERFLOW && c != Status::OPC_E_BADTYPE)
            std::abort();
    }
    return 0;
}
