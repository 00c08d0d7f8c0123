// The process-wide registry that pairs each PerformanceService object of the
// management model with the PerformanceServiceAdapter of the object it
// measures, and routes every "trigger" call made on such an object to that
// adapter. Either side may appear first; "trigger" is observed
// exactly while both are present.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "OSWrap.h"
#include "PerformanceServiceClient.h"
#include "REFLECT_ObserverSkeleton.h"

namespace Performance {

class PerformanceServiceAdapter;

class PerfSvcAdpLink {
public:
    // One monitored object: its PerformanceService object and its adapter.
    struct Link {
        Link() : ps(nullptr), adp(nullptr), observing(false) {}
        PerformanceServiceClient* ps;  // owned heap handle, or null
        PerformanceServiceAdapter* adp;  // not owned, or null
        bool observing;                 // the trigger observer is registered on ps's "trigger"
        bool complete() const { return ps && adp; }
    };
    // Key: the absolute name of the monitored object.
    typedef std::map<std::string, Link> XRefTable;

    class PerfSvcObserver : public TreflectObserver {
    public:
        enum Kind : unsigned long { CREATION = 0, DELETION = 1, TRIGGER = 2 };
        PerfSvcObserver(PerfSvcAdpLink* link, unsigned long kind);
        // Always 1.
        bool handleNotification() override;

    private:
        PerfSvcAdpLink* link_;
        unsigned long kind_;
    };

    // The instance, constructed (and subscribed to PerformanceService
    // creations and deletions) on the first call; never deleted.
    static PerfSvcAdpLink* instance();

    bool registerAdapter(std::string const& name, PerformanceServiceAdapter* adp);
    bool unregisterAdapter(std::string const& name, PerformanceServiceAdapter* adp);
    // A copy of the record under `name` (all zero when absent); true when complete.
    bool lookup(std::string const& name, Link& out);
    // The keys of the records, in order.
    std::vector<std::string> names();

    // Notification bodies; `ps` is the notified PerformanceService object and
    // `args` the parameter sequence of an observed trigger call (null or
    // malformed: nothing happens).
    void psCreated(TreflectObject const& ps);
    void psDeleted(TreflectObject const& ps);
    void trigger(TipprmiSequence<TipprmiAny> const* args);

private:
    PerfSvcAdpLink();
    ~PerfSvcAdpLink() = delete;
    PerfSvcAdpLink(PerfSvcAdpLink const&) = delete;
    PerfSvcAdpLink& operator=(PerfSvcAdpLink const&) = delete;

    static std::string keyOf(TreflectObject const& ps);
    void observe(PerformanceServiceClient const& ps);
    void unobserve(PerformanceServiceClient const& ps);
    // Erases the records whose PerformanceService went with its actor and
    // whose adapter is gone.
    void dropLostServices();

    XRefTable XReferences_;
    OSWrap::Mutex lock_;
    PerfSvcObserver creationObserver_, deletionObserver_, triggerObserver_;

    static PerfSvcAdpLink* instance_;
};

}  // namespace Performance
