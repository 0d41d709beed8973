// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QStringView>
#include <cstddef>
#include <memory>
#include <utility>

class QByteArray;

namespace opc::ua {

// Bytes that must not outlive their use (a password): one buffer of their
// own, never shared with a string that could keep a copy, never copied
// implicitly, and wiped (OPENSSL_cleanse) when they are no longer wanted and
// again where the buffer dies.
class Secret {
public:
    Secret() = default;
    // The text's UTF-8, written straight into the secret's own buffer.
    static Secret fromText(QStringView text);
    static Secret fromBytes(QByteArrayView bytes);
    // The bytes a URL's percent-encoded text stands for; nothing (an empty
    // secret, ok false) for a '%' that two hex digits do not follow.
    static Secret fromPercentEncoded(QStringView text, bool *ok);
    ~Secret();
    Secret(Secret &&other) noexcept;
    Secret &operator=(Secret &&other) noexcept;
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    bool isEmpty() const { return m_size == 0; }
    size_t size() const { return m_size; }
    QByteArrayView bytes() const { return {m_data.get(), static_cast<qsizetype>(m_size)}; }
    // Zeroes the bytes and forgets them; the buffer stays until the secret
    // dies, so whoever held it can see that it is empty.
    void wipe();
    // The buffer itself, for tests that look at what is left in it.
    const char *buffer() const { return m_data.get(); }
    size_t capacity() const { return m_capacity; }

private:
    explicit Secret(size_t capacity);
    std::unique_ptr<char[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

// Wipes a byte array that held a secret, when no one else shares it.
void wipeBytes(QByteArray &bytes);

} // namespace opc::ua
