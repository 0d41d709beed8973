// SPDX-License-Identifier: GPL-3.0-or-later
#include "groups/ratetext.h"
#include "opc/errors.h"

#include <QRandomGenerator>
#include <QTest>

using quorivo::rateFromText;

class TestRateText : public QObject {
    Q_OBJECT
private slots:
    void golden_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("rate"); // -1000000000000: numeric overflow
        constexpr qint64 Overflow = -1000000000000;
        const auto row = [](const char *tag, const QString &text, qint64 rate) { QTest::newRow(tag) << text << rate; };
        row("abc", "abc", 0);
        row("250ms", "250ms", 250);
        row("blank inside", "1 000", 1000);
        row("half to even down", "2.5", 2);
        row("half to even up", "3.5", 4);
        row("exponent", "1E3", 1000);
        row("negative", "-50", -50);
        row("too big", "99999999999", Overflow);
        row("empty", "", 0);
        row("lone minus", "-", 0);
        row("lone point", ".", 0);
        row("plus", "+7", 7);
        row("tabs and line feeds", " \t1\n2", 12);
        row("blanks in exponent", "1 e 3", 1000);
        row("dangling exponent", "1e", 1);
        row("dangling exponent sign", "1e+", 1);
        row("second point stops", "1.2.3", 1);
        row("comma stops", "1,5", 1);
        row("point first", ".5", 0);
        row("one and a half", "1.5", 2);
        row("minus half", "-0.5", 0);
        row("max", "2147483647", 2147483647);
        row("max and a half rounds to even, out", "2147483647.5", Overflow);
        row("min", "-2147483648", -2147483648LL);
        row("min minus a half rounds to even, in", "-2147483648.5", -2147483648LL);
        row("below min", "-2147483649", Overflow);
        row("huge exponent", "1E400", Overflow);
        row("huge negative exponent", "-1E99999999999999999999", Overflow);
        row("tiny", "1E-400", 0);
        row("zero with huge exponent", "0E99999", 0);
        row("NaN word", "NaN", 0);
        row("Infinity word", "Infinity", 0);
        row("hex", "&H64", 100);
        row("hex lower", "&h1f", 31);
        row("hex all ones", "&HFFFFFFFF", -1);
        row("hex too long", "&H100000000", Overflow);
        row("octal", "&O17", 15);
        row("octal stops at 8", "&O8", 0);
        row("ampersand alone", "&", 0);
        row("arabic digits are no number", QString::fromUtf8("١٢"), 0);
        row("long run of digits", QString(100000, QLatin1Char('9')), Overflow);
        row("long fraction", QStringLiteral("0.") + QString(100000, QLatin1Char('0')) + QStringLiteral("1"), 0);
        row("long mantissa, balancing exponent", QStringLiteral("1") + QString(5000, QLatin1Char('0')) + QStringLiteral("E-5000"), 1);
    }

    void golden()
    {
        QFETCH(QString, text);
        QFETCH(qint64, rate);
        try {
            const int32_t got = rateFromText(text);
            QCOMPARE(qint64(got), rate);
        } catch (const opc::OpcError &e) {
            QCOMPARE(e.code(), opc::Status::NUMERIC_OVERFLOW);
            QCOMPARE(rate, qint64(-1000000000000));
        }
    }

    // Random texts: every one gives a rate or the overflow error, nothing else.
    void fuzzLoop()
    {
        QRandomGenerator random(20261207);
        const QString alphabet = QStringLiteral("0123456789+-.eE &HhOo\tab,9999");
        for (int round = 0; round < 20000; ++round) {
            QString text;
            const int length = random.bounded(40);
            for (int i = 0; i < length; ++i)
                text += alphabet[random.bounded(alphabet.size())];
            try {
                rateFromText(text);
            } catch (const opc::OpcError &e) {
                QCOMPARE(e.code(), opc::Status::NUMERIC_OVERFLOW);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestRateText)
#include "tst_ratetext.moc"
