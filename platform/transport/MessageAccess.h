// Inside view of AddressedMessage for the transport's own code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Transport.h"

namespace Transport {

// Buffer header; the message bytes follow at kDataOffset (16-aligned).
struct AddressedMessage::Block {
    uint32_t refs;         // changed under SimpleAllocator::lock()
    uint32_t size;
    uint32_t originator;   // TerminationId values
    uint32_t destination;
};

class MessageAccess {
public:
    static constexpr size_t kDataOffset = 16;
    static_assert(sizeof(AddressedMessage::Block) <= kDataOffset, "message header too large");

    // A message whose bytes are left as the allocator gave them (the
    // receiving path overwrites them at once).
    static AddressedMessage createUninitialised(unsigned int size, unsigned int align);
};

}  // namespace Transport
