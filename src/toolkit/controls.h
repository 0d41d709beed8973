// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace toolkit {

class CommandButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
};

class TextBox : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;
    QString Text() const { return text(); }
    void setText(const QString &t) { QLineEdit::setText(t); }
};

// A label takes its clicks for itself: they never reach the frame behind it.
class Label : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    QString Caption() const { return text(); }
    void setCaption(const QString &t) { setText(t); }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// A frame reports clicks on its own empty area; clicks on the controls
// inside it stay with those controls.
class Frame : public QGroupBox {
    Q_OBJECT
public:
    using QGroupBox::QGroupBox;
signals:
    void Click();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// A list box whose Click means "the user selected an entry": filling or
// emptying it from code raises nothing.
class ListBox : public QListWidget {
    Q_OBJECT
public:
    explicit ListBox(QWidget *parent = nullptr);

    void Clear();
    void AddItem(const QString &text);
    int ListIndex() const;          // -1 when nothing is selected
    QString List(int index) const;  // text at a 0-based index; empty outside the list
    int ListCount() const { return count(); }
    void setListIndex(int index);   // selects as the user would, raising Click

signals:
    void Click();

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    void onSelectionChanged();
    void onItemClicked(QListWidgetItem *item);

    bool m_filling = false;
    bool m_clickRaised = false; // this press has raised Click already
};

} // namespace toolkit
