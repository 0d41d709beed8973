// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/errorreport.h"
#include "mainwindow/form1.h"
#include "support/fixture.h"
#include "support/messages.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QTest>

using quorivo::Form1;

class TestForm1 : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testsupport::closeAllWindows(); }

    void controlsAtStart_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QRect>("twips");
        const auto row = [](const char *name, const char *text, const char *tip, bool enabled, QRect r) {
            QTest::newRow(name) << QString::fromUtf8(name) << QString::fromUtf8(text) << QString::fromUtf8(tip) << enabled << r;
        };
        row("ListOPCServers", "Lista degli OPC Servers", "Visualizza la lista dei Servers disponibili ", true, {120, 240, 2892, 255});
        row("OPCServerList", "", "Seleziona un OPC Server e premi il pulsante \"Connetti\"", true, {120, 660, 2892, 450});
        row("OPCServerName", " ", "", true, {120, 1470, 2892, 285});
        row("OPCServerConnect", "Connetti", "Effettua la connessione con il server selezionato", true, {120, 1920, 2892, 285});
        row("Label3", "   IP Server",
            "Indirizzo fisico o logico per effettuare una connessione remota, per la connessione locale lasciare vuoto", true,
            {3240, 360, 1335, 255});
        row("Text2", "", "", true, {3120, 600, 1695, 288});
        row("Command6", "Proprietà", "Visualizza le proprietà del Server corrente", false, {3120, 960, 1695, 375});
        row("DisconnectFromServer", "Disconnessione", "Disconnette il server corrente", false, {3120, 1440, 1695, 375});
        row("Command5", "Esci", "", true, {3120, 1920, 1695, 285});
        row("r", "Aggiungi gruppi al Server", "", true, {5160, 0, 4215, 1812});
        row("Label1", "Nome Gruppo", "", true, {480, 240, 1215, 255});
        row("OPCGroupName", "Gruppo1", "Nome del gruppo, deve essere unico", false, {2400, 240, 1572, 285});
        row("Label5", "Update Rate (ms)", "", true, {480, 600, 1692, 252});
        row("GroupUpdateRate", "100", "Frequenza di refresh per l'aggiornamento del valore degli item ", false,
            {2400, 600, 1212, 285});
        row("AddOPCGroup", "Aggiungi ", "Aggiunge un gruppo", false, {2400, 1200, 1572, 255});
        row("Command1", "Espolora risorse", "Restituisce l'elenco degli item del server corrente", false, {360, 2760, 2652, 255});
        row("TreeView1", "", "", true, {360, 3120, 2652, 2532});
        row("ListView1", "", "", true, {3120, 3120, 2412, 2532});
        row("Command2", "Aggiungi Item", "Aggiunge un item al gruppo selezionato", false, {360, 5760, 5172, 255});
        row("Text1", " ", "", true, {360, 6120, 5172, 372});
        row("Label4", "Elenco Gruppi", "", true, {6000, 2400, 1212, 252});
        row("Label2", "Items del gruppo", "", true, {7800, 2400, 2292, 252});
        row("List2", "", "", true, {5880, 3120, 1455, 2205});
        row("ListView2", "", "", true, {7440, 3120, 1812, 2388});
        row("Command4", "Elimina  gruppo ", "Elimina il gruppo selezionato", false, {5880, 5760, 1452, 255});
        row("Command8", "Modifica Rate", "", false, {5880, 6120, 1452, 255});
        row("Command3", "Proprietà Items", "Proprietà degli Item", false, {7440, 5760, 1812, 255});
        row("Command7", "Elimina Item", "", false, {7440, 6120, 1812, 255});
    }

    void controlsAtStart()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QString, tooltip);
        QFETCH(bool, enabled);
        QFETCH(QRect, twips);
        Form1 &f = testsupport::openMainWindow();
        QWidget *w = f.builder().widgets().value(name);
        QVERIFY2(w, qPrintable(name));
        QString shown;
        if (auto *b = qobject_cast<QAbstractButton *>(w))
            shown = b->text();
        else if (auto *e = qobject_cast<QLineEdit *>(w))
            shown = e->text();
        else if (auto *l = qobject_cast<QLabel *>(w))
            shown = l->text();
        else if (auto *g = qobject_cast<QGroupBox *>(w))
            shown = g->title();
        QCOMPARE(shown, text);
        QCOMPARE(w->toolTip(), tooltip);
        QCOMPARE(w->isEnabled(), enabled);
        QCOMPARE(w->geometry(), toolkit::twipsToPixels(twips));
    }

    void windowAtStart()
    {
        Form1 &f = testsupport::openMainWindow();
        QCOMPARE(f.windowTitle(), QStringLiteral("Server Disconnesso"));
        QCOMPARE(f.size(), toolkit::twipsToPixels(QSize(9510, 6690)));
        QCOMPARE(f.enableRow(), QStringLiteral("EEEDDDDDDDDDDD"));
        QCOMPARE(f.Label3->parentWidget(), f.Frame1);
        QCOMPARE(f.OPCGroupName->parentWidget(), f.r);
        QCOMPARE(f.ListView2->ColumnHeaders().Count(), 1);
        QCOMPARE(f.focusWidget(), f.OPCServerConnect);
        QVERIFY(!f.windowIcon().isNull());
        // Bookman where the design says so, the default font elsewhere.
        QCOMPARE(f.OPCServerConnect->font().family(), QStringLiteral("Bookman Old Style"));
        QCOMPARE(f.OPCServerConnect->font().weight(), QFont::Light);
        QCOMPARE(f.Command2->font(), f.font());
        QVERIFY(f.ConnectedServerGroups == nullptr && f.Grp1 == nullptr);
    }

    void tabOrderFollowsTheTabIndexes()
    {
        Form1 &f = testsupport::openMainWindow();
        const QStringList expected{"OPCServerConnect", "ListOPCServers", "DisconnectFromServer", "OPCGroupName",
                                   "GroupUpdateRate", "AddOPCGroup", "Command1", "Text1", "Command2", "List2", "Text2",
                                   "Command5", "Command6", "OPCServerName", "OPCServerList", "TreeView1", "ListView1",
                                   "ListView2", "Command8", "Command7", "Command3", "Command4"};
        QStringList seen;
        QWidget *w = f.OPCServerConnect;
        for (int steps = 0; steps < 200 && seen.size() < expected.size(); ++steps) {
            if (expected.contains(w->objectName()) && !seen.contains(w->objectName()))
                seen << w->objectName();
            w = w->nextInFocusChain();
        }
        QCOMPARE(seen, expected);
    }

    void controlsStayWhenTheWindowResizes()
    {
        Form1 &f = testsupport::openMainWindow();
        const QRect before = f.Command7->geometry();
        f.resize(f.width() * 2, f.height() * 2);
        QCOMPARE(f.Command7->geometry(), before);
    }

    void errorMessages_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("negative") << "Connetti" << -2147467259
                                  << "La funzione OPC 'Connetti' ha restituito un errore di-2147467259 o Hex 0x80004005";
        QTest::newRow("overflow") << "Group Update Rate" << 6
                                  << "La funzione OPC 'Group Update Rate' ha restituito un errore di 6 o Hex 0x6";
        QTest::newRow("empty name") << "" << 6 << "La funzione OPC '' ha restituito un errore di 6 o Hex 0x6";
        QTest::newRow("zero") << "Connetti" << 0 << "La funzione OPC 'Connetti' ha restituito un errore di 0 o Hex 0x0";
        QTest::newRow("255") << "Connetti" << 255 << "La funzione OPC 'Connetti' ha restituito un errore di 255 o Hex 0xFF";
        QTest::newRow("duplicate name") << "Aggiungi gruppo" << -1073479668
                                        << "La funzione OPC 'Aggiungi gruppo' ha restituito un errore di-1073479668 o Hex 0xC004000C";
        QTest::newRow("int min") << "x" << int(-2147483647 - 1)
                                 << "La funzione OPC 'x' ha restituito un errore di-2147483648 o Hex 0x80000000";
    }

    void errorMessages()
    {
        QFETCH(QString, operation);
        QFETCH(int, code);
        QFETCH(QString, message);
        testsupport::MessageRecorder boxes;
        Form1 &f = testsupport::openMainWindow();
        f.DisplayOPC_COM_ErrorValue(operation, code);
        QCOMPARE(boxes.messages.size(), size_t(1));
        QCOMPARE(boxes.messages[0].prompt, message);
        QCOMPARE(boxes.messages[0].title, QStringLiteral(" Funzione d'errore OPC"));
        QCOMPARE(boxes.messages[0].buttons, 0);
        QVERIFY(!message.contains(QLatin1Char('\n')));
    }

    void removeChildrenTakesTheSubtreeDepthFirst()
    {
        Form1 &f = testsupport::openMainWindow();
        auto nodes = f.TreeView1->Nodes();
        nodes.Add(QStringLiteral("N"), QStringLiteral("N"));
        for (const char *k : {"a", "b", "c"})
            nodes.Add(QStringLiteral("N"), toolkit::TreeView::tvwChild, QString::fromLatin1(k), {});
        nodes.Add(QStringLiteral("b"), toolkit::TreeView::tvwChild, QStringLiteral("b1"), {});
        nodes.Add(QStringLiteral("b"), toolkit::TreeView::tvwChild, QStringLiteral("b2"), {});
        QStringList removed;
        connect(f.TreeView1->model(), &QAbstractItemModel::rowsAboutToBeRemoved, this,
                [&](const QModelIndex &parent, int first) {
                    removed << f.TreeView1->model()->index(first, 0, parent).data().toString() +
                                   (parent.isValid() ? QString() : QStringLiteral("!"));
                });
        // Texts equal keys here, so the order of removal shows.
        f.TreeView1->Nodes().Clear();
        nodes.Add(QStringLiteral("N"), QStringLiteral("N"));
        for (const char *k : {"a", "b", "c"})
            nodes.Add(QStringLiteral("N"), toolkit::TreeView::tvwChild, QString::fromLatin1(k), QString::fromLatin1(k));
        nodes.Add(QStringLiteral("b"), toolkit::TreeView::tvwChild, QStringLiteral("b1"), QStringLiteral("b1"));
        nodes.Add(QStringLiteral("b"), toolkit::TreeView::tvwChild, QStringLiteral("b2"), QStringLiteral("b2"));
        removed.clear();
        f.RemoveChildren(*nodes.Item(QStringLiteral("N")), true);
        QCOMPARE(removed, (QStringList{"a", "b1", "b2", "b", "c"}));
        QCOMPARE(nodes.Count(), 1);
        QCOMPARE(nodes.Item(QStringLiteral("N"))->Children(), 0);
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
