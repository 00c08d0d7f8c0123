// The object request broker of this task: one instance per namespace, each a
// transport termination known to other ORBs by a compact TreflectOrbId.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "HandlerThreadPolicies.h"
#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"
#include "IPPRMI_types.h"
#include "REFLECT_OrbObserver.h"
#include "REFLECT_orbId.h"
#include "ReflectMessage.h"
#include "Transport.h"

class TreflectMessage;
class TreflectObject;
class TreflectObserver;
class TreflectServerObject;

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
    struct OngoingRequest;  // one awaited transaction (REFLECT_orbInternal.h)

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

    // Per class code: who observes creations and deletions here and in other
    // ORBs, and the local instances.
    struct MetaData {
        std::vector<TreflectObserver*> creationObservers;
        std::vector<TreflectObserver*> deletionObservers;
        std::set<TreflectServerObject const*> instances;
        std::set<TreflectOrbId> remoteCreationObservers;
        std::set<TreflectOrbId> remoteDeletionObservers;
        // When each remote observer last subscribed (the ORB's subscription
        // count): a notification that failed drops only subscriptions older
        // than itself, not those a restarted peer made while it was awaited.
        std::map<TreflectOrbId, uint64_t> subscribedAt;
    };

    // The ORB of `ns`, created on first use (safe from any thread).
    static TreflectORB* getInstance(NamespaceId ns);
    // One entry per namespace id.
    static TreflectORB* singletonInstances_[256];
    // Stops and deletes every ORB (process exit).
    static void removeInstances();

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
    // Ends every wait, the termination and the workers, then frees. Called
    // without the run permission.
    ~TreflectORB() override;

    // Transport callbacks.
    void receive(Transport::AddressedMessage const& msg) override;
    void receiveError(Transport::AddressedMessage const& msg) override;
    // Another ORB of the own namespace gets every local subscription.
    void appeared(Transport::Termination& t) override;
    // Stubs of the vanished ORB turn invalid; its callers stop waiting.
    void disappeare(Transport::Termination& t) override;

    // Observers of appearing and disappearing ORBs (served on "OrbObsWorker").
    void registerOrbCreation(TreflectOrbObserverIf* obs, bool notifyExisting);
    void registerOrbDeletion(TreflectOrbObserverIf* obs);
    void unregisterOrbNotifications(TreflectOrbObserverIf* obs);
    TreflectOrbObserver* orbObserver() const { return orbObserver_.load(); }

    // Creations and deletions of the objects of a class, wherever they live.
    // Called with the run permission held; the remote exchanges give it up
    // while they wait.
    bool observeCreations(unsigned long const& classCode, TreflectObserver& obs, bool plusExisting);
    bool observeDeletions(unsigned long const& classCode, TreflectObserver& obs);
    void removeObserver(unsigned long const& classCode, TreflectObserver& obs);
    void notifyCreation(unsigned long classCode, TreflectServerObject const& object);
    void notifyDeletion(unsigned long classCode, TreflectServerObject const& object);
    void gotCreation(unsigned long const& classCode, TreflectObject const& object);
    void gotDeletion(unsigned long const& classCode, TreflectObject const& object);
    void orbAppeared(TreflectOrbId const& id);
    // A server object going away without its deletion event leaves no
    // dangling instance behind.
    void forgetInstance(TreflectServerObject const& object);
    void destroyMetaData();
    MetaData& getMetaData(unsigned long classCode);
    // The entry of a class code, or null; never makes one.
    MetaData* findMetaData(unsigned long classCode) const;
    // Subscriptions at one ORB, or at every other member of the group when
    // `target` is null. Objects that exist there are appended to `objects`.
    void registerForOCN(unsigned long classCode, std::vector<TreflectObject>* objects, TreflectOrbId const* target);
    void registerForODN(unsigned long classCode, TreflectOrbId const* target);
    void unregisterFromOCN(unsigned long classCode);
    void unregisterFromODN(unsigned long classCode);
    void addRemoteCreationObserver(unsigned long const& classCode, TreflectOrbId const& orb,
                                   TipprmiSequence<TreflectObject, 0>* existing);
    void addRemoteDeletionObserver(unsigned long const& classCode, TreflectOrbId const& orb);
    void removeRemoteObserver(unsigned long const& classCode, TreflectOrbId const& orb);
    // The class codes a peer reported, if it did.
    std::vector<unsigned long> const* remoteInterfaceIds(Transport::TerminationId const& t) const;
    // ORBs present now that the last broadcast subscriptions (creations, deletions) missed.
    size_t missedOrbs() const { return missedCreations_.size() + missedDeletions_.size(); }
    // Sets the observer's source to `object` and runs its callback.
    static void handToObserver(TreflectObserver& obs, TreflectObject const& object);

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
    // One transaction of a fan-out: its destination, a message of its own
    // (the header carries the transaction id), and where its outcome goes.
    struct Exchange {
        Exchange(Transport::TerminationId const& d, TreflectMessage const& m, TipprmiStream const& r)
            : dest(d), msg(m), response(r) {}
        Transport::TerminationId dest;
        TreflectMessage msg;
        TipprmiStream response;
        bool ok = false;
        // While its answer is awaited: the transaction and the end of its
        // current wait period.
        OngoingRequest* request = nullptr;
        OSWrap::TimeSpec due;
        int periods = 0;
    };
    // Sends every exchange as a transaction before it awaits any answer, so
    // that the peers serve them at the same time; returns when each answer
    // came or failed, each with the outcome forwardMsg_ gives it. Gives the
    // run permission up while it waits.
    void forwardAll_(std::vector<Exchange>& exchanges) const;
    bool waitingTooLongFor(Transport::TerminationId const& dest, TreflectMessage msg, int minutes) const;
    void testInfoAboutMessage(Transport::TerminationId const& dest, TreflectMessage const& msg,
                              bool transaction) const;

    // Worker side: body of every "ReflectWorker" thread, and growth of the pool.
    void dispatchEntry();
    void startReflectWorker();
    // Serves one received request or notification, as a worker does (run
    // permission held).
    void serve(TreflectMessage const& request);

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
    struct MessageQueue;
    struct InternalPerfCnts {
        unsigned int sent = 0;
        unsigned int failed = 0;
    };

    TreflectOrbObserver* orbObserverService();
    // Ends the waits of the callers of `dest` (of every caller when null) as
    // if the peer had gone. Called with the ORB mutex held.
    void abortWaitsLocked(Transport::TerminationId const* dest);
    // The entry of a class code a subscriber names: an existing one, or a
    // new one when this process has a meta object for the class; else null.
    MetaData* subscribedMetaData(unsigned long classCode, TreflectOrbId const& subscriber);
    void countSent(Transport::TerminationId const& dest) const;
    void countFailed(Transport::TerminationId const& dest) const;
    void serveResolve(TreflectMessage const& request);
    void servePayload(TreflectMessage const& request);
    void serveNotification(TreflectMessage const& request);
    // One subscription message to each target; true for a broadcast.
    void subscribe_(TreflectMessage::type_t type, unsigned long classCode, std::vector<TreflectObject>* objects,
                    TreflectOrbId const* target);
    void unsubscribe_(TreflectMessage::type_t type, unsigned long classCode);
    // Sends tOCN or tODN to the ORBs of `observers`; drops those that fail.
    void notifyRemote_(TreflectMessage::type_t type, unsigned long classCode, TreflectServerObject const& object,
                       std::set<TreflectOrbId>& observers);
    void servePerfCnts(TreflectMessage const& request);
    bool sendResponse(TipprmiStream& response, TreflectMessage const& request) const;
    static void writeFailure(TipprmiStream& response);
    void waitOnePeriod(OngoingRequest& request) const;
    // The halves of forwardMsg_. sendMsg_ returns the transaction to await
    // (the caller releases it), or null when the exchange is over, with its
    // result in `result`.
    OngoingRequest* sendMsg_(Transport::TerminationId const& dest, bool transaction, TreflectMessage& msg,
                             TipprmiStream& response, bool& result) const;
    // A wait period of `request` passed without its answer; its peer is still there.
    void periodPassed_(Transport::TerminationId const& dest, TreflectMessage const& msg, int periods) const;
    // The outcome of an awaited transaction: its entry leaves ongoingRequests_
    // and its answer or failure goes into `response`. Called with the
    // request's condition lock held; returns without it.
    bool outcome_(Transport::TerminationId const& dest, TreflectMessage const& msg, OngoingRequest& request,
                  TipprmiStream& response) const;
    void startReflectWorkerLocked();  // called with the queue lock held

    std::map<unsigned long, TipprmiObjectSkeleton*> objects_;
    mutable std::map<unsigned long, OngoingRequest*> ongoingRequests_;
    mutable unsigned long lastRequestId_;
    mutable OSWrap::Mutex mutex_;
    bool ending_;  // under mutex_: set by the destructor
    std::atomic<unsigned long> receivingThread_;
    MessageQueue* queue_;
    TreflectOrbId orbId_;
    std::map<unsigned long, MetaData*> metaData_;
    uint64_t subscriptions_ = 0;  // remote subscriptions served, under the run permission
    std::atomic<TreflectOrbObserver*> orbObserver_;
    mutable std::map<Transport::TerminationId, InternalPerfCnts> perfCnts_;
    std::map<Transport::TerminationId, std::vector<unsigned long> > remoteIfIds_;
    TreflectMissedOrbs missedCreations_;
    TreflectMissedOrbs missedDeletions_;
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
