// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/wire/dictionary.h"

#include <QXmlStreamReader>
#include <set>

namespace opc::ua {

namespace {

const QString BinarySchema = QStringLiteral("http://opcfoundation.org/BinarySchema/");
const QString UaNamespace = QStringLiteral("http://opcfoundation.org/UA/");

// A field a length or a switch may be read from: bits, or a single integer
// (the built-in numbers SByte to UInt64 run on without a gap).
bool isCount(const FieldDef &f)
{
    if (f.bits > 0)
        return true;
    return f.type >= TypeTable::builtIn(BuiltIn::SByte) && f.type <= TypeTable::builtIn(BuiltIn::UInt64) &&
           f.fixedLength < 0 && f.lengthField < 0;
}

// The built-in types a dictionary names, under the schema's prefix or the
// UA one.
std::optional<BuiltIn> builtInNamed(const QString &name)
{
    static const std::map<QString, BuiltIn> names = {
        {QStringLiteral("Boolean"), BuiltIn::Boolean},       {QStringLiteral("SByte"), BuiltIn::SByte},
        {QStringLiteral("Byte"), BuiltIn::Byte},             {QStringLiteral("Int16"), BuiltIn::Int16},
        {QStringLiteral("UInt16"), BuiltIn::UInt16},         {QStringLiteral("Int32"), BuiltIn::Int32},
        {QStringLiteral("UInt32"), BuiltIn::UInt32},         {QStringLiteral("Int64"), BuiltIn::Int64},
        {QStringLiteral("UInt64"), BuiltIn::UInt64},         {QStringLiteral("Float"), BuiltIn::Float},
        {QStringLiteral("Double"), BuiltIn::Double},         {QStringLiteral("String"), BuiltIn::String},
        {QStringLiteral("CharArray"), BuiltIn::String},      {QStringLiteral("DateTime"), BuiltIn::DateTime},
        {QStringLiteral("Guid"), BuiltIn::Guid},             {QStringLiteral("ByteString"), BuiltIn::ByteString},
        {QStringLiteral("XmlElement"), BuiltIn::XmlElement}, {QStringLiteral("NodeId"), BuiltIn::NodeId},
        {QStringLiteral("ExpandedNodeId"), BuiltIn::ExpandedNodeId},
        {QStringLiteral("StatusCode"), BuiltIn::StatusCode}, {QStringLiteral("QualifiedName"), BuiltIn::QualifiedName},
        {QStringLiteral("LocalizedText"), BuiltIn::LocalizedText},
        {QStringLiteral("ExtensionObject"), BuiltIn::ExtensionObject},
        {QStringLiteral("DataValue"), BuiltIn::DataValue},   {QStringLiteral("Variant"), BuiltIn::Variant},
        {QStringLiteral("DiagnosticInfo"), BuiltIn::DiagnosticInfo},
    };
    const auto it = names.find(name);
    return it == names.end() ? std::nullopt : std::optional<BuiltIn>(it->second);
}

struct FieldText {
    QString name, typeNamespace, typeName, lengthField, switchField;
    int length = -1;
    int64_t switchValue = -1;
    bool otherOperand = false;
};

struct TypeText {
    QString name;
    bool enumeration = false;
    int lengthInBits = 32;
    std::vector<FieldText> fields;
    std::vector<std::pair<int64_t, QString>> enumerants;
    bool tooMany = false;
};

} // namespace

DictionaryTypes addDictionary(TypeTable &table, const QByteArray &text)
{
    DictionaryTypes out;
    if (text.size() > MaxDictionaryBytes) {
        out.error = QStringLiteral("dizionario troppo grande");
        return out;
    }
    QXmlStreamReader xml(text);
    // Prefixes as declared anywhere on the way down (dictionaries declare
    // them on the root).
    std::map<QString, QString> prefixes;
    std::vector<TypeText> types;
    TypeText *current = nullptr;
    const auto resolve = [&prefixes](const QString &qname) -> std::pair<QString, QString> {
        const qsizetype colon = qname.indexOf(QLatin1Char(':'));
        const auto it = prefixes.find(colon < 0 ? QString() : qname.left(colon));
        return {it == prefixes.end() ? QString() : it->second, qname.mid(colon + 1)};
    };
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::DTD || token == QXmlStreamReader::EntityReference) {
            out.error = QStringLiteral("il dizionario ha una DTD");
            return out;
        }
        if (token == QXmlStreamReader::EndElement) {
            if (xml.name() == QLatin1String("StructuredType") || xml.name() == QLatin1String("EnumeratedType"))
                current = nullptr;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        for (const auto &d : xml.namespaceDeclarations())
            prefixes[d.prefix().toString()] = d.namespaceUri().toString();
        const auto attr = [&xml](const char *name) { return xml.attributes().value(QLatin1String(name)).toString(); };
        const QStringView element = xml.name();
        if (element == QLatin1String("TypeDictionary")) {
            out.targetNamespace = attr("TargetNamespace");
        } else if (element == QLatin1String("StructuredType") || element == QLatin1String("EnumeratedType")) {
            if (static_cast<int>(types.size()) >= MaxDictionaryTypes) {
                out.error = QStringLiteral("troppi tipi nel dizionario");
                return out;
            }
            TypeText t;
            t.name = attr("Name");
            t.enumeration = element == QLatin1String("EnumeratedType");
            if (t.enumeration && xml.attributes().hasAttribute(QLatin1String("LengthInBits")))
                t.lengthInBits = attr("LengthInBits").toInt();
            types.push_back(std::move(t));
            current = &types.back();
        } else if (current && (element == QLatin1String("Field") || element == QLatin1String("EnumeratedValue"))) {
            if (static_cast<int>(current->fields.size() + current->enumerants.size()) >= MaxFieldsPerType) {
                current->tooMany = true;
                continue;
            }
            if (current->enumeration) {
                current->enumerants.emplace_back(attr("Value").toLongLong(), attr("Name"));
                continue;
            }
            FieldText f;
            f.name = attr("Name");
            std::tie(f.typeNamespace, f.typeName) = resolve(attr("TypeName"));
            if (xml.attributes().hasAttribute(QLatin1String("Length")))
                f.length = attr("Length").toInt();
            f.lengthField = attr("LengthField");
            f.switchField = attr("SwitchField");
            if (xml.attributes().hasAttribute(QLatin1String("SwitchValue")))
                f.switchValue = attr("SwitchValue").toLongLong();
            const QString operand = attr("SwitchOperand");
            f.otherOperand = !operand.isEmpty() && operand != QLatin1String("Equals");
            current->fields.push_back(std::move(f));
        }
    }
    if (xml.hasError()) {
        out.error = QStringLiteral("dizionario illeggibile: ") + xml.errorString();
        return out;
    }

    // Places first, so that a field may name a type defined after it. A
    // name defined twice stands for neither.
    std::set<QString> twice;
    for (const TypeText &t : types) {
        if (out.byName.count(t.name)) {
            twice.insert(t.name);
            continue;
        }
        TypeDef def;
        def.name = t.name;
        out.byName[t.name] = table.add(std::move(def));
    }
    for (const TypeText &t : types) {
        TypeDef &def = table.at(out.byName[t.name]);
        if (twice.count(t.name) || t.name.isEmpty()) {
            def.fields.clear();
            def.enumerants.clear();
            def.kind = TypeKind::Unresolved;
            def.reason = t.name.isEmpty() ? QStringLiteral("un tipo senza nome") : QStringLiteral("%1: tipo ripetuto").arg(t.name);
            continue;
        }
        if (t.tooMany) {
            def.reason = QStringLiteral("troppi campi");
            continue;
        }
        if (t.enumeration) {
            def.kind = TypeKind::Enumeration;
            def.builtIn = t.lengthInBits == 8 ? BuiltIn::Byte : t.lengthInBits == 16 ? BuiltIn::Int16 : BuiltIn::Int32;
            def.enumerants = t.enumerants;
            if (t.lengthInBits != 8 && t.lengthInBits != 16 && t.lengthInBits != 32) {
                def.kind = TypeKind::Unresolved;
                def.reason = QStringLiteral("enumerazione di %1 bit").arg(t.lengthInBits);
            }
            continue;
        }
        def.kind = TypeKind::Structure;
        def.dictionaryLayout = true;
        QString problem;
        const auto indexOf = [&def](const QString &name) {
            for (size_t i = 0; i < def.fields.size(); ++i)
                if (def.fields[i].name == name)
                    return static_cast<int>(i);
            return -1;
        };
        for (const FieldText &f : t.fields) {
            FieldDef field;
            field.name = f.name;
            // A name twice makes a value's fields and the counts and
            // switches that name them ambiguous.
            if (indexOf(f.name) >= 0)
                problem = QStringLiteral("%1: campo ripetuto").arg(f.name);
            if (f.typeNamespace == BinarySchema && f.typeName == QLatin1String("Bit")) {
                field.type = TypeTable::builtIn(BuiltIn::UInt32);
                field.bits = std::max(f.length, 1);
                if (field.bits > 64)
                    problem = QStringLiteral("%1: campo di %2 bit").arg(f.name).arg(field.bits);
            } else if (f.typeNamespace == BinarySchema || f.typeNamespace == UaNamespace) {
                const auto b = builtInNamed(f.typeName);
                if (!b)
                    problem = QStringLiteral("%1: tipo %2 sconosciuto").arg(f.name, f.typeName);
                field.type = b ? TypeTable::builtIn(*b) : 0;
                field.fixedLength = f.length;
            } else if (f.typeNamespace == out.targetNamespace && out.byName.count(f.typeName)) {
                field.type = out.byName[f.typeName];
                field.fixedLength = f.length;
            } else {
                problem = QStringLiteral("%1: tipo %2 di un altro dizionario").arg(f.name, f.typeName);
            }
            if (!f.lengthField.isEmpty() && (field.lengthField = indexOf(f.lengthField)) < 0)
                problem = QStringLiteral("%1: conteggio %2 sconosciuto").arg(f.name, f.lengthField);
            if (!f.switchField.isEmpty() && (field.switchField = indexOf(f.switchField)) < 0)
                problem = QStringLiteral("%1: scelta %2 sconosciuta").arg(f.name, f.switchField);
            // Counts and switches are numbers, as the layout reads them.
            for (const int named : {field.lengthField, field.switchField})
                if (named >= 0 && !isCount(def.fields[static_cast<size_t>(named)]))
                    problem = QStringLiteral("%1: %2 non è un numero").arg(f.name, def.fields[static_cast<size_t>(named)].name);
            if (f.name.isEmpty())
                problem = QStringLiteral("un campo senza nome");
            if (f.typeName.isEmpty())
                problem = QStringLiteral("%1: tipo mancante").arg(f.name);
            if (f.otherOperand)
                problem = QStringLiteral("%1: condizione non supportata").arg(f.name);
            field.switchValue = f.switchValue;
            def.fields.push_back(std::move(field));
        }
        if (!problem.isEmpty()) {
            def.kind = TypeKind::Unresolved;
            def.reason = problem;
        }
    }
    return out;
}

} // namespace opc::ua
