// Inside view of AddressedMessage for the transport's own code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Transport.h"

namespace Transport {

class MessageAccess {
public:
    static constexpr size_t kDataOffset = AddressedMessage::kDataOffset;
    static_assert(sizeof(AddressedMessage::Block) <= kDataOffset, "message header too large");

    // A message whose bytes are left as the allocator gave them (the
    // receiving path overwrites them at once).
    static AddressedMessage createUninitialised(unsigned int size, unsigned int align);
};

}  // namespace Transport
