// SPDX-License-Identifier: GPL-3.0-or-later
// A server's OPC Binary dictionary and a structure's body, both unsigned:
// the dictionary up to the first NUL, the body after it. The parser and the
// codec may refuse either, but only with their own errors, within the
// decoding budget; and whatever a body decodes to encodes again to bytes
// that decode to the same value.
#include "opc/ua/wire/dictionary.h"

#include <cstdint>
#include <cstdlib>

using namespace opc::ua;

namespace {

// The decoded value encoded again, or nothing where a value read from the
// wire has no encoding of its own (a field left opaque).
std::optional<QByteArray> again(const TypeTable &table, int type, const Decoded &d)
{
    Encoder e;
    try {
        encodeType(table, type, d, e);
    } catch (const EncodeError &) {
        return std::nullopt;
    }
    return e.take();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype split = input.indexOf('\0');
    const QByteArray xml = split < 0 ? input : input.left(split);
    const QByteArray body = split < 0 ? QByteArray() : input.mid(split + 1);
    TypeTable table;
    const DictionaryTypes found = addDictionary(table, QByteArray(xml.constData(), xml.size()));
    int tried = 0;
    for (const auto &[name, type] : found.byName) {
        if (++tried > 8)
            break;
        const TypeKind kind = table.at(type).kind;
        if (kind == TypeKind::Unresolved || kind == TypeKind::BuiltIn)
            continue;
        Decoded first;
        try {
            Decoder d(body, 1 << 20);
            first = decodeType(table, type, d);
        } catch (const DecodeError &) {
            continue;
        }
        const auto bytes = again(table, type, first);
        if (!bytes)
            continue;
        // Once through the codec, a value is in its one form: decoding and
        // encoding it again changes nothing.
        Decoded second;
        try {
            Decoder d(*bytes, 1 << 20);
            second = decodeType(table, type, d);
            if (d.remaining() != 0)
                std::abort();
        } catch (const DecodeError &) {
            std::abort();
        }
        const auto bytesAgain = again(table, type, second);
        if (!bytesAgain || *bytesAgain != *bytes)
            std::abort();
    }
    return 0;
}
