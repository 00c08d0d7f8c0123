// Observers: small server objects that other actors call back when an
// observed operation runs (class code 0x641E8FCD, method code 0), and that
// the ORB hands created and deleted objects to.
#pragma once

#include <string>

#include "REFLECT_serverObject.h"
#include "TreflectObserverClient.h"

class TreflectObserverSkeleton : public TreflectServerObject {
public:
    static constexpr unsigned long kClassCode = TreflectObserverClient::kClassCode;

    TreflectObserverSkeleton(TipprmiOID const& oid, TreflectObject const* parent, std::string const& name);

    // Serves notifications; hands everything else to the server object.
    bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                  TipprmiStream& out) override;
    // An observer handle on this object, made on first use.
    TreflectObserverClient* getClient() const override;
    unsigned long getServerClassId() const override { return kClassCode; }
    TipprmiSequence<unsigned long> getServerClassIdSeq() const override;

    virtual bool notify(TreflectObject const& source, unsigned long const& cc, unsigned long const& mc,
                        TipprmiSequence<TipprmiAny> const& args, bool& delivered) = 0;
};

class TreflectObserver : public TreflectObserverSkeleton {
public:
    TreflectObserver(TipprmiOID const& oid, TreflectObject const* parent, std::string const& name);

    // Makes the source and a copy of the arguments available to the
    // callback, then runs it.
    bool notify(TreflectObject const& source, unsigned long const& cc, unsigned long const& mc,
                TipprmiSequence<TipprmiAny> const& args, bool& delivered) override;
    // The callback; its result is the notification's.
    virtual bool handleNotification() = 0;
    virtual TreflectObject const* getSource() const { return source_; }
    virtual void setSource(TreflectObject const* source) { source_ = source; }

    // The arguments of the operation being notified; valid only while the
    // callback runs, and null for creation and deletion notifications.
    TipprmiSequence<TipprmiAny>* currentArguments() const { return arguments_; }
    int notificationFlag() const { return notified_; }

private:
    TipprmiSequence<TipprmiAny>* arguments_;
    int notified_;
    TreflectObject const* source_;
};

// Argument `n` of an observed call (element 0 is never one): there, not empty
// and read whole. A value that could not be read leaves `out` as it was.
template <class T>
bool observedArgument(TipprmiSequence<TipprmiAny> const& args, unsigned long n, T& out) {
    if (n == 0 || n >= args.getLength() || args[n].empty()) return false;
    TipprmiAny any(args[n]);
    T value = out;
    any.extract(value);
    if (any.hasUnmarshallingFailed()) return false;
    out = value;
    return true;
}

// An observer that calls a member function of its target.
template <class T>
class TreflectNotificator : public TreflectObserver {
public:
    typedef bool (T::*Method)(TreflectObserver*);

    TreflectNotificator(T* target, Method method)
        : TreflectObserver(TipprmiOID(static_cast<char const*>(nullptr), NSID_UNIT), nullptr, std::string()),
          target_(target),
          method_(method) {}

    bool handleNotification() override { return (target_->*method_)(this); }

private:
    T* target_;
    Method method_;
};
