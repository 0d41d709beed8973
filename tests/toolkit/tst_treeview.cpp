// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/error.h"
#include "toolkit/treeview.h"

#include <QAbstractItemModelTester>
#include <QTest>

using toolkit::TreeView;
using toolkit::WidgetError;

class TestTreeView : public QObject {
    Q_OBJECT
private slots:
    void keysAreUniqueInTheWholeTree()
    {
        TreeView tree;
        auto nodes = tree.Nodes();
        nodes.Add(QStringLiteral("root"), QStringLiteral("root"));
        nodes.Add(QStringLiteral("root"), TreeView::tvwChild, QStringLiteral("a"), QStringLiteral("a"));
        QVERIFY_THROWS_EXCEPTION(WidgetError, nodes.Add(QStringLiteral("root"), TreeView::tvwChild, QStringLiteral("a"), {}));
        QVERIFY_THROWS_EXCEPTION(WidgetError, nodes.Add(QStringLiteral("a"), QStringLiteral("top")));
        QVERIFY_THROWS_EXCEPTION(WidgetError, nodes.Add(QStringLiteral("missing"), TreeView::tvwChild, QStringLiteral("b"), {}));
        QCOMPARE(nodes.Count(), 2);
    }

    void childAndChildrenFollowAddsAndRemoves()
    {
        TreeView tree;
        QAbstractItemModelTester tester(tree.model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        auto nodes = tree.Nodes();
        auto root = nodes.Add(QStringLiteral("r"), QStringLiteral("r"));
        QCOMPARE(root.Children(), 0);
        QVERIFY(!root.Child());
        for (const char *k : {"c1", "c2", "c3"})
            nodes.Add(QStringLiteral("r"), TreeView::tvwChild, QString::fromLatin1(k), QString::fromLatin1(k));
        nodes.Add(QStringLiteral("c2"), TreeView::tvwChild, QStringLiteral("c2a"), {});
        QCOMPARE(root.Children(), 3);
        QCOMPARE(root.Child()->Key(), QStringLiteral("c1"));

        nodes.Remove(QStringLiteral("c1"));
        QCOMPARE(root.Child()->Key(), QStringLiteral("c2"));
        nodes.Remove(QStringLiteral("c3")); // the last one
        nodes.Add(QStringLiteral("r"), TreeView::tvwChild, QStringLiteral("c4"), {});
        QCOMPARE(root.Children(), 2);
        // Removing a node takes its subtree, keys included.
        nodes.Remove(QStringLiteral("c2"));
        QVERIFY(!nodes.Item(QStringLiteral("c2a")));
        QCOMPARE(root.Child()->Key(), QStringLiteral("c4"));
        QCOMPARE(tree.model()->index(0, 0, tree.nodes()->indexOf(tree.nodes()->find(QStringLiteral("r")))).data().toString(),
                 QString());
        QVERIFY_THROWS_EXCEPTION(WidgetError, nodes.Remove(QStringLiteral("c2")));
    }

    void removingFromTheMiddleKeepsRowsRight()
    {
        TreeView tree;
        QAbstractItemModelTester tester(tree.model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        auto nodes = tree.Nodes();
        nodes.Add(QStringLiteral("r"), QStringLiteral("r"));
        for (int i = 0; i < 6; ++i)
            nodes.Add(QStringLiteral("r"), TreeView::tvwChild, QString::number(i), QString::number(i));
        nodes.Remove(QStringLiteral("2"));
        nodes.Remove(QStringLiteral("0"));
        const QModelIndex root = tree.nodes()->indexOf(tree.nodes()->find(QStringLiteral("r")));
        QStringList texts;
        for (int row = 0; row < tree.model()->rowCount(root); ++row) {
            const QModelIndex child = tree.model()->index(row, 0, root);
            QCOMPARE(child.row(), row);
            QCOMPARE(tree.model()->parent(child), root);
            texts << child.data().toString();
        }
        QCOMPARE(texts, (QStringList{"1", "3", "4", "5"}));
    }

    void nodeHandlesOfRemovedNodesFailCleanly()
    {
        TreeView tree;
        auto node = tree.Nodes().Add(QStringLiteral("r"), QStringLiteral("r"));
        tree.Nodes().Clear();
        QVERIFY(!node.exists());
        QVERIFY_THROWS_EXCEPTION(WidgetError, node.Children());
        QVERIFY(!tree.SelectedItem());
    }

    void expandRaisesTheNodeAndAChildShowsTheSign()
    {
        TreeView tree;
        tree.Nodes().Add(QStringLiteral("r"), QStringLiteral("r"));
        QVERIFY(!tree.model()->hasChildren(tree.model()->index(0, 0)));
        tree.Nodes().Add(QStringLiteral("r"), TreeView::tvwChild, QStringLiteral("p"), {});
        QVERIFY(tree.model()->hasChildren(tree.model()->index(0, 0)));
        QStringList expanded;
        QObject::connect(&tree, &TreeView::Expand, [&](const toolkit::Node &n) { expanded << n.Key(); });
        tree.expand(tree.model()->index(0, 0));
        QCOMPARE(expanded, QStringList{QStringLiteral("r")});
    }
};

QTEST_MAIN(TestTreeView)
#include "tst_treeview.moc"
