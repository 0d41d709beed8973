// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "opc/ua/security/securechunk.h"
#include "opc/ua/security/securitypolicy.h"

#include <QtGlobal>
#include <cstdint>
#include <optional>

// The UA TCP transport's limits (OPC 10000-6 §7.1.2): what we say in Hello,
// what the server answers in Acknowledge, and the chunking that follows.
namespace opc::ua {

struct TransportLimits {
    uint32_t receiveBufferSize = 65536; // the largest chunk the side receives
    uint32_t sendBufferSize = 65536;    // the largest chunk the side sends
    uint32_t maxMessageSize = 64u << 20; // 0: no limit
    uint32_t maxChunkCount = 4096;       // 0: no limit
};

// No buffer of either side may be smaller (OPC 10000-6 §7.1.2.3).
constexpr uint32_t MinBufferSize = 8192;

// What the channel keeps of an Acknowledge to our Hello (OPC 10000-6
// §7.1.2.4): the buffer sizes it names may not exceed what we asked, so the
// smaller of the two stands; a buffer under 8192 bytes (0 included: it means
// no limit only for the message size and the chunk count) makes nothing.
std::optional<TransportLimits> negotiate(const TransportLimits &hello, const TransportLimits &acknowledge);

// Body bytes one chunk of this size carries: the headers, and what
// security adds (signature, padding), taken off. At least 1 for any chunk
// of MinBufferSize or more.
qsizetype chunkBody(uint32_t chunkSize, Policy policy, SecurityMode mode);

// The chunks a message of this many bytes is sent in, or nothing when the
// peer said it would not take it (its message size or chunk count).
std::optional<qsizetype> chunksFor(qsizetype messageBytes, qsizetype body, const TransportLimits &peer);

// Messages of a few hundred KiB come and go with every large call. The C
// library's allocator by default maps such blocks afresh and gives freed
// memory at the heap's top back to the system, so each message faults its
// pages in again; this has it keep them (up to 32 MiB mapped per block and
// 64 MiB kept free) for the next message. Once per process; the first
// client does it.
void keepMessageMemory();

} // namespace opc::ua
