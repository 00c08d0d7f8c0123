#include "ReflectMessage.h"

#include <cstring>

#include "Log.h"
#include "REFLECT_orb.h"

namespace {

constexpr unsigned int kTransactionIdOffset = 0;
constexpr unsigned int kTypeOffset = 4;
constexpr unsigned int kKindOffset = 8;

char const* const kTypeNames[] = {"tUndef", "tRslve", "tPayld", "tOCN  ", "tODN  ", "tOCNSU",
                                  "tODNSU", "tOCNUN", "tODNUN", "tOrbAp", "tPfCnt"};
char const* const kKindNames[] = {"kUndef", "kMsg  ", "kRequ.", "kResp.", "kNoDes", "kReFai"};

// A message of `size` payload bytes (header included in the allocation),
// every byte zeroed: stale bytes of a recycled buffer never reach a peer.
Transport::AddressedMessage allocateZeroed(TreflectORB const* orb, unsigned int size) {
    if (!orb) return Transport::AddressedMessage();
    Transport::AddressedMessage m = orb->allocateMessage(size + TreflectMessage::kHeaderSize, 4);
    if (!m.isNull()) std::memset(m.rawBuf(), 0, m.rawSize());
    return m;
}

}  // namespace

TreflectMessage::TreflectMessage(TreflectORB const* orb, unsigned long const& transactionId, unsigned int size)
    : Transport::AddressedMessage(allocateZeroed(orb, size)) {
    this->transactionId(transactionId);
}

TreflectMessage::TreflectMessage(TreflectORB const* orb, TreflectMessage const& other, unsigned int size)
    : Transport::AddressedMessage(allocateZeroed(orb, size)) {
    if (isNull() || other.isNull()) return;
    unsigned int header = other.rawSize() < kHeaderSize ? other.rawSize() : kHeaderSize;
    std::memcpy(rawBuf(), other.rawBuf(), header);
    unsigned int n = other.size() < this->size() ? other.size() : this->size();
    if (n > 0) std::memcpy(buf(), other.buf(), n);
}

unsigned char* TreflectMessage::buf() const {
    return rawSize() < kHeaderSize ? nullptr : rawBuf() + kHeaderSize;
}

unsigned int TreflectMessage::size() const { return rawSize() < kHeaderSize ? 0 : rawSize() - kHeaderSize; }

unsigned long TreflectMessage::headerWord(unsigned int offset) const {
    if (rawSize() < kHeaderSize) return 0;
    unsigned char const* p = rawBuf() + offset;
    return (static_cast<unsigned long>(p[0]) << 24) | (static_cast<unsigned long>(p[1]) << 16) |
           (static_cast<unsigned long>(p[2]) << 8) | static_cast<unsigned long>(p[3]);
}

void TreflectMessage::headerWord(unsigned int offset, unsigned long value) {
    if (rawSize() < kHeaderSize) return;
    unsigned char* p = rawBuf() + offset;
    p[0] = static_cast<unsigned char>(value >> 24);
    p[1] = static_cast<unsigned char>(value >> 16);
    p[2] = static_cast<unsigned char>(value >> 8);
    p[3] = static_cast<unsigned char>(value);
}

unsigned long TreflectMessage::transactionId() const { return headerWord(kTransactionIdOffset); }
void TreflectMessage::transactionId(unsigned long const& id) { headerWord(kTransactionIdOffset, id); }
TreflectMessage::type_t TreflectMessage::type() const { return static_cast<type_t>(headerWord(kTypeOffset)); }
void TreflectMessage::type(type_t t) { headerWord(kTypeOffset, t); }
TreflectMessage::kind_t TreflectMessage::kind() const { return static_cast<kind_t>(headerWord(kKindOffset)); }
void TreflectMessage::kind(kind_t k) { headerWord(kKindOffset, k); }

std::string TreflectMessage::typeToStr(type_t const& t) {
    return t < sizeof kTypeNames / sizeof kTypeNames[0] ? kTypeNames[t] : "t?????";
}

std::string TreflectMessage::kindToStr(kind_t const& k) {
    return k < sizeof kKindNames / sizeof kKindNames[0] ? kKindNames[k] : "k?????";
}

bool TreflectMessage::testValidation(kind_t expected, int n, char const* text, bool output, int) const {
    unsigned const des = static_cast<unsigned>(destination().value());
    unsigned const org = static_cast<unsigned>(originator().value());
    type_t const t = type();
    kind_t const k = kind();
    int err = 0;
    if (des == 0) err = 1;
    if (org == 0) err = 2;
    if (org == des) err = 3;
    if (t == tUndef) err = 4;
    if (k == kUndef) err = 5;
    if (expected != kUndef && k != expected) err = 6;

    if (!text) text = "";
    unsigned const trAcId = static_cast<unsigned>(transactionId());
    if (err != 0) {
        TA_LOG(3, "    ReflMsg err=%2d: %s, %s(%s), des=%08X, org=%08X, trAcId=%08X (%2d: %s)", err,
               typeToStr(t).c_str(), kindToStr(k).c_str(), kindToStr(expected).c_str(), des, org, trAcId, n, text);
    } else if (output) {
        TA_LOG(5, "    ReflMsg output: %s, %s(%s), des=%08X, org=%08X, trAcId=%08X (%2d: %s)", typeToStr(t).c_str(),
               kindToStr(k).c_str(), kindToStr(expected).c_str(), des, org, trAcId, n, text);
    }
    return err <= 1;
}

// ---- the ORB's message factory ----

TreflectMessage TreflectORB::allocateRequest(unsigned int size) const {
    TreflectMessage m(this, 0ul, size);
    m.kind(TreflectMessage::kRequ);
    return m;
}

TreflectMessage TreflectORB::allocateResponse(TreflectMessage const& request, unsigned int size) const {
    TreflectMessage m(this, request.transactionId(), size);
    m.type(request.type());
    m.kind(TreflectMessage::kResp);
    return m;
}

TreflectMessage TreflectORB::reallocateMessage(TreflectMessage const& msg, unsigned int size) const {
    return TreflectMessage(this, msg, size);
}
