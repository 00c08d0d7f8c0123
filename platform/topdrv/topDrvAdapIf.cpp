#include "topDrvAdapIf.h"

#include "TopChip.h"

extern "C" {

int topDrvAdapIf_init(unsigned long ownIp, unsigned long netmask, unsigned long gateway, unsigned long masterIp,
                      int logMeanSync, int zero) {
    return topdrv::control().init(ownIp, netmask, gateway, masterIp, logMeanSync, zero);
}
int topDrvAdapIf_deinit(void) { return topdrv::control().deinit(); }
int topDrvAdapIf_getStateInfo(uint32_t* state) { return topdrv::control().getStateInfo(state); }
int topDrvAdapIf_getApiState(uint32_t* state) { return topdrv::control().getApiState(state); }
int topDrvAdapIf_getLockState(uint32_t* state) { return topdrv::control().getLockState(state); }
int topDrvAdapIf_getMasterClockState(uint32_t* state) { return topdrv::control().getMasterClockState(state); }
int topDrvAdapIf_getMasterServiceState(uint32_t* state) { return topdrv::control().getMasterServiceState(state); }
int topDrvAdapIf_setMasterIp(unsigned long masterIp) { return topdrv::control().setMasterIp(masterIp); }
int topDrvAdapIf_setMessageRate(int logMeanSync) { return topdrv::control().setMessageRate(logMeanSync); }
int topDrvAdapIf_getPhaseError(float* phaseError) { return topdrv::control().getPhaseError(phaseError); }
int topDrvAdapIf_getSLS(uint32_t* counter) { return topdrv::control().getSLS(counter); }
int topDrvAdapIf_getNoRxSyncMsg(uint32_t* counter) { return topdrv::control().getNoRxSyncMsg(counter); }

}  // extern "C"
