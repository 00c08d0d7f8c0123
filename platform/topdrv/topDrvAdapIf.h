// ToP chip driver interface. Behind it on this host: a simulated chip
// (TopChip.h) that keeps the documented call order and refuses, with a
// warning log line, every call that breaks it.
//
// Every function returns 0 on success or a non-zero status; out-values are
// written only on success. IPv4 addresses are 32-bit host-order values, first
// octet most significant; only the low 32 bits of an unsigned long count.
//
// Call order the chip enforces:
//   - while the state is TOP_FW_UPGRADING only topDrvAdapIf_getStateInfo;
//   - topDrvAdapIf_init only with a non-zero master address (and a last
//     argument of 0); the chip then starts up by itself and reports
//     TOP_DRV_STARTING until it is running;
//   - topDrvAdapIf_setMasterIp, topDrvAdapIf_setMessageRate and every status
//     query only while the state is TOP_DRV_RUNNING;
//   - topDrvAdapIf_deinit only when the state is not TOP_DRV_NOT_STARTED.
//
// Environment (read at power-up, that is the first use in a process, and by
// topdrv::Chip::powerUp()); seconds are protocol seconds, divided by the time
// scale (TOPADAPTER_TIME_SCALE):
//   TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS    state polls answered with
//                                         TOP_FW_UPGRADING after power-up (default 1)
//   TOPADAPTER_TOPDRV_FW_UPGRADE_SECONDS  or the upgrade ends after this time
//                                         (default 0: by polls only); whichever
//                                         comes first; both 0: no upgrade
//   TOPADAPTER_TOPDRV_STARTUP_SECONDS     from init to running (default 3)
//   TOPADAPTER_TOPDRV_LOCK_SECONDS        from running, or a new master, to
//                                         locked (default 2)
//   TOPADAPTER_TOPDRV_SEED                seed of the phase error samples (default 1)
//   TOPADAPTER_TOPDRV_PHASE_MEAN          mean phase error in ns (default 0)
//   TOPADAPTER_TOPDRV_PHASE_SPREAD        samples lie within mean +- spread (default 20)
//   TOPADAPTER_TOPDRV_SYNC_LOSS_PERMILLE  sync messages lost while locked (default 0)
//   TOPADAPTER_TOPDRV_SLS_START           initial SLS counter (default 0)
//   TOPADAPTER_TOPDRV_NORX_START          initial no-rx-sync counter (default 0)
//   TOPADAPTER_TOPDRV_FAIL                <fn>:<status>[:<count>],... makes a
//                                         function return <status> (for <count>
//                                         calls, default every call); <fn> as
//                                         "init" or "topDrvAdapIf_init"
//   TOPADAPTER_TOPDRV_CONTROL             0 disables the control channel
//                                         (ChipControl.h)
#pragma once

#include <stdint.h>

// Driver states reported by topDrvAdapIf_getStateInfo.
#define TOP_DRV_RUNNING 0
#define TOP_FW_UPGRADING 1
#define TOP_DRV_STARTING 2
#define TOP_DRV_NOT_STARTED 6

// Statuses of the simulated chip (an injected failure returns any chosen value).
#define TOP_DRV_OK 0
#define TOP_DRV_ERR_STATE 2   // not allowed in the current driver state
#define TOP_DRV_ERR_PARAM 3   // argument refused

#ifdef __cplusplus
extern "C" {
#endif

// Configures the chip: own address, netmask, gateway, master address, log
// mean sync value (16-bit signed), and 0.
int topDrvAdapIf_init(unsigned long ownIp, unsigned long netmask, unsigned long gateway, unsigned long masterIp,
                      int logMeanSync, int zero);
int topDrvAdapIf_deinit(void);
int topDrvAdapIf_getStateInfo(uint32_t* state);
// 1 = the API is dead (it stays so until the next topDrvAdapIf_init).
int topDrvAdapIf_getApiState(uint32_t* state);
// 1 = locked to the master.
int topDrvAdapIf_getLockState(uint32_t* state);
// 1 = master clock good.
int topDrvAdapIf_getMasterClockState(uint32_t* state);
// 1 = master service available.
int topDrvAdapIf_getMasterServiceState(uint32_t* state);
int topDrvAdapIf_setMasterIp(unsigned long masterIp);
int topDrvAdapIf_setMessageRate(int logMeanSync);
// Current phase error in nanoseconds.
int topDrvAdapIf_getPhaseError(float* phaseError);
// Seconds with sync lost: free-running 32-bit counter.
int topDrvAdapIf_getSLS(uint32_t* counter);
// Sync messages not received: free-running 32-bit counter.
int topDrvAdapIf_getNoRxSyncMsg(uint32_t* counter);

#ifdef __cplusplus
}
#endif
