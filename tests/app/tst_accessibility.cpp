// SPDX-License-Identifier: GPL-3.0-or-later
// What a screen reader hears of every control of the windows: its name,
// its role and, where the design gives a tooltip, its description.
#include "app/handlers.h"
#include "app/splash.h"
#include "connection/form2.h"
#include "groups/form4.h"
#include "items/form3.h"
#include "mainwindow/form1.h"
#include "support/fixture.h"

#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QLabel>
#include <QScopeGuard>
#include <QTest>

using namespace quorivo;

namespace {

QWidget *windowNamed(const QString &name)
{
    if (name == QLatin1String("frmSplash"))
        return FrmSplash::instance();
    if (name == QLatin1String("form1"))
        return Form1::instance();
    if (name == QLatin1String("Form2"))
        return Form2::instance();
    if (name == QLatin1String("Form3"))
        return Form3::instance();
    return Form4::instance();
}

} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { installProgram(); }
    void cleanupTestCase() { testsupport::closeAllWindows(); }

    void everyControl_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("description");
        const auto row = [](const char *window, const char *control, const char *name, QAccessible::Role role,
                            const char *description = "") {
            QTest::addRow("%s.%s", window, control) << QString::fromLatin1(window) << QString::fromLatin1(control)
                                                     << QString::fromUtf8(name) << int(role) << QString::fromUtf8(description);
        };
        const auto B = QAccessible::Button, E = QAccessible::EditableText, L = QAccessible::StaticText,
                   List = QAccessible::List, Tree = QAccessible::Tree;
        row("frmSplash", "lblInstitution", "Orbessa", L);
        row("frmSplash", "lblProductName", "Quorivo", L);
        row("frmSplash", "lblVersion", "Versione 1.0.0", L);
        row("frmSplash", "Command1", "OK", B);
        row("frmSplash", "lblCopyright", "© 2026 Drovane", L);
        row("frmSplash", "lblCompany", "Drovane", L);
        row("form1", "ListOPCServers", "Lista degli OPC Servers", B, "Visualizza la lista dei Servers disponibili ");
        row("form1", "OPCServerList", "Elenco degli OPC Servers", List,
            "Seleziona un OPC Server e premi il pulsante \"Connetti\"");
        row("form1", "OPCServerName", "Server OPC", E);
        row("form1", "OPCServerConnect", "Connetti", B, "Effettua la connessione con il server selezionato");
        row("form1", "Label3", "   IP Server", L,
            "Indirizzo fisico o logico per effettuare una connessione remota, per la connessione locale lasciare vuoto");
        row("form1", "Text2", "IP Server", E);
        row("form1", "Command6", "Proprietà", B, "Visualizza le proprietà del Server corrente");
        row("form1", "DisconnectFromServer", "Disconnessione", B, "Disconnette il server corrente");
        row("form1", "Command5", "Esci", B);
        row("form1", "r", "Aggiungi gruppi al Server", QAccessible::Grouping);
        row("form1", "Label1", "Nome Gruppo", L);
        row("form1", "OPCGroupName", "Nome Gruppo", E, "Nome del gruppo, deve essere unico");
        row("form1", "Label5", "Update Rate (ms)", L);
        row("form1", "GroupUpdateRate", "Update Rate (ms)", E,
            "Frequenza di refresh per l'aggiornamento del valore degli item ");
        row("form1", "AddOPCGroup", "Aggiungi ", B, "Aggiunge un gruppo");
        row("form1", "Command1", "Espolora risorse", B, "Restituisce l'elenco degli item del server corrente");
        row("form1", "TreeView1", "Risorse del server", Tree);
        row("form1", "ListView1", "Items del ramo", Tree);
        row("form1", "Command2", "Aggiungi Item", B, "Aggiunge un item al gruppo selezionato");
        row("form1", "Text1", "Item ID", E);
        row("form1", "Label4", "Elenco Gruppi", L);
        row("form1", "Label2", "Items del gruppo", L);
        row("form1", "List2", "Elenco Gruppi", List);
        row("form1", "ListView2", "Items del gruppo", Tree);
        row("form1", "Command4", "Elimina  gruppo ", B, "Elimina il gruppo selezionato");
        row("form1", "Command8", "Modifica Rate", B);
        row("form1", "Command3", "Proprietà Items", B, "Proprietà degli Item");
        row("form1", "Command7", "Elimina Item", B);
        for (const char *label : {"StartTime", "CurrentTime", "LastUpdateTime", "MajorVersion", "MinorVersion",
                                  "BuildNumber", "VendorInfo", "ServerState", "LocalID", "BandWidth", "ServerName",
                                  "ServerNode"})
            QTest::addRow("Form2.%s", label) << "Form2" << QString() << QString::fromLatin1(label) << int(L) << QString();
        row("Form2", "Command1", "Chiudi", B);
        row("Form3", "ListView1", "Proprietà degli Item", Tree);
        row("Form3", "Text2", "ItemID", E);
        row("Form3", "Command2", "Scrivi Valore", B);
        row("Form3", "Text1", "Valore", E);
        row("Form3", "Command1", "Esci", B);
        row("Form4", "Label1", "Gruppo", L);
        row("Form4", "Label2", "Update rate", L);
        row("Form4", "Text1", "Gruppo", E);
        row("Form4", "Text2", "Update rate", E);
        row("Form4", "Command1", "Ok", B);
    }

    void everyControl()
    {
        QFETCH(QString, window);
        QFETCH(QString, control);
        QFETCH(QString, name);
        QFETCH(int, role);
        QFETCH(QString, description);
        QWidget *top = windowNamed(window);
        QWidget *widget = nullptr;
        if (control.isEmpty()) { // a label found by the text it shows
            for (QLabel *label : top->findChildren<QLabel *>())
                if (label->text() == name)
                    widget = label;
        } else {
            widget = top->findChild<QWidget *>(control);
        }
        QVERIFY(widget);
        QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(spoken);
        QCOMPARE(spoken->text(QAccessible::Name), name);
        QCOMPARE(int(spoken->role()), role);
        QCOMPARE(spoken->text(QAccessible::Description), description);
    }

    // Every control that a user can reach has a name to speak.
    void noReachableControlIsNameless()
    {
        for (const char *name : {"frmSplash", "form1", "Form2", "Form3", "Form4"}) {
            QWidget *top = windowNamed(QString::fromLatin1(name));
            for (QWidget *widget : top->findChildren<QWidget *>()) {
                if (widget->objectName().isEmpty() || widget->focusPolicy() == Qt::NoFocus)
                    continue;
                QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(widget);
                QVERIFY2(spoken && !spoken->text(QAccessible::Name).trimmed().isEmpty(),
                         qPrintable(QString::fromLatin1(name) + QLatin1Char('.') + widget->objectName()));
            }
        }
    }

    // The item table is read cell by cell, each with its column's name.
    void itemTableCellsHaveTheirColumns()
    {
        Form1 &f = testsupport::openMainWindow();
        testsupport::connectToSimulation(f);
        testsupport::addGroup(f, QStringLiteral("G"));
        testsupport::selectGroup(f, QStringLiteral("G"));
        testsupport::addItem(f, QStringLiteral("Registers.Int4"));
        f.Command3_Click();
        Form3 *form = Form3::existing();
        QVERIFY(form);
        QCoreApplication::processEvents();
        QAccessibleInterface *table = QAccessible::queryAccessibleInterface(form->ListView1);
        QVERIFY(table && table->tableInterface());
        QCOMPARE(table->tableInterface()->columnCount(), 5);
        QCOMPARE(table->tableInterface()->rowCount(), 1);
        const QStringList columns{"ItemID", "Value", "DataType", "Quality", "TimeStamp"};
        const QStringList cells{"Registers.Int4", "0", "3", "192"};
        for (int c = 0; c < cells.size(); ++c) {
            QAccessibleInterface *cell = table->tableInterface()->cellAt(0, c);
            QVERIFY(cell && cell->tableCellInterface());
            QCOMPARE(cell->text(QAccessible::Name), cells[c]);
            const auto headers = cell->tableCellInterface()->columnHeaderCells();
            // Qt hands these out unregistered: they are the caller's.
            const auto release = qScopeGuard([&headers] {
                for (QAccessibleInterface *header : headers)
                    QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(header));
            });
            QCOMPARE(headers.size(), 1);
            QCOMPARE(headers.first()->text(QAccessible::Name), columns[c]);
        }
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
