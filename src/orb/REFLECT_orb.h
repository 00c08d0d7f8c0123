// The object request broker of this task: one instance per namespace, each a
// transport termination known to other ORBs by a compact TreflectOrbId.
#pragma once

#include <pthread.h>

#include "HandlerThreadPolicies.h"
#include "IPPRMI_types.h"
#include "Transport.h"

class TreflectMessage;

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

class TreflectORB : public Transport::TerminationImpl {
public:
    // The ORB of `ns`, created on first use (safe from any thread).
    static TreflectORB* getInstance(NamespaceId ns);

    // Handler-thread state and run permission of the calling thread.
    static void enterHandlerState(bool getPermission);
    static void leaveHandlerState(bool releasePermission);
    static void checkHandlerState();
    static bool isHandlerThread();
    static void getRunPermission();
    static void releaseRunPermission();
    static bool hasRunPermission();
    static unsigned getRunPermissionCount();
    static OrbHandlerThreads& handlerThreads();

    explicit TreflectORB(NamespaceId const& ns);
    ~TreflectORB() override;

    TreflectOrbId orbId() const { return orbId_; }
    Transport::TerminationId convertId(TreflectOrbId const& id) const;
    TreflectOrbId convertId(Transport::TerminationId const& id) const;
    Transport::GroupId getMyGroup(NamespaceId const& ns) const;
    NamespaceId getNamespaceFromGroup(Transport::GroupId const& group) const;

    // Messages of this ORB's termination (header of 12 bytes plus `size`).
    TreflectMessage allocateRequest(unsigned int size) const;
    TreflectMessage allocateResponse(TreflectMessage const& request, unsigned int size) const;
    TreflectMessage reallocateMessage(TreflectMessage const& msg, unsigned int size) const;

private:
    TreflectOrbId orbId_;
    unsigned long lastRequestId_;
};
