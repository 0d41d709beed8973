// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/certificate.h"

namespace quorivo {

// The window after a connect refused a server's certificate: what the
// certificate says and what is wrong with it, and the operator's choice
// (trust it always, accept it for this run, reject it). The operator then
// connects again.
void showRefusedCertificate(const opc::RefusedCertificate &certificate);

// A question the OPC component puts before it goes on (a password that
// would travel readable): "Sì" or "No", "No" the default.
bool askOperator(const QString &question);
extern const QString OperatorQuestionTitle;

// The window's text and buttons, as shown.
QString refusedCertificateText(const opc::RefusedCertificate &certificate);
QStringList refusedCertificateButtons();
extern const QString RefusedCertificateTitle;

} // namespace quorivo
