// Fuzz target of the stream readers and the ORB header check.
//
// Input:
//   byte 0        bits 0-4: number N of reads; bit 7: the rest after the
//                 reads is a whole transport message (see below), else it is
//                 the stream's data; bits 5-6: kind expected by the check
//   bytes 1..N    one read each, value type chosen by the byte (kOps types)
//   rest          data, or for a message: destination (4), originator (4),
//                 then the message bytes (ORB header, cursor word, data)
//
// Each value read is written to a second stream. Reading that stream again
// with the same reads must succeed to the last byte and write the same
// bytes: whatever a peer sends, what we decode is something we can encode
// and decode again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"
#include "REFLECT_orb.h"

namespace {

constexpr unsigned kOps = 28;

template <class T>
void copyValue(TipprmiStream& in, TipprmiStream& out, T init = T()) {
    T v = init;
    in >> v;
    out << v;
}

void runOp(unsigned char op, TipprmiStream& in, TipprmiStream& out) {
    switch (op % kOps) {
    case 0: copyValue<unsigned char>(in, out); break;
    case 1: copyValue<short>(in, out); break;
    case 2: copyValue<unsigned short>(in, out); break;
    case 3: copyValue<int>(in, out); break;
    case 4: copyValue<unsigned int>(in, out); break;
    case 5: copyValue<long>(in, out); break;
    case 6: copyValue<unsigned long>(in, out); break;
    case 7: copyValue<bool>(in, out); break;
    case 8: copyValue<NamespaceId>(in, out, NSID_UNIT); break;
    case 9: copyValue<Transport::TerminationId>(in, out); break;
    case 10: {
        char* text = nullptr;
        in >> text;
        if (!text) std::abort();
        out << static_cast<char const*>(text);
        delete[] text;
        break;
    }
    case 11: copyValue<std::string>(in, out); break;
    case 12: {
        TipprmiStream nested(100);
        in >> nested;
        out << nested;
        break;
    }
    case 13: copyValue<TipprmiAny>(in, out); break;
    case 14: copyValue<TipprmiOID>(in, out); break;
    case 15: copyValue<TipprmiSequence<unsigned long> >(in, out); break;
    case 16: copyValue<TipprmiSequence<std::string> >(in, out); break;
    case 17: copyValue<TipprmiSequence<TipprmiAny> >(in, out); break;
    case 18: copyValue<TipprmiSequence<TipprmiOID> >(in, out); break;
    case 19: copyValue<TipprmiSequence<TipprmiSequence<short> > >(in, out); break;
    case 20: copyValue<TipprmiArray<short, 4> >(in, out); break;
    case 21: copyValue<TipprmiArray<short, 6> >(in, out); break;
    case 22: copyValue<TipprmiArray<unsigned char, 6> >(in, out); break;
    case 23: copyValue<TipprmiArray<unsigned long, 96> >(in, out); break;
    case 24: copyValue<TipprmiExceptionContainer>(in, out); break;
    case 25: copyValue<TipprmiGeneralException>(in, out); break;
    case 26: {
        int const n = op / kOps;
        in.unmarshall(nullptr, n);
        out.marshall(nullptr, n);
        break;
    }
    default: {
        // A value inside a value: decode the Any's content as well.
        TipprmiAny any;
        in >> any;
        unsigned long first = 0;
        std::string text;
        any.extract(first);
        any.extract(text);
        out << any;
        break;
    }
    }
}

// Reads `ops` from `in`, writing every value to `out`, checking the cursor
// and the failed flag after each read.
void runOps(unsigned char const* ops, size_t n, TipprmiStream& in, TipprmiStream& out) {
    int remaining = in.getRemaining();
    bool failed = in.hasUnmarshallingFailed();
    for (size_t i = 0; i < n; ++i) {
        runOp(ops[i], in, out);
        int const now = in.getRemaining();
        if (now > remaining || now < 0 || now > in.getDataSize()) std::abort();
        if (failed && !in.hasUnmarshallingFailed()) std::abort();  // the flag never clears itself
        remaining = now;
        failed = in.hasUnmarshallingFailed();
    }
    if (failed) {
        unsigned long probe = 1;
        in >> probe;
        if (probe != 0) std::abort();
    }
}

uint32_t word(unsigned char const* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TOPADAPTER_NODED", "none", 0);
    setenv("TOPADAPTER_QUIET", "1", 0);
    TreflectORB::getInstance(NSID_UNIT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size < 1) return 0;
    unsigned char const flags = data[0];
    size_t const nOps = flags & 0x1F;
    if (size < 1 + nOps) return 0;
    unsigned char const* ops = data + 1;
    unsigned char const* rest = ops + nOps;
    size_t const restSize = size - 1 - nOps;
    if (restSize > Transport::kMaxMessageSize) return 0;

    TipprmiStream first(100);
    if (flags & 0x80) {
        if (restSize < 8) return 0;
        Transport::AddressedMessage raw = Transport::AddressedMessage::create(static_cast<unsigned>(restSize - 8));
        if (restSize > 8) std::memcpy(raw.rawBuf(), rest + 8, restSize - 8);
        raw.setDestination(Transport::TerminationId(static_cast<unsigned long>(word(rest))));
        raw.setOriginator(Transport::TerminationId(static_cast<unsigned long>(word(rest + 4))));
        TreflectMessage msg(raw);
        msg.testValidation(static_cast<TreflectMessage::kind_t>((flags >> 5) & 3), 0, "", true, 0);
        TreflectMessage::typeToStr(msg.type());
        TreflectMessage::kindToStr(msg.kind());
        TipprmiStream in(msg, false);
        runOps(ops, nOps, in, first);
    } else {
        TipprmiStream in(rest, static_cast<int>(restSize));
        runOps(ops, nOps, in, first);
    }

    // What was decoded encodes and decodes again, to the same bytes.
    TipprmiStream again(first.getDataPtr(), first.getDataSize());
    TipprmiStream second(100);
    runOps(ops, nOps, again, second);
    if (again.hasUnmarshallingFailed() || again.getRemaining() != 0) std::abort();
    if (second.getDataSize() != first.getDataSize() ||
        std::memcmp(second.getDataPtr(), first.getDataPtr(), static_cast<size_t>(first.getDataSize())) != 0)
        std::abort();
    return 0;
}
