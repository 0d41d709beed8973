// SPDX-License-Identifier: GPL-3.0-or-later
// The channel's framing: chunks, out-of-order answers, aborts, limits and
// hostile messages, fed as bytes.
#include "opc/errors.h"
#include "opc/ua/client/channel.h"
#include "opc/ua/wire/services.h"

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
