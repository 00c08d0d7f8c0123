// Client proxy of an observer object (class code 0x641E8FCD). On the card it
// comes with the platform's proxy library; it lives with the object model
// here because it is a handle of the model and the model holds it by value
// in its observers' registrations. This stand-in keeps its contract:
// a bare handle (allocated from the handle free list) whose notify either
// sends the observer notification request (method code 0) or, for an
// observer of this process, calls the observer directly.
//
// Request after the call header: source (object reference), observed class
// code, observed method code, arguments (sequence of TipprmiAny).
// Response after the status: result (bool), delivered (bool).
#pragma once

#include "REFLECT_object.h"

class TreflectObserverClient : public TreflectObject {
public:
    static constexpr unsigned long kClassCode = 0x641E8FCDul;
    static constexpr unsigned long kNotify = 0;

    TreflectObserverClient() {}
    explicit TreflectObserverClient(TipprmiObjectSkeleton const* s) : TreflectObject(s) {}
    TreflectObserverClient(TreflectObserverClient const& other) : TreflectObject(other) {}
    TreflectObserverClient& operator=(TreflectObserverClient const& other) {
        TreflectObject::operator=(other);
        return *this;
    }
    ~TreflectObserverClient() override {}

    // Tells the observer that operation (cc, mc) of `source` was called with
    // `args`. `delivered` stays false when the observer could not be reached.
    virtual bool notify(TreflectObject const& source, unsigned long const& cc, unsigned long const& mc,
                        TipprmiSequence<TipprmiAny> const& args, bool& delivered) const;
};
