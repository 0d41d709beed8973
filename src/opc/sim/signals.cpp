// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/sim/signals.h"

#include <QDateTime>
#include <array>
#include <cmath>
#include <numbers>

namespace opc::sim {

namespace {

uint64_t mix(uint64_t x)
{
    // splitmix64: cheap, well spread, seeded by item and time.
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double unit(uint64_t bits) { return static_cast<double>(bits >> 11) * 0x1.0p-53; }

constexpr int64_t WavePeriodMs = 60'000;

double amplitude(uint16_t type)
{
    switch (type) {
    case VT_I1:
    case VT_UI1:
        return 100;
    case VT_I2:
    case VT_UI2:
        return 10'000;
    case VT_I4:
    case VT_UI4:
        return 1'000'000;
    default:
        return 100;
    }
}

bool isUnsigned(uint16_t type) { return type == VT_UI1 || type == VT_UI2 || type == VT_UI4 || type == VT_UI8; }

// A number in [-1, 1] made into a value of the type.
Value numeric(uint16_t type, double x)
{
    const double a = amplitude(type);
    const double v = isUnsigned(type) ? (x + 1.0) / 2.0 * a : x * a;
    switch (type) {
    case VT_R4:
    case VT_R8:
        return Value::real(type, v);
    case VT_BOOL:
        return Value::boolean(x > 0);
    case VT_UI8:
        return Value::unsignedInteger(static_cast<uint64_t>(std::llround(v)));
    default:
        return Value::integer(type, std::llround(v));
    }
}

double wave(Behaviour behaviour, int64_t sampleMs)
{
    const double phase = static_cast<double>(((sampleMs % WavePeriodMs) + WavePeriodMs) % WavePeriodMs) / WavePeriodMs;
    switch (behaviour) {
    case Behaviour::Saw:
        return 2 * phase - 1;
    case Behaviour::Triangle:
        return phase < 0.5 ? 4 * phase - 1 : 3 - 4 * phase;
    case Behaviour::Square:
        return phase < 0.5 ? 1 : -1;
    default:
        return std::sin(2 * std::numbers::pi * phase);
    }
}

const std::array<const char *, 8> Words = {"alfa", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"};

Value randomScalar(uint16_t type, uint64_t bits, int64_t sampleMs)
{
    switch (type) {
    case VT_I1:
        return Value::integer(type, static_cast<int8_t>(bits));
    case VT_I2:
        return Value::integer(type, static_cast<int16_t>(bits));
    case VT_I4:
        return Value::integer(type, static_cast<int32_t>(bits));
    case VT_I8:
        return Value::integer(type, static_cast<int64_t>(bits));
    case VT_UI1:
        return Value::integer(type, static_cast<uint8_t>(bits));
    case VT_UI2:
        return Value::integer(type, static_cast<uint16_t>(bits));
    case VT_UI4:
        return Value::integer(type, static_cast<uint32_t>(bits));
    case VT_UI8:
        return Value::unsignedInteger(bits);
    case VT_R4:
        return Value::real(type, unit(bits) * 1000.0 - 500.0);
    case VT_R8:
        return Value::real(type, unit(bits) * 1e6 - 5e5);
    case VT_CY:
        return Value::currency(static_cast<int64_t>(bits % 20'000'000'000ull) - 10'000'000'000ll);
    case VT_DATE:
        return Value::date(QDateTime::fromMSecsSinceEpoch(sampleMs - static_cast<int64_t>(bits % 86'400'000ull), Qt::UTC));
    case VT_BSTR:
        return Value::text(QString::fromLatin1(Words[bits % Words.size()]) + QLatin1Char(' ') +
                           QString::number((bits >> 8) % 1000));
    case VT_BOOL:
        return Value::boolean(bits & 1);
    default:
        return {};
    }
}

// The plant: a pump filling a tank for 60 s of every 100 s while the tank
// drains; a heater warming it for 50 s of every 120 s.
Value plant(PlantSignal signal, int64_t sampleMs)
{
    const double t = static_cast<double>(sampleMs % 100'000) / 1000.0;
    const bool pumpOn = t < 60.0;
    const double level = pumpOn ? 30.0 + 0.5 * t : 60.0 - 0.75 * (t - 60.0);
    const double h = static_cast<double>(sampleMs % 120'000) / 1000.0;
    const bool heaterOn = h < 50.0;
    const double hot = 20.0 + 50.0 * (1.0 - std::exp(-50.0 / 20.0));
    const double temperature = heaterOn ? 20.0 + 50.0 * (1.0 - std::exp(-h / 20.0))
                                        : 20.0 + (hot - 20.0) * std::exp(-(h - 50.0) / 25.0);
    switch (signal) {
    case PlantSignal::TankLevel:
        return Value::real(VT_R8, level);
    case PlantSignal::TankTemperature:
        return Value::real(VT_R8, temperature);
    case PlantSignal::PumpRunning:
        return Value::boolean(pumpOn);
    case PlantSignal::PumpSpeed:
        return Value::integer(VT_I4, pumpOn ? 1450 : 0);
    case PlantSignal::HeaterOn:
        return Value::boolean(heaterOn);
    case PlantSignal::HeaterPower:
        return Value::real(VT_R8, heaterOn ? 12.5 : 0.0);
    case PlantSignal::InletFlow:
        return Value::real(VT_R4, pumpOn ? 1.25 : 0.0);
    }
    return {};
}

constexpr std::array<int32_t, 12> StandardQualities = {192, 216, 64, 68, 0, 4, 8, 12, 16, 20, 24, 28};

} // namespace

uint64_t seedOf(const QString &itemId) { return qHash(itemId, 0x5157u); }

Value signalValue(const Leaf &leaf, uint64_t itemSeed, int64_t sampleMs)
{
    const uint64_t bits = mix(itemSeed ^ static_cast<uint64_t>(sampleMs));
    switch (leaf.behaviour) {
    case Behaviour::Random:
        if (leaf.type & VT_ARRAY) {
            const auto element = static_cast<uint16_t>(leaf.type & ~VT_ARRAY);
            std::vector<Value> items;
            for (uint64_t i = 0; i < 5; ++i)
                items.push_back(randomScalar(element, mix(bits + i), sampleMs));
            return Value::array(element, std::move(items));
        }
        return randomScalar(leaf.type, bits, sampleMs);
    case Behaviour::Saw:
    case Behaviour::Triangle:
    case Behaviour::Square:
    case Behaviour::Sine:
        return numeric(leaf.type, wave(leaf.behaviour, sampleMs));
    case Behaviour::Plant:
        return plant(static_cast<PlantSignal>(leaf.param), sampleMs);
    case Behaviour::Counter:
        return Value::integer(VT_I4, static_cast<int32_t>((sampleMs / 1000) % 2147483647));
    default:
        return numeric(leaf.type, wave(Behaviour::Sine, sampleMs));
    }
}

int32_t signalQuality(const Leaf &leaf, int64_t sampleMs)
{
    if (leaf.behaviour == Behaviour::FixedQuality)
        return leaf.param;
    if (leaf.behaviour == Behaviour::VaryingQuality)
        return StandardQualities[static_cast<size_t>((sampleMs / 1000) % 12)];
    return QualityGood;
}

Value initialValue(uint16_t type)
{
    if (type & VT_ARRAY)
        return Value::array(static_cast<uint16_t>(type & ~VT_ARRAY), {});
    switch (type) {
    case VT_BSTR:
        return Value::text({});
    case VT_BOOL:
        return Value::boolean(false);
    case VT_DATE:
        return Value::date(dayZero());
    case VT_CY:
        return Value::currency(0);
    case VT_R4:
    case VT_R8:
        return Value::real(type, 0);
    case VT_UI8:
        return Value::unsignedInteger(0);
    default:
        return Value::integer(type, 0);
    }
}

} // namespace opc::sim
