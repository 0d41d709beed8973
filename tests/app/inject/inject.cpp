// SPDX-License-Identifier: GPL-3.0-or-later
// Loaded into the real program with LD_PRELOAD, it plays a short script of
// user input once the event loop runs, so a test can watch the process
// itself (exit status, lifetime) and not only the window objects.
//
// QUORIVO_INJECT holds steps separated by ";", played one every 200 ms:
//   key:<Window>                 a letter key to the window's focus widget
//   click:<Window>/<Control>     a left click in the middle of a control
//   corner:<Window>/<Control>    a left click 6 pixels inside its bottom-left corner
//   top:<Window>/<Control>       a left click 8 pixels inside its top-left corner
//                                (the first row of a list)
//   type:<Window>/<Control>=text replaces a text box's text (percent-encoded:
//                                "%3B" for ";")
//   close:<Window>               the window's close box
//   say:<word>                   prints "say <word>" on standard output
//   pause:<ms>                   the next step comes this much later
//   watch:<ms>:<Window>/<Control> from now on, every <ms>, prints "watch <t> <cells>":
//                                the milliseconds since the watch began and
//                                the first row of a view, its cells joined by
//                                "|" ("-" while there is none): a probe of the
//                                event loop and of what the table shows
// <Window> is the class name without its namespace (FrmSplash, Form1...).
// A step whose window or control is missing prints "missing <step>".
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QElapsedTimer>
#include <QUrl>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <cstdio>

namespace {

QWidget *window(const QString &name)
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        const QString cls = QString::fromLatin1(w->metaObject()->className());
        if (w->isVisible() && (cls == name || cls.endsWith(QStringLiteral("::") + name)))
            return w;
    }
    return nullptr;
}

QWidget *control(const QString &path)
{
    const QString windowName = path.section(QLatin1Char('/'), 0, 0);
    const QString controlName = path.section(QLatin1Char('/'), 1);
    QWidget *w = window(windowName);
    if (!w || controlName.isEmpty())
        return w;
    return w->findChild<QWidget *>(controlName);
}

void say(const QString &text)
{
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
}

QString firstRow(const QString &path)
{
    auto *view = qobject_cast<QAbstractItemView *>(control(path));
    if (!view || !view->model() || view->model()->rowCount() == 0)
        return QStringLiteral("-");
    QStringList cells;
    for (int c = 0; c < view->model()->columnCount(); ++c)
        cells << view->model()->index(0, c).data().toString();
    return cells.join(QLatin1Char('|'));
}

void watch(int everyMs, const QString &path)
{
    auto *clock = new QElapsedTimer;
    clock->start();
    auto *timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, qApp, [clock, path] {
        say(QStringLiteral("watch %1 ").arg(clock->elapsed()) + firstRow(path));
    });
    timer->start(everyMs);
}

void play(const QString &step)
{
    const QString verb = step.section(QLatin1Char(':'), 0, 0);
    const QString arg = step.section(QLatin1Char(':'), 1);
    if (verb == QLatin1String("say")) {
        say(QStringLiteral("say ") + arg);
        return;
    }
    if (verb == QLatin1String("watch")) {
        watch(arg.section(QLatin1Char(':'), 0, 0).toInt(), arg.section(QLatin1Char(':'), 1));
        return;
    }
    const QString target = arg.section(QLatin1Char('='), 0, 0);
    QWidget *w = control(target);
    if (!w) {
        say(QStringLiteral("missing ") + step);
        return;
    }
    // Lists and views take the mouse in their viewport.
    QWidget *surface = w;
    if (auto *area = qobject_cast<QAbstractScrollArea *>(w))
        surface = area->viewport();
    if (verb == QLatin1String("key")) {
        QWidget *focus = w->focusWidget() ? w->focusWidget() : w;
        QTest::keyClick(focus, Qt::Key_A);
    } else if (verb == QLatin1String("click")) {
        QTest::mouseClick(surface, Qt::LeftButton);
    } else if (verb == QLatin1String("top")) {
        QTest::mouseClick(surface, Qt::LeftButton, {}, QPoint(8, 8));
    } else if (verb == QLatin1String("corner")) {
        QTest::mouseClick(surface, Qt::LeftButton, {}, QPoint(6, surface->height() - 6));
    } else if (verb == QLatin1String("type")) {
        if (auto *edit = qobject_cast<QLineEdit *>(w))
            edit->setText(QUrl::fromPercentEncoding(arg.section(QLatin1Char('='), 1).toUtf8()));
    } else if (verb == QLatin1String("close")) {
        w->close();
    } else {
        say(QStringLiteral("unknown ") + step);
    }
}

void start()
{
    const QStringList steps = qEnvironmentVariable("QUORIVO_INJECT").split(QLatin1Char(';'), Qt::SkipEmptyParts);
    int delay = 300;
    for (const QString &step : steps) {
        if (step.startsWith(QLatin1String("pause:"))) {
            delay += step.mid(6).toInt();
            continue;
        }
        QTimer::singleShot(delay, qApp, [step] { play(step); });
        delay += 200;
    }
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
