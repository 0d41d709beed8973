// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "toolkit/controls.h"
#include "toolkit/formbuilder.h"
#include "toolkit/window.h"

namespace quorivo {

toolkit::WindowDesign form4Design();

// The update-rate window of one group: its name (read only) and its rate.
class Form4 final : public toolkit::SingleWindow<Form4> {
    Q_OBJECT
public:
    Form4();

    toolkit::Label *Label1;
    toolkit::Label *Label2;
    toolkit::TextBox *Text1;
    toolkit::TextBox *Text2;
    toolkit::CommandButton *Command1;
    const toolkit::FormBuilder &builder() const { return m_builder; }

    void Command1_Click();

private:
    toolkit::FormBuilder m_builder;
};

} // namespace quorivo
