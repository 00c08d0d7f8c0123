// Compact id of an ORB: which actor, on which slot, in which namespace.
#pragma once

#include "IPPRMI_types.h"

// name id (16 bits) x 65536 + slot id (8 bits) x 256 + namespace id (8 bits).
class TreflectOrbId {
public:
    struct Id_t {
        unsigned short nameId;
        unsigned char slotId;
        unsigned char namespaceId;
    };

    TreflectOrbId() : id_{0, 0, 0} {}
    explicit TreflectOrbId(unsigned long v)
        : id_{static_cast<unsigned short>((v >> 16) & 0xFFFFu), static_cast<unsigned char>((v >> 8) & 0xFFu),
              static_cast<unsigned char>(v & 0xFFu)} {}
    TreflectOrbId(unsigned short nameId, unsigned char slotId, NamespaceId ns)
        : id_{nameId, slotId, static_cast<unsigned char>(ns)} {}

    unsigned short nameId() const { return id_.nameId; }
    unsigned char slotId() const { return id_.slotId; }
    NamespaceId namespaceId() const { return static_cast<NamespaceId>(id_.namespaceId); }
    unsigned long value() const {
        return static_cast<unsigned long>(id_.nameId) * 65536ul + static_cast<unsigned long>(id_.slotId) * 256ul +
               id_.namespaceId;
    }

    bool operator==(TreflectOrbId const& o) const { return value() == o.value(); }
    bool operator!=(TreflectOrbId const& o) const { return value() != o.value(); }
    bool operator<(TreflectOrbId const& o) const { return value() < o.value(); }

private:
    Id_t id_;
};
