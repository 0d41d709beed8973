// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/endpoints.h"

#include "opc/errors.h"

#include <QUrl>
#include <algorithm>
#include <array>

namespace opc::ua {

namespace S = opc::Status;

namespace {

constexpr std::array<Policy, 4> Policies{Policy::None, Policy::Basic256Sha256, Policy::Aes128Sha256RsaOaep,
                                         Policy::Aes256Sha256RsaPss};
constexpr std::array<SecurityMode, 3> Modes{SecurityMode::None, SecurityMode::Sign, SecurityMode::SignAndEncrypt};

const QString BinaryTransport = QStringLiteral("http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary");

// Our own order among policies of equal SecurityLevel: the stronger
// signature and key first.
int policyRank(Policy policy)
{
    switch (policy) {
    case Policy::Aes256Sha256RsaPss: return 3;
    case Policy::Basic256Sha256: return 2;
    case Policy::Aes128Sha256RsaOaep: return 1;
    case Policy::None: return 0;
    }
    return 0;
}

bool binaryTransport(const EndpointDescription &ep)
{
    return ep.transportProfileUri.isEmpty() || ep.transportProfileUri == BinaryTransport;
}

bool usable(const EndpointDescription &ep)
{
    const auto policy = policyOfUri(ep.securityPolicyUri);
    if (!policy || ep.securityMode < 1 || ep.securityMode > 3)
        return false;
    return (*policy == Policy::None) == (ep.securityMode == 1) && binaryTransport(ep);
}

} // namespace

QString policyName(Policy policy)
{
    const QString uri = QString::fromLatin1(traitsOf(policy).uri);
    return uri.mid(uri.lastIndexOf(QLatin1Char('#')) + 1);
}

QString modeName(SecurityMode mode)
{
    switch (mode) {
    case SecurityMode::None: return QStringLiteral("None");
    case SecurityMode::Sign: return QStringLiteral("Sign");
    case SecurityMode::SignAndEncrypt: return QStringLiteral("SignAndEncrypt");
    }
    return {};
}

QString endpointChoiceText(const QString &serverUri, Policy policy, SecurityMode mode)
{
    return QStringLiteral("%1 (%2, %3)").arg(serverUri, policyName(policy), modeName(mode));
}

const QString UnreachableMark = QStringLiteral(" (non raggiungibile)");
const QString OtherServerMark = QStringLiteral(" (risponde un altro server)");

EndpointChoice parseEndpointChoice(const QString &text)
{
    EndpointChoice choice;
    choice.serverUri = text;
    const QString trimmed = text.trimmed();
    for (const QString &mark : {UnreachableMark, OtherServerMark})
        if (trimmed.endsWith(mark)) {
            choice.serverUri = trimmed.chopped(mark.size()).trimmed();
            return choice;
        }
    const qsizetype open = trimmed.lastIndexOf(QStringLiteral(" ("));
    if (open <= 0 || !trimmed.endsWith(QLatin1Char(')')))
        return choice;
    const QStringList parts = trimmed.mid(open + 2, trimmed.size() - open - 3).split(QLatin1Char(','));
    if (parts.size() != 2)
        return choice;
    const auto policy = std::find_if(Policies.begin(), Policies.end(),
                                     [&](Policy p) { return policyName(p) == parts[0].trimmed(); });
    const auto mode = std::find_if(Modes.begin(), Modes.end(),
                                   [&](SecurityMode m) { return modeName(m) == parts[1].trimmed(); });
    if (policy == Policies.end() || mode == Modes.end())
        return choice;
    choice.serverUri = trimmed.left(open).trimmed();
    choice.exact = true;
    choice.policy = *policy;
    choice.mode = *mode;
    return choice;
}

std::vector<EndpointDescription> usableEndpoints(const std::vector<EndpointDescription> &all, const QString &serverUri)
{
    std::vector<EndpointDescription> out;
    for (const auto &ep : all)
        if (usable(ep) && (serverUri.isEmpty() || ep.server.applicationUri == serverUri))
            out.push_back(ep);
    std::stable_sort(out.begin(), out.end(), [](const EndpointDescription &a, const EndpointDescription &b) {
        const bool aSecured = a.securityMode != 1, bSecured = b.securityMode != 1;
        if (aSecured != bSecured)
            return aSecured;
        if (a.securityLevel != b.securityLevel)
            return a.securityLevel > b.securityLevel;
        if (a.securityMode != b.securityMode)
            return a.securityMode > b.securityMode;
        return policyRank(*policyOfUri(a.securityPolicyUri)) > policyRank(*policyOfUri(b.securityPolicyUri));
    });
    return out;
}

EndpointPick pickEndpoint(const std::vector<EndpointDescription> &all, const EndpointChoice &choice)
{
    const bool known = std::any_of(all.begin(), all.end(), [&](const EndpointDescription &ep) {
        return choice.serverUri.isEmpty() || ep.server.applicationUri == choice.serverUri;
    });
    if (!known)
        return {S::CO_E_CLASSSTRING, {}};
    for (const auto &ep : usableEndpoints(all, choice.serverUri))
        if (!choice.exact || (*policyOfUri(ep.securityPolicyUri) == choice.policy &&
                              ep.securityMode == static_cast<int32_t>(choice.mode)))
            return {0, ep};
    return {S::UA_E_NOENDPOINT, {}};
}

namespace {

// What of an endpoint must not change between the two answers: the
// fields OPC 10000-4 §5.7.2.2 has the client verify. The host may (servers
// name themselves as they like); the certificate only where the session's
// answer repeats it, as it need not.
bool sameEndpoint(const EndpointDescription &listed, const EndpointDescription &told)
{
    const auto sameToken = [](const UserTokenPolicy &x, const UserTokenPolicy &y) {
        return x.policyId == y.policyId && x.tokenType == y.tokenType && x.securityPolicyUri == y.securityPolicyUri &&
               x.issuedTokenType == y.issuedTokenType;
    };
    return QUrl(listed.endpointUrl).path() == QUrl(told.endpointUrl).path() &&
           listed.server.applicationUri == told.server.applicationUri &&
           listed.securityPolicyUri == told.securityPolicyUri && listed.securityMode == told.securityMode &&
           listed.securityLevel == told.securityLevel &&
           (told.serverCertificate.data.isEmpty() || listed.serverCertificate.data == told.serverCertificate.data) &&
           std::equal(listed.userIdentityTokens.begin(), listed.userIdentityTokens.end(), told.userIdentityTokens.begin(),
                      told.userIdentityTokens.end(), sameToken);
}

// Each listed endpoint told, and each told one listed.
bool sameSets(const std::vector<const EndpointDescription *> &listed, const std::vector<const EndpointDescription *> &told)
{
    const auto in = [](const EndpointDescription *ep, const std::vector<const EndpointDescription *> &others, bool listedFirst) {
        return std::any_of(others.begin(), others.end(), [ep, listedFirst](const EndpointDescription *other) {
            return listedFirst ? sameEndpoint(*ep, *other) : sameEndpoint(*other, *ep);
        });
    };
    return std::all_of(listed.begin(), listed.end(), [&](const EndpointDescription *ep) { return in(ep, told, true); }) &&
           std::all_of(told.begin(), told.end(), [&](const EndpointDescription *ep) { return in(ep, listed, false); });
}

} // namespace

bool sameEndpoints(const std::vector<EndpointDescription> &discovered, const std::vector<EndpointDescription> &fromSession,
                   const QString &serverUri)
{
    // The server answers CreateSession with its own endpoints (OPC 10000-4
    // §5.7.2.2): those of the discovery list that belong to it, by URI.
    std::vector<const EndpointDescription *> listed, told;
    for (const auto &ep : discovered)
        if (binaryTransport(ep) && (serverUri.isEmpty() || ep.server.applicationUri == serverUri))
            listed.push_back(&ep);
    for (const auto &ep : fromSession)
        if (binaryTransport(ep))
            told.push_back(&ep);
    return !listed.empty() && sameSets(listed, told);
}

QString endpointUrlFor(const QString &typedUrl, const QString &endpointUrl)
{
    QUrl typed(typedUrl);
    const QUrl offered(endpointUrl);
    if (offered.isValid() && offered.path().size() > 1) // "/" is no path
        typed.setPath(offered.path());
    return typed.toString();
}

} // namespace opc::ua
