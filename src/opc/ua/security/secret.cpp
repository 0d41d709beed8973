// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/security/secret.h"

#include <QByteArray>
#include <QStringEncoder>
#include <cstring>
#include <openssl/crypto.h>

namespace opc::ua {

Secret::Secret(size_t capacity) : m_data(new char[capacity > 0 ? capacity : 1]()), m_capacity(capacity) {}

Secret Secret::fromText(QStringView text)
{
    // At most three UTF-8 bytes for each UTF-16 unit.
    Secret s(static_cast<size_t>(text.size()) * 3);
    QStringEncoder utf8(QStringEncoder::Utf8);
    char *end = utf8.appendToBuffer(s.m_data.get(), text);
    s.m_size = static_cast<size_t>(end - s.m_data.get());
    return s;
}

Secret Secret::fromBytes(QByteArrayView bytes)
{
    Secret s(static_cast<size_t>(bytes.size()));
    if (!bytes.isEmpty())
        std::memcpy(s.m_data.get(), bytes.data(), static_cast<size_t>(bytes.size()));
    s.m_size = static_cast<size_t>(bytes.size());
    return s;
}

Secret Secret::fromPercentEncoded(QStringView text, bool *ok)
{
    Secret s = fromText(text);
    const auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    char *data = s.m_data.get();
    size_t out = 0;
    for (size_t in = 0; in < s.m_size; ++in) {
        if (data[in] != '%') {
            data[out++] = data[in];
            continue;
        }
        const int high = in + 2 < s.m_size ? hex(data[in + 1]) : -1, low = in + 2 < s.m_size ? hex(data[in + 2]) : -1;
        if (high < 0 || low < 0) {
            s.wipe();
            *ok = false;
            return s;
        }
        data[out++] = static_cast<char>(high << 4 | low);
        in += 2;
    }
    OPENSSL_cleanse(data + out, s.m_capacity - out);
    s.m_size = out;
    *ok = true;
    return s;
}

Secret::~Secret()
{
    if (m_data)
        OPENSSL_cleanse(m_data.get(), m_capacity);
}

Secret::Secret(Secret &&other) noexcept
    : m_data(std::move(other.m_data)), m_size(std::exchange(other.m_size, 0)), m_capacity(std::exchange(other.m_capacity, 0))
{
}

Secret &Secret::operator=(Secret &&other) noexcept
{
    if (this != &other) {
        if (m_data)
            OPENSSL_cleanse(m_data.get(), m_capacity);
        m_data = std::move(other.m_data);
        m_size = std::exchange(other.m_size, 0);
        m_capacity = std::exchange(other.m_capacity, 0);
    }
    return *this;
}

void Secret::wipe()
{
    if (m_data)
        OPENSSL_cleanse(m_data.get(), m_capacity);
    m_size = 0;
}

void wipeBytes(QByteArray &bytes)
{
    if (!bytes.isDetached())
        return bytes.clear(); // shared: another holder keeps it, this one forgets it
    OPENSSL_cleanse(bytes.data(), static_cast<size_t>(bytes.size()));
    bytes.clear();
}

} // namespace opc::ua
