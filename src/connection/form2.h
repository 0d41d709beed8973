// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/automation.h"
#include "toolkit/controls.h"
#include "toolkit/formbuilder.h"
#include "toolkit/window.h"

#include <array>

namespace quorivo {

toolkit::WindowDesign form2Design();

// "Proprietà Server": a snapshot of the connected server's status, filled on
// every click of "Proprietà" and never refreshed by itself.
class Form2 final : public toolkit::SingleWindow<Form2> {
    Q_OBJECT
public:
    Form2();

    // Reads the twelve properties top to bottom, each shown right after its
    // read; a failing read leaves the rows below as they were.
    void fill(const OPCAutomation::ServerPtr &server);

    // Value labels in the order of the rows.
    std::array<toolkit::Label *, 12> values{};
    toolkit::CommandButton *Command1;
    const toolkit::FormBuilder &builder() const { return m_builder; }

private:
    toolkit::FormBuilder m_builder;
};

} // namespace quorivo
