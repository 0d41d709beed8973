// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/fixture.h"

#include "app/handlers.h"
#include "app/splash.h"
#include "browser/browserhandlers.h"
#include "opc/sim/simserver.h"
#include "opc/value.h"
#include "connection/form2.h"
#include "groups/form4.h"
#include "items/form3.h"

#include <QCoreApplication>
#include <QTest>

namespace testsupport {

using quorivo::Form1;

void closeAllWindows()
{
    if (auto *w = quorivo::FrmSplash::existing())
        w->Unload();
    if (auto *w = quorivo::Form2::existing())
        w->Unload();
    if (auto *w = quorivo::Form3::existing())
        w->Unload();
    if (auto *w = quorivo::Form4::existing())
        w->Unload();
    if (auto *w = Form1::existing())
        w->Unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

Form1 &openMainWindow()
{
    quorivo::installProgram();
    QGuiApplication::setQuitOnLastWindowClosed(false);
    closeAllWindows();
    Form1 *f = Form1::instance();
    f->Show();
    return *f;
}

void click(QAbstractButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton);
}

void pickListRow(toolkit::ListBox *list, int row) { list->setListIndex(row); }

void pickListViewRow(toolkit::ListView *view, int row)
{
    view->rows()->flush();
    view->setCurrentIndex(view->model()->index(row - 1, 0));
    emit view->Click();
}

void pickTreeNode(toolkit::TreeView *tree, const QString &key)
{
    tree->select(key);
    emit tree->Click();
}

void expandNode(toolkit::TreeView *tree, const QString &key)
{
    tree->expand(tree->nodes()->indexOf(tree->nodes()->find(key)));
}

void collapseNode(toolkit::TreeView *tree, const QString &key)
{
    tree->collapse(tree->nodes()->indexOf(tree->nodes()->find(key)));
}

void connectToSimulation(Form1 &f)
{
    click(f.ListOPCServers);
    pickListRow(f.OPCServerList, 0);
    click(f.OPCServerConnect);
}

bool connectByName(Form1 &f, const QString &node, const QString &serverName)
{
    f.Text2->setText(node);
    f.OPCServerName->setText(serverName);
    click(f.OPCServerConnect);
    return f.windowTitle() == QStringLiteral("Server Connesso");
}

void addGroup(Form1 &f, const QString &name, const QString &rate)
{
    f.OPCGroupName->setText(name);
    f.GroupUpdateRate->setText(rate);
    click(f.AddOPCGroup);
}

void selectGroup(Form1 &f, const QString &name)
{
    for (int i = 0; i < f.List2->ListCount(); ++i)
        if (f.List2->List(i) == name) {
            pickListRow(f.List2, i);
            return;
        }
}

void addItem(Form1 &f, const QString &itemId)
{
    f.Text1->setText(itemId);
    click(f.Command2);
}

QString reportText(const char *operation, int32_t code)
{
    return QStringLiteral("La funzione OPC '") + QString::fromUtf8(operation) + QStringLiteral("' ha restituito un errore di") +
           opc::signedNumberText(code) + QStringLiteral(" o Hex 0x") + opc::hexText(code);
}

QString simNodeKey(std::initializer_list<const char *> path)
{
    QString key = QString::fromLatin1(opc::sim::ProgId);
    for (const char *name : path)
        key += quorivo::KeySeparator + QString::fromLatin1(name);
    return key;
}

QStringList listBoxTexts(const toolkit::ListBox *list)
{
    QStringList texts;
    for (int i = 0; i < list->ListCount(); ++i)
        texts << list->List(i);
    return texts;
}

QStringList listViewKeys(toolkit::ListView *view)
{
    QStringList keys;
    for (int i = 1; i <= view->ListItems().Count(); ++i)
        keys << view->ListItems().Item(i).Key();
    return keys;
}

QStringList listViewTexts(toolkit::ListView *view)
{
    QStringList texts;
    for (int i = 1; i <= view->ListItems().Count(); ++i)
        texts << view->ListItems().Item(i).Text();
    return texts;
}

} // namespace testsupport
