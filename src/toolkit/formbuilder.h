// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "toolkit/twips.h"

#include <QHash>
#include <QRect>
#include <QString>
#include <QWidget>
#include <vector>

namespace toolkit {

enum class Kind { Button, PictureButton, TextBox, Label, LabelRight, Frame, ListBox, TreeView, ListView };

// One row of a window's design: everything about a control's look and place.
struct ControlRow {
    QString name;
    Kind kind;
    QString container; // empty: the window itself
    QString text;
    QString tooltip;
    QRect twips;       // Left, Top, Width, Height relative to the container
    int tab = -1;      // -1: takes no part in the tab order
    bool enabled = true;
    FontSpec font;
};

struct WindowDesign {
    QString caption;
    QSize clientTwips;
    FontSpec font;
    std::vector<ControlRow> controls;
};

// Builds the controls of a design on a window. Frames are drawn behind the
// other controls; the tab order follows the tab indexes.
class FormBuilder {
public:
    explicit FormBuilder(QWidget *window) : m_window(window) {}
    void build(const WindowDesign &design);
    // What a screen reader calls the controls that show no caption of their
    // own (text boxes, lists, picture buttons): control name, spoken name.
    void nameForScreenReaders(std::initializer_list<std::pair<const char *, const char *>> names);

    template <typename T>
    T *get(const QString &name) const
    {
        return static_cast<T *>(m_widgets.value(name));
    }
    const QHash<QString, QWidget *> &widgets() const { return m_widgets; }

private:
    QWidget *create(const ControlRow &row, QWidget *parent) const;
    QWidget *m_window;
    QHash<QString, QWidget *> m_widgets;
};

} // namespace toolkit
