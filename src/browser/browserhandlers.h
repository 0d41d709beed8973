// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mainwindow/form1.h"

namespace quorivo {

void installBrowserHandlers();

// Node keys are paths: the server name, then each branch name after this
// separator.
inline const QChar KeySeparator = QChar(2);
inline const QString PlaceholderMark = QStringLiteral("nodovuoto");

// The address-space browser: the tree, its placeholders and the leaf list.
struct BrowserHandlers {
    static void Command1_Click(Form1 &f);
    static void TreeView1_Expand(Form1 &f, const toolkit::Node &node);
    static void TreeView1_Collapse(Form1 &f, const toolkit::Node &node);
    static void TreeView1_Click(Form1 &f);
    static void ListView1_Click(Form1 &f);

    static void MoveBrowserToPath(Form1 &f, const QString &path);
    // The next placeholder key; the 16-bit counter wraps to 1 past 32767 and
    // skips numbers still in the tree.
    static QString nextPlaceholderKey(Form1 &f);
};

} // namespace quorivo
