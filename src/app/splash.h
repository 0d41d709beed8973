// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "toolkit/controls.h"
#include "toolkit/window.h"

namespace quorivo {

struct AppIdentity {
    QString title;
    int16_t major;
    int16_t minor;
    int16_t revision;
};
AppIdentity appIdentity();
// "Versione 1.0.0"
QString versionText(const AppIdentity &identity);

// The start window: title, version and three fixed texts. Only "OK" leads on
// to the main window; any typed key or a click on the frame ends the program.
class FrmSplash final : public toolkit::SingleWindow<FrmSplash> {
    Q_OBJECT
public:
    FrmSplash();

    toolkit::Frame *Frame1;
    toolkit::Label *lblInstitution;
    toolkit::Label *lblProductName;
    toolkit::Label *lblVersion;
    toolkit::CommandButton *Command1;
    toolkit::Label *lblCopyright;
    toolkit::Label *lblCompany;

    void Form_KeyPress(const QString &typed);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void Command1_Click();
    void Frame1_Click();
};

} // namespace quorivo
