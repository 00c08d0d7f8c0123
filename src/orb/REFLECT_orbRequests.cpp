// Request engine of the ORB: sending with transaction ids and supervised
// waits, routing of received messages, and the worker threads that serve
// queued requests.
#include <algorithm>
#include <deque>
#include <queue>
#include <vector>

#include "IPPRMI_objectSkeleton.h"
#include "Log.h"
#include "REFLECT_chaos.h"
#include "REFLECT_orb.h"
#include "REFLECT_objectStub.h"
#include "REFLECT_orbInternal.h"
#include "ReflectWorker.h"

namespace {

constexpr int kWaitPeriodSeconds = 30;
constexpr unsigned long kCounterMask = 0xFFFu;

char const* yesNo(bool b) { return b ? "true" : "false"; }

unsigned hex32(unsigned long v) { return static_cast<unsigned>(v & 0xFFFFFFFFul); }

}  // namespace

// ---- worker thread ----

ReflectWorker::ReflectWorker(TreflectORB& orb, unsigned int stackSize, OSWrap::Priority priority,
                             OSWrap::SchedulingPolicy policy, std::string const& name, bool joinable)
    : OSWrap::Thread(stackSize, priority, policy, name, joinable), orb_(orb) {}

ReflectWorker::~ReflectWorker() { join(); }

void ReflectWorker::run() { orb_.dispatchEntry(); }

// ---- lifecycle ----

TreflectORB::~TreflectORB() {
    // Whatever still runs in this ORB ends before anything of it is freed: a
    // worker woken from its wait goes on with the meta data and the queue.
    // Waits end now, and later ones at once, as if their peers had gone.
    mutex_.lock();
    ending_ = true;
    abortWaitsLocked(nullptr);
    mutex_.unlock();
    stop();
    // Workers serve for the life of the ORB; ending it ends them.
    queue_->condition.lock();
    queue_->stopping = true;
    queue_->condition.broadcast();
    std::vector<ReflectWorker*> workers;
    workers.swap(queue_->workers);
    queue_->condition.unlock();
    for (ReflectWorker* w : workers) delete w;
    delete orbObserver_.exchange(nullptr);
    destroyMetaData();
    delete queue_;
}

unsigned TreflectORB::workerCount() const {
    queue_->condition.lock();
    unsigned n = static_cast<unsigned>(queue_->workers.size());
    queue_->condition.unlock();
    return n;
}

unsigned TreflectORB::idleWorkerCount() const {
    queue_->condition.lock();
    unsigned n = queue_->idle;
    queue_->condition.unlock();
    return n;
}

// ---- sending ----

void TreflectORB::writeFailure(TipprmiStream& response) {
    response << TipprmiExceptionContainer(TipprmiGeneralException(0));
}

bool TreflectORB::forwardMsg(TreflectOrbId const& dest, bool transaction, TipprmiStream& request,
                             TipprmiStream& response) {
    if (request.getDataSize() < 16)
        TA_LOG(3, "ORB 0x%08X forwardMsg message too short (iptr_=%d,size=%d)", hex32(termId().value()),
               request.getDataSize(), request.getDataLimit());
    Transport::TerminationId t = convertId(dest);
    request.msg().type(TreflectMessage::tPayld);
    return forwardMsg_(t, transaction, request.msg(), response);
}

// Called with the request's condition lock held; returns with it held. The
// run permission is given up for the wait, and taken back only after the
// condition lock is released, so that no lock is held while waiting for it.
void TreflectORB::waitOnePeriod(OngoingRequest& request) const {
    bool held = hasRunPermission();
    if (held) releaseRunPermission();
    request.condition.wait(OSWrap::TimeSpec(kWaitPeriodSeconds, 0));
    TreflectChaos::at(TreflectChaos::kAnswer);
    if (held) {
        request.condition.unlock();
        getRunPermission();
        request.condition.lock();
    }
}

bool TreflectORB::forwardMsg_(Transport::TerminationId const& dest, bool transaction, TreflectMessage& msg,
                              TipprmiStream& response) const {
    bool result = false;
    OngoingRequest* const sent = sendMsg_(dest, transaction, msg, response, result);
    if (!sent) return result;
    OngoingRequest& request = *sent;
    struct Holder {
        OngoingRequest& r;
        ~Holder() { r.release(); }
    } holder{request};

    Transport::TransportLayer& transport = Transport::TransportLayer::instance();
    request.condition.lock();
    if (!request.response) waitOnePeriod(request);
    int periods = 0;
    while (!request.response && transport.exists(dest)) {
        periodPassed_(dest, msg, ++periods);
        waitOnePeriod(request);
    }
    return outcome_(dest, msg, request, response);
}

TreflectORB::OngoingRequest* TreflectORB::sendMsg_(Transport::TerminationId const& dest, bool transaction,
                                                   TreflectMessage& msg, TipprmiStream& response,
                                                   bool& result) const {
    countSent(dest);
    unsigned long const self = OSWrap::Thread::getCurrentId();
    bool const onReceivingThread = self == receivingThread_.load();
    result = false;
    bool const entered = transaction && !onReceivingThread;
    OngoingRequest* const request = entered ? new OngoingRequest : nullptr;
    if (request) request->destination = dest;

    mutex_.lock();
    unsigned long const last = lastRequestId_;
    unsigned long id = 0;
    bool found = false;
    for (unsigned long i = 1; i <= kCounterMask && !found; ++i) {
        unsigned long candidate = (last & ~kCounterMask & 0xFFFFFFFFul) | ((last + i) & kCounterMask);
        if (!ongoingRequests_.count(candidate)) {
            id = candidate;
            found = true;
        }
    }
    if (!found) {
        TA_LOG(3, "ORB could NOT generate unique request id 0x%08X", hex32(last));
        mutex_.unlock();
        if (request) request->release();
        return nullptr;
    }
    lastRequestId_ = id;
    msg.transactionId(id);
    if (entered) {
        request->id = id;
        ongoingRequests_[id] = request;
        awaited_.store(ongoingRequests_.size(), std::memory_order_relaxed);
        // An ending ORB receives nothing more: the call ends as if its peer had gone.
        if (ending_) request->response = disconnectedMarker();
    } else if (transaction)
        TA_LOG(3, "ORB did NOT add tID %X transaction to ongoingRequests_", hex32(id));
    else if (onReceivingThread)
        TA_LOG(3, "ORB receiving thread = %d found in forwardMsg()", static_cast<int>(self));
    mutex_.unlock();

    msg.kind(transaction ? TreflectMessage::kRequ : TreflectMessage::kMsg);
    TreflectChaos::at(TreflectChaos::kSend);
    if (!Transport::TransportLayer::instance().getTermination(dest).issue(msg)) {
        TA_LOG(3, "ORB 0x%08X could not find destination termId=0x%08X for transactionId %X", hex32(termId().value()),
               hex32(dest.value()), hex32(id));
        writeFailure(response);
        if (entered) {
            mutex_.lock();
            auto own = ongoingRequests_.find(id);
            if (own != ongoingRequests_.end() && own->second == request) ongoingRequests_.erase(own);
            awaited_.store(ongoingRequests_.size(), std::memory_order_relaxed);
            mutex_.unlock();
            request->release();
        }
        countFailed(dest);
        return nullptr;
    }
    result = true;
    if (transaction && onReceivingThread) {
        // The response would have to be delivered by this very thread.
        TA_LOG(3, "receivingThread called forwardMessage");
    }
    return request;
}

void TreflectORB::periodPassed_(Transport::TerminationId const& dest, TreflectMessage const& msg, int periods) const {
    TA_LOG(4, "ORB 0x%08X waits now %3d seconds for response from 0x%08X", hex32(termId().value()),
           kWaitPeriodSeconds * periods, hex32(dest.value()));
    testInfoAboutMessage(dest, msg, true);
    int minutes = kWaitPeriodSeconds * periods / 60;
    // A copy of its own: the request keeps its id and kind for the traces.
    if (minutes >= 50 && minutes % 5 == 0) waitingTooLongFor(dest, reallocateMessage(msg, msg.size()), minutes);
}

bool TreflectORB::outcome_(Transport::TerminationId const& dest, TreflectMessage const& msg, OngoingRequest& request,
                           TipprmiStream& response) const {
    bool const delivered = request.delivered;
    request.condition.unlock();
    if (!delivered) {
        // A receiving thread that took the entry meanwhile has removed it,
        // and the id may already serve another request.
        mutex_.lock();
        auto own = ongoingRequests_.find(request.id);
        if (own != ongoingRequests_.end() && own->second == &request) ongoingRequests_.erase(own);
        awaited_.store(ongoingRequests_.size(), std::memory_order_relaxed);
        mutex_.unlock();
    }
    // A response is only ever stored together with `delivered`: one that
    // comes after this look is dropped with the request.
    request.condition.lock();
    TreflectMessage* const answer = request.response;
    request.condition.unlock();

    bool const targetGone = !Transport::TransportLayer::instance().exists(dest);
    if (!answer || answer == disconnectedMarker() || targetGone) {
        countFailed(dest);
        TA_LOG(3, "ORB 0x%08X request to target 0x%08X aborted (Detection Rem.Disc.=%s, TargetGone=%s)",
               hex32(termId().value()), hex32(dest.value()), yesNo(answer == disconnectedMarker()),
               yesNo(targetGone));
        testInfoAboutMessage(dest, msg, true);
        writeFailure(response);
        return false;
    }
    if (answer->kind() == TreflectMessage::kNoDes) {
        countFailed(dest);
        TA_LOG(3, "ORB 0x%08X receives TRANSPORT_ERROR message of termId 0x%08X", hex32(termId().value()),
               hex32(dest.value()));
        testInfoAboutMessage(dest, msg, true);
        writeFailure(response);
        return false;
    }
    response = TipprmiStream(*answer, false);
    return true;
}

void TreflectORB::forwardAll_(std::vector<Exchange>& exchanges) const {
    OSWrap::TimeSpec const period(kWaitPeriodSeconds, 0);
    std::vector<Exchange*> open;
    for (Exchange& e : exchanges) {
        e.request = sendMsg_(e.dest, true, e.msg, e.response, e.ok);
        if (!e.request) continue;
        e.due = OSWrap::Clock::getTime() + period;
        e.periods = 0;
        open.push_back(&e);
    }
    if (open.empty()) return;
    Transport::TransportLayer& transport = Transport::TransportLayer::instance();
    bool const held = hasRunPermission();
    if (held) releaseRunPermission();
    // Each exchange keeps the periods of its own wait, counted from its send:
    // the one whose period ends first is waited on, and the others' answers
    // wait in their requests meanwhile.
    while (!open.empty()) {
        auto next = std::min_element(open.begin(), open.end(),
                                     [](Exchange const* a, Exchange const* b) { return a->due < b->due; });
        Exchange& e = **next;
        OngoingRequest& request = *e.request;
        request.condition.lock();
        OSWrap::TimeSpec const now = OSWrap::Clock::getTime();
        if (!request.response && now < e.due) request.condition.wait(e.due - now);
        if (!request.response) {
            request.condition.unlock();
            if (OSWrap::Clock::getTime() < e.due) continue;
            if (transport.exists(e.dest)) {
                periodPassed_(e.dest, e.msg, ++e.periods);
                e.due += period;
                continue;
            }
            request.condition.lock();
        }
        e.ok = outcome_(e.dest, e.msg, request, e.response);
        e.request = nullptr;
        request.release();
        open.erase(next);
    }
    if (held) getRunPermission();
}

bool TreflectORB::waitingTooLongFor(Transport::TerminationId const& dest, TreflectMessage msg, int minutes) const {
    if (minutes >= 60) {
        TA_LOG(0, "ORB Ox%08X waits now %d minutes for 0x%08X", hex32(termId().value()), minutes, hex32(dest.value()));
        resetUnit();
    }
    if (dest.slotId() == termId().slotId()) return false;
    msg.transactionId(OSWrap::UniqueIdGen::instance()->getId());
    msg.kind(TreflectMessage::kReFai);
    bool sent = Transport::TransportLayer::instance().getTermination(dest).issue(msg);
    TA_LOG(3, "ORB Ox%08X waits now %d minutes for 0x%08X, sending response failure message %s",
           hex32(termId().value()), minutes, hex32(dest.value()), sent ? "succeeded" : "failed");
    return sent;
}

void TreflectORB::testInfoAboutMessage(Transport::TerminationId const&, TreflectMessage const& msg,
                                       bool transaction) const {
    msg.testValidation(transaction ? TreflectMessage::kRequ : TreflectMessage::kMsg, 0, "", true, 0);
    TipprmiStream data(msg, false);
    unsigned long cc = 0;
    switch (msg.type()) {
    case TreflectMessage::tPayld: {
        unsigned long ioid = 0, mc = 0;
        bool twoWay = false;
        data >> ioid >> twoWay >> cc >> mc;
        TA_LOG(5, "    Message data: ioid=0x%X,transaction=%s,cc=0x%X,mc=%d", hex32(ioid), yesNo(twoWay), hex32(cc),
               static_cast<int>(mc));
        break;
    }
    case TreflectMessage::tRslve: {
        TipprmiOID oid;
        data >> oid;
        TA_LOG(5, "    Message data: oid=%s", oid.getIdString() ? oid.getIdString() : "unnamed");
        break;
    }
    case TreflectMessage::tOCN:
    case TreflectMessage::tODN:
    case TreflectMessage::tODNSU:
    case TreflectMessage::tOCNUN:
    case TreflectMessage::tODNUN:
        data >> cc;
        TA_LOG(5, "    Message data: cc=0x%X", hex32(cc));
        break;
    case TreflectMessage::tOCNSU: {
        bool plusExisting = false;
        data >> cc >> plusExisting;
        TA_LOG(5, "    Message data: cc=0x%X, plusExisting=%s", hex32(cc), yesNo(plusExisting));
        break;
    }
    case TreflectMessage::tOrbAp: {
        Transport::TerminationId t;
        data >> t;
        TA_LOG(5, "    Message data: termId=%X", hex32(t.value()));
        break;
    }
    default:
        TA_LOG(5, "    Message data: unknown message");
        break;
    }
}

// ---- receiving ----

void TreflectORB::receive(Transport::AddressedMessage const& raw) {
    receivingThread_.store(OSWrap::Thread::getCurrentId());
    if (raw.rawSize() < TreflectMessage::kHeaderSize) {
        TA_LOG(3, "ORB 0x%08X drops a message of %u bytes from 0x%08X: shorter than the ORB header",
               hex32(termId().value()), raw.rawSize(), hex32(raw.originator().value()));
        return;
    }
    TreflectMessage msg(raw);
    TreflectMessage::kind_t const kind = msg.kind();
    if (kind == TreflectMessage::kReFai) {
        TA_LOG(0, "ORB 0x%08X received response failure message from 0x%08X", hex32(termId().value()),
               hex32(msg.originator().value()));
        resetUnit();
    }
    mutex_.lock();
    auto it = ongoingRequests_.find(msg.transactionId());
    if (it != ongoingRequests_.end()) {
        if (kind == TreflectMessage::kResp || kind == TreflectMessage::kNoDes) {
            // Hand over and wake the caller holding no lock, so that it runs
            // straight through instead of blocking on one of ours.
            OngoingRequest* request = it->second;
            ongoingRequests_.erase(it);
            awaited_.store(ongoingRequests_.size(), std::memory_order_relaxed);
            request->holders.fetch_add(1, std::memory_order_relaxed);
            mutex_.unlock();
            TreflectChaos::at(TreflectChaos::kDeliver);
            request->condition.lock();
            // A response outruns the news that its sender is gone.
            if (request->response != disconnectedMarker()) delete request->response;
            request->response = new TreflectMessage(msg);
            request->delivered = true;
            request->condition.unlock();
            request->condition.signal();
            request->release();
            return;
        }
        TA_LOG(2, "ORB 0x%08X could have mistaken (org=0x%08X, kind=%d) as a response", hex32(termId().value()),
               hex32(msg.originator().value()), static_cast<int>(kind));
    } else if (kind == TreflectMessage::kResp) {
        mutex_.unlock();
        TA_LOG(3, "ORB 0x%08X receives unexpected response (org=0x%08X, TransactionId=%X)", hex32(termId().value()),
               hex32(msg.originator().value()), hex32(msg.transactionId()));
        testInfoAboutMessage(msg.destination(), msg, false);
        return;
    } else if (kind == TreflectMessage::kNoDes) {
        // One of our own messages came back after its sender stopped waiting:
        // serving it would answer ourselves.
        mutex_.unlock();
        TA_LOG(4, "ORB 0x%08X drops undeliverable message to 0x%08X (TransactionId=%X)", hex32(termId().value()),
               hex32(msg.destination().value()), hex32(msg.transactionId()));
        return;
    }
    mutex_.unlock();

    queue_->condition.lock();
    queue_->messages.push(msg);
    startReflectWorkerLocked();
    queue_->condition.unlock();
    // Signalled outside the lock: the woken worker does not block on it.
    queue_->condition.signal();
}

bool TreflectORB::awaitsAnswer() const { return awaited_.load(std::memory_order_relaxed) != 0; }

void TreflectORB::receiveError(Transport::AddressedMessage const& raw) {
    if (raw.rawSize() < TreflectMessage::kHeaderSize) return receive(raw);
    TreflectMessage msg(raw);
    msg.kind(TreflectMessage::kNoDes);
    receive(msg);
}

void TreflectORB::appeared(Transport::Termination& t) {
    TreflectOrbId const id = convertId(t.termId());
    if (id.namespaceId() == namespaceId() && id != orbId_) {
        enterHandlerState(true);
        orbAppeared(id);
        leaveHandlerState(true);
    }
    if (TreflectOrbObserver* service = orbObserver_.load()) service->notify(t.termId(), TreflectOrbObserverIf::kAppear);
}

void TreflectORB::disappeare(Transport::Termination& t) {
    Transport::TerminationId const gone = t.termId();
    enterHandlerState(true);
    TreflectObjectHandler::getInstance()->invalidateStubs(convertId(gone));
    missedCreations_.forget(convertId(gone));
    missedDeletions_.forget(convertId(gone));
    if (TreflectOrbObserver* service = orbObserver_.load()) service->notify(gone, TreflectOrbObserverIf::kDisappear);
    remoteIfIds_.erase(gone);
    // Waiting callers of the vanished peer abort at once instead of waiting
    // for their next period.
    mutex_.lock();
    abortWaitsLocked(&gone);
    leaveHandlerState(true);
    mutex_.unlock();
}

void TreflectORB::abortWaitsLocked(Transport::TerminationId const* dest) {
    for (auto const& entry : ongoingRequests_) {
        OngoingRequest* request = entry.second;
        if (dest && request->destination != *dest) continue;
        request->condition.lock();
        if (request->response != disconnectedMarker()) delete request->response;
        request->response = disconnectedMarker();
        request->condition.signal();
        request->condition.unlock();
    }
}

// ---- workers ----

void TreflectORB::startReflectWorker() {
    queue_->condition.lock();
    startReflectWorkerLocked();
    queue_->condition.unlock();
}

void TreflectORB::startReflectWorkerLocked() {
    if (queue_->idle == 0 && !queue_->messages.empty() && !queue_->stopping) {
        ReflectWorker* worker = new ReflectWorker(*this, 65536, 3, 0, "ReflectWorker", true);
        if (worker->start()) {
            queue_->workers.push_back(worker);
            ++queue_->idle;
        } else {
            delete worker;
        }
    }
}

void TreflectORB::dispatchEntry() {
    enterHandlerState(true);
    bool firstPass = true;
    for (;;) {
        releaseRunPermission();
        queue_->condition.lock();
        if (!firstPass) ++queue_->idle;
        firstPass = false;
        while (queue_->messages.empty() && !queue_->stopping) queue_->condition.wait();
        if (queue_->stopping) {
            queue_->condition.unlock();
            leaveHandlerState(false);
            return;
        }
        TreflectMessage msg = queue_->messages.front();
        queue_->messages.pop();
        --queue_->idle;
        queue_->condition.unlock();
        TreflectChaos::at(TreflectChaos::kPick);
        getRunPermission();
        startReflectWorker();
        serve(msg);
    }
}

// ---- serving (run permission held) ----

bool TreflectORB::sendResponse(TipprmiStream& response, TreflectMessage const& request) const {
    return Transport::TransportLayer::instance().getTermination(request.originator()).issue(response.msg());
}

void TreflectORB::serve(TreflectMessage const& request) {
    switch (request.type()) {
    case TreflectMessage::tRslve:
        serveResolve(request);
        break;
    case TreflectMessage::tPayld:
        servePayload(request);
        break;
    case TreflectMessage::tOCN:
    case TreflectMessage::tODN:
    case TreflectMessage::tOCNSU:
    case TreflectMessage::tODNSU:
    case TreflectMessage::tOCNUN:
    case TreflectMessage::tODNUN:
        serveNotification(request);
        break;
    case TreflectMessage::tPfCnt:
        servePerfCnts(request);
        break;
    default:
        TA_LOG(3, "ORB 0x%08X received request of unknown type (rorg=%X, rdes=%X)", hex32(termId().value()),
               hex32(request.originator().value()), hex32(request.destination().value()));
        break;
    }
}

void TreflectORB::serveResolve(TreflectMessage const& request) {
    TipprmiStream in(request, false);
    TipprmiOID oid;
    in >> oid;
    unsigned long internalOid = locateLocalObject_(oid).getInternalOID();
    TipprmiStream out(allocateResponse(request, 104), false);
    out << internalOid;
    if (!sendResponse(out, request)) TA_LOG(3, "Sending resolve response message failed rc=%lx", 0ul);
}

void TreflectORB::servePayload(TreflectMessage const& request) {
    TipprmiStream in(request, false);
    unsigned long internalOid = 0, cc = 0, mc = 0;
    bool transaction = false;
    in >> internalOid >> transaction >> cc >> mc;
    TipprmiStream out(allocateResponse(request, 104), false);
    bool ok = false;
    auto it = objects_.find(internalOid);
    if (it == objects_.end()) {
        TA_LOG(3, "ioid=0x%X,transaction=%s,classCode=0x%X,methodCode=%d", hex32(internalOid), yesNo(transaction),
               hex32(cc), static_cast<int>(mc));
    } else {
        ok = it->second->dispatch(transaction, cc, mc, in, out);
    }
    if (!transaction) {
        if (!ok) TA_LOG(3, "Handling request message failed rc=%lx", 0ul);
        return;
    }
    if (!ok) {
        writeFailure(out);
        TA_LOG(3, "Handling request message failed rc=%lx", 0ul);
    }
    if (!sendResponse(out, request)) TA_LOG(3, "Sending response message failed rc=%lx", 0ul);
}

void TreflectORB::servePerfCnts(TreflectMessage const& request) {
    TipprmiSequence<PerfCnts, 0> counters;
    mutex_.lock();
    for (auto const& entry : perfCnts_) counters.push_back(PerfCnts(entry.first, entry.second.sent, entry.second.failed));
    perfCnts_.clear();
    mutex_.unlock();
    TipprmiStream out(allocateResponse(request, 104), false);
    out << Transport::IdInfo::instance().getActor() << counters;
    if (!sendResponse(out, request)) TA_LOG(3, "Sending response message failed rc=%lx", 0ul);
}
