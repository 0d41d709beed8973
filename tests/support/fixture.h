// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mainwindow/form1.h"

#include <QAbstractButton>

namespace quorivo {

// Reaches the main window's private state for checks.
class Form1Probe {
public:
    explicit Form1Probe(Form1 &f) : m_f(f) {}
    OPCAutomation::ServerPtr &AnOPCServer() { return m_f.AnOPCServer; }
    OPCAutomation::ServerPtr &ConnectedOPCServer() { return m_f.ConnectedOPCServer; }
    OPCAutomation::GroupPtr &ConnectedGroup() { return m_f.ConnectedGroup; }
    OPCAutomation::BrowserPtr &ConnectedServerBrowser() { return m_f.ConnectedServerBrowser; }
    QString &BrowseRootName() { return m_f.BrowseRootName; }
    int16_t &EmptyNodeCounter() { return m_f.EmptyNodeCounter; }

private:
    Form1 &m_f;
};

} // namespace quorivo

namespace testsupport {

// A fresh main window, shown, with every other window of the program closed.
quorivo::Form1 &openMainWindow();
void closeAllWindows();

// The user's gestures.
void click(QAbstractButton *button);
void pickListRow(toolkit::ListBox *list, int row);
void pickListViewRow(toolkit::ListView *view, int row); // 1-based; raises Click
void pickTreeNode(toolkit::TreeView *tree, const QString &key); // selects and raises Click
void expandNode(toolkit::TreeView *tree, const QString &key);
void collapseNode(toolkit::TreeView *tree, const QString &key);

// Lists the servers of the local node, picks the simulation server, connects.
void connectToSimulation(quorivo::Form1 &f);
// Types the node and the server's name and connects; whether the window
// says it is connected.
bool connectByName(quorivo::Form1 &f, const QString &node, const QString &serverName);
void addGroup(quorivo::Form1 &f, const QString &name, const QString &rate = QStringLiteral("100"));
void selectGroup(quorivo::Form1 &f, const QString &name);
void addItem(quorivo::Form1 &f, const QString &itemId);

// The OPC error report's text for an operation and an error number.
QString reportText(const char *operation, int32_t code);
// The tree key of a node of the simulation server: its name, then the path.
QString simNodeKey(std::initializer_list<const char *> path);

QStringList listBoxTexts(const toolkit::ListBox *list);
QStringList listViewKeys(toolkit::ListView *view);
QStringList listViewTexts(toolkit::ListView *view);

} // namespace testsupport
