#include "TopAdapterTask.h"

#include <stdint.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Env.h"
#include "HandlerThreadPolicies.h"
#include "OSWrap.h"
#include "TopAdapterStatus.h"
#include "TopAlarmReporter.h"
#include "TopServicesAdapter.h"
#include "TopTrace.h"
#include "tmgr.h"
#include "topDrvAdapIf.h"

short topAdapterTaskTraceSetId = -1;

void topAdapterTaskTraceSetRegister() {
    if (initTraceSet("topAdapter", 0, 1000, 128, 511, &topAdapterTaskTraceSetId) != 0) {
        std::printf("Error from initTraceSet for cpp!\n");
        std::fflush(stdout);
    }
}

topAdapterTask* topAdapterTask::instance_ = nullptr;

topAdapterTask* topAdapterTask::instance() {
    if (!instance_) instance_ = new topAdapterTask;
    return instance_;
}

topAdapterTask::topAdapterTask() { TOP_TRACE("topAdapterTask\n"); }

topAdapterTask::~topAdapterTask() { TOP_TRACE("~topAdapterTask\n"); }

int topAdapterTask::initPhase() {
    instance();
    return 1;
}

int topAdapterTask::configPhase() {
    TOP_TRACE("Waiting for TopDriver to complete software download if needed....");
    int seconds = 0;
    for (;;) {
        uint32_t state = 0;
        topDrvAdapIf_getStateInfo(&state);
        if (state != TOP_FW_UPGRADING) break;
        sleep(1);
        ++seconds;
    }
    TOP_TRACE("Got state != TOP_FW_UPGRADING from TopDrv after %ds", seconds);
    return 1;
}

int topAdapterTask::runPhase() {
    TOP_TRACE("runPhase\n");
    TopAdapterStatus::start();
    if (envInfoTimingOverPacketSupported()) {
        RunPermissionGuard guard;
        TopAlarmReporter::instance()->start();
        TopServicesAdapter::instance()->start();
    }
    tmgr_waitForCardReady();
    if (envInfoTimingOverPacketSupported()) {
        RunPermissionGuard guard;
        TopServicesAdapter::instance()->startEventPoller();
    }
    OSWrap::Thread::sleep(OSWrap::TimeSpec::INFINITETIME);
    return 1;
}

int topAdapterInitPhase(unsigned short, int) {
    topAdapterTask::instance()->initPhase();
    return 0;
}

int topAdapterConfigPhase() {
    topAdapterTask::instance()->configPhase();
    return 0;
}

int topAdapterRunPhase() {
    topAdapterTask::instance()->runPhase();
    return 0;
}

int topAdapterMain() {
    topAdapterTaskTraceSetRegister();
    TOP_TRACE("topAdapterTask begin main");
    if (tmgr_setMainThreadKey() == -1) {
        TOP_TRACE_ERROR("Task Manager: error while create main thread key \n");
        return -1;
    }
    if (tmgr_libInit() != 0) {
        TOP_TRACE_ERROR("%s: Failed to attach to task manager library!\n", "main");
        std::exit(1);
    }
    TaskProperties properties;
    if (tmgr_taskPropInit(&properties) != 0) {
        TOP_TRACE_ERROR("%s: Failed to init properties of task!\n", "main");
        std::exit(1);
    }
    unsigned short taskId = tmgr_taskIdSelf();
    TOP_TRACE("%s: taskId=%d\n", "main", taskId);
    ml2DrvCif_init(taskId);
    TOP_TRACE("%s: ml2DrvCif_init(taskId=%d) done\n", "main", taskId);
    topAdapterInitPhase(taskId, 0);
    if (tmgr_initDoneWait(taskId) != 0) {
        TOP_TRACE("Wait for initialization failed taskid %d. Exiting..", taskId);
        std::exit(1);
    }
    topAdapterConfigPhase();
    if (tmgr_configDone(taskId) != 0) {
        TOP_TRACE_ERROR("Configuration failed: taskid %d. Exiting..", taskId);
        std::exit(1);
    }
    TOP_TRACE("Card Ready entering main processing loop...");
    topAdapterRunPhase();
    return 0;
}
