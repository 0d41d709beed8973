// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/value.h"
#include "toolkit/listview.h"

#include <QDateTime>
#include <optional>
#include <vector>

Q_DECLARE_METATYPE(opc::Value)

namespace quorivo {

// What one row of the item table shows, as the server gave it.
struct ItemRow {
    QString itemId;
    opc::Value value;
    int16_t dataType = 0;
    int32_t quality = 0;
    QDateTime timeStamp;
    int32_t serverHandle = 0;

    bool operator==(const ItemRow &other) const = default;
};

// The rows of the item properties table. Each row keeps the raw value,
// quality and time its item last gave; a refresh compares raw data and
// tells the view only of rows that changed, and a cell's text is made only
// when it is painted or read. Qt::UserRole gives the raw data of a cell.
class ItemTable final : public toolkit::ListViewModel {
    Q_OBJECT
public:
    using toolkit::ListViewModel::ListViewModel;

    // Row `row` (0-based, already added) now shows these data.
    void setItemRow(int row, ItemRow data);
    const ItemRow *itemRow(int row) const;
    // The server handle of the item the row last showed; 0 for none.
    int32_t handleOf(int row) const;

    void clearRows() override;
    QString cell(int row, int column) const override;
    QVariant data(const QModelIndex &index, int role) const override;

private:
    std::vector<std::optional<ItemRow>> m_items; // by row; rows set by texts alone have none
};

// A cell's text: a value that has none (a nested array, an error value)
// shows empty rather than hiding its row.
QString valueCellText(const opc::Value &value);

} // namespace quorivo
