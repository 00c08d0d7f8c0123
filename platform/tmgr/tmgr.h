// Task manager library: the handshake through which the card's task manager
// starts a task and takes it through its phases. Every call returns 0 on
// success (tmgr_setMainThreadKey: -1 on failure).
//
// The steps must come in this order, each once:
//   tmgr_setMainThreadKey, tmgr_libInit, tmgr_taskPropInit (may be repeated),
//   tmgr_initDoneWait, tmgr_configDone, then tmgr_waitForCardReady (any
//   number of times). A call out of this order is refused (-1) and logged as
//   an error. tmgr_taskIdSelf may be called at any time.
//
// Environment (read at the first call, and again by tmgr::reset()):
//   TOPADAPTER_TASK_ID     the task's id, 1..65535 (default 100)
//   TOPADAPTER_TMGR_FAIL   comma list of steps that fail: setMainThreadKey,
//                          libInit, taskPropInit, initDoneWait, configDone,
//                          waitForCardReady
//   TOPADAPTER_CARD_READY  when tmgr_waitForCardReady returns:
//                            unset, "now" or "1": at once (default)
//                            "wait": once the file <node dir>/card-ready exists
//                                    or tmgr::setCardReady() is called
//                            <seconds>: after that many seconds (divided by the
//                                    time scale), or earlier as for "wait"
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Properties of the running task, filled by tmgr_taskPropInit.
typedef struct TaskProperties {
    unsigned short taskId;
    char name[16];            // process name
    int pid;
    int niceValue;
    unsigned long stackSize;  // bytes available to the main thread's stack
} TaskProperties;

int tmgr_setMainThreadKey(void);
int tmgr_libInit(void);
int tmgr_taskPropInit(TaskProperties* prop);
unsigned short tmgr_taskIdSelf(void);
// Reports the task's initialisation as done; returns when the task manager
// lets it go on to its configuration phase.
int tmgr_initDoneWait(unsigned short taskId);
int tmgr_configDone(unsigned short taskId);
// Blocks until the card is ready (see TOPADAPTER_CARD_READY).
int tmgr_waitForCardReady(void);

#ifdef __cplusplus
}

#include <string>

namespace tmgr {

// Forgets the handshake (deletes the main thread key) and reads the
// environment again. For tests that run several start-ups in one process.
void reset();

// Reports the card ready to every current and later waiter of this process.
void setCardReady();

// The marker file that reports the card ready to every task of the node.
std::string cardReadyMarkerPath();

}  // namespace tmgr
#endif
