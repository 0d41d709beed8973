// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes into the OPC UA channel's framing and reassembly, and every
// reassembled message into the response decoders. Malformed, oversized or
// truncated input must close the channel or fail the request, never crash,
// hang or allocate without bound. The first byte chooses the channel: plain
// (policy None), secured and fed the bytes as they come (they must fail the
// checks), or secured and fed chunks this target seals with the server's
// fixed keys, so what lies behind the checks is reached too. Endpoint lists
// go on to the endpoint choice and the certificate check. Each decoder runs
// under a budget of DecodeCostPerByte for each byte of its message, and the
// heap it takes meanwhile, watched by the sanitizer's allocator, must stay
// within it: what a message may cost is bounded in fact, not in words.
#include "opc/ua/client/channel.h"
#include "opc/ua/client/endpoints.h"
#include "opc/ua/security/trust.h"
#include "opc/ua/security/securechunk.h"
#include "opc/ua/wire/services.h"

#include <QCoreApplication>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sanitizer/allocator_interface.h>

using namespace opc::ua;

namespace {

// The heap taken while a decoder runs.
bool watching = false;
long long live = 0, peak = 0;
void onMalloc(const volatile void *, size_t size)
{
    if (watching && (live += static_cast<long long>(size)) > peak)
        peak = live;
}
void onFree(const volatile void *p)
{
    if (watching)
        live -= static_cast<long long>(__sanitizer_get_allocated_size(const_cast<const void *>(p)));
}

// What the allocator adds beyond what the budget charges: headers of the
// few arrays a decode starts with.
constexpr long long Slack = 16 * 1024;

// Decodes under the message's per-byte budget and checks the heap kept to
// it; what was decoded goes on to `then`, unwatched.
template <typename Decode, typename Then>
void watched(const QByteArray &message, Decode decode, Then then)
{
    const qsizetype budget = DecodeCostPerByte * message.size();
    try {
        Decoder d(message, budget);
        decodeResponseStart(d);
        live = peak = 0;
        watching = true;
        auto decoded = decode(d);
        watching = false;
        if (peak > budget + Slack) {
            std::fprintf(stderr, "decoding %lld bytes took %lld bytes of heap, budget %lld\n",
                         static_cast<long long>(message.size()), peak, static_cast<long long>(budget));
            std::abort();
        }
        then(decoded);
    } catch (const DecodeError &) {
        watching = false;
    }
}

void decodeEverything(const QByteArray &message)
{
    const auto nothing = [](const auto &) {};
    watched(message, [](Decoder &d) { return d.array([](Decoder &x) { return x.dataValue(); }); }, nothing);
    watched(message, [](Decoder &d) { return d.array([](Decoder &x) { return decodeBrowseResult(x); }); }, nothing);
    // Endpoints as a connect takes them: the choice, then the server's
    // certificate judged (hostile bytes meet OpenSSL's parser here).
    watched(message, [](Decoder &d) { return d.array([](Decoder &x) { return decodeEndpointDescription(x); }); },
            [](const std::vector<EndpointDescription> &endpoints) {
                const EndpointPick pick = pickEndpoint(endpoints, parseEndpointChoice(QStringLiteral("urn:quorivo:peer")));
                if (pick.error == 0)
                    TrustList(QStringLiteral("/nonexistent"))
                        .check(pick.endpoint.serverCertificate.data, pick.endpoint.server.applicationUri,
                               QStringLiteral("127.0.0.1"));
            });
    watched(message, [](Decoder &d) {
        d.uint32();
        d.array([](Decoder &x) { return x.uint32(); });
        d.boolean();
        return decodeNotificationMessage(d);
    }, nothing);
}

constexpr uint32_t TokenId = 5;

// Plain chunks sealed as the server would: each run of up to 200 input
// bytes becomes the body of one MSG chunk for request 1 to 4, in sequence.
QByteArray sealed(const QByteArray &input, const ChannelSecurity &security, const SymmetricKeys &serverKeys)
{
    QByteArray out;
    uint32_t sequence = 1;
    for (qsizetype at = 0; at < input.size(); at += 200) {
        const QByteArray part = input.mid(at, 200);
        Encoder e;
        e.raw(QByteArray("MSG", 3));
        e.byte(static_cast<uint8_t>(part.size() < 200 ? 'F' : 'C'));
        e.uint32(0);
        e.uint32(1);
        e.uint32(TokenId);
        e.uint32(sequence++);
        e.uint32(1 + static_cast<uint32_t>(part.isEmpty() ? 0 : static_cast<uint8_t>(part[0]) % 4));
        e.raw(part);
        if (const auto chunk = secureSymmetric(security.policy, security.mode, serverKeys, e.take()))
            out += *chunk;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int mode = data[0] % 3;
    const bool signOnly = data[0] & 0x80;
    ++data;
    --size;
    Channel channel;
    channel.setLocalLimits({8192, 8192, 1 << 20, 64});
    // Fixed nonces give fixed keys: ours and the server's.
    static const QByteArray clientNonce(32, '\x11'), serverNonce(32, '\x22');
    static const SymmetricKeys ours = deriveKeys(Policy::Basic256Sha256, serverNonce, clientNonce);
    static const SymmetricKeys theirs = deriveKeys(Policy::Basic256Sha256, clientNonce, serverNonce);
    ChannelSecurity security;
    security.policy = Policy::Basic256Sha256;
    security.mode = signOnly ? SecurityMode::Sign : SecurityMode::SignAndEncrypt;
    if (mode == 0)
        channel.openDetached();
    else
        channel.openDetached({}, security, TokenId, ours, theirs);
    int answered = 0;
    for (int i = 0; i < 4; ++i)
        channel.request(QByteArray("q"), 60000, [&answered](const Reply &reply) {
            ++answered;
            if (reply.error == 0)
                decodeEverything(reply.message);
        });
    // Fed in two pieces, as a socket might deliver it.
    QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (mode == 2)
        input = sealed(input, security, theirs);
    const qsizetype half = input.size() / 2;
    channel.feed(input.left(half));
    channel.feed(input.mid(half));
    if (answered > 4)
        std::abort(); // a request answered twice
    return 0;
}
