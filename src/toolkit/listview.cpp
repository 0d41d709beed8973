// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/listview.h"

#include "toolkit/error.h"
#include "toolkit/twips.h"

#include <QAccessible>
#include <QHeaderView>
#include <QMouseEvent>
#include <algorithm>
#include <cmath>

namespace toolkit {

namespace {
// Past this many separate runs one covering range is cheaper for the view.
constexpr size_t MaxRanges = 32;
} // namespace

ListViewModel::ListViewModel(QObject *parent) : QAbstractTableModel(parent) {}

int ListViewModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : m_shownRows; }

int ListViewModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : std::max(1, columns());
}

QVariant ListViewModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_shownRows || role != Qt::DisplayRole)
        return {};
    return cell(index.row(), index.column());
}

QVariant ListViewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columns())
        return {};
    return m_headers[static_cast<size_t>(section)].text;
}

int ListViewModel::addRow(const QString &key, const QString &text)
{
    if (!key.isEmpty()) {
        if (m_keys.contains(key))
            throw WidgetError(KeyNotUnique, "key is not unique in collection");
        m_keys.insert(key, rows());
    }
    m_rows.push_back(Row{key, {text}});
    m_isDirty.push_back(0);
    scheduleFlush();
    return rows() - 1;
}

void ListViewModel::clearRows()
{
    beginResetModel();
    m_rows.clear();
    m_keys.clear();
    m_dirtyRows.clear();
    m_isDirty.clear();
    m_shownRows = 0;
    endResetModel();
}

QString ListViewModel::key(int row) const { return m_rows[static_cast<size_t>(row)].key; }

QString ListViewModel::cell(int row, int column) const
{
    if (row < 0 || row >= rows() || column < 0)
        return {};
    const auto &cells = m_rows[static_cast<size_t>(row)].cells;
    return static_cast<size_t>(column) < cells.size() ? cells[static_cast<size_t>(column)] : QString();
}

void ListViewModel::setCell(int row, int column, const QString &text)
{
    if (row < 0 || row >= rows() || column < 0)
        throw WidgetError(IndexOutOfBounds, "list row or column out of range");
    auto &cells = m_rows[static_cast<size_t>(row)].cells;
    const auto col = static_cast<size_t>(column);
    if (col < cells.size() && cells[col] == text)
        return;
    if (col >= cells.size())
        cells.resize(col + 1);
    cells[col] = text;
    markDirty(row, column, column);
}

void ListViewModel::markDirty(int row, int firstColumn, int lastColumn)
{
    // A row not shown yet reaches the view whole when it is inserted.
    if (row >= m_shownRows)
        return;
    if (!m_isDirty[static_cast<size_t>(row)]) {
        m_isDirty[static_cast<size_t>(row)] = 1;
        m_dirtyRows.push_back(row);
    }
    if (m_dirtyLastColumn < 0) {
        m_dirtyFirstColumn = firstColumn;
        m_dirtyLastColumn = lastColumn;
    } else {
        m_dirtyFirstColumn = std::min(m_dirtyFirstColumn, firstColumn);
        m_dirtyLastColumn = std::max(m_dirtyLastColumn, lastColumn);
    }
    scheduleFlush();
}

int ListViewModel::addColumn(const QString &text, int widthPixels)
{
    const int at = columns();
    // The first header takes over the implicit column that showed the row texts.
    if (at > 0)
        beginInsertColumns({}, at, at);
    m_headers.push_back(Header{text, widthPixels});
    if (at > 0)
        endInsertColumns();
    else
        emit headerDataChanged(Qt::Horizontal, 0, 0);
    return at;
}

void ListViewModel::clearColumns()
{
    if (columns() > 1) {
        beginRemoveColumns({}, 1, columns() - 1);
        m_headers.resize(1);
        endRemoveColumns();
    }
    m_headers.clear();
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

int ListViewModel::columnWidth(int column) const
{
    return column >= 0 && column < columns() ? m_headers[static_cast<size_t>(column)].width : 0;
}

void ListViewModel::scheduleFlush()
{
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    QMetaObject::invokeMethod(this, &ListViewModel::flush, Qt::QueuedConnection);
}

void ListViewModel::flush()
{
    m_flushQueued = false;
    if (!m_dirtyRows.empty()) {
        // Rows are marked in order by a refresh; only other writers need the sort.
        if (!std::is_sorted(m_dirtyRows.begin(), m_dirtyRows.end()))
            std::sort(m_dirtyRows.begin(), m_dirtyRows.end());
        const int lastColumn = std::min(m_dirtyLastColumn, columnCount() - 1);
        const int firstColumn = std::min(m_dirtyFirstColumn, lastColumn);
        std::vector<std::pair<int, int>> runs;
        for (int row : m_dirtyRows) {
            m_isDirty[static_cast<size_t>(row)] = 0;
            if (!runs.empty() && runs.back().second + 1 == row)
                runs.back().second = row;
            else
                runs.emplace_back(row, row);
        }
        m_dirtyRows.clear();
        m_dirtyLastColumn = -1;
        if (runs.size() > MaxRanges)
            runs = {{runs.front().first, runs.back().second}};
        for (const auto &[first, last] : runs)
            emit dataChanged(index(first, firstColumn), index(last, lastColumn), {Qt::DisplayRole});
    }
    if (m_shownRows < rows()) {
        beginInsertRows({}, m_shownRows, rows() - 1);
        m_shownRows = rows();
        endInsertRows();
    }
}

QString ListItem::Text() const { return m_view->m_model->cell(m_row, 0); }
void ListItem::setText(const QString &text) { m_view->m_model->setCell(m_row, 0, text); }
QString ListItem::Key() const { return m_view->m_model->key(m_row); }
QString ListItem::SubItems(int i) const { return m_view->m_model->cell(m_row, i); }

void ListItem::setSubItems(int i, const QString &text)
{
    if (i < 1)
        throw WidgetError(InvalidPropertyValue, "sub-item index out of range");
    m_view->m_model->setCell(m_row, i, text);
}

ListView::ListView(QWidget *parent) : QTreeView(parent), m_model(new ListViewModel(this))
{
    setModel(m_model);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setItemsExpandable(false);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    applyHeaderState();
}

void ListView::setRowsModel(ListViewModel *model)
{
    ListViewModel *old = m_model;
    model->setParent(this);
    m_model = model;
    setModel(model);
    delete old;
    applyHeaderState();
}

ListItem ListView::Items::Add(const QString &key, const QString &text)
{
    return ListItem(m_view, m_view->m_model->addRow(key, text));
}

void ListView::Items::Clear() { m_view->m_model->clearRows(); }
int ListView::Items::Count() const { return m_view->m_model->rows(); }

ListItem ListView::Items::Item(int index) const
{
    if (index < 1 || index > Count())
        throw WidgetError(IndexOutOfBounds, "list item index out of range");
    return ListItem(m_view, index - 1);
}

void ListView::Headers::Add(const QString &text, double widthTwips)
{
    const int width = twipsToPixelsX(static_cast<int>(std::lround(widthTwips)));
    const int column = m_view->m_model->addColumn(text, width);
    m_view->setColumnWidth(column, width);
    m_view->applyHeaderState();
}

void ListView::Headers::Clear()
{
    m_view->m_model->clearColumns();
    m_view->applyHeaderState();
}

int ListView::Headers::Count() const { return m_view->m_model->columns(); }

void ListView::setView(int view)
{
    m_view = view;
    applyHeaderState();
}

void ListView::applyHeaderState()
{
    // Column headers show only in report view and only once there is one.
    setHeaderHidden(m_view != ReportView || m_model->columns() == 0);
}

double ListView::Width() const { return pixelsToTwipsX(width()); }

std::optional<ListItem> ListView::SelectedItem()
{
    m_model->flush();
    const auto selected = selectionModel()->selectedRows();
    if (selected.isEmpty())
        return std::nullopt;
    return ListItem(this, selected.first().row());
}

// The tree view walks every row of a changed range; rows out of sight are
// painted from the model when they scroll in, so only the visible part of
// the range is passed on (all of it while a screen reader listens).
void ListView::dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles)
{
    if (QAccessible::isActive() || !topLeft.isValid() || !bottomRight.isValid() || topLeft.row() == bottomRight.row()) {
        QTreeView::dataChanged(topLeft, bottomRight, roles);
        return;
    }
    const QModelIndex top = indexAt(QPoint(0, 0));
    if (!top.isValid())
        return; // nothing shown
    const QModelIndex bottom = indexAt(QPoint(0, viewport()->height() - 1));
    const int firstShown = top.row();
    const int lastShown = bottom.isValid() ? bottom.row() : model()->rowCount() - 1;
    const int first = std::max(topLeft.row(), firstShown);
    const int last = std::min(bottomRight.row(), lastShown);
    if (first > last)
        return;
    QTreeView::dataChanged(model()->index(first, topLeft.column()), model()->index(last, bottomRight.column()), roles);
}

void ListView::mouseReleaseEvent(QMouseEvent *event)
{
    QTreeView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton)
        emit Click();
}

} // namespace toolkit
