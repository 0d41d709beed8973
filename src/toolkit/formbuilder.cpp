// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/formbuilder.h"

#include "toolkit/controls.h"
#include "toolkit/listview.h"
#include "toolkit/treeview.h"

#include <algorithm>

namespace toolkit {

QWidget *FormBuilder::create(const ControlRow &row, QWidget *parent) const
{
    switch (row.kind) {
    case Kind::Button:
        return new CommandButton(row.text, parent);
    case Kind::PictureButton: {
        auto *button = new CommandButton(parent);
        button->setIconSize(twipsToPixels(QSize(480, 480)));
        return button;
    }
    case Kind::TextBox: {
        auto *box = new TextBox(parent);
        box->setText(row.text);
        return box;
    }
    case Kind::Label:
    case Kind::LabelRight: {
        auto *label = new Label(row.text, parent);
        label->setAlignment((row.kind == Kind::LabelRight ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
        return label;
    }
    case Kind::Frame:
        return new Frame(row.text, parent);
    case Kind::ListBox:
        return new ListBox(parent);
    case Kind::TreeView:
        return new TreeView(parent);
    case Kind::ListView:
        return new ListView(parent);
    }
    return nullptr;
}

void FormBuilder::build(const WindowDesign &design)
{
    m_window->setWindowTitle(design.caption);
    m_window->setFont(makeFont(design.font, m_window->font()));
    m_window->resize(twipsToPixels(design.clientTwips));

    for (const ControlRow &row : design.controls) {
        QWidget *parent = row.container.isEmpty() ? m_window : m_widgets.value(row.container, m_window);
        QWidget *widget = create(row, parent);
        widget->setObjectName(row.name);
        widget->setGeometry(twipsToPixels(row.twips));
        widget->setFont(makeFont(row.font, parent->font()));
        if (!row.tooltip.isEmpty()) {
            widget->setToolTip(row.tooltip);
            // Not every kind of control hands its tooltip to a screen reader.
            widget->setAccessibleDescription(row.tooltip);
        }
        // A button is spoken exactly as its caption shows, blanks included.
        if (row.kind == Kind::Button)
            widget->setAccessibleName(row.text);
        widget->setEnabled(row.enabled);
        if (row.kind == Kind::Frame)
            widget->lower();
        m_widgets.insert(row.name, widget);
    }

    std::vector<const ControlRow *> ordered;
    for (const ControlRow &row : design.controls)
        if (row.tab >= 0 && m_widgets.value(row.name)->focusPolicy() != Qt::NoFocus)
            ordered.push_back(&row);
    std::sort(ordered.begin(), ordered.end(), [](auto *a, auto *b) { return a->tab < b->tab; });
    for (size_t i = 1; i < ordered.size(); ++i)
        QWidget::setTabOrder(m_widgets.value(ordered[i - 1]->name), m_widgets.value(ordered[i]->name));
}

void FormBuilder::nameForScreenReaders(std::initializer_list<std::pair<const char *, const char *>> names)
{
    for (const auto &[control, spoken] : names)
        if (QWidget *widget = m_widgets.value(QString::fromLatin1(control)))
            widget->setAccessibleName(QString::fromUtf8(spoken));
}

} // namespace toolkit
