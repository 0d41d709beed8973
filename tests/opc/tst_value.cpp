// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/errors.h"
#include "opc/value.h"

#include <QTest>

using namespace opc;

Q_DECLARE_METATYPE(opc::Value)

class TestValue : public QObject {
    Q_OBJECT
private slots:
    void valueToText_data()
    {
        QTest::addColumn<Value>("value");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        const QString us = QStringLiteral("en_US");
        const QString it = QStringLiteral("it_IT");
        QTest::newRow("empty") << Value() << us << "";
        QTest::newRow("true") << Value::boolean(true) << it << "True";
        QTest::newRow("false") << Value::boolean(false) << it << "False";
        QTest::newRow("i1") << Value::integer(VT_I1, -128) << us << "-128";
        QTest::newRow("i4") << Value::integer(VT_I4, 2147483647) << us << "2147483647";
        QTest::newRow("i8") << Value::integer(VT_I8, -9223372036854775807LL - 1) << us << "-9223372036854775808";
        QTest::newRow("ui8 max") << Value::unsignedInteger(18446744073709551615ULL) << us << "18446744073709551615";
        QTest::newRow("r8 plain") << Value::real(VT_R8, 3.25) << us << "3.25";
        QTest::newRow("r8 comma") << Value::real(VT_R8, 3.25) << it << "3,25";
        QTest::newRow("r8 15 digits") << Value::real(VT_R8, 1.0 / 3.0) << us << "0.333333333333333";
        QTest::newRow("r8 big") << Value::real(VT_R8, 1e15) << us << "1E+15";
        QTest::newRow("r8 below 1e15") << Value::real(VT_R8, 123456789012345.0) << us << "123456789012345";
        QTest::newRow("r8 small") << Value::real(VT_R8, 0.00001) << us << "1E-05";
        QTest::newRow("r8 0.0001") << Value::real(VT_R8, 0.0001) << us << "0.0001";
        QTest::newRow("r8 negative zero") << Value::real(VT_R8, -0.0) << us << "0";
        QTest::newRow("r4 7 digits") << Value::real(VT_R4, 3.14159265) << us << "3.141593";
        QTest::newRow("r4 exponent") << Value::real(VT_R4, 12345678.0) << it << "1,234568E+07";
        QTest::newRow("cy whole") << Value::currency(30000) << us << "3";
        QTest::newRow("cy fraction") << Value::currency(-125000) << it << "-12,5";
        QTest::newRow("cy 4 decimals") << Value::currency(12345) << us << "1.2345";
        QTest::newRow("bstr") << Value::text(QStringLiteral("città")) << us << "città";
    }

    void valueToText()
    {
        QFETCH(Value, value);
        QFETCH(QString, locale);
        QFETCH(QString, text);
        QCOMPARE(opc::valueToText(value, QLocale(locale)), text);
    }

    void cellText_data()
    {
        QTest::addColumn<Value>("value");
        QTest::addColumn<int>("maxLength");
        QTest::addColumn<QString>("text");
        const auto ints = [](std::initializer_list<int> list) {
            std::vector<Value> v;
            for (int i : list)
                v.push_back(Value::integer(VT_I4, i));
            return Value::array(VT_I4, std::move(v));
        };
        QTest::newRow("scalar as its text") << Value::real(VT_R8, 2.5) << 256 << "2.5";
        QTest::newRow("empty array") << Value::array(VT_I4, {}) << 256 << "{}";
        QTest::newRow("elements as writes take them") << ints({1, -2, 3}) << 256 << "{1;-2;3}";
        QTest::newRow("exactly at the bound") << ints({1, 2, 3}) << 6 << "{1;2;3}";
        QTest::newRow("cut between elements") << ints({1, 2, 3, 4}) << 6 << "{1;2;3;…}";
        QTest::newRow("cut inside an element") << ints({123456, 2}) << 4 << "{123…}";
        QTest::newRow("strings unchanged") << Value::array(VT_BSTR, {Value::text("a b"), Value::text("")}) << 256 << "{a b;}";
    }

    void cellText()
    {
        QFETCH(Value, value);
        QFETCH(int, maxLength);
        QFETCH(QString, text);
        QCOMPARE(opc::valueToCellText(value, QLocale(QStringLiteral("en_US")), maxLength), text);
    }

    // A huge array costs no more text than the bound.
    void cellTextOfAHugeArrayIsBounded()
    {
        std::vector<Value> many(100000, Value::real(VT_R8, 1.0 / 3.0));
        const QString text = opc::valueToCellText(Value::array(VT_R8, std::move(many)));
        QVERIFY(text.size() <= 256 + 2);
        QVERIFY(text.endsWith(QStringLiteral("…}")));
    }

    void valuesWithoutTextFail()
    {
        for (const Value &v : {Value::null(), Value::error(5), Value::array(VT_R8, {Value::real(VT_R8, 1)})}) {
            try {
                opc::valueToText(v);
                QFAIL("converted a value that has no text form");
            } catch (const OpcError &e) {
                QCOMPARE(e.code(), Status::DISP_E_TYPEMISMATCH);
            }
        }
    }

    void generalDate_data()
    {
        QTest::addColumn<QDateTime>("local");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        const auto at = [](int y, int mo, int d, int h, int mi, int s) {
            return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
        };
        QTest::newRow("it date and time") << at(2026, 12, 7, 15, 4, 5) << "it_IT" << "07/12/2026 15:04:05";
        QTest::newRow("us date and time") << at(2026, 12, 7, 15, 4, 5) << "en_US" << "12/7/2026 3:04:05 PM";
        QTest::newRow("midnight: date alone") << at(2026, 1, 2, 0, 0, 0) << "it_IT" << "02/01/2026";
        QTest::newRow("day zero: time alone") << at(1899, 12, 30, 8, 30, 0) << "it_IT" << "08:30:00";
        QTest::newRow("day zero at midnight") << at(1899, 12, 30, 0, 0, 0) << "it_IT" << "00:00:00";
        QTest::newRow("de") << at(2026, 3, 14, 9, 26, 53) << "de_DE" << "14.03.2026 09:26:53";
    }

    void generalDate()
    {
        QFETCH(QDateTime, local);
        QFETCH(QString, locale);
        QFETCH(QString, text);
        // Carried as an instant, shown in local time.
        QCOMPARE(opc::dateToText(local.toUTC(), QLocale(locale)), text);
    }

    void oneInstantInTurnsOfLocale()
    {
        // The last text is reused only for the same instant and locale.
        const QDateTime at = QDateTime(QDate(2026, 12, 7), QTime(15, 4, 5), Qt::LocalTime).toUTC();
        const QLocale it(QStringLiteral("it_IT")), us(QStringLiteral("en_US"));
        QCOMPARE(opc::dateToText(at, it), QStringLiteral("07/12/2026 15:04:05"));
        QCOMPARE(opc::dateToText(at, us), QStringLiteral("12/7/2026 3:04:05 PM"));
        QCOMPARE(opc::dateToText(at, it), QStringLiteral("07/12/2026 15:04:05"));
        QCOMPARE(opc::dateToText(at.addSecs(1), it), QStringLiteral("07/12/2026 15:04:06"));
    }

    void textToValue_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<int>("error");    // 0: converts
        QTest::addColumn<QString>("shown"); // its text form in en_US
        QTest::newRow("i2") << "-32768" << int(VT_I2) << "en_US" << 0 << "-32768";
        QTest::newRow("i2 overflow") << "32768" << int(VT_I2) << "en_US" << Status::DISP_E_OVERFLOW << "";
        QTest::newRow("i2 rounds half even") << "2.5" << int(VT_I2) << "en_US" << 0 << "2";
        QTest::newRow("i1 overflow") << "-129" << int(VT_I1) << "en_US" << Status::DISP_E_OVERFLOW << "";
        QTest::newRow("ui1 negative") << "-1" << int(VT_UI1) << "en_US" << Status::DISP_E_OVERFLOW << "";
        QTest::newRow("ui4 max") << "4294967295" << int(VT_UI4) << "en_US" << 0 << "4294967295";
        QTest::newRow("i8 exact") << "9223372036854775807" << int(VT_I8) << "en_US" << 0 << "9223372036854775807";
        QTest::newRow("i8 overflow") << "9223372036854775808" << int(VT_I8) << "en_US" << Status::DISP_E_OVERFLOW << "";
        QTest::newRow("ui8 exact") << "18446744073709551615" << int(VT_UI8) << "en_US" << 0 << "18446744073709551615";
        QTest::newRow("ui8 negative") << "-5" << int(VT_UI8) << "en_US" << Status::DISP_E_OVERFLOW << "";
        QTest::newRow("i4 words") << "abc" << int(VT_I4) << "en_US" << Status::DISP_E_TYPEMISMATCH << "";
        QTest::newRow("i4 empty") << "" << int(VT_I4) << "en_US" << Status::DISP_E_TYPEMISMATCH << "";
        QTest::newRow("r8 comma") << "3,5" << int(VT_R8) << "it_IT" << 0 << "3.5";
        QTest::newRow("r8 groups") << "1.234,5" << int(VT_R8) << "it_IT" << 0 << "1234.5";
        QTest::newRow("r8 exponent") << "1e300" << int(VT_R8) << "en_US" << 0 << "1E+300";
        QTest::newRow("r8 overflow") << "1e400" << int(VT_R8) << "en_US" << Status::DISP_E_OVERFLOW << "";
        QTest::newRow("r8 underflow") << "1e-400" << int(VT_R8) << "en_US" << 0 << "0";
        QTest::newRow("r8 tiny without exponent") << QStringLiteral("0.") + QString(400, QLatin1Char('0')) + QStringLiteral("1")
                                                  << int(VT_R8) << "en_US" << 0 << "0";
        QTest::newRow("r8 huge without exponent") << QStringLiteral("1") + QString(400, QLatin1Char('0')) << int(VT_R8)
                                                  << "en_US" << Status::DISP_E_OVERFLOW << "";
        QTest::newRow("r4 overflow") << "1e39" << int(VT_R4) << "en_US" << Status::DISP_E_OVERFLOW << "";
        QTest::newRow("cy") << "12.34567" << int(VT_CY) << "en_US" << 0 << "12.3457";
        QTest::newRow("cy overflow") << "1e16" << int(VT_CY) << "en_US" << Status::DISP_E_OVERFLOW << "";
        QTest::newRow("bool word") << "true" << int(VT_BOOL) << "en_US" << 0 << "True";
        QTest::newRow("bool number") << "0" << int(VT_BOOL) << "en_US" << 0 << "False";
        QTest::newRow("bool nonsense") << "maybe" << int(VT_BOOL) << "en_US" << Status::DISP_E_TYPEMISMATCH << "";
        QTest::newRow("bstr as is") << " x " << int(VT_BSTR) << "en_US" << 0 << " x ";
        QTest::newRow("date") << "12/7/2026 3:04:05 PM" << int(VT_DATE) << "en_US" << 0 << "12/7/2026 3:04:05 PM";
        QTest::newRow("date bad") << "31/31/31" << int(VT_DATE) << "en_US" << Status::DISP_E_TYPEMISMATCH << "";
        QTest::newRow("error type") << "1" << int(VT_ERROR) << "en_US" << Status::OPC_E_BADTYPE << "";
    }

    void textToValue()
    {
        QFETCH(QString, text);
        QFETCH(int, type);
        QFETCH(QString, locale);
        QFETCH(int, error);
        QFETCH(QString, shown);
        try {
            const Value v = opc::textToValue(text, static_cast<uint16_t>(type), QLocale(locale));
            QCOMPARE(error, 0);
            QCOMPARE(v.type(), type);
            QCOMPARE(opc::valueToText(v, QLocale(QStringLiteral("en_US"))), shown);
        } catch (const OpcError &e) {
            QCOMPARE(e.code(), error);
        }
    }

    void arraysFromText()
    {
        const Value v = opc::textToValue(QStringLiteral("{1,5; 2}"), VT_ARRAY | VT_R8, QLocale(QStringLiteral("it_IT")));
        QCOMPARE(v.type(), VT_ARRAY | VT_R8);
        QCOMPARE(v.elements().size(), size_t(2));
        QCOMPARE(v.elements()[0].toDouble(), 1.5);
        QCOMPARE(opc::textToValue(QStringLiteral("{}"), VT_ARRAY | VT_I4).elements().size(), size_t(0));
        QVERIFY_THROWS_EXCEPTION(OpcError, opc::textToValue(QStringLiteral("1;x"), VT_ARRAY | VT_I4));
    }

    void numberForms()
    {
        QCOMPARE(signedNumberText(1), QStringLiteral(" 1"));
        QCOMPARE(signedNumberText(0), QStringLiteral(" 0"));
        QCOMPARE(signedNumberText(-5), QStringLiteral("-5"));
        QCOMPARE(hexText(255), QStringLiteral("FF"));
        QCOMPARE(hexText(0), QStringLiteral("0"));
        QCOMPARE(hexText(-2147467259), QStringLiteral("80004005"));
        QCOMPARE(hexText(-1), QStringLiteral("FFFFFFFF"));
        QCOMPARE(statusName(status(0xC004000C)), QStringLiteral("OPC_E_DUPLICATENAME"));
        QCOMPARE(Status::OPC_E_DUPLICATENAME, -1073479668);
    }

    void roundsHalfToEven()
    {
        QCOMPARE(roundHalfEven(2.5), 2.0);
        QCOMPARE(roundHalfEven(3.5), 4.0);
        QCOMPARE(roundHalfEven(-2.5), -2.0);
        QCOMPARE(roundHalfEven(-3.5), -4.0);
        QCOMPARE(roundHalfEven(2.4999), 2.0);
    }
};

QTEST_GUILESS_MAIN(TestValue)
#include "tst_value.moc"
