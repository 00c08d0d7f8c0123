// Client side of a remote object: a small handle holding one reference to the
// shared stub of the object's location, through which every call goes.
#pragma once

#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"

class TreflectORB;
class TreflectOrbId;
class TreflectObjectStub;
class TipprmiObjectSkeleton;

class TipprmiObjectClient {
public:
    // A handle on an OID without text (the shared invalid stub).
    TipprmiObjectClient();
    explicit TipprmiObjectClient(TipprmiOID const& oid);
    TipprmiObjectClient(TreflectORB const* orb, TipprmiOID const& oid);
    // A handle on a skeleton of this process.
    explicit TipprmiObjectClient(TipprmiObjectSkeleton const* s);
    // Takes `stub` as is, without adopting a reference.
    explicit TipprmiObjectClient(TreflectObjectStub* stub);
    TipprmiObjectClient(TipprmiObjectClient const& other);
    TipprmiObjectClient& operator=(TipprmiObjectClient const& other);
    virtual ~TipprmiObjectClient();

    virtual bool forwardMsg(TreflectOrbId const& dest, bool transaction, TipprmiStream& in,
                            TipprmiStream& out) const;
    virtual bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                          TipprmiStream& out) const;
    // Releases the current stub and adopts the one of the new location.
    virtual void connect(TreflectORB const* orb, TipprmiOID const& oid);
    virtual void connect(TipprmiObjectSkeleton* s);
    // The local skeleton, or null when the object lives in another process.
    virtual TipprmiObjectSkeleton* getServer() const;

    TipprmiOID getOID() const;
    bool isConnected() const;
    TreflectObjectStub* getStub_() const { return stub_; }

    // Clears `s` and lets the stub write the request header.
    TipprmiStream& prepareRequestStream_(bool transaction, unsigned long cc, unsigned long mc,
                                         TipprmiStream& s) const;
    // Lets the stub consume the response status.
    TipprmiStream& prepareResponseStream_(bool transaction, TipprmiStream& s) const;

    // Same stub location (see the stub's equality).
    bool operator==(TipprmiObjectClient const& other) const;
    bool operator!=(TipprmiObjectClient const& other) const { return !(*this == other); }

protected:
    TreflectObjectStub* stub_;

    friend TipprmiStream& operator>>(TipprmiStream& s, TipprmiObjectClient& v);
};

// Object reference form of the stub's location; reading adopts the stub of
// the location read.
TipprmiStream& operator<<(TipprmiStream& s, TipprmiObjectClient const& v);
TipprmiStream& operator>>(TipprmiStream& s, TipprmiObjectClient& v);
TIPPRMI_MIN_WIRE_SIZE(TipprmiObjectClient, 16);
