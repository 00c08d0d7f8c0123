#include "EnvVars.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "Log.h"

namespace platform {

bool parseInt64(std::string const& text, int64_t min, int64_t max, int64_t* out) {
    if (text.empty()) return false;
    char const* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s, &end, 0);
    if (errno != 0 || end == s || *end != '\0') return false;
    if (v < min || v > max) return false;
    *out = static_cast<int64_t>(v);
    return true;
}

bool parseUint64(std::string const& text, uint64_t* out) {
    if (text.empty() || text[0] == '-') return false;
    char const* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, 0);
    if (errno != 0 || end == s || *end != '\0') return false;
    *out = static_cast<uint64_t>(v);
    return true;
}

bool parseDouble(std::string const& text, double min, double max, double* out) {
    if (text.empty()) return false;
    char const* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s, &end);
    if (errno != 0 || end == s || *end != '\0' || !std::isfinite(v)) return false;
    if (v < min || v > max) return false;
    *out = v;
    return true;
}

bool envIsSet(char const* name) {
    char const* v = std::getenv(name);
    return v && *v;
}

std::string envString(char const* name, std::string const& def) {
    char const* v = std::getenv(name);
    return (v && *v) ? std::string(v) : def;
}

int64_t envInt64(char const* name, int64_t def, int64_t min, int64_t max) {
    if (!envIsSet(name)) return def;
    std::string text = std::getenv(name);
    int64_t v = def;
    if (!parseInt64(text, min, max, &v)) {
        TA_LOG(4, "%s=%s ignored: not an integer in %lld..%lld, using %lld", name, text.c_str(),
               static_cast<long long>(min), static_cast<long long>(max), static_cast<long long>(def));
        return def;
    }
    return v;
}

uint64_t envUint64(char const* name, uint64_t def) {
    if (!envIsSet(name)) return def;
    std::string text = std::getenv(name);
    uint64_t v = def;
    if (!parseUint64(text, &v)) {
        TA_LOG(4, "%s=%s ignored: not an unsigned integer, using %llu", name, text.c_str(),
               static_cast<unsigned long long>(def));
        return def;
    }
    return v;
}

double envDouble(char const* name, double def, double min, double max) {
    if (!envIsSet(name)) return def;
    std::string text = std::getenv(name);
    double v = def;
    if (!parseDouble(text, min, max, &v)) {
        TA_LOG(4, "%s=%s ignored: not a number in %g..%g, using %g", name, text.c_str(), min, max, def);
        return def;
    }
    return v;
}

}  // namespace platform
