// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/errorreport.h"

#include "mainwindow/form1.h"
#include "opc/value.h"
#include "toolkit/messagebox.h"

namespace quorivo {

QString errorReportMessage(const QString &operation, int32_t errorCode)
{
    return QStringLiteral("La funzione OPC '") + operation + QStringLiteral("' ha restituito un errore di") +
           opc::signedNumberText(errorCode) + QStringLiteral(" o Hex 0x") + opc::hexText(errorCode);
}

void Form1::DisplayOPC_COM_ErrorValue(const QString &OPC_Function, int32_t ErrorCode)
{
    toolkit::MessageBox::show(errorReportMessage(OPC_Function, ErrorCode), toolkit::MessageBox::OkOnly,
                              ErrorReportTitle);
}

} // namespace quorivo
