#include "ReflectMessage.h"

#include <cstring>

#include "Log.h"
#include "REFLECT_orb.h"

namespace {

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
