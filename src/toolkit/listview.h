// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QTreeView>
#include <optional>
#include <vector>

namespace toolkit {

// Rows of a list view. Texts are stored at once; the view hears of new rows
// and changed cells once per event-loop turn, in as few ranges as possible,
// so rewriting a whole large table stays cheap. A subclass may keep raw data
// instead and make a cell's text only when it is read.
class ListViewModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ListViewModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Appends a row; a non-empty key already present throws KeyNotUnique.
    int addRow(const QString &key, const QString &text);
    virtual void clearRows();
    int rows() const { return static_cast<int>(m_rows.size()); }
    QString key(int row) const;
    virtual QString cell(int row, int column) const;
    // Writes a cell; an unchanged text costs nothing and signals nothing.
    void setCell(int row, int column, const QString &text);

    int addColumn(const QString &text, int widthPixels);
    void clearColumns();
    int columns() const { return static_cast<int>(m_headers.size()); }
    int columnWidth(int column) const;

    // Sends the pending notifications now instead of at the end of the turn.
    void flush();

protected:
    // Tells the view, at the end of the turn, that these cells changed.
    void markDirty(int row, int firstColumn, int lastColumn);

private:
    struct Row {
        QString key;
        std::vector<QString> cells;
    };
    struct Header {
        QString text;
        int width;
    };

    void scheduleFlush();

    std::vector<Row> m_rows;
    int m_shownRows = 0;
    QHash<QString, int> m_keys;
    std::vector<Header> m_headers;
    std::vector<int> m_dirtyRows;
    std::vector<char> m_isDirty;
    int m_dirtyFirstColumn = 0;
    int m_dirtyLastColumn = -1;
    bool m_flushQueued = false;
};

class ListView;

// A row handle: the row's 1-based position in its list.
class ListItem {
public:
    ListItem(ListView *view, int row) : m_view(view), m_row(row) {}
    QString Text() const;
    void setText(const QString &text);
    int Index() const { return m_row + 1; }
    QString Key() const;
    QString SubItems(int i) const;
    void setSubItems(int i, const QString &text);

private:
    ListView *m_view;
    int m_row;
};

class ListView : public QTreeView {
    Q_OBJECT
public:
    static constexpr int ReportView = 3;

    explicit ListView(QWidget *parent = nullptr);

    class Items {
    public:
        explicit Items(ListView *view) : m_view(view) {}
        ListItem Add(const QString &key = {}, const QString &text = {});
        void Clear();
        int Count() const;
        ListItem Item(int index) const; // 1-based; throws IndexOutOfBounds
    private:
        ListView *m_view;
    };
    class Headers {
    public:
        explicit Headers(ListView *view) : m_view(view) {}
        void Add(const QString &text, double widthTwips);
        void Clear();
        int Count() const;
    private:
        ListView *m_view;
    };

    Items ListItems() { return Items(this); }
    Headers ColumnHeaders() { return Headers(this); }
    void setView(int view);
    int View() const { return m_view; }
    double Width() const; // in twips
    std::optional<ListItem> SelectedItem();
    ListViewModel *rows() const { return m_model; }
    // Shows another model's rows; the view owns it from then on.
    void setRowsModel(ListViewModel *model);

signals:
    void Click();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles) override;

private:
    friend class ListItem;
    void applyHeaderState();

    ListViewModel *m_model;
    int m_view = 0;
};

} // namespace toolkit
