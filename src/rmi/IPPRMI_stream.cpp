#include "IPPRMI_stream.h"

#include <cstdint>
#include <cstring>

#include "IPPRMI_oid.h"
#include "Log.h"
#include "REFLECT_orb.h"

namespace {


TreflectORB const* orb() { return TreflectORB::getInstance(NSID_UNIT); }

uint32_t load32(unsigned char const* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void store32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

void put16(TipprmiStream& s, uint16_t v) {
    unsigned char b[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    s.marshall(b, 2);
}

uint16_t get16(TipprmiStream& s) {
    unsigned char b[2];
    s.unmarshall(b, 2);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

void put32(TipprmiStream& s, uint32_t v) {
    unsigned char b[4];
    store32(b, v);
    s.marshall(b, 4);
}

uint32_t get32(TipprmiStream& s) {
    unsigned char b[4];
    s.unmarshall(b, 4);
    return load32(b);
}

unsigned addressOf(void const* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

// ---- construction ----

TipprmiStream::TipprmiStream(int capacity) : optr_(0), message_(), unmarshallingFailed_(false) {
    message_ = orb()->allocateRequest(static_cast<unsigned>((capacity < 1 ? 1 : capacity) + kIptrSize));
    setIptr(0);
    checkIptr();
}

TipprmiStream::TipprmiStream(void const* data, int n) : optr_(0), message_(), unmarshallingFailed_(false) {
    if (n < 0) n = 0;
    message_ = orb()->allocateRequest(static_cast<unsigned>(n) + kIptrSize);
    setIptr(n);
    if (data && n > 0) std::memcpy(getDataPtr(), data, static_cast<size_t>(n));
    checkIptr();
}

TipprmiStream::TipprmiStream(TreflectMessage const& m, bool clear)
    : optr_(0), message_(m), unmarshallingFailed_(false) {
    if (clear) this->clear();
    // A cursor word beyond the buffer comes from a broken peer: nothing in
    // this message can be trusted, so it reads as zeros.
    if (!checkIptr()) stopUnmarshalling();
}

TipprmiStream::TipprmiStream(TipprmiStream const& other)
    : optr_(other.optr_), message_(other.message_), unmarshallingFailed_(other.unmarshallingFailed_) {
    checkIptr();
}

TipprmiStream& TipprmiStream::operator=(TipprmiStream const& other) {
    optr_ = other.optr_;
    message_ = other.message_;
    unmarshallingFailed_ = other.unmarshallingFailed_;
    checkIptr();
    return *this;
}

void TipprmiStream::setData(void const* data, int n) {
    if (n < 0) n = 0;
    // The old message stays alive until the copy is done: `data` may point
    // into it.
    TreflectMessage old = message_;
    message_ = orb()->reallocateMessage(old, static_cast<unsigned>(n) + kIptrSize);
    setIptr(n);
    if (data && n > 0) std::memmove(getDataPtr(), data, static_cast<size_t>(n));
    optr_ = 0;
    unmarshallingFailed_ = false;
    checkIptr();
}

// ---- cursors ----

void TipprmiStream::setIptr(int value) {
    if (message_.size() < static_cast<unsigned>(kIptrSize)) return;
    store32(message_.buf(), static_cast<uint32_t>(value));
}

int TipprmiStream::getRemaining() const {
    int const r = getDataSize() - optr_;
    return r < 0 ? 0 : r;
}

bool TipprmiStream::checkIptr() const {
    int const iptr = rawIptr();
    int const limit = getDataLimit();
    if (iptr >= 0 && iptr <= limit) return true;
    TA_LOG(3, "iptr_(%d) out of range(%d);this=%X", iptr, limit, addressOf(this));
    return false;
}

void TipprmiStream::clear() {
    optr_ = 0;
    setIptr(0);
    unmarshallingFailed_ = false;
}

// ---- raw bytes ----

void TipprmiStream::allocate_(int n) {
    int64_t const need = int64_t(getDataSize()) + n;
    if (need <= getDataLimit()) return;
    // Exact growth: requests are small and sent as they are.
    int64_t const payload = need + kIptrSize;
    if (payload <= int64_t(INT32_MAX)) message_ = orb()->reallocateMessage(message_, static_cast<unsigned>(payload));
    if (need > getDataLimit())
        TA_LOG(3, "iptr_(%d) out of range(%d);this=%X", static_cast<int>(need), getDataLimit(), addressOf(this));
}

bool TipprmiStream::reserve(int64_t n) {
    // Beyond what any message can carry the writes fail one by one anyway.
    if (n <= 0 || n > Transport::kMaxMessageSize || int64_t(getDataSize()) + n <= getDataLimit()) return false;
    allocate_(static_cast<int>(n));
    return true;
}

void TipprmiStream::trim(int floor) {
    int const keep = getDataSize() > floor ? getDataSize() : floor;
    if (keep < getDataLimit()) message_ = orb()->reallocateMessage(message_, static_cast<unsigned>(keep + kIptrSize));
}

void TipprmiStream::marshall(void const* p, int n) {
    // Room left and a sound cursor: nothing to check, grow or log.
    int const iptr = rawIptr();
    if (n > 0 && iptr >= 0 && int64_t(iptr) + n <= getDataLimit()) {
        unsigned char* const at = getDataPtr() + iptr;
        if (p)
            std::memmove(at, p, static_cast<size_t>(n));
        else
            std::memset(at, 0, static_cast<size_t>(n));
        setIptr(iptr + n);
        return;
    }
    checkIptr();
    if (n < 1) {
        allocate_(n);
        return;
    }
    // `p` may point into this stream's own buffer, which growing replaces.
    TreflectMessage keep;
    if (int64_t(getDataSize()) + n > getDataLimit()) keep = message_;
    allocate_(n);
    int const at = getDataSize();
    if (int64_t(at) + n > getDataLimit()) return;  // growth failed, logged
    if (p) std::memmove(getDataPtr() + at, p, static_cast<size_t>(n));
    else std::memset(getDataPtr() + at, 0, static_cast<size_t>(n));
    setIptr(at + n);
}

void TipprmiStream::unmarshall(void* p, int n) {
    // Enough written, a sound cursor, and no failure before: nothing to log.
    int const iptr = rawIptr();
    if (n > 0 && !unmarshallingFailed_ && iptr <= getDataLimit() && iptr - optr_ >= n) {
        if (p) std::memcpy(p, getDataPtr() + optr_, static_cast<size_t>(n));
        optr_ += n;
        return;
    }
    checkIptr();
    if (n < 1) return;
    if (unmarshallingFailed_) {
        if (p) std::memset(p, 0, static_cast<size_t>(n));
        return;
    }
    if (getDataSize() - optr_ < n) {
        TA_LOG(3,
               "::unmarshall() request out of bounds: getDataSize(%d)-optr_(%d) < size(%d), iptr_=%d, limit=%d",
               getDataSize(), optr_, n, rawIptr(), getDataLimit());
        message_.testValidation(TreflectMessage::kUndef, 0, "", true, 0);
        if (p) std::memset(p, 0, static_cast<size_t>(n));
        stopUnmarshalling();
        return;
    }
    if (p) std::memcpy(p, getDataPtr() + optr_, static_cast<size_t>(n));
    optr_ += n;
}

bool TipprmiStream::admitCount(unsigned long count, unsigned int minSize) {
    if (minSize == 0 || count == 0) return true;
    uint64_t const remaining = static_cast<uint64_t>(getRemaining());
    if (uint64_t(count) <= remaining / minSize) return true;
    TA_LOG(3, "::unmarshall() count out of bounds: count(%lu) x size(%u) > getDataSize(%d)-optr_(%d)", count,
           minSize, getDataSize(), optr_);
    stopUnmarshalling();
    return false;
}

void TipprmiStream::printUnmarshallError(unsigned long cc, unsigned long mc) const {
    TA_LOG(4, "Unmarshall error on cc=0x%X, mc=%d", static_cast<unsigned>(cc), static_cast<int>(mc));
}

// ---- scalars ----

TipprmiStream& operator<<(TipprmiStream& s, unsigned char const& v) {
    s.marshall(&v, 1);
    return s;
}
TipprmiStream& operator>>(TipprmiStream& s, unsigned char& v) {
    s.unmarshall(&v, 1);
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, short const& v) {
    put16(s, static_cast<uint16_t>(v));
    return s;
}
TipprmiStream& operator>>(TipprmiStream& s, short& v) {
    v = static_cast<short>(static_cast<int16_t>(get16(s)));
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, unsigned short const& v) {
    put16(s, v);
    return s;
}
TipprmiStream& operator>>(TipprmiStream& s, unsigned short& v) {
    v = get16(s);
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, int const& v) {
    put32(s, static_cast<uint32_t>(v));
    return s;
}
TipprmiStream& operator>>(TipprmiStream& s, int& v) {
    v = static_cast<int>(static_cast<int32_t>(get32(s)));
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, unsigned int const& v) {
    put32(s, static_cast<uint32_t>(v));
    return s;
}
TipprmiStream& operator>>(TipprmiStream& s, unsigned int& v) {
    v = get32(s);
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, long const& v) {
    put32(s, static_cast<uint32_t>(v));
    return s;
}
TipprmiStream& operator>>(TipprmiStream& s, long& v) {
    v = static_cast<long>(static_cast<int32_t>(get32(s)));
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, unsigned long const& v) {
    put32(s, static_cast<uint32_t>(v));
    return s;
}
TipprmiStream& operator>>(TipprmiStream& s, unsigned long& v) {
    v = get32(s);
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, bool const& v) {
    put32(s, v ? 1u : 0u);
    return s;
}
TipprmiStream& operator>>(TipprmiStream& s, bool& v) {
    v = get32(s) != 0;
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, NamespaceId const& v) {
    put32(s, static_cast<uint32_t>(v));
    return s;
}
TipprmiStream& operator>>(TipprmiStream& s, NamespaceId&) {
    // Every reader of this task keeps the namespace its target was built
    // with (1); the value on the wire is consumed only.
    get32(s);
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, Transport::TerminationId const& v) {
    put32(s, static_cast<uint32_t>(v.value()));
    return s;
}
TipprmiStream& operator>>(TipprmiStream& s, Transport::TerminationId& v) {
    v = Transport::TerminationId(static_cast<unsigned long>(get32(s)));
    return s;
}

// ---- strings ----

TipprmiStream& operator<<(TipprmiStream& s, char const* v) {
    if (!v) v = "";
    size_t const len = std::strlen(v) + 1;
    s << static_cast<int>(len);
    s.marshall(v, static_cast<int>(len));
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, std::string const& v) { return s << v.c_str(); }

TipprmiStream& operator>>(TipprmiStream& s, char*& v) {
    int len = 0;
    s >> len;
    // A length beyond the data fails like any short read, without
    // allocating for it first.
    if (len > s.getRemaining()) {
        s.unmarshall(nullptr, len);
        len = 0;
    }
    if (len < 1) {
        v = new char[1]();
        return s;
    }
    // One byte more than the length: the text ends in a NUL even when the
    // peer left it out.
    v = new char[static_cast<size_t>(len) + 1]();
    s.unmarshall(v, len);
    return s;
}

TipprmiStream& operator>>(TipprmiStream& s, std::string& v) {
    char* text = nullptr;
    s >> text;
    v.assign(text);
    delete[] text;
    return s;
}

// ---- nested streams ----

TipprmiStream& operator<<(TipprmiStream& s, TipprmiStream const& v) {
    int const n = v.getDataSize();
    s << n;
    // Taken after the size word: writing into `s` may have moved `v` when
    // both are the same stream.
    s.marshall(v.getDataPtr(), n);
    return s;
}

TipprmiStream& operator>>(TipprmiStream& s, TipprmiStream& v) {
    v.clear();
    int n = 0;
    s >> n;
    if (n > s.getRemaining()) {
        s.unmarshall(nullptr, n);
        n = 0;
    }
    if (n < 1) {
        v.setData(nullptr, 0);
        return s;
    }
    std::vector<unsigned char> data(static_cast<size_t>(n));
    s.unmarshall(data.data(), n);
    v.setData(data.data(), n);
    return s;
}

// ---- identifiers ----

TipprmiStream& operator<<(TipprmiStream& s, TipprmiOID const& v) {
    char const* text = v.getIdString();
    if (text) s << text;
    else s << 0;
    return s << v.getNamespaceId();
}

TipprmiStream& operator>>(TipprmiStream& s, TipprmiOID& v) {
    char* text = nullptr;
    s >> text;
    v.setIdString(*text ? text : nullptr);
    delete[] text;
    NamespaceId ns = v.getNamespaceId();
    return s >> ns;
}

// ---- exceptions ----

TipprmiStream& operator<<(TipprmiStream& s, TipprmiGeneralException const& v) { return s << v.getCode(); }

TipprmiStream& operator>>(TipprmiStream& s, TipprmiGeneralException& v) {
    unsigned long code = 0;
    s >> code;
    v.setCode(code);
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, TipprmiExceptionContainer const& v) {
    return s << v.getExceptionType() << v.getExceptionData();
}

TipprmiStream& operator>>(TipprmiStream& s, TipprmiExceptionContainer& v) {
    unsigned long type = 0;
    s >> type;
    v.setExceptionType(type);
    return s >> v.getExceptionData();
}
