// The task's singleton and its three start-up phases.
#pragma once

class topAdapterTask {
public:
    static topAdapterTask* instance();
    virtual ~topAdapterTask();

    // Obtains the task object; returns 1.
    int initPhase();
    // Waits while the ToP chip upgrades its firmware; returns 1.
    int configPhase();
    // Starts the ToP objects and parks the calling thread for ever.
    int runPhase();

private:
    topAdapterTask();
    static topAdapterTask* instance_;
};

// Entry points called by main; each returns 0.
int topAdapterInitPhase(unsigned short taskId, int arg);
int topAdapterConfigPhase();
int topAdapterRunPhase();

// The process entry, arguments unused: -1 when the main thread key cannot be
// created, 0 if the run phase ever returns; other failures exit(1).
int topAdapterMain();
