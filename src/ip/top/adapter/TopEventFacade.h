// The event bus of the ToP adapters: events keyed by (flow key, condition)
// go to the handlers that subscribed to that key.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <list>
#include <map>
#include <utility>

#include <boost/shared_ptr.hpp>

#include "AfwSingleton.h"
#include "REFLECT_CountedMutex.h"

template <class Event_t>
class EventHandler {
public:
    virtual ~EventHandler() {}
    virtual void handle(Event_t const& event) = 0;
};

// Hands an event to every handler, in the order they were added.
template <class Event_t>
class EventBroadcast : public EventHandler<Event_t> {
public:
    void handle(Event_t const& event) override {
        mutex_.lock();
        for (EventHandler<Event_t>* h : handlers_) h->handle(event);
        mutex_.unlock();
    }
    void add(EventHandler<Event_t>* h) {
        if (!h) return;
        mutex_.lock();
        handlers_.push_back(h);
        mutex_.unlock();
    }
    void remove(EventHandler<Event_t>* h) {
        mutex_.lock();
        auto it = std::find(handlers_.begin(), handlers_.end(), h);
        if (it != handlers_.end()) handlers_.erase(it);
        mutex_.unlock();
    }
    bool empty() {
        mutex_.lock();
        bool const none = handlers_.empty();
        mutex_.unlock();
        return none;
    }

private:
    TreflectCountedMutex mutex_;
    std::list<EventHandler<Event_t>*> handlers_;
};

// Routes an event to the broadcast of its key; an event nobody subscribed to is dropped.
template <class Event_t>
class EventMulticast : public EventHandler<Event_t> {
public:
    typedef typename Event_t::Key Key;

    void handle(Event_t const& event) override {
        mutex_.lock();
        auto it = routes_.find(event.key());
        if (it != routes_.end()) it->second->handle(event);
        mutex_.unlock();
    }
    void subscribe(Event_t const& event, EventHandler<Event_t>* h) {
        mutex_.lock();
        boost::shared_ptr<EventBroadcast<Event_t> >& b = routes_[event.key()];
        if (!b) b.reset(new EventBroadcast<Event_t>);
        b->add(h);
        mutex_.unlock();
    }
    void unsubscribe(Event_t const& event, EventHandler<Event_t>* h) {
        mutex_.lock();
        auto it = routes_.find(event.key());
        if (it != routes_.end()) {
            it->second->remove(h);
            if (it->second->empty()) routes_.erase(it);
        }
        mutex_.unlock();
    }

private:
    TreflectCountedMutex mutex_;
    std::map<Key, boost::shared_ptr<EventBroadcast<Event_t> > > routes_;
};

class TopEventFacade {
public:
    // One alarm condition of one flow, raised or cancelled.
    struct Event_t {
        enum Condition : int32_t { SYNC_SOURCE_LOST = 1, MASTER_SERVICE_UNAVAILABLE = 2 };
        enum Report : int32_t { RAISE = 1, CANCEL = 2 };
        // Flow key (unsigned), then condition (signed).
        typedef std::pair<uint32_t, int32_t> Key;

        uint32_t flowKey;
        int32_t condition;
        int32_t report;
        // The adapter that posts or registers it (0: anyone); not part of the
        // key. A record answers only to its owner (Concurrency.txt).
        uint32_t owner = 0;

        Key key() const { return Key(flowKey, condition); }
    };

    static TopEventFacade* instance() { return Afw::Singleton<TopEventFacade>::get(); }
    virtual ~TopEventFacade() {}

    void subscribe(Event_t const& e, EventHandler<Event_t>* h) { multicast_.subscribe(e, h); }
    void unsubscribe(Event_t const& e, EventHandler<Event_t>* h) { multicast_.unsubscribe(e, h); }
    void post(Event_t const& e) { multicast_.handle(e); }

private:
    friend class Afw::Singleton<TopEventFacade>;
    TopEventFacade() {}
    EventMulticast<Event_t> multicast_;
};
