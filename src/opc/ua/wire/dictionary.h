// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/wire/typesystem.h"

#include <map>

namespace opc::ua {

// The types an OPC Binary dictionary describes (OPC 10000-5 Annex D), added
// to the table in the same form as those a DataTypeDefinition gives, with
// the dictionary's own layout (bit fields, length fields, switches, arrays
// of a fixed length). A type the parser cannot take (a field of a type it
// does not know, too many fields) is added unresolved, with the reason.
struct DictionaryTypes {
    QString targetNamespace;
    std::map<QString, int> byName; // the dictionary's names
    QString error;                 // why nothing was taken
};

// A dictionary's text is unsigned: at most this large, no DTD, and at most
// so many types of so many fields each.
constexpr qsizetype MaxDictionaryBytes = 16 << 20;
constexpr int MaxDictionaryTypes = 20000;
constexpr int MaxFieldsPerType = 4096;

DictionaryTypes addDictionary(TypeTable &table, const QByteArray &xml);

} // namespace opc::ua
