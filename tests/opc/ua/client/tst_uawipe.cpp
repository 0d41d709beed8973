// SPDX-License-Identifier: GPL-3.0-or-later
// Secrets are not left behind in memory given back: this program replaces
// free() and realloc(), and every block freed while a secret is watched is
// searched for it. The channel keys, our private key's text and bytes that
// waited to be sent (a request with a password in it) are watched.
#include "opc/ua/client/socket.h"
#include "opc/ua/security/crypto.h"
#include "opc/ua/security/pki.h"
#include "opc/ua/security/securitypolicy.h"

#include <QFile>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <array>
#include <atomic>
#include <cstring>
#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__)
#define QUORIVO_NO_SCAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORIVO_NO_SCAN 1
#endif
#endif

namespace {
std::atomic<const char *> needle{nullptr};
std::atomic<size_t> needleLength{0};
std::atomic<int> found{0};

[[maybe_unused]] void scan(void *block)
{
    const char *n = needle.load();
    if (!block || !n)
        return;
    if (memmem(block, malloc_usable_size(block), n, needleLength.load()))
        ++found;
}

// Watches for these bytes in every block freed until the scope ends; the
// bytes themselves live on the stack.
class Watch {
public:
    explicit Watch(const char *bytes, size_t length)
    {
        found = 0;
        needleLength = length;
        needle = bytes;
    }
    ~Watch() { needle = nullptr; }
};
} // namespace

#ifndef QUORIVO_NO_SCAN
extern "C" {
void *__libc_malloc(size_t);
void __libc_free(void *);

void free(void *block)
{
    scan(block);
    __libc_free(block);
}

// A move of the block is a free of the old one.
void *realloc(void *block, size_t size)
{
    if (!block)
        return __libc_malloc(size);
    if (size == 0) {
        free(block);
        return nullptr;
    }
    void *moved = __libc_malloc(size);
    if (!moved)
        return nullptr;
    std::memcpy(moved, block, std::min(size, malloc_usable_size(block)));
    free(block);
    return moved;
}
}
#endif

using namespace opc::ua;

class TestUaWipe : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
#ifdef QUORIVO_NO_SCAN
        QSKIP("the address sanitizer keeps free() to itself");
#endif
    }

    // The watch finds a copy that is freed as it is: the test can fail.
    void aSecretFreedAsItIsIsFound()
    {
        const std::array<char, 24> secret{"a secret of 24 bytes..."};
        const Watch watch(secret.data(), secret.size());
        {
            QByteArray copy(secret.data(), secret.size());
            copy.append(QByteArray(100, 'x'));
        }
        QVERIFY(found > 0);
    }

    // Keys of a token, derived, copied, replaced and dropped.
    void channelKeys()
    {
        const QByteArray clientNonce(32, 'c'), serverNonce(32, 's');
        std::array<char, 32> signing{};
        {
            const SymmetricKeys probe = deriveKeys(Policy::Basic256Sha256, serverNonce, clientNonce);
            std::memcpy(signing.data(), probe.signingKey.constData(), signing.size());
        }
        const Watch watch(signing.data(), signing.size());
        {
            SymmetricKeys keys = deriveKeys(Policy::Basic256Sha256, serverNonce, clientNonce);
            SymmetricKeys previous = keys;
            keys = deriveKeys(Policy::Basic256Sha256, clientNonce, serverNonce);
            previous = SymmetricKeys{};
        }
        QCOMPARE(found.load(), 0);
    }

    // Our private key's text, read again for each secured connect.
    void privateKeyText()
    {
        QTemporaryDir root;
        QVERIFY(Pki(root.path()).own());
        QFile file(root.path() + QStringLiteral("/own/private/quorivo.pem"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        std::array<char, 64> part{};
        {
            QByteArray text = file.readAll();
            std::memcpy(part.data(), text.constData() + text.size() / 2, part.size());
            std::memset(text.data(), 0, static_cast<size_t>(text.size()));
        }
        const Watch watch(part.data(), part.size());
        {
            const auto own = Pki(root.path()).own();
            QVERIFY(own);
            QVERIFY(RsaKey::fromPrivateKeyPem(own->privateKeyPem));
        }
        QCOMPARE(found.load(), 0);
    }

    // Bytes the connection could not take yet: kept while they wait, gone
    // without a trace when the connection closes.
    void bytesThatWaitedToBeSent()
    {
        QThread thread;
        QObject context;
        context.moveToThread(&thread);
        thread.start();
        QTcpServer *listener = nullptr;
        quint16 port = 0;
        // A peer that takes the connection and never reads.
        QMetaObject::invokeMethod(&context, [&] {
            listener = new QTcpServer;
            listener->listen(QHostAddress::LocalHost, 0);
            port = listener->serverPort();
        }, Qt::BlockingQueuedConnection);
        const auto stop = qScopeGuard([&] {
            QMetaObject::invokeMethod(&context, [&] { delete listener; }, Qt::BlockingQueuedConnection);
            thread.quit();
            thread.wait();
        });

        std::array<char, 40> password{"password of a request that had to wait"};
        QByteArray big(16 << 20, 'r');
        std::memcpy(big.data() + big.size() - password.size(), password.data(), password.size());
        {
            StreamSocket socket;
            bool connected = false;
            connect(&socket, &StreamSocket::connected, this, [&] { connected = true; });
            socket.connectTo(QStringLiteral("127.0.0.1"), port);
            QTRY_VERIFY(connected);
            QVERIFY(socket.send(big));
            QVERIFY(socket.send(big)); // more waits behind it: the buffer grows
            const Watch watch(password.data(), password.size());
            socket.close();
            QCOMPARE(found.load(), 0);
        }
        std::memset(big.data(), 0, static_cast<size_t>(big.size()));
    }
};

QTEST_GUILESS_MAIN(TestUaWipe)
#include "tst_uawipe.moc"
