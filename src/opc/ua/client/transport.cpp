// SPDX-License-Identifier: GPL-3.0-or-later
#include "opc/ua/client/transport.h"

#include <algorithm>
#include <mutex>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace opc::ua {

namespace {
// Message header, channel id, token id and sequence header.
constexpr qsizetype PlainOverhead = 24;
// Chunks are at most this large, whatever both sides say: past it the
// arithmetic of the security policies would leave the range of int.
constexpr uint32_t MaxChunkSize = 1u << 30;
} // namespace

std::optional<TransportLimits> negotiate(const TransportLimits &hello, const TransportLimits &acknowledge)
{
    if (acknowledge.receiveBufferSize < MinBufferSize || acknowledge.sendBufferSize < MinBufferSize ||
        hello.receiveBufferSize < MinBufferSize || hello.sendBufferSize < MinBufferSize)
        return std::nullopt;
    TransportLimits agreed = acknowledge;
    agreed.receiveBufferSize = std::min({acknowledge.receiveBufferSize, hello.sendBufferSize, MaxChunkSize});
    agreed.sendBufferSize = std::min({acknowledge.sendBufferSize, hello.receiveBufferSize, MaxChunkSize});
    return agreed;
}

qsizetype chunkBody(uint32_t chunkSize, Policy policy, SecurityMode mode)
{
    const int size = static_cast<int>(std::clamp(chunkSize, MinBufferSize, MaxChunkSize));
    if (policy == Policy::None || mode == SecurityMode::None)
        return size - PlainOverhead;
    return symmetricMaxBody(size, traitsOf(policy).symmetricSignatureLength, mode == SecurityMode::SignAndEncrypt);
}

std::optional<qsizetype> chunksFor(qsizetype messageBytes, qsizetype body, const TransportLimits &peer)
{
    if (body <= 0)
        return std::nullopt;
    const qsizetype chunks = std::max<qsizetype>(1, (messageBytes + body - 1) / body);
    if ((peer.maxMessageSize != 0 && static_cast<uint64_t>(messageBytes) > peer.maxMessageSize) ||
        (peer.maxChunkCount != 0 && static_cast<uint64_t>(chunks) > peer.maxChunkCount))
        return std::nullopt;
    return chunks;
}

void keepMessageMemory()
{
#ifdef __GLIBC__
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
    });
#endif
}

} // namespace opc::ua
