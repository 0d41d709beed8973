// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/splash.h"

#include "mainwindow/form1.h"
#include "toolkit/formbuilder.h"
#include "toolkit/icon.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QStyleOptionFrame>

namespace quorivo {

using toolkit::ControlRow;
using toolkit::FontSpec;
using toolkit::Kind;

AppIdentity appIdentity()
{
    return {QStringLiteral("Quorivo"), QUORIVO_VERSION_MAJOR, QUORIVO_VERSION_MINOR, QUORIVO_VERSION_PATCH};
}

QString versionText(const AppIdentity &id)
{
    return QStringLiteral("Versione %1.%2.%3").arg(id.major).arg(id.minor).arg(id.revision);
}

namespace {
toolkit::WindowDesign splashDesign()
{
    const auto t = [](const char *s) { return QString::fromUtf8(s); };
    const FontSpec small{QStringLiteral("Arial"), 8.25, 400};
    return {
        {},
        {7380, 4245},
        {},
        {
            {t("Frame1"), Kind::Frame, {}, {}, {}, {150, 60, 7080, 4050}, 0, true, {}},
            {t("lblInstitution"), Kind::Label, t("Frame1"), t("Orbessa"), {}, {240, 360, 5592, 660}, 4, true,
             {QStringLiteral("Arial"), 18, 700}},
            {t("lblProductName"), Kind::Label, t("Frame1"), {}, {}, {1080, 960, 3924, 756}, 5, true,
             {QStringLiteral("Arial"), 32.25, 700}},
            {t("lblVersion"), Kind::LabelRight, t("Frame1"), {}, {}, {4608, 2700, 1644, 288}, 3, true,
             {QStringLiteral("Arial"), 12, 700}},
            {t("Command1"), Kind::Button, t("Frame1"), t("OK"), {}, {360, 2280, 1452, 492}, 6, true, {}},
            {t("lblCopyright"), Kind::Label, t("Frame1"), t("© 2026 Drovane"), {},
             {4320, 3360, 852, 252}, 2, true, small},
            {t("lblCompany"), Kind::Label, t("Frame1"), t("Drovane"), {}, {4560, 3720, 2412, 252}, 1, true, small},
        },
    };
}

// An auto-sized label keeps its left edge, or its right edge when right-aligned.
void autoSize(QLabel *label)
{
    const QRect before = label->geometry();
    label->adjustSize();
    if (label->alignment() & Qt::AlignRight)
        label->move(before.right() - label->width() + 1, before.top());
}
} // namespace

FrmSplash::FrmSplash()
{
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    // A tool window (kept out of the task bar) does not count for ending the
    // program by default: closed without opening the main window, it would
    // leave the process running with no window at all.
    setAttribute(Qt::WA_QuitOnClose, true);
    setWindowIcon(toolkit::programIcon());
    toolkit::FormBuilder b(this);
    b.build(splashDesign());
    Frame1 = b.get<toolkit::Frame>(QStringLiteral("Frame1"));
    lblInstitution = b.get<toolkit::Label>(QStringLiteral("lblInstitution"));
    lblProductName = b.get<toolkit::Label>(QStringLiteral("lblProductName"));
    lblVersion = b.get<toolkit::Label>(QStringLiteral("lblVersion"));
    Command1 = b.get<toolkit::CommandButton>(QStringLiteral("Command1"));
    lblCopyright = b.get<toolkit::Label>(QStringLiteral("lblCopyright"));
    lblCompany = b.get<toolkit::Label>(QStringLiteral("lblCompany"));
    setFixedSize(size());

    // Load: fill the two labels from the application's identity.
    const AppIdentity id = appIdentity();
    lblVersion->setCaption(versionText(id));
    lblProductName->setCaption(id.title);
    for (QLabel *label : {lblInstitution, lblProductName, lblVersion, lblCopyright, lblCompany})
        autoSize(label);

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    connect(Command1, &QPushButton::clicked, this, &FrmSplash::Command1_Click);
    connect(Frame1, &toolkit::Frame::Click, this, &FrmSplash::Frame1_Click);
    // Key preview: the window sees typed keys before its controls do.
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);
    Command1->setFocus();
}

void FrmSplash::Command1_Click()
{
    // Show the main window before the splash goes, so the program never
    // passes through a moment without a window.
    Form1::instance()->Show();
    Unload();
}

void FrmSplash::Frame1_Click() { Unload(); }

void FrmSplash::Form_KeyPress(const QString &) { Unload(); }

bool FrmSplash::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    // Enter or Space on the focused "OK" act as "OK", as on any dialog.
    if (watched == Command1 && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Space)) {
        Command1->click();
        return true;
    }
    if (key->text().isEmpty())
        return false;
    Form_KeyPress(key->text());
    return true;
}

void FrmSplash::keyPressEvent(QKeyEvent *event)
{
    if (!event->text().isEmpty())
        Form_KeyPress(event->text());
}

void FrmSplash::paintEvent(QPaintEvent *)
{
    // The fixed dialog border of a window without a caption.
    QPainter painter(this);
    QStyleOptionFrame option;
    option.initFrom(this);
    option.lineWidth = 2;
    option.frameShape = QFrame::WinPanel;
    option.state |= QStyle::State_Raised;
    style()->drawControl(QStyle::CE_ShapedFrame, &option, &painter, this);
}

} // namespace quorivo
