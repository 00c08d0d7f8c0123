// The observed side of operation observation: per object, the observers that
// asked to be told before (pre) or after (post) an operation runs, by (class
// code, method code).
#pragma once

#include <map>
#include <memory>
#include <utility>

#include "IPPRMI_stream.h"
#include "TreflectObserverClient.h"

class TreflectObject;

class TreflectObservable {
public:
    typedef std::pair<uint32_t, uint32_t> Key;  // class code, method code
    typedef std::multimap<Key, TreflectObserverClient> ObserverMap;

    // Whether the object still exists after a wait that gave the run
    // permission up: another thread may have destroyed it meanwhile.
    class Life {
    public:
        bool gone() const { return token_.expired(); }

    private:
        friend class TreflectObservable;
        explicit Life(std::weak_ptr<void> const& token) : token_(token) {}
        std::weak_ptr<void> token_;
    };

    TreflectObservable() : pre_(nullptr), post_(nullptr), life_(std::make_shared<char>(0)) {}
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
    // be reached is dropped afterwards. False when any notification failed,
    // or when the object was destroyed meanwhile (see life()).
    virtual bool notifyObservers(TreflectObject const& source, unsigned long kind, unsigned long const& cc,
                                 unsigned long const& mc, TipprmiSequence<TipprmiAny> const& args);

    bool preObserverAvailable(unsigned long const& cc, unsigned long const& mc) const;
    bool postObserverAvailable(unsigned long const& cc, unsigned long const& mc) const;

    Life life() const { return Life(life_); }

protected:
    // Every Life taken turns gone. Destructors call it before anything that
    // may give the run permission up.
    void endLife() { life_.reset(); }

private:
    static void erase(ObserverMap* map, TreflectObserverClient const& client);

    ObserverMap* pre_;
    ObserverMap* post_;
    std::shared_ptr<void> life_;
};
