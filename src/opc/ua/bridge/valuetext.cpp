// SPDX-License-Identifier: GPL-3.0-or-later
// One text form for every value a server holds, shown in the item table
// and taken back by "Scrivi Valore": structures as {Name=value; ...},
// arrays as {a;b;c}, matrices row by row, enumerations as "Name (n)".
#include "opc/ua/bridge/conversions.h"

#include "opc/errors.h"

#include <QRegularExpression>

namespace opc::ua {

namespace {

[[noreturn]] void refuse(const QString &why) { throw EncodeError(why.toStdString()); }

// The names of the status codes a plant's values carry most (OPC 10000-4
// §7.39, OPC 10000-6 Annex A).
const std::pair<uint32_t, const char *> StatusNames[] = {
    {0x00000000, "Good"},
    {0x002D0000, "GoodSubscriptionTransferred"},
    {0x00960000, "GoodLocalOverride"},
    {0x00A70000, "GoodClamped"},
    {0x40000000, "Uncertain"},
    {0x40900000, "UncertainLastUsableValue"},
    {0x40920000, "UncertainInitialValue"},
    {0x40930000, "UncertainSensorNotAccurate"},
    {0x40940000, "UncertainEngineeringUnitsExceeded"},
    {0x40950000, "UncertainSubNormal"},
    {0x80000000, "Bad"},
    {0x80010000, "BadUnexpectedError"},
    {0x80020000, "BadInternalError"},
    {0x80030000, "BadOutOfMemory"},
    {0x800A0000, "BadTimeout"},
    {0x801F0000, "BadUserAccessDenied"},
    {0x80310000, "BadNoCommunication"},
    {0x80320000, "BadWaitingForInitialData"},
    {0x80330000, "BadNodeIdInvalid"},
    {0x80340000, "BadNodeIdUnknown"},
    {0x80350000, "BadAttributeIdInvalid"},
    {0x803A0000, "BadNotReadable"},
    {0x803B0000, "BadNotWritable"},
    {0x803C0000, "BadOutOfRange"},
    {0x803D0000, "BadNotSupported"},
    {0x803E0000, "BadNotFound"},
    {0x80740000, "BadTypeMismatch"},
    {0x80890000, "BadConfigurationError"},
    {0x808A0000, "BadNotConnected"},
    {0x808B0000, "BadDeviceFailure"},
    {0x808C0000, "BadSensorFailure"},
    {0x808D0000, "BadOutOfService"},
};

QString statusText(StatusCode s)
{
    QString name;
    for (const auto &[code, text] : StatusNames)
        if (code == (s.code & 0xFFFF0000u))
            name = QString::fromLatin1(text);
    if (name.isEmpty())
        name = s.isBad() ? QStringLiteral("Bad") : s.isGood() ? QStringLiteral("Good") : QStringLiteral("Uncertain");
    return name + QStringLiteral(" (0x%1)").arg(s.code, 8, 16, QLatin1Char('0')).toUpper().replace(QStringLiteral("0X"), QStringLiteral("0x"));
}

StatusCode statusOf(const QString &text)
{
    static const QRegularExpression hexTail(QStringLiteral("\\(\\s*0[xX]([0-9a-fA-F]{1,8})\\s*\\)\\s*$"));
    const QString t = text.trimmed();
    if (const auto m = hexTail.match(t); m.hasMatch())
        return {m.captured(1).toUInt(nullptr, 16)};
    bool ok = false;
    const uint32_t n = t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? t.mid(2).toUInt(&ok, 16) : t.toUInt(&ok);
    if (ok)
        return {n};
    for (const auto &[code, name] : StatusNames)
        if (t == QLatin1String(name))
            return {code};
    refuse(QStringLiteral("%1 non è uno stato").arg(t));
}

QString expandedText(const ExpandedNodeId &x)
{
    QString out = x.serverIndex ? QStringLiteral("svr=%1;").arg(x.serverIndex) : QString();
    if (x.namespaceUri.isNull())
        return out + x.id.toString();
    NodeId local = x.id;
    local.ns = 0;
    return out + QStringLiteral("nsu=") + x.namespaceUri + QLatin1Char(';') + local.toString();
}

ExpandedNodeId expandedOf(const QString &text)
{
    ExpandedNodeId out;
    QString rest = text.trimmed();
    if (rest.startsWith(QLatin1String("svr="))) {
        const qsizetype semi = rest.indexOf(QLatin1Char(';'));
        bool ok = false;
        out.serverIndex = rest.mid(4, semi - 4).toUInt(&ok);
        if (semi < 0 || !ok)
            refuse(QStringLiteral("%1 non è un ExpandedNodeId").arg(text));
        rest = rest.mid(semi + 1);
    }
    if (rest.startsWith(QLatin1String("nsu="))) {
        const qsizetype semi = rest.indexOf(QLatin1Char(';'));
        if (semi < 0)
            refuse(QStringLiteral("%1 non è un ExpandedNodeId").arg(text));
        out.namespaceUri = rest.mid(4, semi - 4);
        rest = rest.mid(semi + 1);
    }
    const auto id = NodeId::parse(rest);
    if (!id || (!out.namespaceUri.isNull() && id->ns != 0))
        refuse(QStringLiteral("%1 non è un ExpandedNodeId").arg(text));
    out.id = *id;
    return out;
}

// A text inside a structure or an array: quoted where it would read as
// something else.
QString quoted(const QString &s)
{
    static const QRegularExpression plain(QStringLiteral("^[^{};=\"]*$"));
    if (!s.isEmpty() && s.trimmed() == s && plain.match(s).hasMatch())
        return s;
    QString out = QStringLiteral("\"");
    for (const QChar c : s) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        out += c;
    }
    return out + QLatin1Char('"');
}

QString unquoted(QStringView s)
{
    s = s.trimmed();
    if (s.size() < 2 || !s.startsWith(QLatin1Char('"')) || !s.endsWith(QLatin1Char('"')))
        return s.toString();
    QString out;
    for (qsizetype i = 1; i + 1 < s.size(); ++i) {
        if (s[i] == QLatin1Char('\\') && i + 2 < s.size())
            ++i;
        out += s[i];
    }
    return out;
}

// The parts of "{a;b;c}" at its top level, braces and quotes kept whole;
// nothing when the text is not braced.
std::optional<std::vector<QStringView>> braced(QStringView text)
{
    text = text.trimmed();
    if (text.size() < 2 || !text.startsWith(QLatin1Char('{')) || !text.endsWith(QLatin1Char('}')))
        return std::nullopt;
    const QStringView inner = text.sliced(1, text.size() - 2);
    std::vector<QStringView> parts;
    int depth = 0;
    bool inQuotes = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i < inner.size(); ++i) {
        const QChar c = inner[i];
        if (inQuotes) {
            if (c == QLatin1Char('\\'))
                ++i;
            else if (c == QLatin1Char('"'))
                inQuotes = false;
        } else if (c == QLatin1Char('"')) {
            inQuotes = true;
        } else if (c == QLatin1Char('{')) {
            ++depth;
        } else if (c == QLatin1Char('}')) {
            if (--depth < 0)
                return std::nullopt;
        } else if (c == QLatin1Char(';') && depth == 0) {
            parts.push_back(inner.sliced(start, i - start));
            start = i + 1;
        }
    }
    if (depth != 0 || inQuotes)
        return std::nullopt;
    if (!inner.trimmed().isEmpty())
        parts.push_back(inner.sliced(start));
    return parts;
}

// A cut-off text: once past the limit nothing more is made.
class Out {
public:
    explicit Out(qsizetype limit) : m_limit(limit) {}
    bool full() const { return m_text.size() > m_limit; }
    Out &operator<<(const QString &s)
    {
        if (!full())
            m_text += s;
        return *this;
    }
    QString take()
    {
        if (full()) {
            m_text.truncate(m_limit);
            m_text += QChar(0x2026);
        }
        return m_text;
    }

private:
    QString m_text;
    qsizetype m_limit;
};

void print(const TypeTable &table, const Decoded &v, const QLocale &locale, Out &out, bool nested);

void printScalar(BuiltIn type, const Scalar &s, const QLocale &locale, Out &out, bool nested)
{
    switch (type) {
    case BuiltIn::String:
        out << (nested ? quoted(std::get<QString>(s)) : std::get<QString>(s));
        return;
    case BuiltIn::LocalizedText:
    case BuiltIn::QualifiedName:
    case BuiltIn::NodeId:
    case BuiltIn::Guid: {
        const QString text = valueToText(scalarValueOf(type, s), locale);
        out << (nested ? quoted(text) : text);
        return;
    }
    case BuiltIn::XmlElement: {
        const QString text = QString::fromUtf8(std::get<XmlElement>(s).text.data);
        out << (nested ? quoted(text) : text);
        return;
    }
    case BuiltIn::ExpandedNodeId:
        out << (nested ? quoted(expandedText(std::get<ExpandedNodeId>(s))) : expandedText(std::get<ExpandedNodeId>(s)));
        return;
    case BuiltIn::StatusCode:
        out << statusText(std::get<StatusCode>(s));
        return;
    case BuiltIn::ByteString: {
        const QByteArray &bytes = std::get<ByteString>(s).data;
        out << QStringLiteral("{");
        for (qsizetype i = 0; i < bytes.size() && !out.full(); ++i)
            out << (i ? QStringLiteral(";") : QString()) << QString::number(static_cast<uint8_t>(bytes[i]));
        out << QStringLiteral("}");
        return;
    }
    case BuiltIn::DiagnosticInfo: {
        const DiagnosticInfo &d = *std::get<std::shared_ptr<DiagnosticInfo>>(s);
        QStringList parts;
        const auto part = [&parts](const char *name, const std::optional<int32_t> &v) {
            if (v)
                parts << QString::fromLatin1(name) + QLatin1Char('=') + QString::number(*v);
        };
        part("SymbolicId", d.symbolicId);
        part("NamespaceUri", d.namespaceUri);
        part("LocalizedText", d.localizedText);
        part("Locale", d.locale);
        if (d.additionalInfo)
            parts << QStringLiteral("AdditionalInfo=") + quoted(*d.additionalInfo);
        if (d.innerStatusCode)
            parts << QStringLiteral("InnerStatusCode=") + statusText(*d.innerStatusCode);
        out << QStringLiteral("{") << parts.join(QStringLiteral("; "));
        if (d.inner) {
            out << (parts.isEmpty() ? QString() : QStringLiteral("; ")) << QStringLiteral("InnerDiagnosticInfo=");
            printScalar(BuiltIn::DiagnosticInfo, d.inner, locale, out, true);
        }
        out << QStringLiteral("}");
        return;
    }
    default:
        break;
    }
    const opc::Value value = scalarValueOf(type, s);
    out << (value.type() == opc::VT_EMPTY ? QString() : valueToText(value, locale));
}

void printItems(const TypeTable &table, const std::vector<Decoded> &items, const std::vector<int32_t> &dims, size_t level,
                size_t &at, const QLocale &locale, Out &out)
{
    const size_t count = level < dims.size() ? static_cast<size_t>(std::max(dims[level], 0)) : items.size();
    out << QStringLiteral("{");
    for (size_t i = 0; i < count && at <= items.size() && !out.full(); ++i) {
        if (i)
            out << QStringLiteral(";");
        if (level + 1 < dims.size())
            printItems(table, items, dims, level + 1, at, locale, out);
        else if (at < items.size())
            print(table, items[at++], locale, out, true);
    }
    out << QStringLiteral("}");
}

void print(const TypeTable &table, const Decoded &v, const QLocale &locale, Out &out, bool nested)
{
    switch (v.kind) {
    case Decoded::Kind::Null:
        return;
    case Decoded::Kind::Scalar:
        if (v.builtIn == BuiltIn::DataValue) {
            const DataValue &dv = *std::get<std::shared_ptr<DataValue>>(v.scalar);
            QString separator;
            const auto part = [&](const char *name) {
                out << std::exchange(separator, QStringLiteral("; ")) << QString::fromLatin1(name) << QStringLiteral("=");
            };
            out << QStringLiteral("{");
            if (dv.value) {
                part("Value");
                Decoder none{QByteArray()};
                print(table, decodeVariant(table, *dv.value, none), locale, out, true);
            }
            if (dv.status) {
                part("StatusCode");
                out << statusText(*dv.status);
            }
            if (dv.sourceTimestamp) {
                part("SourceTimestamp");
                out << valueToText(scalarValueOf(BuiltIn::DateTime, *dv.sourceTimestamp), locale);
            }
            if (dv.serverTimestamp) {
                part("ServerTimestamp");
                out << valueToText(scalarValueOf(BuiltIn::DateTime, *dv.serverTimestamp), locale);
            }
            out << QStringLiteral("}");
            return;
        }
        return printScalar(v.builtIn, v.scalar, locale, out, nested);
    case Decoded::Kind::Enumerant: {
        const TypeDef &t = table.at(v.type);
        for (const auto &[number, name] : t.enumerants)
            if (number == v.number)
                return void(out << name << QStringLiteral(" (%1)").arg(v.number));
        out << QString::number(v.number);
        return;
    }
    case Decoded::Kind::Array: {
        size_t at = 0;
        printItems(table, v.items, v.dimensions, 0, at, locale, out);
        return;
    }
    case Decoded::Kind::Structure: {
        out << QStringLiteral("{");
        bool first = true;
        for (const auto &[name, value] : v.fields) {
            if (out.full())
                break;
            out << (first ? QString() : QStringLiteral("; ")) << name << QStringLiteral("=");
            print(table, value, locale, out, true);
            first = false;
        }
        out << QStringLiteral("}");
        return;
    }
    case Decoded::Kind::Opaque: {
        // Never blank: what it is, its bytes, and why they could not be read.
        out << v.opaque.typeId.toString() << QStringLiteral(" 0x")
            << QString::fromLatin1(v.opaque.body.left(512).toHex().toUpper()) << QStringLiteral(" (") << v.reason
            << QStringLiteral(")");
        return;
    }
    }
}

Scalar scalarOfText(BuiltIn type, const QString &text, const QLocale &locale)
{
    const QString t = unquoted(text);
    switch (type) {
    case BuiltIn::String: return t;
    case BuiltIn::XmlElement: return XmlElement{ByteString::of(t.toUtf8())};
    case BuiltIn::StatusCode: return statusOf(t);
    case BuiltIn::ExpandedNodeId: return expandedOf(t);
    case BuiltIn::NodeId: {
        const auto id = NodeId::parse(t.trimmed());
        if (!id)
            refuse(QStringLiteral("%1 non è un NodeId").arg(t));
        return *id;
    }
    case BuiltIn::Guid: {
        const auto id = NodeId::parse(QStringLiteral("g=") + t.trimmed());
        if (!id || id->kind != NodeId::Kind::Guid)
            refuse(QStringLiteral("%1 non è un Guid").arg(t));
        return id->guid;
    }
    case BuiltIn::QualifiedName: {
        static const QRegularExpression withIndex(QStringLiteral("^(\\d{1,5}):(.*)$"), QRegularExpression::DotMatchesEverythingOption);
        const auto m = withIndex.match(t);
        if (m.hasMatch() && m.captured(1).toUInt() <= 65535)
            return QualifiedName{static_cast<uint16_t>(m.captured(1).toUInt()), m.captured(2)};
        return QualifiedName{0, t};
    }
    case BuiltIn::LocalizedText: {
        // "[de] Text" names its locale; a bare text is given the one the
        // server holds by the caller.
        static const QRegularExpression withLocale(QStringLiteral("^\\[([A-Za-z0-9-]{0,35})\\] ?(.*)$"),
                                                   QRegularExpression::DotMatchesEverythingOption);
        if (const auto m = withLocale.match(t); m.hasMatch())
            return LocalizedText{m.captured(1), m.captured(2)};
        return LocalizedText{QString(), t};
    }
    case BuiltIn::ByteString: {
        const auto parts = braced(t);
        if (!parts)
            refuse(QStringLiteral("%1 non è un elenco di byte").arg(t));
        QByteArray bytes;
        for (QStringView p : *parts) {
            bool ok = false;
            const uint n = p.trimmed().toUInt(&ok);
            if (!ok || n > 255)
                refuse(QStringLiteral("%1 non è un byte").arg(p.toString()));
            bytes.append(static_cast<char>(n));
        }
        return ByteString::of(bytes);
    }
    case BuiltIn::DataValue:
    case BuiltIn::DiagnosticInfo:
    case BuiltIn::Variant:
    case BuiltIn::ExtensionObject:
    case BuiltIn::Null:
        refuse(QStringLiteral("un valore %1 non si scrive come testo").arg(QString::number(int(type))));
    default:
        break;
    }
    try {
        return scalarFor(type, textToValue(t, static_cast<uint16_t>(canonicalTypeOf(NodeId::num(0, static_cast<uint32_t>(type)), -1)), locale));
    } catch (const opc::OpcError &) {
        refuse(QStringLiteral("%1 non è un valore valido").arg(t));
    }
}

Decoded parse(const TypeTable &table, int type, int32_t rank, QStringView text, const QLocale &locale, int depth);

Decoded parseRanked(const TypeTable &table, int type, int32_t rank, QStringView text, const QLocale &locale, int depth,
                    std::vector<int32_t> &dims, size_t level, std::vector<Decoded> &items)
{
    const auto parts = braced(text);
    if (!parts)
        refuse(QStringLiteral("%1 non è un elenco").arg(text.toString()));
    if (dims.size() <= level)
        dims.push_back(static_cast<int32_t>(parts->size()));
    else if (dims[level] != static_cast<int32_t>(parts->size()))
        refuse(QStringLiteral("le righe della matrice non hanno la stessa lunghezza"));
    for (QStringView p : *parts) {
        if (static_cast<int32_t>(level) + 1 < rank)
            parseRanked(table, type, rank, p, locale, depth, dims, level + 1, items);
        else
            items.push_back(parse(table, type, -1, p, locale, depth + 1));
    }
    return {};
}

Decoded parse(const TypeTable &table, int type, int32_t rank, QStringView text, const QLocale &locale, int depth)
{
    if (depth > MaxStructureDepth)
        refuse(QStringLiteral("strutture annidate troppo a fondo"));
    const TypeDef &t = table.at(type);
    if (rank >= 0) {
        Decoded out;
        out.kind = Decoded::Kind::Array;
        out.builtIn = t.builtIn;
        parseRanked(table, type, std::max(rank, 1), text, locale, depth, out.dimensions, 0, out.items);
        if (rank <= 1)
            out.dimensions.clear();
        return out;
    }
    switch (t.kind) {
    case TypeKind::Unresolved:
        refuse(t.reason);
    case TypeKind::Enumeration: {
        static const QRegularExpression named(QStringLiteral("^\\s*(.*?)\\s*(?:\\((-?\\d+)\\))?\\s*$"));
        const auto m = named.match(text);
        Decoded out;
        out.kind = Decoded::Kind::Enumerant;
        out.type = type;
        bool ok = false;
        const int64_t number = m.captured(2).isEmpty() ? m.captured(1).toLongLong(&ok) : m.captured(2).toLongLong(&ok);
        for (const auto &[n, name] : t.enumerants)
            if (name == m.captured(1) && (m.captured(2).isEmpty() || n == number)) {
                out.number = n;
                return out;
            }
        if (!ok || (!t.enumerants.empty() && std::none_of(t.enumerants.begin(), t.enumerants.end(),
                                                          [number](const auto &e) { return e.first == number; })))
            refuse(QStringLiteral("%1 non è un valore di %2").arg(text.toString(), t.name));
        out.number = number;
        return out;
    }
    case TypeKind::BuiltIn: {
        Decoded out;
        if (t.builtIn == BuiltIn::ExtensionObject || t.builtIn == BuiltIn::Variant)
            refuse(QStringLiteral("un valore di tipo qualsiasi non si scrive come testo"));
        out.kind = Decoded::Kind::Scalar;
        out.builtIn = t.builtIn;
        out.scalar = scalarOfText(t.builtIn, text.toString(), locale);
        return out;
    }
    default:
        break;
    }
    const auto parts = braced(text);
    if (!parts)
        refuse(QStringLiteral("%1 non è una struttura %2").arg(text.toString(), t.name));
    Decoded out;
    out.kind = Decoded::Kind::Structure;
    out.type = type;
    for (QStringView p : *parts) {
        const qsizetype eq = p.indexOf(QLatin1Char('='));
        if (eq < 0)
            refuse(QStringLiteral("%1: manca il nome del campo").arg(p.toString()));
        const QString name = p.first(eq).trimmed().toString();
        const auto f = std::find_if(t.fields.begin(), t.fields.end(), [&name](const FieldDef &x) { return x.name == name; });
        if (f == t.fields.end())
            refuse(QStringLiteral("%1 non ha il campo %2").arg(t.name, name));
        const int32_t fieldRank = f->lengthField >= 0 || f->fixedLength >= 0 ? 1 : f->valueRank;
        out.fields.emplace_back(name, parse(table, f->type, fieldRank, p.sliced(eq + 1), locale, depth + 1));
    }
    return out;
}

} // namespace

QString decodedText(const TypeTable &table, const Decoded &value, const QLocale &locale, qsizetype maxLength)
{
    Out out(maxLength);
    print(table, value, locale, out, false);
    return out.take();
}

Decoded parseText(const TypeTable &table, int type, int32_t valueRank, const QString &text, const QLocale &locale)
{
    return parse(table, type, valueRank, text, locale, 0);
}

QString statusCodeText(StatusCode status) { return statusText(status); }

bool StructuredText::sameAs(const opc::DeferredText &other) const
{
    const auto *o = dynamic_cast<const StructuredText *>(&other);
    return o && o->m_table == m_table && o->m_value == m_value;
}

QString StructuredText::make() const
{
    Decoder budget{QByteArray()};
    return decodedText(*m_table, decodeVariant(*m_table, m_value, budget), QLocale());
}

} // namespace opc::ua
