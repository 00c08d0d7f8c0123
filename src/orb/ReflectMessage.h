// One message between two ORBs: a transport message whose buffer begins with
// the 12-byte ORB header. Every word is big-endian (network order), no padding:
//   offset  0  4 bytes  transaction id
//   offset  4  4 bytes  type (type_t)
//   offset  8  4 bytes  kind (kind_t)
//   offset 12  ...      payload: the marshalling stream's data area, which
//                       begins with its 4-byte write cursor (IPPRMI_stream.h)
// Originator and destination are transport addresses, not header fields.
#pragma once

#include <string>

#include "Transport.h"

class TreflectORB;

class TreflectMessage : public Transport::AddressedMessage {
public:
    // Fixed 32-bit representation: any value a peer sends can be held and
    // traced ("t?????"/"k?????"), none is out of the enumeration's range.
    enum type_t : unsigned int {
        tUndef = 0,
        tRslve = 1,
        tPayld = 2,
        tOCN = 3,
        tODN = 4,
        tOCNSU = 5,
        tODNSU = 6,
        tOCNUN = 7,
        tODNUN = 8,
        tOrbAp = 9,
        tPfCnt = 10
    };
    enum kind_t : unsigned int { kUndef = 0, kMsg = 1, kRequ = 2, kResp = 3, kNoDes = 4, kReFai = 5 };

    static constexpr unsigned int kHeaderSize = 12;

    // A null message (no buffer).
    TreflectMessage() {}
    // A fresh message of `size` payload bytes from the ORB's termination;
    // header and payload zeroed, then the transaction id set.
    TreflectMessage(TreflectORB const* orb, unsigned long const& transactionId, unsigned int size);
    // A fresh message of `size` payload bytes holding the header of `other`
    // and the first min(other.size(), size) payload bytes of it.
    TreflectMessage(TreflectORB const* orb, TreflectMessage const& other, unsigned int size);
    // Views a transport message as an ORB message; shares the buffer.
    TreflectMessage(Transport::AddressedMessage const& m) : Transport::AddressedMessage(m) {}
    TreflectMessage(TreflectMessage const& other) = default;
    TreflectMessage& operator=(TreflectMessage const& other) = default;
    TreflectMessage& operator=(Transport::AddressedMessage const& m) {
        Transport::AddressedMessage::operator=(m);
        return *this;
    }
    // The conversion back to Transport::AddressedMessage is the implicit one
    // to the base class; it shares the buffer as well.

    // The payload after the header. A buffer shorter than the header (a
    // malformed message from a peer) has no payload: null and 0.
    unsigned char* buf() const { return rawSize() < kHeaderSize ? nullptr : rawBuf() + kHeaderSize; }
    unsigned int size() const { return rawSize() < kHeaderSize ? 0 : rawSize() - kHeaderSize; }

    // Header fields. On a buffer shorter than the header the getters give 0
    // and the setters do nothing.
    unsigned long transactionId() const { return headerWord(0); }
    void transactionId(unsigned long const& id) { headerWord(0, id); }
    type_t type() const { return static_cast<type_t>(headerWord(4)); }
    void type(type_t t) { headerWord(4, t); }
    kind_t kind() const { return static_cast<kind_t>(headerWord(8)); }
    void kind(kind_t k) { headerWord(8, k); }

    static std::string typeToStr(type_t const& t);
    static std::string kindToStr(kind_t const& k);

    // Checks the header and logs it: an error line (severity 3) with the code
    // of the last failing check, else, when `output`, an information line.
    // `n` and `text` are printed as given; the last argument is not used.
    // True when the message is usable (no failing check, or only the missing
    // destination).
    bool testValidation(kind_t expected, int n, char const* text, bool output, int) const;

private:
    // The big-endian word at `offset` of the header.
    unsigned long headerWord(unsigned int offset) const {
        if (rawSize() < kHeaderSize) return 0;
        unsigned char const* p = rawBuf() + offset;
        return (static_cast<unsigned long>(p[0]) << 24) | (static_cast<unsigned long>(p[1]) << 16) |
               (static_cast<unsigned long>(p[2]) << 8) | static_cast<unsigned long>(p[3]);
    }
    void headerWord(unsigned int offset, unsigned long value) {
        if (rawSize() < kHeaderSize) return;
        unsigned char* p = rawBuf() + offset;
        p[0] = static_cast<unsigned char>(value >> 24);
        p[1] = static_cast<unsigned char>(value >> 16);
        p[2] = static_cast<unsigned char>(value >> 8);
        p[3] = static_cast<unsigned char>(value);
    }
};
