// Card environment functions: what the card's environment library tells a
// task about its card and its own resource use.
//
// Environment:
//   TOPADAPTER_TOP_SUPPORTED   1 (default) when the card supports Timing over
//                              Packet, 0 when it does not
//   TOPADAPTER_ML2DRVCIF_FAIL  status (non-zero) that ml2DrvCif_init returns
//                              instead of 0
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// 1 when the card supports Timing over Packet, else 0. Read at every call.
int envInfoTimingOverPacketSupported(void);

// Opens the driver control interface for the task; 0 on success. A task id of
// 0 is refused (-1): the task manager never hands out 0.
int ml2DrvCif_init(unsigned short taskId);

// Resident memory of this process in KiB (from /proc/self/statm); -1 when it
// cannot be read.
int oscwGetActorSize(void);

// Memory still available for new work on this unit (the host), in KiB: the
// kernel's MemAvailable estimate, else free RAM. Capped at INT_MAX; -1 when
// neither can be read.
int oscwGetUnitFreeMem(void);

#ifdef __cplusplus
}

namespace cardenv {

// What ml2DrvCif_init saw, for tests of the start-up sequence.
unsigned ml2DrvCifInitCalls();
unsigned short ml2DrvCifLastTaskId();
void resetMl2DrvCif();

}  // namespace cardenv
#endif
