// SPDX-License-Identifier: GPL-3.0-or-later
// The channel's framing: chunks, out-of-order answers, aborts, limits and
// hostile messages, fed as bytes; the transport limits a server's
// Acknowledge may set, and those it may not.
#include "fakeserver.h"
#include "opc/errors.h"
#include "opc/ua/client/channel.h"
#include "opc/ua/client/session.h"
#include "opc/ua/security/pki.h"
#include "opc/ua/wire/services.h"

#include <QElapsedTimer>

#include <QSignalSpy>
#include <QTest>

using namespace opc::ua;
namespace S = opc::Status;

namespace {

QByteArray chunk(const char *type, char chunkType, uint32_t requestId, const QByteArray &body)
{
    Encoder payload;
    payload.uint32(1); // channel id
    payload.uint32(1); // token id
    payload.uint32(7); // sequence number
    payload.uint32(requestId);
    payload.raw(body);
    Encoder e;
    e.raw(QByteArray(type, 3));
    e.byte(static_cast<uint8_t>(chunkType));
    e.uint32(static_cast<uint32_t>(8 + payload.size()));
    e.raw(payload.bytes());
    return e.take();
}

// A ServiceFault with this status, as a server answers a call it refuses.
QByteArray fault(uint32_t status)
{
    Encoder e;
    e.nodeId(NodeId::num(0, Id::ServiceFault));
    e.dateTime({});
    e.uint32(0);
    e.uint32(status);
    e.byte(0);
    e.int32(-1);
    e.extensionObject({});
    return e.take();
}

struct Answer {
    bool done = false;
    Reply reply;
};

} // namespace

class TestUaChannel : public QObject {
    Q_OBJECT
    std::unique_ptr<Channel> m_channel;
    std::vector<std::shared_ptr<Answer>> m_answers;

    // Requests 1..n, waiting.
    void expect(int n, int timeoutMs = 10000)
    {
        m_answers.clear();
        for (int i = 0; i < n; ++i) {
            auto a = std::make_shared<Answer>();
            m_channel->request(QByteArray("request"), timeoutMs, [a](const Reply &r) {
                a->done = true;
                a->reply = r;
            });
            m_answers.push_back(a);
        }
    }

private slots:
    void init()
    {
        m_channel = std::make_unique<Channel>();
        m_channel->setLocalLimits({8192, 8192, 32768, 8});
        m_channel->openDetached();
    }
    void cleanup() { m_channel.reset(); }

    void answersMatchTheirRequestsInAnyOrder()
    {
        expect(3);
        m_channel->feed(chunk("MSG", 'F', 2, "two"));
        m_channel->feed(chunk("MSG", 'C', 1, "o") + chunk("MSG", 'C', 3, "th"));
        m_channel->feed(chunk("MSG", 'F', 1, "ne") + chunk("MSG", 'F', 3, "ree"));
        QCOMPARE(m_answers[0]->reply.message, QByteArray("one"));
        QCOMPARE(m_answers[1]->reply.message, QByteArray("two"));
        QCOMPARE(m_answers[2]->reply.message, QByteArray("three"));
        for (const auto &a : m_answers)
            QCOMPARE(a->reply.error, 0);
    }

    void bytesMayComeOneByOne()
    {
        expect(1);
        const QByteArray all = chunk("MSG", 'C', 1, "ab") + chunk("MSG", 'F', 1, "cd");
        for (char c : all)
            m_channel->feed(QByteArray(1, c));
        QVERIFY(m_answers[0]->done);
        QCOMPARE(m_answers[0]->reply.message, QByteArray("abcd"));
    }

    void anAbortChunkFailsThatRequestOnly()
    {
        expect(2);
        m_channel->feed(chunk("MSG", 'C', 1, "part"));
        Encoder reason;
        reason.uint32(0x80080000);
        reason.string(QStringLiteral("too large"));
        m_channel->feed(chunk("MSG", 'A', 1, reason.bytes()));
        QVERIFY(m_answers[0]->done);
        QCOMPARE(m_answers[0]->reply.error, S::E_FAIL);
        m_channel->feed(chunk("MSG", 'F', 2, "fine"));
        QCOMPARE(m_answers[1]->reply.message, QByteArray("fine"));
        QVERIFY(m_channel->isOpen());
    }

    void tooManyChunksFailTheRequest()
    {
        expect(2);
        for (int i = 0; i < 9; ++i)
            m_channel->feed(chunk("MSG", 'C', 1, "x"));
        QCOMPARE(m_answers[0]->reply.error, S::E_FAIL);
        m_channel->feed(chunk("MSG", 'F', 1, "late")); // for a request that is gone
        m_channel->feed(chunk("MSG", 'F', 2, "ok"));
        QCOMPARE(m_answers[1]->reply.message, QByteArray("ok"));
    }

    void aMessageLargerThanAllowedFailsTheRequest()
    {
        expect(1);
        const QByteArray big(8000, 'z');
        for (int i = 0; i < 8 && !m_answers[0]->done; ++i)
            m_channel->feed(chunk("MSG", 'C', 1, big));
        QCOMPARE(m_answers[0]->reply.error, S::E_FAIL);
    }

    void hostileFramesCloseTheChannel_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("chunk larger than our buffer") << QByteArray::fromHex("4D534746FFFFFF7F");
        QTest::newRow("size smaller than a header") << QByteArray::fromHex("4D53474604000000");
        QTest::newRow("unknown message type") << chunk("XYZ", 'F', 1, "a");
        QTest::newRow("unknown chunk type") << chunk("MSG", 'Q', 1, "a");
        QTest::newRow("truncated sequence header") << QByteArray::fromHex("4D5347460C00000001000000");
        QTest::newRow("error message") << QByteArray::fromHex("4552524610000000") + QByteArray::fromHex("0000078000000000").left(8);
        QTest::newRow("acknowledge out of turn") << QByteArray::fromHex("41434B461C000000") + QByteArray(20, '\0');
    }

    void hostileFramesCloseTheChannel()
    {
        QFETCH(QByteArray, bytes);
        expect(2);
        QSignalSpy lost(m_channel.get(), &Channel::lost);
        m_channel->feed(bytes);
        QVERIFY(!m_channel->isOpen());
        QCOMPARE(lost.count(), 1);
        for (const auto &a : m_answers) {
            QVERIFY(a->done);
            QCOMPARE(a->reply.error, S::RPC_S_SERVER_UNAVAILABLE);
        }
        m_channel->feed(chunk("MSG", 'F', 1, "after")); // ignored once closed
    }

    void requestsBeyondThePeersLimitsAreRefused_data()
    {
        QTest::addColumn<uint>("maxMessageSize");
        QTest::addColumn<uint>("maxChunkCount");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("sent");
        QTest::newRow("two chunks of two") << 0u << 2u << 10000 << true;
        QTest::newRow("three chunks of two") << 0u << 2u << 20000 << false;
        QTest::newRow("within the message size") << 1000u << 0u << 1000 << true;
        QTest::newRow("past the message size") << 1000u << 0u << 1001 << false;
    }

    void requestsBeyondThePeersLimitsAreRefused()
    {
        QFETCH(uint, maxMessageSize);
        QFETCH(uint, maxChunkCount);
        QFETCH(int, size);
        QFETCH(bool, sent);
        Channel channel;
        channel.openDetached({8192, 8192, maxMessageSize, maxChunkCount});
        Answer answer;
        channel.request(QByteArray(size, 'r'), 10000, [&answer](const Reply &r) {
            answer.done = true;
            answer.reply = r;
        });
        QCOMPARE(answer.done, !sent);
        if (!sent)
            QCOMPARE(answer.reply.error, S::E_FAIL);
    }

    // OPC 10000-6 §7.1.2.4: buffers under 8192 bytes are refused with their
    // own number, larger ones than we asked are cut to ours, and 0 means no
    // limit for the message size and the chunk count alone. The connect
    // answers at once either way; it never hangs.
    void acknowledgedLimits_data()
    {
        QTest::addColumn<uint>("receive");
        QTest::addColumn<uint>("send");
        QTest::addColumn<int>("error");
        QTest::addColumn<uint>("chunk"); // what we then send in
        const int refused = S::UA_E_TRANSPORTLIMITS;
        QTest::newRow("receive buffer 0") << 0u << 65536u << refused << 0u;
        QTest::newRow("receive buffer 8191") << 8191u << 65536u << refused << 0u;
        QTest::newRow("send buffer 8191") << 65536u << 8191u << refused << 0u;
        QTest::newRow("receive buffer 8192") << 8192u << 65536u << 0 << 8192u;
        QTest::newRow("receive buffer 65535") << 65535u << 65536u << 0 << 65535u;
        QTest::newRow("receive buffer 2^31") << 0x80000000u << 65536u << 0 << 65536u;
        QTest::newRow("receive buffer 2^32-1") << 0xFFFFFFFFu << 0xFFFFFFFFu << 0 << 65536u;
    }

    void acknowledgedLimits()
    {
        QFETCH(uint, receive);
        QFETCH(uint, send);
        QFETCH(int, error);
        QFETCH(uint, chunk);
        AckServer server({receive, send, 0, 0});
        Channel channel;
        int32_t opened = 1;
        QElapsedTimer clock;
        clock.start();
        channel.open(QStringLiteral("127.0.0.1"), server.port(), server.url(), 10000, [&](int32_t e) { opened = e; });
        QTRY_VERIFY_WITH_TIMEOUT(opened != 1, 5000);
        QVERIFY(clock.elapsed() < 3000);
        QCOMPARE(opened, error);
        QCOMPARE(server.opens(), error ? 0 : 1);
        if (error)
            return;
        QCOMPARE(channel.peerLimits().receiveBufferSize, chunk);
        QCOMPARE(channel.peerLimits().maxMessageSize, 0u);
        // A request of three chunks goes out whole, in chunks of that size.
        Answer answer;
        channel.request(QByteArray(2 * qsizetype(chunk), 'r'), 10000, [&answer](const Reply &r) {
            answer.done = true;
            answer.reply = r;
        });
        QTRY_VERIFY_WITH_TIMEOUT(answer.done, 5000);
        QCOMPARE(server.requests(), 1);
    }

    // The chunking that follows: body bytes per chunk of each size and
    // security, and the chunks a message takes under the peer's limits.
    void chunkingArithmetic()
    {
        QCOMPARE(chunkBody(8192, Policy::None, SecurityMode::None), 8168);
        QCOMPARE(chunkBody(65535, Policy::None, SecurityMode::None), 65511);
        QCOMPARE(chunkBody(0xFFFFFFFFu, Policy::None, SecurityMode::None), (qsizetype(1) << 30) - 24);
        QCOMPARE(chunkBody(0, Policy::None, SecurityMode::None), 8168); // never less than the smallest buffer
        QCOMPARE(chunkBody(8192, Policy::Basic256Sha256, SecurityMode::Sign), 8192 - 16 - 8 - 32);
        QCOMPARE(chunkBody(8192, Policy::Basic256Sha256, SecurityMode::SignAndEncrypt), 16 * 511 - 8 - 32 - 1);
        const TransportLimits open{65536, 65536, 0, 0};
        QCOMPARE(chunksFor(0, 8168, open), qsizetype(1));
        QCOMPARE(chunksFor(8168, 8168, open), qsizetype(1));
        QCOMPARE(chunksFor(8169, 8168, open), qsizetype(2));
        QCOMPARE(chunksFor(qsizetype(1) << 32, 8168, open), ((qsizetype(1) << 32) + 8167) / 8168);
        QCOMPARE(chunksFor(16336, 8168, {65536, 65536, 0, 2}), qsizetype(2));
        QVERIFY(!chunksFor(16337, 8168, {65536, 65536, 0, 2}));
        QVERIFY(!chunksFor(1001, 8168, {65536, 65536, 1000, 0}));
        QVERIFY(!chunksFor(10, 0, open));
    }

    // The secured opening as strict as OPC 10000-6 §6.7.4: the server's
    // nonce exactly the policy's length, and the keys of a token the server
    // renewed taken for a quarter of the new token's lifetime, no longer.
    void secureOpening_data()
    {
        QTest::addColumn<int>("nonce");
        QTest::addColumn<int>("straggleMs");
        QTest::addColumn<int>("opened");
        QTest::addColumn<bool>("lost");
        QTest::newRow("a nonce of 31 bytes") << 31 << 0 << S::UA_E_SECURITYCHECK << false;
        QTest::newRow("a nonce of 33 bytes") << 33 << 0 << S::UA_E_SECURITYCHECK << false;
        QTest::newRow("the old token at once") << 32 << 0 << 0 << false;
        QTest::newRow("the old token too late") << 32 << 1500 << 0 << true;
    }

    void secureOpening()
    {
        QFETCH(int, nonce);
        QFETCH(int, straggleMs);
        QFETCH(int, opened);
        QFETCH(bool, lost);
        SecureServer server({nonce, 1000, 2000, straggleMs});
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const auto own = makeApplicationCertificate(QStringLiteral("urn:us"), {QStringLiteral("localhost")}, now, now.addDays(1));
        QVERIFY(own);
        ChannelSecurity security;
        security.policy = Policy::Basic256Sha256;
        security.mode = SecurityMode::SignAndEncrypt;
        security.ownCertificate = own->der;
        security.ownKey = RsaKey::fromPrivateKeyPem(own->privateKeyPem);
        security.serverCertificate = server.certificate();
        security.serverKey = RsaKey::fromCertificate(server.certificate());
        Channel channel;
        channel.setSecurity(security);
        channel.setRequestedLifetime(1000);
        QSignalSpy lostSignals(&channel, &Channel::lost);
        int32_t result = 1;
        channel.open(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("opc.tcp://127.0.0.1"), 10000,
                     [&](int32_t e) { result = e; });
        QTRY_VERIFY_WITH_TIMEOUT(result != 1, 5000);
        QCOMPARE(result, opened);
        if (opened)
            return;
        QTRY_COMPARE_WITH_TIMEOUT(server.straggled(), 1, 5000);
        QTest::qWait(300);
        QCOMPARE(lostSignals.count(), lost ? 1 : 0);
        QCOMPARE(channel.isOpen(), !lost);
    }

    // A session the server closed and will not make again: the channel is
    // given up as lost (it was closed quietly, and the items kept showing
    // good values), so the client shows the failure and reconnects.
    void aRecoveryThatFailsIsALoss()
    {
        Session session;
        session.setChannel(m_channel.get());
        session.setTarget(*parseTarget(QStringLiteral("opc.tcp://127.0.0.1")), QStringLiteral("urn:s"));
        QSignalSpy lost(m_channel.get(), &Channel::lost);
        int32_t result = 1;
        session.call(Id::ReadRequest, {}, 5000, [&result](int32_t e, const QByteArray &) { result = e; });
        m_channel->feed(chunk("MSG", 'F', 1, fault(Status::BadSessionIdInvalid)));
        QCOMPARE(result, 1); // waits for the new session
        m_channel->feed(chunk("MSG", 'F', 2, fault(0x80560000))); // GetEndpoints refused: BadTooManySessions
        QCOMPARE(result, S::RPC_S_SERVER_UNAVAILABLE);
        QCOMPARE(lost.count(), 1);
        QVERIFY(!m_channel->isOpen());
    }

    // A call the channel refuses at once is answered outside the session's
    // lock: what its answer does next may call again (it hung there).
    void aRefusedCallMayCallAgain()
    {
        Channel channel;
        channel.openDetached({8192, 8192, 100, 0}); // the peer takes no request over 100 bytes
        Session session;
        session.setChannel(&channel);
        session.setTarget(*parseTarget(QStringLiteral("opc.tcp://127.0.0.1")), QStringLiteral("urn:s"));
        const auto big = [](Encoder &e) { e.raw(QByteArray(200, 'x')); };
        std::vector<int32_t> answers;
        session.call(Id::ReadRequest, big, 5000, [&](int32_t first, const QByteArray &) {
            answers.push_back(first);
            session.call(Id::ReadRequest, big, 5000, [&](int32_t second, const QByteArray &) { answers.push_back(second); });
        });
        QCOMPARE(answers, (std::vector<int32_t>{S::E_FAIL, S::E_FAIL}));
    }

    void unansweredRequestsTimeOut()
    {
        expect(1, 100);
        QTRY_VERIFY_WITH_TIMEOUT(m_answers[0]->done, 2000);
        QCOMPARE(m_answers[0]->reply.error, S::RPC_S_SERVER_UNAVAILABLE);
        QVERIFY(m_channel->isOpen());
    }
};

QTEST_GUILESS_MAIN(TestUaChannel)
#include "tst_uachannel.moc"
