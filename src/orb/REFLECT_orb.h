// The object request broker of this task: one instance per namespace, each a
// transport termination known to other ORBs by a compact TreflectOrbId.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "HandlerThreadPolicies.h"
#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"
#include "IPPRMI_types.h"
#include "ReflectMessage.h"
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

class TipprmiObjectSkeleton;
class ReflectWorker;

// Where an object lives: internal object id, ORB, OID, and the skeleton when
// it is local.
class TreflectObjectLocationIf {
public:
    virtual ~TreflectObjectLocationIf() {}
    virtual bool hasOID() const = 0;
    virtual TipprmiOID getOID() const = 0;
    virtual TreflectOrbId orbId() const = 0;
    virtual unsigned long getInternalOID() const = 0;
    virtual NamespaceId getNamespaceId() const = 0;
    virtual TipprmiObjectSkeleton* getServer() const = 0;
};

class TreflectORB : public Transport::TerminationImpl {
public:
    class TreflectObjectLocation : public TreflectObjectLocationIf {
    public:
        TreflectObjectLocation();
        TreflectObjectLocation(unsigned long internalOid, TreflectOrbId const& orbId, TipprmiOID const& oid,
                               TipprmiObjectSkeleton* server);

        bool hasOID() const override { return oid_.getIdString() != nullptr; }
        TipprmiOID getOID() const override { return oid_; }
        TreflectOrbId orbId() const override { return orbId_; }
        unsigned long getInternalOID() const override { return internalOid_; }
        NamespaceId getNamespaceId() const override { return oid_.getNamespaceId(); }
        TipprmiObjectSkeleton* getServer() const override { return server_; }

        void setInternalOID(unsigned long id) { internalOid_ = id; }
        void setOrbId(TreflectOrbId const& id) { orbId_ = id; }
        void setServer(TipprmiObjectSkeleton* s) { server_ = s; }
        void setOID(TipprmiOID const& oid) { oid_ = oid; }

    private:
        unsigned long internalOid_;
        TreflectOrbId orbId_;
        TipprmiOID oid_;
        TipprmiObjectSkeleton* server_;
    };

    // Counters of the messages sent to one destination and of those that failed.
    struct PerfCnts {
        Transport::TerminationId termId;
        unsigned int sent;
        unsigned int failed;
        PerfCnts() : termId(), sent(0), failed(0) {}
        PerfCnts(Transport::TerminationId const& t, unsigned int s, unsigned int f) : termId(t), sent(s), failed(f) {}
    };
    struct PerfCntInfo;
    struct PerfCntMultInfo;

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
    // Stops the termination and the workers. Called without the run permission.
    ~TreflectORB() override;

    // Transport callbacks.
    void receive(Transport::AddressedMessage const& msg) override;
    void receiveError(Transport::AddressedMessage const& msg) override;
    void disappeare(Transport::Termination& t) override;

    // Object registry and location. Called with the run permission held.
    virtual TreflectObjectLocation locateObject(TipprmiOID const& oid) const;
    virtual void registerObject(TipprmiObjectSkeleton* object);
    virtual void unregisterObject(TipprmiObjectSkeleton const* object);
    TreflectObjectLocation locateLocalObject_(TipprmiOID const& oid) const;
    TreflectObjectLocation locateRemoteObject_(TipprmiOID const& oid) const;

    // Sends a payload request to `dest`; for a transaction waits for the
    // response. Gives the run permission up while it waits.
    virtual bool forwardMsg(TreflectOrbId const& dest, bool transaction, TipprmiStream& request,
                            TipprmiStream& response);
    // The internal object id of `oid` at `dest` (0: not found or failed).
    virtual unsigned long resolve(Transport::TerminationId const& dest, TipprmiOID oid) const;
    bool forwardMsg_(Transport::TerminationId const& dest, bool transaction, TreflectMessage& msg,
                     TipprmiStream& response) const;
    bool waitingTooLongFor(Transport::TerminationId const& dest, TreflectMessage msg, int minutes) const;
    void testInfoAboutMessage(Transport::TerminationId const& dest, TreflectMessage const& msg,
                              bool transaction) const;

    // Worker side: body of every "ReflectWorker" thread, and growth of the pool.
    void dispatchEntry();
    void startReflectWorker();

    TreflectOrbId orbId() const { return orbId_; }
    Transport::TerminationId convertId(TreflectOrbId const& id) const;
    TreflectOrbId convertId(Transport::TerminationId const& id) const;
    Transport::GroupId getMyGroup(NamespaceId const& ns) const;
    NamespaceId getNamespaceFromGroup(Transport::GroupId const& group) const;
    NamespaceId namespaceId() const { return orbId_.namespaceId(); }

    // Messages of this ORB's termination (header of 12 bytes plus `size`).
    TreflectMessage allocateRequest(unsigned int size) const;
    TreflectMessage allocateResponse(TreflectMessage const& request, unsigned int size) const;
    TreflectMessage reallocateMessage(TreflectMessage const& msg, unsigned int size) const;

    // Counters of every peer of the own group, and of one peer (read and reset there).
    std::list<PerfCntMultInfo> getPerfCnts();
    PerfCntInfo getPerfCnts(Transport::TerminationId const& t);

    void display(int) const;
    // Ends the process at once with status 0.
    [[noreturn]] void resetUnit() const;

    // Number of worker threads, and of those waiting for work.
    unsigned workerCount() const;
    unsigned idleWorkerCount() const;

private:
    struct OngoingRequest;
    struct MessageQueue;
    struct InternalPerfCnts {
        unsigned int sent = 0;
        unsigned int failed = 0;
    };

    void countSent(Transport::TerminationId const& dest) const;
    void countFailed(Transport::TerminationId const& dest) const;
    void serve(TreflectMessage const& request);
    void serveResolve(TreflectMessage const& request);
    void servePayload(TreflectMessage const& request);
    void serveNotification(TreflectMessage const& request);
    void servePerfCnts(TreflectMessage const& request);
    bool sendResponse(TipprmiStream& response, TreflectMessage const& request) const;
    static void writeFailure(TipprmiStream& response);
    void waitOnePeriod(OngoingRequest& request) const;
    void startReflectWorkerLocked();  // called with the queue lock held

    std::map<unsigned long, TipprmiObjectSkeleton*> objects_;
    mutable std::map<unsigned long, OngoingRequest*> ongoingRequests_;
    mutable unsigned long lastRequestId_;
    mutable OSWrap::Mutex mutex_;
    std::atomic<unsigned long> receivingThread_;
    MessageQueue* queue_;
    TreflectOrbId orbId_;
    mutable std::map<Transport::TerminationId, InternalPerfCnts> perfCnts_;
    uint32_t nextInternalOid_;
};

struct TreflectORB::PerfCntInfo {
    std::string actor;
    TipprmiSequence<PerfCnts, 0> counters;
};

// Wire form: termination id, sent, failed (4 bytes each).
TipprmiStream& operator<<(TipprmiStream& s, TreflectORB::PerfCnts const& v);
TipprmiStream& operator>>(TipprmiStream& s, TreflectORB::PerfCnts& v);
TIPPRMI_MIN_WIRE_SIZE(TreflectORB::PerfCnts, 12);

// Object reference: the OID when the location has one, else a 4-byte 0 and
// the namespace id; then the internal OID and the ORB id (4 bytes each).
// A location read from a stream has no server.
TipprmiStream& operator<<(TipprmiStream& s, TreflectObjectLocationIf const& v);
TipprmiStream& operator>>(TipprmiStream& s, TreflectORB::TreflectObjectLocation& v);
TIPPRMI_MIN_WIRE_SIZE(TreflectORB::TreflectObjectLocation, 16);

struct TreflectORB::PerfCntMultInfo {
    Transport::TerminationId peer;
    PerfCntInfo info;
};
