// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/security/crypto.h"
#include "opc/ua/security/securitypolicy.h"

#include <QByteArray>
#include <optional>

// Signing and encrypting one chunk of a secured channel, and the reverse
// (OPC 10000-6 §6.7.2). A chunk comes in as plain text with its headers,
// goes out ready for the wire; a received chunk that fails any check
// (signature, padding, length) opens to nothing, which closes the channel.
namespace opc::ua {

enum class SecurityMode { None = 1, Sign = 2, SignAndEncrypt = 3 };

// Symmetric (MSG, CLO): `chunk` is the message header, the token id, the
// sequence header and the body. The message size in the header is written
// here, before signing, as the signature covers it.
std::optional<QByteArray> secureSymmetric(Policy policy, SecurityMode mode, const SymmetricKeys &sending, QByteArray chunk);
// The same in the chunk's own buffer (its capacity reserved ahead spares a
// copy): padding and signature appended, then encrypted in place.
bool sealSymmetric(Policy policy, SecurityMode mode, const SymmetricKeys &sending, QByteArray &chunk);
// The chunk with its padding and signature taken off (and the message size
// left as received); nothing when it does not verify.
std::optional<QByteArray> openSymmetric(Policy policy, SecurityMode mode, const SymmetricKeys &receiving,
                                        const QByteArray &chunk);
// The same in the received bytes themselves, decrypted where they lie: the
// length of what is left once padding and signature are off.
std::optional<qsizetype> openSymmetricInPlace(Policy policy, SecurityMode mode, const SymmetricKeys &receiving, char *chunk,
                                              qsizetype size);

// Asymmetric (OPN): `chunk` is the message header, the asymmetric security
// header (`headerLength` bytes after the first 12), the sequence header and
// the body; always signed with our key and encrypted for the receiver's.
std::optional<QByteArray> secureAsymmetric(Policy policy, const RsaKey &ours, const RsaKey &theirs, int headerLength,
                                           QByteArray chunk);
std::optional<QByteArray> openAsymmetric(Policy policy, const RsaKey &ours, const RsaKey &theirs, int headerLength,
                                         const QByteArray &chunk);

} // namespace opc::ua
