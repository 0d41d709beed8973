// SPDX-License-Identifier: GPL-3.0-or-later
// The requests an operator's action costs, counted by the server: each
// asks what it needs once.
#include "connection/form2.h"
#include "scriptedserver.h"
#include "support/fixture.h"
#include "support/messages.h"

#include <QTest>

using quorivo::Form1;
using namespace testsupport;

class TestUaRoundTrips : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { closeAllWindows(); }

    // "Proprietà" shows eight facts of one ServerStatus: one Read, and a
    // fresh one each time the window is asked again.
    void propertiesReadTheStatusOnce()
    {
        ScriptedServer server;
        MessageRecorder messages;
        Form1 &f = openMainWindow();
        f.Text2->setText(server.url());
        f.OPCServerName->setText(server.endpoint());
        click(f.OPCServerConnect);
        QCOMPARE(f.windowTitle(), QStringLiteral("Server Connesso"));
        QTest::qWait(50); // the session's own reads of its facts, done
        for (int time = 1; time <= 2; ++time) {
            const int before = server.counts().reads;
            click(f.Command6);
            QCOMPARE(server.counts().reads - before, 1);
            QCoreApplication::processEvents();
        }
        QVERIFY(messages.messages.empty());
    }
};

QTEST_MAIN(TestUaRoundTrips)
#include "tst_uaroundtrips.moc"
