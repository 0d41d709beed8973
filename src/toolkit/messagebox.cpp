#include "toolkit/messagebox.h"

#include <QMessageBox>

namespace toolkit::MessageBox {

namespace {
Handler &handler()
{
    static Handler h;
    return h;
}
} // namespace

int show(const QString &prompt, int buttons, const QString &title)
{
    if (handler())
        return handler()(prompt, buttons, title);
    QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::Ok);
    box.exec();
    return ResultOk;
}

void setHandler(Handler h) { handler() = std::move(h); }

} // namespace toolkit::MessageBox
