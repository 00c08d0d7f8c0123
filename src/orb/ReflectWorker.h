// A worker thread of the ORB: serves queued requests and notifications.
#pragma once

#include <string>

#include "OSWrap.h"

class TreflectORB;

class ReflectWorker : public OSWrap::Thread {
public:
    ReflectWorker(TreflectORB& orb, unsigned int stackSize, OSWrap::Priority priority, OSWrap::SchedulingPolicy policy,
                  std::string const& name, bool joinable);
    ~ReflectWorker() override;

protected:
    void run() override;

private:
    TreflectORB& orb_;
};
