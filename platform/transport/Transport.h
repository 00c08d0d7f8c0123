// Node transport stand-in: terminations that exchange addressed messages
// between the actors (processes) of one node.
//
// Every termination has a 32-bit TerminationId and a listening socket in the
// node directory (platform::nodeDirectory()); messages go straight from the
// sending process to the receiving one. Presence is tracked by the membership
// service `topnoded` (see README.txt beside this file), which tells every
// process when a termination starts or its process ends, kill -9 included.
//
// Callback threads: `receive` and `receiveError` of a termination run on its
// receiving thread ("TrspRecv"); `appeared` and `disappeare` run on its event
// thread ("TrspEvent"), so that a callback that waits for a response (the
// ORB's subscription transfer) does not stall the delivery of that response.
// Neither thread may be blocked for long by a callback.
//
// Environment (read once, by IdInfo::instance()):
//   TOPADAPTER_ACTOR        actor name of this process (default "topAdapter")
//   TOPADAPTER_NAME_ID      16-bit name id, decimal or 0x-hex (default: derived
//                           from the actor name, see IdInfo::nameId())
//   TOPADAPTER_SLOT         own slot number (default 1)
//   TOPADAPTER_ACTIVE_SLOT  slot of the active main unit (default 1)
//   TOPADAPTER_BEP          1 when the own unit is a Bep unit (default 0)
//   TOPADAPTER_BEP_SLOTS    comma-separated slots holding Bep units (default
//                           none; the own slot is added when TOPADAPTER_BEP=1)
// Read by the transport itself:
//   TOPADAPTER_NODE_DIR     node directory (platform/env NodeDir.h)
//   TOPADAPTER_NODED        "none": no membership service; the process is a
//                           node of its own (single-process tests, tools)
//   TOPADAPTER_NODED_WAIT_MS  how long start() waits for the membership
//                           service to acknowledge the termination (default 3000)
//   TOPADAPTER_SEND_TIMEOUT_MS  how long issue() waits for room when the
//                           message cannot be queued for a slow receiver
//                           (default 2000); after that it refuses the message
//   TOPADAPTER_ANSWER_POLL_US  for how long, in microseconds, a receiving
//                           thread looks for an awaited answer, or for the
//                           next of the requests that keep coming, instead of
//                           sleeping (default 100, the card's build 0: never;
//                           read at start(); see PollGate.h for where it never looks)
#pragma once

#include <cstdint>
#include <list>
#include <string>

namespace Transport {

// Transport groups. The ORB maps 1 and 2 to its own namespace, 3 to the node
// namespace; 0 and TRSPCTRL are not served by the ORB.
enum GroupId : unsigned char {
    GRPID_UNDEF = 0,
    GRPID_UNIT_A = 1,  // actors of the unit whose active main unit is in slot 1
    GRPID_UNIT_B = 2,  // actors of the other (Bep or non-slot-1) units
    GRPID_NODE = 3,    // node-wide actors
    TRSPCTRL = 4       // transport control
};

// 32-bit address of one termination:
//   bits 31..16 name id, bits 15..8 slot id, bits 7..0 group id.
// value() is computed arithmetically, so it is the same on any host.
class TerminationId {
public:
    TerminationId() : value_(0) {}
    TerminationId(unsigned short nameId, unsigned char slotId, GroupId group)
        : value_((uint32_t(nameId) << 16) | (uint32_t(slotId) << 8) | uint32_t(group)) {}
    // Only the low 32 bits of `raw` are kept.
    TerminationId(unsigned long raw) : value_(uint32_t(raw & 0xFFFFFFFFul)) {}

    unsigned short nameId() const { return static_cast<unsigned short>(value_ >> 16); }
    unsigned char slotId() const { return static_cast<unsigned char>((value_ >> 8) & 0xFFu); }
    GroupId groupId() const { return static_cast<GroupId>(value_ & 0xFFu); }
    unsigned long value() const { return value_; }

    bool operator==(TerminationId const& o) const { return value_ == o.value_; }
    bool operator!=(TerminationId const& o) const { return value_ != o.value_; }
    bool operator<(TerminationId const& o) const { return value_ < o.value_; }

private:
    uint32_t value_;
};

// Allocator of message buffers (size-class free lists, process-wide).
// lock()/unlock(): a process-wide lock kept for callers that want one; the
// reference counts of shared message buffers are atomic.
class SimpleAllocator {
public:
    // At least `size` bytes aligned to `align` (a power of two up to 16);
    // never null (an exhausted heap ends the process, as on the card).
    static void* allocate(unsigned int size, unsigned int align = 8);
    static void deallocate(void* p);
    static void lock();
    static void unlock();
};

// A message with its transport addresses. Copies share one buffer; the
// reference count is changed atomically (SimpleAllocator::lock() is not
// needed for it) and the last reference frees the buffer with
// SimpleAllocator::deallocate. Originator and destination live with the
// buffer, so every copy sees the same ones. A default-constructed message is
// null: no buffer, size 0, addresses 0.
class AddressedMessage {
public:
    AddressedMessage() : block_(nullptr) {}
    AddressedMessage(AddressedMessage const& other) : block_(other.block_) {
        if (block_) __atomic_fetch_add(&block_->refs, 1u, __ATOMIC_RELAXED);
    }
    AddressedMessage& operator=(AddressedMessage const& other) {
        if (block_ == other.block_) return *this;
        if (other.block_) __atomic_fetch_add(&other.block_->refs, 1u, __ATOMIC_RELAXED);
        release();
        block_ = other.block_;
        return *this;
    }
    ~AddressedMessage() { release(); }

    // A fresh message of `size` bytes (zero-filled), buffer aligned to
    // `align`; both addresses 0.
    static AddressedMessage create(unsigned int size, unsigned int align = 4);

    // Bytes of the message. Derived message classes may hide these two with
    // views of their own; rawBuf()/rawSize() always give the whole buffer.
    unsigned char* buf() const { return rawBuf(); }
    unsigned int size() const { return rawSize(); }
    unsigned char* rawBuf() const { return block_ ? reinterpret_cast<unsigned char*>(block_) + kDataOffset : nullptr; }
    unsigned int rawSize() const { return block_ ? block_->size : 0; }

    TerminationId originator() const { return TerminationId(static_cast<unsigned long>(block_ ? block_->originator : 0)); }
    TerminationId destination() const {
        return TerminationId(static_cast<unsigned long>(block_ ? block_->destination : 0));
    }
    // Set by the transport (allocateMessage, issue); shared by all copies.
    void setOriginator(TerminationId const& id) const {
        if (block_) block_->originator = uint32_t(id.value());
    }
    void setDestination(TerminationId const& id) const {
        if (block_) block_->destination = uint32_t(id.value());
    }

    bool isNull() const { return block_ == nullptr; }
    bool isValid() const { return block_ != nullptr; }
    // Number of messages sharing this buffer (0 for a null message).
    unsigned int shareCount() const { return block_ ? __atomic_load_n(&block_->refs, __ATOMIC_RELAXED) : 0; }
    // Whether both share one buffer.
    bool sharesBufferWith(AddressedMessage const& other) const { return block_ == other.block_; }

    // Buffer header; the message bytes follow at kDataOffset (16-aligned).
    struct Block {
        uint32_t refs;  // changed atomically
        uint32_t size;
        uint32_t originator;  // TerminationId values
        uint32_t destination;
    };
    static constexpr unsigned kDataOffset = 16;

private:
    explicit AddressedMessage(Block* b) : block_(b) {}
    void release() {
        // The last holder frees; the acquire orders its reads of the bytes
        // after every other holder's writes.
        if (block_ && __atomic_sub_fetch(&block_->refs, 1u, __ATOMIC_ACQ_REL) == 0) free(block_);
        block_ = nullptr;
    }
    static void free(Block* b);
    Block* block_;
    friend class MessageAccess;
};

class TransportLayer;

// Another termination, as seen from this process. Obtained from
// TransportLayer::getTermination(); lives as long as the process.
class Termination {
public:
    TerminationId termId() const { return id_; }
    // Sends `msg` to this termination from the local termination named by
    // msg.originator(); sets the destination. True when the transport took
    // the message: it is then delivered in order, or handed back to its
    // originator through receiveError(). False (nothing sent) when this
    // termination is absent, the originator is not a started local
    // termination, or the receiver stayed full for the send time-out.
    // Any thread, callbacks included; returns at once unless the receiver is
    // full, and then waits at most TOPADAPTER_SEND_TIMEOUT_MS.
    bool issue(AddressedMessage const& msg);
    // Whether this termination is currently present.
    bool exists() const;

    Termination(Termination const&) = delete;
    Termination& operator=(Termination const&) = delete;

private:
    friend class TransportLayer;
    explicit Termination(TerminationId id) : id_(id) {}
    TerminationId id_;
};

// The members of one group, read live from the node's membership.
class Group {
public:
    GroupId groupId() const { return id_; }
    // Present members, in ascending TerminationId order (the order every
    // process of the node sees).
    std::list<TerminationId> contains() const;

    Group(Group const&) = delete;
    Group& operator=(Group const&) = delete;

private:
    friend class TransportLayer;
    explicit Group(GroupId id) : id_(id) {}
    GroupId id_;
};

// Process-wide view of the node. Created on first use, never destroyed.
class TransportLayer {
public:
    static TransportLayer& instance();

    // The handle of any termination, present or not.
    Termination& getTermination(TerminationId const& id);
    bool exists(TerminationId const& id) const;
    // All present terminations (own ones included), ascending order.
    std::list<TerminationId> getTerminations() const;
    Group& getGroup(GroupId const& id);

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    TransportLayer();
    Impl* impl_;
};

// One termination of this process. A derived class overrides the callbacks
// it needs. Lifecycle: construct, start(), ... , stop(), destroy. After
// stop() returns no callback runs or will run. Callbacks may run until then,
// so a derived class calls stop() in its own destructor; the base destructor
// stopping a termination that is still running is only the last resort.
class TerminationImpl {
public:
    // Own id = (IdInfo name id, IdInfo slot, group).
    TerminationImpl(GroupId const& group, std::string const& name);
    // An explicit own id (several actors in one test process).
    TerminationImpl(TerminationId const& id, std::string const& name);
    virtual ~TerminationImpl();

    // Each message that arrives for this termination. Receiving thread.
    virtual void receive(AddressedMessage const& msg);
    // Sends `msg` to msg.destination(); same contract as Termination::issue.
    virtual bool issue(AddressedMessage const& msg);
    // A message of this termination that was accepted by issue() but could
    // not be delivered, handed back unchanged. Receiving thread.
    virtual void receiveError(AddressedMessage const& msg);
    // Called on the issuing thread when issue() refuses `msg`.
    virtual void issueError(AddressedMessage const& msg);
    // Whether this termination awaits the answer to a request it has sent.
    // While it does, its receiving thread may look for the answer for a
    // while instead of sleeping (TOPADAPTER_ANSWER_POLL_US). Asked on the
    // receiving thread, after every message it hands over: keep it cheap.
    // The default: never.
    virtual bool awaitsAnswer() const;
    // Opens the listening socket, starts the threads and announces the
    // termination to the node; returns once the membership service has
    // acknowledged it (then exists(termId()) is true everywhere within
    // 100 ms). False, with a log line, when that fails.
    virtual bool start();
    virtual bool started() const;
    // Withdraws the termination, joins its threads; idempotent. Must not be
    // called from one of this termination's own callbacks.
    virtual void stop();
    // Another termination came (a late starter first learns every present
    // one this way) or went. Event thread.
    virtual void appeared(Termination& t);
    virtual void disappeare(Termination& t);

    TerminationId termId() const { return id_; }
    GroupId groupId() const { return id_.groupId(); }
    std::string const& name() const { return name_; }
    // A message of at least `size` bytes whose buffer is aligned to `align`,
    // originator = termId().
    AddressedMessage allocateMessage(unsigned int size, unsigned int align) const;

    TerminationImpl(TerminationImpl const&) = delete;
    TerminationImpl& operator=(TerminationImpl const&) = delete;

    struct Impl;

private:
    TerminationId id_;
    std::string name_;
    Impl* impl_;
};

// Identity of this actor and of the card's slots.
class IdInfo {
public:
    static IdInfo& instance();

    std::string getActor() const { return actor_; }
    // 16-bit name id of the actor: TOPADAPTER_NAME_ID, else a 16-bit FNV-1a
    // hash of the actor name folded into 1..0xFFFF.
    unsigned short nameId() const { return nameId_; }
    // The name id an actor of that name gets when TOPADAPTER_NAME_ID does not
    // set one: how a tool finds another actor's termination by name.
    static unsigned short nameIdOf(std::string const& actor);
    int getSlot() const { return slot_; }
    int activeSlot() const { return activeSlot_; }
    bool isBep() const { return bep_; }
    bool bepInSlot(int const& slot) const;

    // Re-reads the environment (tests).
    void reload();

private:
    IdInfo() { reload(); }
    std::string actor_;
    unsigned short nameId_ = 0;
    int slot_ = 1;
    int activeSlot_ = 1;
    bool bep_ = false;
    uint32_t bepSlots_[8] = {};  // bit set of slots 0..255
};

// Largest message (rawSize) the transport carries.
constexpr unsigned int kMaxMessageSize = 128u * 1024u - 64u;

}  // namespace Transport
