// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QTreeView>
#include <deque>
#include <memory>
#include <optional>

namespace toolkit {

class TreeView;

// Nodes of the tree, keyed uniquely across the whole tree. Children live in
// a deque and carry increasing sequence numbers, so removing first children
// one by one (as a subtree is taken down) stays cheap even for huge branches.
class TreeModel final : public QAbstractItemModel {
    Q_OBJECT
public:
    struct TNode {
        QString key;
        QString text;
        TNode *parent = nullptr;
        std::deque<TNode *> children;
        int64_t seq = 0;
    };

    explicit TreeModel(QObject *parent = nullptr);
    ~TreeModel() override;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool hasChildren(const QModelIndex &parent = {}) const override;

    TNode *find(const QString &key) const { return m_keys.value(key, nullptr); }
    // Appends under parentNode (nullptr: top level). Throws KeyNotUnique.
    TNode *add(TNode *parentNode, const QString &key, const QString &text);
    // Removes the node with its whole subtree.
    void remove(TNode *node);
    void clear();
    int nodeCount() const { return static_cast<int>(m_keys.size()); }
    QModelIndex indexOf(const TNode *node) const;
    TNode *nodeAt(const QModelIndex &index) const;

private:
    int rowOf(const TNode *node) const;
    void forget(TNode *node);

    TNode m_root;
    QHash<QString, TNode *> m_keys;
};

// A node handle by key: it never dangles; a node gone from the tree makes
// every access fail with ElementNotFound.
class Node {
public:
    Node(TreeView *tree, QString key) : m_tree(tree), m_key(std::move(key)) {}
    const QString &Key() const { return m_key; }
    QString Text() const;
    std::optional<Node> Child() const;
    int Children() const;
    void EnsureVisible() const;
    bool exists() const;

private:
    TreeModel::TNode *node() const;
    TreeView *m_tree;
    QString m_key;
};

class TreeView : public QTreeView {
    Q_OBJECT
public:
    static constexpr int tvwChild = 4;

    explicit TreeView(QWidget *parent = nullptr);

    class NodeList {
    public:
        explicit NodeList(TreeView *tree) : m_tree(tree) {}
        // relative empty: a top-level node; otherwise relationship tvwChild.
        Node Add(const QString &relative, int relationship, const QString &key, const QString &text);
        Node Add(const QString &key, const QString &text) { return Add({}, 0, key, text); }
        void Remove(const QString &key);
        void Clear();
        int Count() const;
        std::optional<Node> Item(const QString &key) const;
    private:
        TreeView *m_tree;
    };

    NodeList Nodes() { return NodeList(this); }
    std::optional<Node> SelectedItem();
    TreeModel *nodes() const { return m_model; }
    // Selects a node as a user's click would, without raising Click.
    void select(const QString &key);

signals:
    void Expand(toolkit::Node node);
    void Collapse(toolkit::Node node);
    void Click();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    friend class Node;
    TreeModel *m_model;
};

} // namespace toolkit
