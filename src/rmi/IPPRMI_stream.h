// The marshalling stream: the serialisation buffer of every request,
// response, ORB control payload and TipprmiAny. Its bytes live in the payload
// of one ORB message (ReflectMessage.h), so a filled stream goes to the
// transport without a copy.
//
// Payload layout (after the 12-byte ORB header):
//   offset 0  4 bytes    iptr_: number of data bytes written (big-endian)
//   offset 4  iptr_      data
//   then                 spare capacity
//
// Value encodings: every integer big-endian, no padding, no alignment.
//   unsigned char                  1 byte
//   short, unsigned short          2 bytes
//   int, unsigned int, long,       4 bytes; a long travels as its low 32 bits
//   unsigned long                  and is read back sign-extended, an
//                                  unsigned long zero-extended
//   bool                           4 bytes, 0 or 1; any non-zero reads true
//   NamespaceId                    4 bytes unsigned; reading consumes them and
//                                  leaves the target as it was
//   Transport::TerminationId       its 32-bit value()
//   char const*, std::string       length L = strlen + 1 (4 bytes), then the
//                                  L bytes including the terminating NUL
//   TipprmiStream, TipprmiAny      data size N (4 bytes), then the N data bytes
//   TipprmiSequence<T,0>           element count (4 bytes unsigned), elements
//   TipprmiArray<T,N>              the N elements, no count
//   TipprmiOID                     the text as a string, or a 4-byte 0 when it
//                                  has none; then its NamespaceId
//   TipprmiExceptionContainer      exception type (4 bytes), data as TipprmiAny
//   object reference               OID (or a 4-byte 0 and the NamespaceId),
//                                  internal OID, ORB id: REFLECT_orb.h
//   TipprmiGeneralException        its code, 4 bytes
//
// A read beyond the written data logs once, yields zeros and marks the
// stream failed; every later read then yields zeros as well. A count or
// length from the wire is checked against the bytes that remain before
// anything is allocated for it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "IPPRMI_types.h"
#include "ReflectMessage.h"

class TipprmiOID;

class TipprmiStream {
public:
    // A fresh request message of the ORB of namespace 1 with room for
    // max(capacity, 1) data bytes.
    explicit TipprmiStream(int capacity);
    // A fresh message holding a copy of `n` bytes.
    TipprmiStream(void const* data, int n);
    // Shares `m` (a received or prepared message); `clear` empties it.
    TipprmiStream(TreflectMessage const& m, bool clear);
    // Copies share the message: writes through one are seen by the other
    // until one of them has to grow and moves to a buffer of its own.
    TipprmiStream(TipprmiStream const& other);
    TipprmiStream& operator=(TipprmiStream const& other);

    // Moves to a fresh message holding exactly a copy of `n` bytes; cursors
    // reset, failed flag cleared.
    void setData(void const* data, int n);
    // Appends `n` bytes, growing the message to exactly the size needed.
    void marshall(void const* p, int n);
    // Grows the message, when needed, so that `n` more bytes fit; true when
    // it grew. A run of writes after it copies the data once, not per write.
    bool reserve(int64_t n);
    // Gives back room not written, down to a capacity of `floor` bytes.
    void trim(int floor);
    // Consumes `n` bytes into `p` (null skips them); zeros when they are not
    // there.
    void unmarshall(void* p, int n);

    void clear();
    void rewind() { optr_ = 0; }
    bool empty() const { return getDataSize() == 0; }

    TreflectMessage& msg() { return message_; }
    TreflectMessage const& msg() const { return message_; }

    void stopUnmarshalling() { unmarshallingFailed_ = true; }
    bool hasUnmarshallingFailed() const { return unmarshallingFailed_; }

    unsigned char* getDataPtr() const { return message_.size() < kIptrSize ? nullptr : message_.buf() + kIptrSize; }
    // Bytes written. Bounded by the capacity even when the cursor word of a
    // received message claims more.
    int getDataSize() const {
        int const iptr = rawIptr();
        int const limit = getDataLimit();
        return iptr < 0 ? 0 : (iptr > limit ? limit : iptr);
    }
    // Capacity of the data area.
    int getDataLimit() const {
        unsigned const size = message_.size();
        return size < kIptrSize ? 0 : static_cast<int>(size - kIptrSize);
    }
    // Bytes not yet read.
    int getRemaining() const;

    // Logs "Unmarshall error on cc=0x%X, mc=%d" (severity 4).
    void printUnmarshallError(unsigned long cc, unsigned long mc) const;

    // Whether `count` elements, each at least `minSize` bytes on the wire,
    // can still be in the data. When not, logs, marks the stream failed and
    // returns false: the caller then allocates nothing for them.
    bool admitCount(unsigned long count, unsigned int minSize);

private:
    static constexpr unsigned kIptrSize = 4;
    // The write cursor word at the front of the payload, as it stands.
    int rawIptr() const {
        if (message_.size() < kIptrSize) return 0;
        unsigned char const* p = message_.buf();
        return static_cast<int>(static_cast<int32_t>((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
                                                     (uint32_t(p[2]) << 8) | uint32_t(p[3])));
    }
    void setIptr(int value);
    // Logs a write cursor beyond the capacity; false then.
    bool checkIptr() const;
    void allocate_(int n);

    int optr_;
    TreflectMessage message_;
    bool unmarshallingFailed_;
};

// ---- scalar and string encodings ----

TipprmiStream& operator<<(TipprmiStream& s, unsigned char const& v);
TipprmiStream& operator<<(TipprmiStream& s, short const& v);
TipprmiStream& operator<<(TipprmiStream& s, unsigned short const& v);
TipprmiStream& operator<<(TipprmiStream& s, int const& v);
TipprmiStream& operator<<(TipprmiStream& s, unsigned int const& v);
TipprmiStream& operator<<(TipprmiStream& s, long const& v);
TipprmiStream& operator<<(TipprmiStream& s, unsigned long const& v);
TipprmiStream& operator<<(TipprmiStream& s, bool const& v);
TipprmiStream& operator<<(TipprmiStream& s, NamespaceId const& v);
TipprmiStream& operator<<(TipprmiStream& s, Transport::TerminationId const& v);
// A null pointer is written as the empty string.
TipprmiStream& operator<<(TipprmiStream& s, char const* v);
TipprmiStream& operator<<(TipprmiStream& s, std::string const& v);
TipprmiStream& operator<<(TipprmiStream& s, TipprmiStream const& v);
TipprmiStream& operator<<(TipprmiStream& s, TipprmiOID const& v);

TipprmiStream& operator>>(TipprmiStream& s, unsigned char& v);
TipprmiStream& operator>>(TipprmiStream& s, short& v);
TipprmiStream& operator>>(TipprmiStream& s, unsigned short& v);
TipprmiStream& operator>>(TipprmiStream& s, int& v);
TipprmiStream& operator>>(TipprmiStream& s, unsigned int& v);
TipprmiStream& operator>>(TipprmiStream& s, long& v);
TipprmiStream& operator>>(TipprmiStream& s, unsigned long& v);
TipprmiStream& operator>>(TipprmiStream& s, bool& v);
TipprmiStream& operator>>(TipprmiStream& s, NamespaceId& v);
TipprmiStream& operator>>(TipprmiStream& s, Transport::TerminationId& v);
// A new NUL-terminated array the caller frees with delete[]; never null.
TipprmiStream& operator>>(TipprmiStream& s, char*& v);
TipprmiStream& operator>>(TipprmiStream& s, std::string& v);
// Replaces the target's content by the nested data.
TipprmiStream& operator>>(TipprmiStream& s, TipprmiStream& v);
TipprmiStream& operator>>(TipprmiStream& s, TipprmiOID& v);

// ---- TipprmiAny: the encoding of exactly one value, without type tag ----

class TipprmiAny : public TipprmiStream {
public:
    TipprmiAny() : TipprmiStream(100) {}
    template <class T>
    explicit TipprmiAny(T const& v) : TipprmiStream(100) {
        *this << v;
    }
    TipprmiAny(TipprmiAny const& other) : TipprmiStream(other) {}
    TipprmiAny& operator=(TipprmiAny const& other) {
        if (this != &other) TipprmiStream::operator=(other);
        return *this;
    }

    template <class T>
    void insert(T const& v) {
        clear();
        *this << v;
    }
    // Reads from the beginning each time.
    template <class T>
    void extract(T& v) {
        rewind();
        *this >> v;
    }
};

// ---- TipprmiSequence<T,0>: growable vector ----

template <class T, int Bound = 0>
class TipprmiSequence {
    static_assert(Bound == 0, "only unbounded sequences exist");

public:
    TipprmiSequence() {}
    TipprmiSequence(TipprmiSequence const& other) : elems_(other.elems_) {}
    TipprmiSequence& operator=(TipprmiSequence const& other) {
        if (this != &other) elems_ = other.elems_;
        return *this;
    }

    unsigned long getLength() const { return elems_.size(); }
    void setLength(unsigned long n) { elems_.resize(n); }
    void push_back(T const& v) { elems_.push_back(v); }

    // An index at or beyond the length addresses element 0; an empty
    // sequence hands out a spare element of its own.
    T& operator[](unsigned long i) { return i < elems_.size() ? elems_[i] : first(); }
    T const& operator[](unsigned long i) const { return i < elems_.size() ? elems_[i] : first(); }

private:
    T& first() const {
        if (!elems_.empty()) return const_cast<T&>(elems_[0]);
        if (!spare_) spare_.reset(new T());
        return *spare_;
    }

    std::vector<T> elems_;
    mutable std::unique_ptr<T> spare_;
};

// ---- TipprmiArray<T,N>: exactly N elements inline ----

template <class T, int N>
class TipprmiArray {
    static_assert(N >= 1 && N <= 255, "arrays hold 1 to 255 elements");

public:
    TipprmiArray() : elems_() {}
    TipprmiArray(TipprmiArray const&) = default;
    TipprmiArray& operator=(TipprmiArray const&) = default;
    virtual ~TipprmiArray() {}

    static int getLength() { return N; }
    // An index above N-1 addresses element 0.
    T& operator[](unsigned long i) { return elems_[i < static_cast<unsigned long>(N) ? i : 0]; }
    T const& operator[](unsigned long i) const { return elems_[i < static_cast<unsigned long>(N) ? i : 0]; }

private:
    T elems_[N];
};

// ---- exceptions ----

class TipprmiGeneralException {
public:
    explicit TipprmiGeneralException(unsigned long code = 0) : code_(code) {}
    unsigned long getCode() const { return code_; }
    void setCode(unsigned long code) { code_ = code; }

private:
    unsigned long code_;
};

// The status of a call: exception type (0 none, 1 general exception) and the
// exception's data.
class TipprmiExceptionContainer {
public:
    enum { NO_EXCEPTION = 0, GENERAL_EXCEPTION = 1 };

    TipprmiExceptionContainer() : type_(NO_EXCEPTION) {}
    TipprmiExceptionContainer(unsigned long type, TipprmiAny const& data) : type_(type), data_(data) {}
    // Type 1 carrying `e`.
    explicit TipprmiExceptionContainer(TipprmiGeneralException const& e) : type_(GENERAL_EXCEPTION), data_(e) {}

    unsigned long getExceptionType() const { return type_; }
    void setExceptionType(unsigned long type) { type_ = type; }
    TipprmiAny& getExceptionData() { return data_; }
    TipprmiAny const& getExceptionData() const { return data_; }
    void setExceptionData(TipprmiAny const& data) { data_ = data; }

private:
    unsigned long type_;
    TipprmiAny data_;
};

TipprmiStream& operator<<(TipprmiStream& s, TipprmiGeneralException const& v);
TipprmiStream& operator>>(TipprmiStream& s, TipprmiGeneralException& v);
TipprmiStream& operator<<(TipprmiStream& s, TipprmiExceptionContainer const& v);
TipprmiStream& operator>>(TipprmiStream& s, TipprmiExceptionContainer& v);

// ---- smallest wire size of a value, for checking counts from the wire ----
// Specialise it for every record that can be an element of a sequence
// (e.g. value = 12 for three 4-byte words). The default of 1 byte is always
// safe: it only weakens the check.

template <class T>
struct TipprmiMinWireSize {
    static constexpr unsigned int value = 1;
};
#define TIPPRMI_MIN_WIRE_SIZE(T, n)                  \
    template <>                                      \
    struct TipprmiMinWireSize<T> {                   \
        static constexpr unsigned int value = (n);   \
    }
TIPPRMI_MIN_WIRE_SIZE(short, 2);
TIPPRMI_MIN_WIRE_SIZE(unsigned short, 2);
TIPPRMI_MIN_WIRE_SIZE(int, 4);
TIPPRMI_MIN_WIRE_SIZE(unsigned int, 4);
TIPPRMI_MIN_WIRE_SIZE(long, 4);
TIPPRMI_MIN_WIRE_SIZE(unsigned long, 4);
TIPPRMI_MIN_WIRE_SIZE(bool, 4);
TIPPRMI_MIN_WIRE_SIZE(NamespaceId, 4);
TIPPRMI_MIN_WIRE_SIZE(Transport::TerminationId, 4);
TIPPRMI_MIN_WIRE_SIZE(std::string, 4);
TIPPRMI_MIN_WIRE_SIZE(TipprmiStream, 4);
TIPPRMI_MIN_WIRE_SIZE(TipprmiAny, 4);
TIPPRMI_MIN_WIRE_SIZE(TipprmiOID, 8);
TIPPRMI_MIN_WIRE_SIZE(TipprmiGeneralException, 4);
TIPPRMI_MIN_WIRE_SIZE(TipprmiExceptionContainer, 8);

template <class T, int B>
struct TipprmiMinWireSize<TipprmiSequence<T, B> > {
    static constexpr unsigned int value = 4;
};
template <class T, int N>
struct TipprmiMinWireSize<TipprmiArray<T, N> > {
    static constexpr unsigned int value = N * TipprmiMinWireSize<T>::value;
};

// ---- container encodings ----

// The elements of a sequence are alike: after the first, the stream makes
// room for the rest at once, and gives back what they did not use, so that a
// long sequence is copied a bounded number of times.
template <class T, int B>
TipprmiStream& operator<<(TipprmiStream& s, TipprmiSequence<T, B> const& v) {
    unsigned long const n = v.getLength();
    s << n;
    if (n == 0) return s;
    int const limit = s.getDataLimit(), start = s.getDataSize();
    s << v[0];
    bool const grown = n > 1 && s.reserve(int64_t(s.getDataSize() - start) * int64_t(n - 1));
    for (unsigned long i = 1; i < n; ++i) s << v[i];
    if (grown) s.trim(limit);
    return s;
}

template <class T, int B>
TipprmiStream& operator>>(TipprmiStream& s, TipprmiSequence<T, B>& v) {
    unsigned long n = 0;
    s >> n;
    if (!s.admitCount(n, TipprmiMinWireSize<T>::value)) n = 0;
    v.setLength(n);
    for (unsigned long i = 0; i < n; ++i) {
        T e;
        s >> e;
        v[i] = e;
    }
    return s;
}

template <class T, int N>
TipprmiStream& operator<<(TipprmiStream& s, TipprmiArray<T, N> const& v) {
    for (unsigned char i = 0; i < N; ++i) s << v[i];
    return s;
}

template <class T, int N>
TipprmiStream& operator>>(TipprmiStream& s, TipprmiArray<T, N>& v) {
    for (unsigned char i = 0; i < N; ++i) s >> v[i];
    return s;
}
