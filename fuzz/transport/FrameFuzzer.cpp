// Fuzz target for the decoders that read peer bytes: the data-connection
// frame reader and the membership frame decoder.
//
// Input: one mode byte, then datagrams, each preceded by a 2-byte big-endian
// length (a length beyond the input takes what is left). Mode bit 0 selects
// the membership decoder; bit 1 marks every datagram as truncated.
#include <cstddef>
#include <cstdint>

#include "Frame.h"

using namespace Transport::wire;

namespace {

constexpr uint32_t kSelf = 0x01000101;
constexpr uint32_t kMaxPayload = 4096;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size < 1) return 0;
    uint8_t mode = data[0];
    ++data;
    --size;
    DataFrameReader reader(kSelf, kMaxPayload);
    bool closed = false;
    while (size >= 2 && !closed) {
        size_t len = get16(data);
        data += 2;
        size -= 2;
        if (len > size) len = size;
        if (mode & 1) {
            NodeFrame f;
            char const* why = "";
            if (decodeNodeFrame(data, len, f, why)) {
                check(len == kNodeHeaderSize + 4 * f.ids.size());
                check(f.kind == kSnapshot || (f.ids.empty() && f.id != 0));
            } else {
                check(why != nullptr && *why != '\0');
            }
        } else {
            DataHeader h;
            bool truncated = (mode & 2) != 0;
            Verdict v = reader.onFrame(data, len, truncated, h);
            switch (v) {
            case Verdict::Hello:
                check(!truncated && len == kDataHeaderSize && reader.peer() == h.originator);
                break;
            case Verdict::Deliver:
            case Verdict::Bounce:
                // What the receiving thread copies must lie inside the datagram.
                check(!truncated && reader.identified());
                check(h.length <= kMaxPayload && kDataHeaderSize + size_t(h.length) == len);
                check(v == Verdict::Deliver ? h.destination == kSelf && h.originator == reader.peer()
                                            : h.originator == kSelf && h.destination == reader.peer());
                break;
            case Verdict::Drop:
                check(reader.identified() && reader.badFrames() < DataFrameReader::kMaxBadFrames);
                break;
            case Verdict::Close:
                closed = true;
                break;
            }
        }
        data += len;
        size -= len;
    }
    return 0;
}
