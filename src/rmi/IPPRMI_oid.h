// Object identifiers: an id text plus the namespace that selects the ORB.
// The text is shared between copies through a reference-counted value.
// Wire form (IPPRMI_stream.h): the text as a counted string, or a 4-byte 0
// when there is no text, then the namespace id (4 bytes).
#pragma once

#include <string>

#include "IPPRMI_types.h"

// Base of shared values held by TipprmiRCPtr. The count is a plain integer
// without a lock: holders of one value live on one thread at a time.
class TipprmiRCObject {
public:
    void addReference() { ++refCount_; }
    // Deletes the value when the last holder lets go.
    void removeReference() {
        if (--refCount_ == 0) delete this;
    }
    // An unshareable value is copied by every new holder.
    void markUnshareable() { shareable_ = false; }
    bool isShareable() const { return shareable_; }
    bool isShared() const { return refCount_ > 1; }
    int getReferenceCount() const { return refCount_; }

protected:
    TipprmiRCObject() : refCount_(0), shareable_(true) {}
    // A copy is a new value: nobody holds it yet.
    TipprmiRCObject(TipprmiRCObject const&) : refCount_(0), shareable_(true) {}
    TipprmiRCObject& operator=(TipprmiRCObject const&) { return *this; }
    virtual ~TipprmiRCObject() {}

private:
    int refCount_;
    bool shareable_;
};

// Holder of a TipprmiRCObject subclass; null is allowed.
template <class T>
class TipprmiRCPtr {
public:
    TipprmiRCPtr(T* p = nullptr) : pointee_(p) { init(); }
    TipprmiRCPtr(TipprmiRCPtr const& other) : pointee_(other.pointee_) { init(); }
    ~TipprmiRCPtr() {
        if (pointee_) pointee_->removeReference();
    }
    TipprmiRCPtr& operator=(TipprmiRCPtr const& other) {
        if (pointee_ != other.pointee_) {
            T* old = pointee_;
            pointee_ = other.pointee_;
            init();
            if (old) old->removeReference();
        }
        return *this;
    }

    T* operator->() const { return pointee_; }
    T& operator*() const { return *pointee_; }
    T* get() const { return pointee_; }
    bool isNull() const { return pointee_ == nullptr; }

private:
    void init() {
        if (!pointee_) return;
        if (!pointee_->isShareable()) pointee_ = new T(*pointee_);
        pointee_->addReference();
    }

    T* pointee_;
};

class TipprmiOID {
public:
    // The id text: a private NUL-terminated copy, null for an empty text.
    struct StringValue : public TipprmiRCObject {
        explicit StringValue(char const* text);
        StringValue(StringValue const& other);
        ~StringValue() override;
        StringValue& operator=(StringValue const&) = delete;

        char* data;
    };

    // Without an id (null or empty text) the OID has no text.
    TipprmiOID(char const* id = nullptr, NamespaceId ns = NSID_UNIT);
    TipprmiOID(std::string const& id, NamespaceId ns = NSID_UNIT);

    // The id text, or null when the OID has none.
    char const* getIdString() const;
    bool hasIdString() const { return getIdString() != nullptr; }
    // Installs a new value; copies made before keep the old text.
    void setIdString(char const* id) { init(id); }
    NamespaceId getNamespaceId() const { return ns_; }

    // Same text (two absent texts are equal, absent and present are not)
    // and same namespace.
    bool isEqual(TipprmiOID const& other) const;
    bool operator==(TipprmiOID const& other) const { return isEqual(other); }
    bool operator!=(TipprmiOID const& other) const { return !isEqual(other); }
    // Namespace first (signed); within a namespace false when either has no
    // text, else the byte order of the texts. Keys OID maps.
    bool operator<(TipprmiOID const& other) const;

    // This text followed by `suffix`, in namespace 1; an OID without text
    // gives a copy of itself.
    TipprmiOID operator+(char const* suffix) const;
    TipprmiOID operator+(std::string const& suffix) const;

private:
    void init(char const* id);

    TipprmiRCPtr<StringValue> value_;
    NamespaceId ns_;
};
