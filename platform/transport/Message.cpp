// Message buffers: a size-class allocator with bounded free lists, and the
// shared, reference-counted buffer behind AddressedMessage.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Log.h"
#include "MessageAccess.h"
#include "Transport.h"

namespace Transport {
namespace {

// Every allocation carries a 16-byte prefix with its size class, so the
// returned pointer is 16-aligned and deallocate() needs no size.
constexpr size_t kPrefix = 16;
constexpr unsigned kMinShift = 6;   // 64-byte class
constexpr unsigned kMaxShift = 18;  // 256 KiB class: the largest message plus headers
constexpr unsigned kClasses = kMaxShift - kMinShift + 1;
constexpr unsigned kUnpooled = 0xFF;
// Free blocks kept per class: at most this many bytes, at least 4 blocks.
constexpr size_t kPoolBytesPerClass = 512 * 1024;

struct FreeBlock {
    FreeBlock* next;
};

struct Pools {
    std::mutex mutex;
    FreeBlock* head[kClasses] = {};
    size_t count[kClasses] = {};
};

Pools& pools() {
    static Pools* p = new Pools;
    return *p;
}

std::mutex& refLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

unsigned classOf(size_t total) {
    unsigned shift = kMinShift;
    while (shift <= kMaxShift && (size_t(1) << shift) < total) ++shift;
    return shift > kMaxShift ? kUnpooled : shift - kMinShift;
}

size_t poolLimit(unsigned cls) {
    size_t bytes = size_t(1) << (cls + kMinShift);
    size_t n = kPoolBytesPerClass / bytes;
    return n < 4 ? 4 : n;
}

}  // namespace

void* SimpleAllocator::allocate(unsigned int size, unsigned int align) {
    if (align == 0 || align > 16 || (align & (align - 1)) != 0)
        TA_LOG(3, "SimpleAllocator: alignment %u not supported, using 16", align);
    size_t total = kPrefix + size_t(size);
    unsigned cls = classOf(total);
    void* raw = nullptr;
    if (cls != kUnpooled) {
        Pools& p = pools();
        std::lock_guard<std::mutex> guard(p.mutex);
        if (FreeBlock* b = p.head[cls]) {
            p.head[cls] = b->next;
            --p.count[cls];
            raw = b;
        }
    }
    if (!raw) {
        size_t bytes = cls == kUnpooled ? total : size_t(1) << (cls + kMinShift);
        raw = std::aligned_alloc(16, (bytes + 15) & ~size_t(15));
        if (!raw) {
            TA_LOG(0, "SimpleAllocator: out of memory allocating %u bytes", size);
            std::abort();
        }
    }
    static_cast<unsigned char*>(raw)[0] = static_cast<unsigned char>(cls);
    return static_cast<unsigned char*>(raw) + kPrefix;
}

void SimpleAllocator::deallocate(void* ptr) {
    if (!ptr) return;
    unsigned char* raw = static_cast<unsigned char*>(ptr) - kPrefix;
    unsigned cls = raw[0];
    if (cls < kClasses) {
        Pools& p = pools();
        std::lock_guard<std::mutex> guard(p.mutex);
        if (p.count[cls] < poolLimit(cls)) {
            FreeBlock* b = reinterpret_cast<FreeBlock*>(raw);
            b->next = p.head[cls];
            p.head[cls] = b;
            ++p.count[cls];
            return;
        }
    }
    std::free(raw);
}

void SimpleAllocator::lock() { refLock().lock(); }
void SimpleAllocator::unlock() { refLock().unlock(); }

// ---------------------------------------------------------------------------

void AddressedMessage::free(Block* b) { SimpleAllocator::deallocate(b); }

AddressedMessage AddressedMessage::create(unsigned int size, unsigned int align) {
    AddressedMessage m = MessageAccess::createUninitialised(size, align);
    std::memset(m.rawBuf(), 0, size);
    return m;
}

AddressedMessage MessageAccess::createUninitialised(unsigned int size, unsigned int align) {
    void* mem = SimpleAllocator::allocate(unsigned(kDataOffset) + size, align);
    auto* b = static_cast<AddressedMessage::Block*>(mem);
    b->refs = 1;
    b->size = size;
    b->originator = 0;
    b->destination = 0;
    return AddressedMessage(b);
}

}  // namespace Transport
