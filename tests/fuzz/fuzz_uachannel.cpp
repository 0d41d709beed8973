// Arbitrary bytes into the OPC UA channel's framing and reassembly, and every
// reassembled message into the response decoders. Malformed, oversized or
// truncated input must close the channel or fail the request, never crash,
// hang or allocate without bound.
#include "opc/ua/channel.h"
#include "opc/ua/services.h"

#include <QCoreApplication>
#include <cstdint>
#include <cstdlib>

using namespace opc::ua;

namespace {

void decodeEverything(const QByteArray &message)
{
    // Each decoder on its own copy: the shapes the bridge reads.
    const auto attempt = [&message](auto body) {
        try {
            Decoder d(message);
            decodeResponseStart(d);
            body(d);
        } catch (const DecodeError &) {
        }
    };
    attempt([](Decoder &d) { d.array([](Decoder &x) { return x.dataValue(); }); });
    attempt([](Decoder &d) { d.array([](Decoder &x) { return decodeBrowseResult(x); }); });
    attempt([](Decoder &d) { d.array([](Decoder &x) { return decodeEndpointDescription(x); }); });
    attempt([](Decoder &d) {
        d.uint32();
        d.array([](Decoder &x) { return x.uint32(); });
        d.boolean();
        decodeNotificationMessage(d);
    });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Channel channel;
    channel.setLocalLimits({8192, 8192, 1 << 20, 64});
    channel.openDetached();
    int answered = 0;
    for (int i = 0; i < 4; ++i)
        channel.request(QByteArray("q"), 60000, [&answered](const Reply &reply) {
            ++answered;
            if (reply.error == 0)
                decodeEverything(reply.message);
        });
    // Fed in two pieces, as a socket might deliver it.
    const auto *bytes = reinterpret_cast<const char *>(data);
    const size_t half = size / 2;
    channel.feed(QByteArray(bytes, static_cast<qsizetype>(half)));
    channel.feed(QByteArray(bytes + half, static_cast<qsizetype>(size - half)));
    if (answered > 4)
        std::abort(); // a request answered twice
    return 0;
}
