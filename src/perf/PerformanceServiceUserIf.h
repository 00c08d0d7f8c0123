// The user of a performance service adapter: the counters of one monitored
// object. The adapter asks it for current values and tells it
// when a measurement interval has ended.
#pragma once

namespace Performance {

class PerformanceServiceUserIf {
public:
    virtual ~PerformanceServiceUserIf() {}
    // The counter's value in the running interval; false when it is unknown.
    virtual bool getCurrentData(unsigned long const& ident, unsigned long& value) = 0;
    // A measurement interval has ended.
    virtual void changeOfInterval() = 0;
    virtual bool startMonitoring(unsigned long const&) { return true; }
    virtual bool stopMonitoring(unsigned long const&) { return true; }
};

}  // namespace Performance
