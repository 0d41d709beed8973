// SPDX-License-Identifier: GPL-3.0-or-later
#include "items/itemtable.h"

#include "opc/errors.h"

namespace quorivo {

namespace {
enum Column { ItemIdColumn, ValueColumn, DataTypeColumn, QualityColumn, TimeStampColumn };
}

QString valueCellText(const opc::Value &value)
{
    try {
        return opc::valueToCellText(value);
    } catch (const opc::OpcError &) {
        return {};
    }
}

void ItemTable::setItemRow(int row, ItemRow data)
{
    if (row < 0 || row >= rows())
        return;
    const auto at = static_cast<size_t>(row);
    if (m_items.size() <= at)
        m_items.resize(at + 1);
    std::optional<ItemRow> &shown = m_items[at];
    int first = ItemIdColumn, last = TimeStampColumn;
    if (shown) {
        // The first and last cells that changed, for the view's ranges.
        const bool changed[] = {shown->itemId != data.itemId, !(shown->value == data.value), shown->dataType != data.dataType,
                                shown->quality != data.quality, shown->timeStamp != data.timeStamp};
        while (first <= last && !changed[first])
            ++first;
        if (first > last)
            return;
        while (!changed[last])
            --last;
    }
    shown = std::move(data);
    markDirty(row, first, last);
}

const ItemRow *ItemTable::itemRow(int row) const
{
    if (row < 0 || static_cast<size_t>(row) >= m_items.size() || !m_items[static_cast<size_t>(row)])
        return nullptr;
    return &*m_items[static_cast<size_t>(row)];
}

int32_t ItemTable::handleOf(int row) const
{
    const ItemRow *item = itemRow(row);
    return item ? item->serverHandle : 0;
}

void ItemTable::clearRows()
{
    m_items.clear();
    toolkit::ListViewModel::clearRows();
}

QString ItemTable::cell(int row, int column) const
{
    const ItemRow *item = itemRow(row);
    if (!item)
        return toolkit::ListViewModel::cell(row, column);
    switch (column) {
    case ItemIdColumn: return item->itemId;
    case ValueColumn: return valueCellText(item->value);
    case DataTypeColumn: return QString::number(item->dataType);
    case QualityColumn: return QString::number(item->quality);
    case TimeStampColumn: return opc::dateToText(item->timeStamp);
    default: return {};
    }
}

QVariant ItemTable::data(const QModelIndex &index, int role) const
{
    if (role != Qt::UserRole)
        return toolkit::ListViewModel::data(index, role);
    const ItemRow *item = index.isValid() ? itemRow(index.row()) : nullptr;
    if (!item || index.row() >= rowCount())
        return {};
    switch (index.column()) {
    case ItemIdColumn: return item->itemId;
    case ValueColumn: return QVariant::fromValue(item->value);
    case DataTypeColumn: return item->dataType;
    case QualityColumn: return item->quality;
    case TimeStampColumn: return item->timeStamp;
    default: return {};
    }
}

} // namespace quorivo
