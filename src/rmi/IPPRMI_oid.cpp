#include "IPPRMI_oid.h"

#include <cstring>

namespace {

char* copyText(char const* text) {
    if (!text || !*text) return nullptr;
    size_t n = std::strlen(text) + 1;
    char* copy = new char[n];
    std::memcpy(copy, text, n);
    return copy;
}

}  // namespace

TipprmiOID::StringValue::StringValue(char const* text) : data(copyText(text)) {}

TipprmiOID::StringValue::StringValue(StringValue const& other) : TipprmiRCObject(other), data(copyText(other.data)) {}

TipprmiOID::StringValue::~StringValue() { delete[] data; }

TipprmiOID::TipprmiOID(char const* id, NamespaceId ns) : value_(), ns_(ns) { init(id); }

TipprmiOID::TipprmiOID(std::string const& id, NamespaceId ns) : value_(), ns_(ns) { init(id.c_str()); }

void TipprmiOID::init(char const* id) { value_ = TipprmiRCPtr<StringValue>(id ? new StringValue(id) : nullptr); }

char const* TipprmiOID::getIdString() const { return value_.isNull() ? nullptr : value_->data; }

bool TipprmiOID::isEqual(TipprmiOID const& other) const {
    if (ns_ != other.ns_) return false;
    char const* a = getIdString();
    char const* b = other.getIdString();
    if (!a || !b) return a == b;
    return std::strcmp(a, b) == 0;
}

bool TipprmiOID::operator<(TipprmiOID const& other) const {
    int const nsA = static_cast<int>(ns_);
    int const nsB = static_cast<int>(other.ns_);
    if (nsA != nsB) return nsA < nsB;
    char const* a = getIdString();
    char const* b = other.getIdString();
    if (!a || !b) return false;
    return std::strcmp(a, b) < 0;
}

TipprmiOID TipprmiOID::operator+(char const* suffix) const {
    char const* text = getIdString();
    if (!text) return *this;
    std::string joined(text);
    if (suffix) joined += suffix;
    return TipprmiOID(joined, NSID_UNIT);
}

TipprmiOID TipprmiOID::operator+(std::string const& suffix) const { return *this + suffix.c_str(); }
