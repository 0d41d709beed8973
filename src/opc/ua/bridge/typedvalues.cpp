// SPDX-License-Identifier: GPL-3.0-or-later
// Values that need the server's own types to be read or written: the link's
// type table, and the item values made with it.
#include "opc/ua/bridge/conversions.h"
#include "opc/ua/bridge/link.h"

namespace opc::ua {

using opc::OpcError;
namespace S = opc::Status;

namespace {

// Values whose text the automation interface has no form for.
bool needsText(const Variant &v)
{
    switch (v.type) {
    case BuiltIn::ExtensionObject:
    case BuiltIn::XmlElement:
    case BuiltIn::ExpandedNodeId:
    case BuiltIn::StatusCode:
    case BuiltIn::DiagnosticInfo:
    case BuiltIn::DataValue:
    case BuiltIn::Variant:
        return true;
    default:
        return v.dimensions.size() > 1;
    }
}

// Built-in types a text is written to by their own form.
bool writtenAsText(BuiltIn type)
{
    switch (type) {
    case BuiltIn::Guid:
    case BuiltIn::ByteString:
    case BuiltIn::XmlElement:
    case BuiltIn::NodeId:
    case BuiltIn::ExpandedNodeId:
    case BuiltIn::StatusCode:
    case BuiltIn::QualifiedName:
    case BuiltIn::LocalizedText:
        return true;
    default:
        return false;
    }
}

// Encodings a value names that the table does not know yet, learned once.
void learnEncodings(TypeResolver &types, const Decoded &d, int &budget)
{
    if (budget <= 0)
        return;
    if (d.kind == Decoded::Kind::Opaque && d.opaque.encoding == 1 && types.table().byEncoding(d.opaque.typeId) < 0) {
        --budget;
        types.typeOfEncoding(d.opaque.typeId);
    }
    for (const Decoded &item : d.items)
        learnEncodings(types, item, budget);
    for (const auto &field : d.fields)
        learnEncodings(types, field.second, budget);
}

Decoded enumerants(const Variant &v, int type)
{
    const auto one = [type](const Scalar &s) {
        Decoded d;
        d.kind = Decoded::Kind::Enumerant;
        d.type = type;
        std::visit([&d](const auto &x) {
            if constexpr (std::is_integral_v<std::decay_t<decltype(x)>>)
                d.number = static_cast<int64_t>(x);
        }, s);
        return d;
    };
    if (!v.isArray)
        return v.values.empty() ? Decoded{} : one(v.values.front());
    Decoded out;
    out.kind = Decoded::Kind::Array;
    out.dimensions = v.dimensions.size() > 1 ? v.dimensions : std::vector<int32_t>{};
    for (const Scalar &s : v.values)
        out.items.push_back(one(s));
    return out;
}

void keepLocale(Decoded &d, const QString &locale)
{
    if (d.kind == Decoded::Kind::Scalar)
        if (auto *text = std::get_if<LocalizedText>(&d.scalar); text && text->locale.isNull())
            text->locale = locale;
    for (Decoded &item : d.items)
        keepLocale(item, locale);
}

// Whether two values' ExtensionObjects name the same encodings, element by
// element (asked of every sample: nothing is allocated).
bool sameEncodings(const Variant &a, const Variant &b)
{
    if (a.type != b.type || a.values.size() != b.values.size())
        return false;
    for (size_t i = 0; i < a.values.size(); ++i) {
        const auto *x = std::get_if<ExtensionObject>(&a.values[i]);
        const auto *y = std::get_if<ExtensionObject>(&b.values[i]);
        if (!x != !y || (x && !(x->typeId == y->typeId)))
            return false;
    }
    return true;
}

} // namespace

TypeResolver &Link::types()
{
    const int reconnects = client ? client->reconnects() : 0;
    if (!resolver || reconnects != typesLearnedAtReconnect) {
        if (!resolver)
            resolver = std::make_unique<TypeResolver>([this](uint32_t typeId, std::function<void(Encoder &)> body) {
                try {
                    return service(typeId, std::move(body));
                } catch (const OpcError &e) {
                    return std::pair<int32_t, QByteArray>{e.code(), {}};
                }
            });
        resolver->reset(client ? client->namespaces() : std::vector<QString>{});
        typesLearnedAtReconnect = reconnects;
        ++typesGeneration;
    }
    return *resolver;
}

int Link::typeOfItem(ItemState &item)
{
    TypeResolver &r = types();
    if (item.typesGeneration != typesGeneration) {
        item.type = item.dataType.isNull() ? -1 : r.typeOf(item.dataType);
        item.typesGeneration = typesGeneration;
        item.shown.reset();
    }
    return item.type;
}

opc::Value Link::present(ItemState &item, const Variant &value)
{
    if (value.type == BuiltIn::LocalizedText && !value.isArray)
        if (const auto *text = value.scalarAs<LocalizedText>())
            item.locale = text->locale;
    if (item.type < 0 && !needsText(value))
        return valueOf(value);
    const int type = typeOfItem(item);
    if (item.shown && *item.shown == value)
        return item.value;
    TypeResolver &r = types();
    const bool enumeration = type >= 0 && r.table().at(type).kind == TypeKind::Enumeration && value.type != BuiltIn::ExtensionObject;
    if (type >= 0 && !enumeration && !needsText(value) && r.table().at(type).kind == TypeKind::BuiltIn)
        return valueOf(value);
    if (enumeration) {
        item.shown = value;
        return opc::Value::text(decodedText(r.table(), enumerants(value, type), QLocale()));
    }
    // Encodings seen the first time (a new item, a subtype in a field, an
    // array of mixed structures) are learned now, while the window waits
    // anyway, in a few bounded passes (a body read with a type just learned
    // may name others); the text itself is made when a row shows it.
    if (!item.shown || !sameEncodings(*item.shown, value)) {
        int learning = 16;
        for (int pass = 0; pass < 4 && learning > 0; ++pass) {
            Decoder budget{QByteArray()};
            const int before = learning;
            learnEncodings(r, decodeVariant(r.table(), value, budget), learning);
            if (learning == before)
                break;
        }
    }
    item.shown = value;
    return opc::Value::deferredText(std::make_shared<const StructuredText>(shownTypes(), value));
}

std::shared_ptr<const TypeTable> Link::shownTypes()
{
    TypeResolver &r = types();
    const std::array<int, 3> now{typesGeneration, r.roundTrips(), r.table().size()};
    if (!shownTable || shownTableAt != now) {
        shownTable = std::make_shared<const TypeTable>(r.table());
        shownTableAt = now;
    }
    return shownTable;
}

std::optional<Variant> Link::typedWrite(ItemState &item, const QString &text)
{
    const bool typed = item.type >= 0 || writtenAsText(item.writeType) || item.valueRank > 1;
    if (!typed)
        return std::nullopt;
    TypeResolver &r = types();
    int type = typeOfItem(item);
    // A variable of an abstract structure (or of a supertype) holds a value
    // of some concrete type: what it shows is what goes back.
    if (item.shown && !item.shown->isArray && item.shown->type == BuiltIn::ExtensionObject)
        if (const auto *shown = item.shown->scalarAs<ExtensionObject>(); shown && shown->encoding == 1)
            if (const int concrete = r.typeOfEncoding(shown->typeId); concrete >= 0)
                type = concrete;
    if (type < 0 || r.table().at(type).kind == TypeKind::BuiltIn)
        type = item.writeType == BuiltIn::Null ? -1 : TypeTable::builtIn(item.writeType);
    if (type < 0)
        return std::nullopt;
    int32_t rank = item.valueRank;
    if (rank == 0 || (rank < -1 && text.trimmed().startsWith(QLatin1Char('{')) && item.writeType != BuiltIn::ByteString))
        rank = 1;
    else if (rank < -1)
        rank = -1;
    try {
        Decoded d = parseText(r.table(), type, rank, text, QLocale());
        keepLocale(d, item.locale);
        return encodeVariant(r.table(), type, d);
    } catch (const EncodeError &) {
        throw OpcError(S::DISP_E_TYPEMISMATCH);
    }
}

} // namespace opc::ua
