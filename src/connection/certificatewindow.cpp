// SPDX-License-Identifier: GPL-3.0-or-later
#include "connection/certificatewindow.h"

#include "toolkit/messagebox.h"

namespace quorivo {

const QString RefusedCertificateTitle = QStringLiteral(" Certificato del server OPC");
const QString OperatorQuestionTitle = QStringLiteral(" Sicurezza della connessione OPC");

bool askOperator(const QString &question)
{
    // The last button is the default and the one of Esc: "No" changes nothing.
    return toolkit::MessageBox::choose(question, OperatorQuestionTitle, {QStringLiteral("Sì"), QStringLiteral("No")}) == 0;
}

QStringList refusedCertificateButtons()
{
    return {QStringLiteral("Considera sempre attendibile"), QStringLiteral("Accetta per questa sessione"),
            QStringLiteral("Rifiuta")};
}

QString refusedCertificateText(const opc::RefusedCertificate &c)
{
    QString text = QStringLiteral("Il server ha presentato un certificato non accettato.\n\n");
    text += QStringLiteral("Soggetto: %1\n").arg(c.subject);
    text += QStringLiteral("Emesso da: %1\n").arg(c.issuer);
    text += QStringLiteral("Valido dal %1 al %2\n").arg(opc::certificateDateText(c.notBefore), opc::certificateDateText(c.notAfter));
    text += QStringLiteral("Impronta SHA-1: %1\n").arg(c.thumbprint);
    text += QStringLiteral("URI dell'applicazione: %1\n").arg(c.applicationUri);
    text += QStringLiteral("Nomi host: %1\n").arg(c.hostNames.join(QStringLiteral(", ")));
    text += QStringLiteral("Chiave: %1 bit\n\n").arg(c.keyBits);
    text += QStringLiteral("Problemi:\n");
    for (const QString &problem : c.problems)
        text += QStringLiteral("- ") + problem + QLatin1Char('\n');
    text += QStringLiteral("\nDopo la scelta premere di nuovo \"Connetti\".");
    return text;
}

void showRefusedCertificate(const opc::RefusedCertificate &certificate)
{
    const QStringList buttons = refusedCertificateButtons();
    // A certificate that cannot be read offers nothing to trust.
    const QStringList offered = certificate.decide ? buttons : QStringList{buttons.last()};
    const int chosen = toolkit::MessageBox::choose(refusedCertificateText(certificate), RefusedCertificateTitle, offered);
    if (!certificate.decide)
        return;
    switch (chosen) {
    case 0: certificate.decide(opc::CertificateDecision::TrustAlways); break;
    case 1: certificate.decide(opc::CertificateDecision::AcceptForThisRun); break;
    default: certificate.decide(opc::CertificateDecision::Reject); break;
    }
}

} // namespace quorivo
