// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/treeview.h"

#include "toolkit/error.h"

#include <QMouseEvent>

namespace toolkit {

TreeModel::TreeModel(QObject *parent) : QAbstractItemModel(parent) {}

TreeModel::~TreeModel()
{
    for (TNode *child : m_root.children)
        forget(child);
}

void TreeModel::forget(TNode *node)
{
    for (TNode *child : node->children)
        forget(child);
    m_keys.remove(node->key);
    delete node;
}

int TreeModel::rowOf(const TNode *node) const
{
    const TNode *parentNode = node->parent;
    return static_cast<int>(node->seq - parentNode->children.front()->seq);
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex &parentIndex) const
{
    const TNode *parentNode = parentIndex.isValid() ? nodeAt(parentIndex) : &m_root;
    if (column != 0 || row < 0 || static_cast<size_t>(row) >= parentNode->children.size())
        return {};
    return createIndex(row, 0, parentNode->children[static_cast<size_t>(row)]);
}

QModelIndex TreeModel::parent(const QModelIndex &child) const
{
    if (!child.isValid())
        return {};
    return indexOf(nodeAt(child)->parent);
}

QModelIndex TreeModel::indexOf(const TNode *node) const
{
    if (!node || node == &m_root)
        return {};
    return createIndex(rowOf(node), 0, const_cast<TNode *>(node));
}

TreeModel::TNode *TreeModel::nodeAt(const QModelIndex &index) const
{
    return index.isValid() ? static_cast<TNode *>(index.internalPointer()) : const_cast<TNode *>(&m_root);
}

int TreeModel::rowCount(const QModelIndex &parentIndex) const
{
    if (parentIndex.column() > 0)
        return 0;
    return static_cast<int>(nodeAt(parentIndex)->children.size());
}

int TreeModel::columnCount(const QModelIndex &) const { return 1; }

bool TreeModel::hasChildren(const QModelIndex &parentIndex) const { return rowCount(parentIndex) > 0; }

QVariant TreeModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole)
        return {};
    return nodeAt(index)->text;
}

TreeModel::TNode *TreeModel::add(TNode *parentNode, const QString &key, const QString &text)
{
    if (m_keys.contains(key))
        throw WidgetError(KeyNotUnique, "key is not unique in collection");
    TNode *owner = parentNode ? parentNode : &m_root;
    const int row = static_cast<int>(owner->children.size());
    auto *node = new TNode{key, text, owner, {}, owner->children.empty() ? 0 : owner->children.back()->seq + 1};
    beginInsertRows(indexOf(owner), row, row);
    owner->children.push_back(node);
    m_keys.insert(key, node);
    endInsertRows();
    return node;
}

void TreeModel::remove(TNode *node)
{
    TNode *owner = node->parent;
    const int row = rowOf(node);
    beginRemoveRows(indexOf(owner), row, row);
    if (row == 0) {
        owner->children.pop_front();
    } else {
        owner->children.erase(owner->children.begin() + row);
        for (size_t i = static_cast<size_t>(row); i < owner->children.size(); ++i)
            --owner->children[i]->seq;
    }
    forget(node);
    endRemoveRows();
}

void TreeModel::clear()
{
    beginResetModel();
    for (TNode *child : m_root.children)
        forget(child);
    m_root.children.clear();
    m_keys.clear();
    endResetModel();
}

TreeModel::TNode *Node::node() const
{
    TreeModel::TNode *found = m_tree->m_model->find(m_key);
    if (!found)
        throw WidgetError(ElementNotFound, "element not found");
    return found;
}

bool Node::exists() const { return m_tree->m_model->find(m_key) != nullptr; }
QString Node::Text() const { return node()->text; }

std::optional<Node> Node::Child() const
{
    const auto *self = node();
    if (self->children.empty())
        return std::nullopt;
    return Node(m_tree, self->children.front()->key);
}

int Node::Children() const { return static_cast<int>(node()->children.size()); }

void Node::EnsureVisible() const
{
    const QModelIndex index = m_tree->m_model->indexOf(node());
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent())
        m_tree->expand(up);
    m_tree->scrollTo(index);
}

TreeView::TreeView(QWidget *parent) : QTreeView(parent), m_model(new TreeModel(this))
{
    setModel(m_model);
    setHeaderHidden(true);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(this, &QTreeView::expanded, this,
            [this](const QModelIndex &index) { emit Expand(Node(this, m_model->nodeAt(index)->key)); });
    connect(this, &QTreeView::collapsed, this,
            [this](const QModelIndex &index) { emit Collapse(Node(this, m_model->nodeAt(index)->key)); });
}

Node TreeView::NodeList::Add(const QString &relative, int relationship, const QString &key, const QString &text)
{
    TreeModel::TNode *parentNode = nullptr;
    if (!relative.isEmpty()) {
        parentNode = m_tree->m_model->find(relative);
        if (!parentNode)
            throw WidgetError(ElementNotFound, "element not found");
        if (relationship != tvwChild)
            throw WidgetError(InvalidPropertyValue, "only child relationships are supported");
    }
    m_tree->m_model->add(parentNode, key, text);
    return Node(m_tree, key);
}

void TreeView::NodeList::Remove(const QString &key)
{
    TreeModel::TNode *node = m_tree->m_model->find(key);
    if (!node)
        throw WidgetError(ElementNotFound, "element not found");
    m_tree->m_model->remove(node);
}

void TreeView::NodeList::Clear() { m_tree->m_model->clear(); }
int TreeView::NodeList::Count() const { return m_tree->m_model->nodeCount(); }

std::optional<Node> TreeView::NodeList::Item(const QString &key) const
{
    if (!m_tree->m_model->find(key))
        return std::nullopt;
    return Node(m_tree, key);
}

std::optional<Node> TreeView::SelectedItem()
{
    const QModelIndex current = currentIndex();
    if (!current.isValid() || !selectionModel()->isSelected(current))
        return std::nullopt;
    return Node(this, m_model->nodeAt(current)->key);
}

void TreeView::select(const QString &key)
{
    if (const auto *node = m_model->find(key))
        setCurrentIndex(m_model->indexOf(node));
}

void TreeView::mouseReleaseEvent(QMouseEvent *event)
{
    QTreeView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton)
        emit Click();
}

} // namespace toolkit
