// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace opc {

// Automation variant type codes.
enum VarType : uint16_t {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_ARRAY = 0x2000,
};

// A text made only when it is first asked for: a structure's fields are
// read from its body when a row that shows them is painted, not at every
// sample of every item. Every copy of the value shares the one text.
class DeferredText {
public:
    virtual ~DeferredText() = default;
    const QString &text() const;
    // Whether the other stands for the same text, without making either.
    virtual bool sameAs(const DeferredText &other) const = 0;

protected:
    virtual QString make() const = 0;

private:
    mutable std::once_flag m_made;
    mutable QString m_text;
};

// A variant value. Integers of every width share one signed 64-bit slot
// (UI8 keeps its bits there); currency is scaled by 10,000; a date is an
// instant, carried in UTC and shown in local time.
class Value {
public:
    Value() = default;

    static Value empty() { return {}; }
    static Value null();
    static Value integer(uint16_t type, int64_t v);
    static Value unsignedInteger(uint64_t v); // VT_UI8
    static Value real(uint16_t type, double v);
    static Value currency(int64_t scaled);
    static Value date(const QDateTime &instant);
    static Value text(const QString &v);
    static Value deferredText(std::shared_ptr<const DeferredText> deferred);
    static Value boolean(bool v);
    static Value error(int32_t code);
    static Value array(uint16_t elementType, std::vector<Value> elements, int32_t lowerBound = 0);

    uint16_t type() const { return m_type; }
    bool isArray() const { return (m_type & VT_ARRAY) != 0; }
    uint16_t elementType() const { return static_cast<uint16_t>(m_type & ~VT_ARRAY); }

    int64_t toInt64() const { return m_int; }
    uint64_t toUInt64() const { return static_cast<uint64_t>(m_int); }
    double toDouble() const { return m_real; }
    bool toBool() const { return m_int != 0; }
    const QString &string() const { return m_deferred ? m_deferred->text() : m_text; }
    QDateTime toDateTime() const;

    int32_t lowerBound() const { return m_lowerBound; }
    int32_t upperBound() const { return m_lowerBound + static_cast<int32_t>(elements().size()) - 1; }
    const std::vector<Value> &elements() const;

    bool operator==(const Value &other) const;

private:
    bool sameText(const Value &other) const;

    uint16_t m_type = VT_EMPTY;
    int64_t m_int = 0;
    double m_real = 0;
    QString m_text;
    std::shared_ptr<const DeferredText> m_deferred;
    std::shared_ptr<const std::vector<Value>> m_elements;
    int32_t m_lowerBound = 0;
};

// The value as text, as the platform's standard conversion writes it. Null,
// arrays and error values have no text form: they throw DISP_E_TYPEMISMATCH.
QString valueToText(const Value &value, const QLocale &locale = QLocale());

// The value as a table cell shows it: the text above, and an array as its
// elements in the form writes accept, "{1;2;3}", cut with an ellipsis
// ("{1;2;…}") once the text passes maxLength characters, so a huge array
// costs no more than a short one. Throws like valueToText for an element
// without a text form.
QString valueToCellText(const Value &value, const QLocale &locale = QLocale(), qsizetype maxLength = 256);

// The general date format: short date, a blank, long time, in local time.
// Midnight shows the date alone; day zero (30 December 1899) the time alone.
QString dateToText(const QDateTime &instant, const QLocale &locale = QLocale());
QDateTime dayZero();

// The server side of a write: the text converted to a canonical type by the
// given locale's rules. DISP_E_TYPEMISMATCH when it does not convert,
// DISP_E_OVERFLOW when it is outside the type's range, OPC_E_BADTYPE for a
// type that cannot be written from text.
Value textToValue(const QString &text, uint16_t type, const QLocale &locale = QLocale());

// " 6", " 0", "-5": the form used in keys and messages.
QString signedNumberText(int64_t n);
// Upper-case hexadecimal; negatives as their 32-bit two's complement.
QString hexText(int32_t n);

// For a normalised decimal "[-]digits[.digits][e[+-]digits]" that does not
// fit a double: true when it is tiny (rounds to zero) rather than huge.
bool decimalIsTiny(const std::string &number);

// Round to the nearest integer, a half going to the even neighbour.
double roundHalfEven(double v);

} // namespace opc
