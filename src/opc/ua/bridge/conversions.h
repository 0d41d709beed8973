// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/value.h"
#include "opc/ua/wire/typesystem.h"

#include <QLocale>

// How OPC UA data look through the automation interface: status codes as
// OPC qualities, data types as variant types, values both ways.
namespace opc::ua {

int32_t qualityOf(StatusCode status);
int16_t canonicalTypeOf(const NodeId &dataType, int32_t valueRank);
opc::Value valueOf(const Variant &v);
// The built-in type a data type number stands for (Null for none).
BuiltIn builtInOf(uint32_t dataType);
// A value as a scalar of the built-in type; DISP_E_TYPEMISMATCH for a type
// that cannot be written.
Scalar scalarFor(BuiltIn type, const opc::Value &v);
// The OPC error of a write the server refused with this status.
int32_t writeErrorOf(StatusCode status);
// A scalar of a built-in type as the automation interface holds it (text
// for the text-shaped ones).
opc::Value scalarValueOf(BuiltIn type, const Scalar &s);

// The text of a value by the session's types, made when a row first shows
// it: a sample of a structure costs its copy, not its reading.
class StructuredText : public opc::DeferredText {
public:
    StructuredText(std::shared_ptr<const TypeTable> table, Variant value) : m_table(std::move(table)), m_value(std::move(value)) {}
    bool sameAs(const opc::DeferredText &other) const override;

protected:
    QString make() const override;

private:
    std::shared_ptr<const TypeTable> m_table;
    Variant m_value;
};

// The one text form of every value (valuetext.cpp): a structure as
// "{X=7; Y=2.5; Name=abc; Inner={A=1; B=True}}", an array "{1;2;3}", a
// matrix row by row "{{1;2;3};{4;5;6}}", an enumeration "Running (1)", a
// status code "BadTimeout (0x800A0000)", a body that could not be read as
// its type id, its bytes in hex and why. Cut with an ellipsis past
// maxLength characters.
QString decodedText(const TypeTable &table, const Decoded &value, const QLocale &locale, qsizetype maxLength = 256);
// The value a text of that form stands for, as a value of `type` (and
// `valueRank`); EncodeError with the reason when it does not fit. A
// LocalizedText names its locale as "[de] Text".
Decoded parseText(const TypeTable &table, int type, int32_t valueRank, const QString &text, const QLocale &locale);
QString statusCodeText(StatusCode status);

} // namespace opc::ua
