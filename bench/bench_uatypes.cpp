// SPDX-License-Identifier: GPL-3.0-or-later
// Prints what a table tick costs the bridge when every item of the largest
// group holds a structure, beside the same group of Doubles: each value
// changed, handed to the table as the bridge does for every sample, the
// table's check of what changed, and the texts of the rows a window shows.
// The text of every sample, made at once (the road not taken), beside it.
#include "opc/ua/bridge/conversions.h"
#include "opc/value.h"

#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace opc::ua;

namespace {

constexpr int Items = 32767;
constexpr int Ticks = 15;
constexpr int RowsShown = 40;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double msPerTick(const std::function<void(int)> &tick)
{
    std::vector<double> figures;
    for (int t = 0; t < Ticks; ++t) {
        QElapsedTimer timer;
        timer.start();
        tick(t);
        figures.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    return median(figures);
}

// A five-field structure, as a PLC's user-defined type holds them.
TypeTable machineTable(int &type)
{
    TypeTable table;
    table.setNamespaces({QStringLiteral("http://opcfoundation.org/UA/"), QStringLiteral("urn:bench")});
    TypeDef def;
    def.name = QStringLiteral("Machine");
    def.kind = TypeKind::Structure;
    def.encoding = QStringLiteral("nsu=urn:bench;i=5001");
    const auto field = [](const char *name, BuiltIn builtIn) {
        FieldDef f;
        f.name = QString::fromLatin1(name);
        f.type = TypeTable::builtIn(builtIn);
        return f;
    };
    def.fields = {field("Count", BuiltIn::Int32), field("Speed", BuiltIn::Double), field("Name", BuiltIn::String),
                  field("Running", BuiltIn::Boolean), field("Stamp", BuiltIn::DateTime)};
    type = table.add(def);
    table.setEncoding(def.encoding, type);
    return table;
}

Variant machine(const TypeTable &table, int type, int i, int tick)
{
    Decoded d;
    d.kind = Decoded::Kind::Structure;
    d.type = type;
    const auto scalar = [](BuiltIn b, Scalar s) {
        Decoded f;
        f.kind = Decoded::Kind::Scalar;
        f.builtIn = b;
        f.scalar = std::move(s);
        return f;
    };
    d.fields = {{QStringLiteral("Count"), scalar(BuiltIn::Int32, int32_t(i + tick))},
                {QStringLiteral("Speed"), scalar(BuiltIn::Double, 0.5 * i + tick)},
                {QStringLiteral("Name"), scalar(BuiltIn::String, QStringLiteral("Linea %1").arg(i))},
                {QStringLiteral("Running"), scalar(BuiltIn::Boolean, (i + tick) % 2 == 0)},
                {QStringLiteral("Stamp"), scalar(BuiltIn::DateTime, DateTime{int64_t{133000000000000000} + tick * 10000000LL})}};
    return encodeVariant(table, type, d);
}

} // namespace

int main()
{
    int type = -1;
    const TypeTable tableOf = machineTable(type);
    const TypeTable &table0 = tableOf;
    const QLocale locale = QLocale::c();
    // The samples of each tick are made before it is timed: the bench
    // measures the bridge, not this file.
    std::vector<std::vector<Variant>> structures(Ticks), doubles(Ticks);
    for (int t = 0; t < Ticks; ++t)
        for (int i = 0; i < Items; ++i) {
            structures[t].push_back(machine(table0, type, i, t));
            doubles[t].push_back(Variant::scalar(BuiltIn::Double, 0.5 * i + t));
        }
    qsizetype shown = 0;
    const auto table = std::make_shared<const TypeTable>(tableOf);
    // The table's rows: what each holds, and whether it changed.
    std::vector<opc::Value> rows(Items);
    const auto tick = [&](const std::vector<Variant> &samples, const std::function<opc::Value(const Variant &)> &hand) {
        int changed = 0;
        for (int i = 0; i < Items; ++i) {
            opc::Value v = hand(samples[static_cast<size_t>(i)]);
            if (!(v == rows[static_cast<size_t>(i)])) {
                rows[static_cast<size_t>(i)] = std::move(v);
                ++changed;
            }
        }
        for (int i = 0; i < RowsShown; ++i)
            shown += opc::valueToText(rows[static_cast<size_t>(i)], locale).size();
        shown += changed;
    };
    const double ofDoubles = msPerTick([&](int t) { tick(doubles[t], [](const Variant &v) { return valueOf(v); }); });
    std::fill(rows.begin(), rows.end(), opc::Value());
    const double ofStructures = msPerTick([&](int t) {
        tick(structures[t], [&table](const Variant &v) { return opc::Value::deferredText(std::make_shared<const StructuredText>(table, v)); });
    });
    std::fill(rows.begin(), rows.end(), opc::Value());
    const double eager = msPerTick([&](int t) {
        tick(structures[t], [&](const Variant &v) {
            Decoder budget{QByteArray()};
            return opc::Value::text(decodedText(*table, decodeVariant(*table, v, budget), locale));
        });
    });
    std::printf("| %-62s | %22s |\n", "Bridge's share of a table tick, 32,767 Doubles",
                qPrintable(QString::number(ofDoubles, 'f', 2) + QStringLiteral(" ms")));
    std::printf("| %-62s | %22s |\n", "The same, 32,767 five-field structures",
                qPrintable(QString::number(ofStructures, 'f', 2) + QStringLiteral(" ms")));
    std::printf("| %-62s | %22s |\n", "Structures against Doubles",
                qPrintable(QString::number(ofStructures / ofDoubles, 'f', 2) + QStringLiteral("x")));
    std::printf("| %-62s | %22s |\n", "  every structure's text made at each sample",
                qPrintable(QString::number(eager, 'f', 2) + QStringLiteral(" ms")));
    return shown > 0 ? 0 : 1;
}
