// The observed side of operation observation: per object, the observers that
// asked to be told before (pre) or after (post) an operation runs, by (class
// code, method code).
#pragma once

#include <map>
#include <utility>

#include "IPPRMI_stream.h"
#include "TreflectObserverClient.h"

class TreflectObject;

class TreflectObservable {
public:
    typedef std::pair<uint32_t, uint32_t> Key;  // class code, method code
    typedef std::multimap<Key, TreflectObserverClient> ObserverMap;

    TreflectObservable() : pre_(nullptr), post_(nullptr) {}
    virtual ~TreflectObservable();
    TreflectObservable(TreflectObservable const&) = delete;
    TreflectObservable& operator=(TreflectObservable const&) = delete;

    // Kind 0 registers a pre-observer, any other kind a post-observer. A
    // client registered twice is notified twice.
    virtual void registerObserver(unsigned long kind, unsigned long const& cc, unsigned long const& mc,
                                  TreflectObserverClient const& client);
    // Removes every registration of `client`, whatever the operation.
    virtual void unRegisterObserver(TreflectObserverClient const& client);
    // Notifies the observers of (cc, mc) of the kind; an observer that cannot
    // be reached is dropped afterwards. False when any notification failed.
    virtual bool notifyObservers(TreflectObject const& source, unsigned long kind, unsigned long const& cc,
                                 unsigned long const& mc, TipprmiSequence<TipprmiAny> const& args);

    bool preObserverAvailable(unsigned long const& cc, unsigned long const& mc) const;
    bool postObserverAvailable(unsigned long const& cc, unsigned long const& mc) const;

private:
    static void erase(ObserverMap* map, TreflectObserverClient const& client);

    ObserverMap* pre_;
    ObserverMap* post_;
};
