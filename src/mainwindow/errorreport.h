// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <cstdint>

namespace quorivo {

inline const QString ErrorReportTitle = QStringLiteral(" Funzione d'errore OPC");

// "La funzione OPC '<name>' ha restituito un errore di<n> o Hex 0x<hex>".
QString errorReportMessage(const QString &operation, int32_t errorCode);

} // namespace quorivo
