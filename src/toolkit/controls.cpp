// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/controls.h"

#include <QMouseEvent>

namespace toolkit {

void Label::mousePressEvent(QMouseEvent *event) { event->accept(); }
void Label::mouseReleaseEvent(QMouseEvent *event) { event->accept(); }

void Frame::mouseReleaseEvent(QMouseEvent *event)
{
    QGroupBox::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit Click();
}

ListBox::ListBox(QWidget *parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    // As the classic list box: no horizontal scroll bar, which in a list one
    // row high would cover the row; a clipped entry shows whole as its tip.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(this, &QListWidget::itemSelectionChanged, this, &ListBox::onSelectionChanged);
    connect(this, &QListWidget::itemClicked, this, &ListBox::onItemClicked);
}

void ListBox::Clear()
{
    m_filling = true;
    clear();
    m_filling = false;
}

void ListBox::AddItem(const QString &text)
{
    m_filling = true;
    auto *item = new QListWidgetItem(text);
    item->setToolTip(text);
    addItem(item);
    m_filling = false;
}

int ListBox::ListIndex() const
{
    const auto selected = selectedItems();
    return selected.isEmpty() ? -1 : row(selected.first());
}

QString ListBox::List(int index) const
{
    const QListWidgetItem *entry = item(index);
    return entry ? entry->text() : QString();
}

void ListBox::setListIndex(int index)
{
    if (index < 0 || index >= count()) {
        clearSelection();
        return;
    }
    if (index == currentRow() && item(index)->isSelected()) {
        emit Click();
        return;
    }
    setCurrentRow(index);
}

void ListBox::mousePressEvent(QMouseEvent *event)
{
    m_clickRaised = false;
    QListWidget::mousePressEvent(event);
}

// Only a selected entry counts: focus alone makes a row current, unselected.
void ListBox::onSelectionChanged()
{
    if (!m_filling && ListIndex() >= 0) {
        m_clickRaised = true;
        emit Click();
    }
}

void ListBox::onItemClicked(QListWidgetItem *)
{
    // A click on the entry that was already current changes no row, yet the
    // user did select it.
    if (!m_clickRaised)
        emit Click();
    m_clickRaised = true;
}

} // namespace toolkit
