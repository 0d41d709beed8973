// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/handlers.h"
#include "app/splash.h"
#include "connection/form2.h"
#include "mainwindow/form1.h"
#include "support/fixture.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

using quorivo::Form1;
using quorivo::FrmSplash;

class TestSplash : public QObject {
    Q_OBJECT

    FrmSplash *start()
    {
        quorivo::installProgram();
        testsupport::closeAllWindows();
        FrmSplash *s = FrmSplash::instance();
        s->Show();
        return s;
    }
    static void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }
    // The program ends when this reaches 0.
    static int openWindows()
    {
        int n = 0;
        for (QWidget *w : QApplication::topLevelWidgets())
            n += w->isVisible() ? 1 : 0;
        return n;
    }

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void cleanup() { testsupport::closeAllWindows(); }

    void showsTitleAndVersion()
    {
        FrmSplash *s = start();
        QCOMPARE(s->lblVersion->text(), QStringLiteral("Versione 1.0.0"));
        QCOMPARE(s->lblProductName->text(), QStringLiteral("Quorivo"));
        QCOMPARE(s->lblInstitution->text(), QStringLiteral("Orbessa"));
        QCOMPARE(s->lblCompany->text(), QStringLiteral("Drovane"));
        QVERIFY(s->windowTitle().isEmpty());
        QVERIFY(s->windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(s->size(), toolkit::twipsToPixels(QSize(7380, 4245)));
        QCOMPARE(s->lblProductName->font().pointSizeF(), 32.25);
        QCOMPARE(s->lblProductName->font().weight(), QFont::Bold);
        QCOMPARE(s->lblCopyright->font().weight(), QFont::Normal);
        QCOMPARE(s->Command1->parentWidget(), s->Frame1);
    }

    void versionTextHasNoLeadingZerosOrBlanks()
    {
        QCOMPARE(quorivo::versionText({QStringLiteral("Q"), 1, 0, 0}), QStringLiteral("Versione 1.0.0"));
        QCOMPARE(quorivo::versionText({QStringLiteral("Q"), 12, 3, -4}), QStringLiteral("Versione 12.3.-4"));
    }

    void okOpensTheMainWindow()
    {
        FrmSplash *s = start();
        QTest::mouseClick(s->Command1, Qt::LeftButton);
        settle();
        QVERIFY(!FrmSplash::existing());
        QVERIFY(Form1::existing());
        QVERIFY(Form1::existing()->isVisible());
        QCOMPARE(Form1::existing()->windowTitle(), QStringLiteral("Server Disconnesso"));
    }

    void enterOnOkActsAsOk()
    {
        FrmSplash *s = start();
        QTest::keyClick(s->Command1, Qt::Key_Return);
        settle();
        QVERIFY(Form1::existing());
    }

    void aKeyEndsWithoutMainWindow()
    {
        FrmSplash *s = start();
        QTest::keyClick(s->Command1, Qt::Key_A);
        settle();
        QVERIFY(!FrmSplash::existing());
        QVERIFY(!Form1::existing());
        QCOMPARE(openWindows(), 0);
    }

    void frameClickEndsLabelClickDoesNot()
    {
        FrmSplash *s = start();
        QTest::mouseClick(s->lblProductName, Qt::LeftButton);
        settle();
        QVERIFY(FrmSplash::existing());
        // An empty spot of the frame, below the OK button.
        QTest::mouseClick(s->Frame1, Qt::LeftButton, {}, s->Command1->geometry().bottomLeft() + QPoint(5, 20));
        settle();
        QVERIFY(!FrmSplash::existing());
        QVERIFY(!Form1::existing());
    }

    void esciLeavesOtherWindowsRunning()
    {
        Form1 &f = testsupport::openMainWindow();
        quorivo::Form2::instance()->Show();
        QTest::mouseClick(f.Command5, Qt::LeftButton);
        settle();
        QVERIFY(!Form1::existing());
        QCOMPARE(openWindows(), 1);
        QVERIFY(quorivo::Form2::existing());
        quorivo::Form2::existing()->Unload();
        settle();
        QCOMPARE(openWindows(), 0);
    }
};

QTEST_MAIN(TestSplash)
#include "tst_splash.moc"
