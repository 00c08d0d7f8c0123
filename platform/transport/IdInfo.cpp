#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Log.h"
#include "Transport.h"

namespace Transport {
namespace {

// Parses a decimal or 0x-hex number within [lo, hi]; logs and returns
// `fallback` for anything else.
long envNumber(char const* name, long fallback, long lo, long hi) {
    char const* text = std::getenv(name);
    if (!text || !*text) return fallback;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) {
        TA_LOG(3, "%s=\"%s\" is not a number in %ld..%ld, using %ld", name, text, lo, hi, fallback);
        return fallback;
    }
    return v;
}

unsigned short hashName(std::string const& name) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char c : name) {
        h ^= c;
        h *= 16777619u;
    }
    uint32_t folded = (h >> 16) ^ (h & 0xFFFFu);
    return static_cast<unsigned short>(folded == 0 ? 1 : folded);
}

}  // namespace

IdInfo& IdInfo::instance() {
    static IdInfo* info = new IdInfo;
    return *info;
}

void IdInfo::reload() {
    char const* actor = std::getenv("TOPADAPTER_ACTOR");
    actor_ = (actor && *actor) ? actor : "topAdapter";
    nameId_ = static_cast<unsigned short>(envNumber("TOPADAPTER_NAME_ID", hashName(actor_), 1, 0xFFFF));
    slot_ = int(envNumber("TOPADAPTER_SLOT", 1, 0, 255));
    activeSlot_ = int(envNumber("TOPADAPTER_ACTIVE_SLOT", 1, 0, 255));
    bep_ = envNumber("TOPADAPTER_BEP", 0, 0, 1) == 1;
    std::memset(bepSlots_, 0, sizeof bepSlots_);
    if (char const* list = std::getenv("TOPADAPTER_BEP_SLOTS"); list && *list) {
        char const* p = list;
        while (*p) {
            char* end = nullptr;
            errno = 0;
            long v = std::strtol(p, &end, 0);
            if (end == p || errno != 0 || v < 0 || v > 255 || (*end != ',' && *end != '\0')) {
                TA_LOG(3, "TOPADAPTER_BEP_SLOTS=\"%s\" is not a comma list of slots 0..255, ignoring the rest", list);
                break;
            }
            bepSlots_[v / 32] |= 1u << (v % 32);
            p = *end == ',' ? end + 1 : end;
        }
    }
    if (bep_) bepSlots_[slot_ / 32] |= 1u << (slot_ % 32);
}

unsigned short IdInfo::nameIdOf(std::string const& actor) { return hashName(actor); }

bool IdInfo::bepInSlot(int const& slot) const {
    if (slot < 0 || slot > 255) return false;
    return (bepSlots_[slot / 32] >> (slot % 32)) & 1u;
}

}  // namespace Transport
