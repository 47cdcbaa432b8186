/*
 * libtarvo: the EPC chip driver's exported values.
 *
 * The EPC driver itself is reached through its operation table
 * g_tarvo_driver_op_epc (tarvo_drv.h). Declared here: the frame valid flag
 * that the driver keeps for the camera bound to the EPC engine, and the
 * fixed calibration file names that applications driving the engine
 * directly may use (the library does not read them).
 */
#ifndef TARVO_EPC_DRV_H
#define TARVO_EPC_DRV_H

#include "tarvo_types.h"

TARVO_BEGIN_DECLS

/**
 * Frame valid flag of the EPC driver bound to the engine's camera: 1 after
 * the driver described a frame, 0 after a decode of it failed. Returns 1
 * when no camera is bound (or its driver did not start). Any thread.
 */
TARVO_API uint8_t epc_adapater_get_frame_valid(void);

/** Sets the frame valid flag of the bound camera's driver; nothing when none is bound. Any thread.
 */
TARVO_API void epc_adapater_set_frame_valid(uint8_t valid);

/** "./calibration/" */
TARVO_API extern const char pathdir[];
/** Factory and user offset files under pathdir. */
TARVO_API extern const char *const pathOffset[2];
/** Factory and user fixed-pattern calibration files under pathdir. */
TARVO_API extern const char *const pathFPN[2];
/** "calib.bin", "calib_usr.bin" */
TARVO_API extern const char *const calib_file_name[2];

TARVO_END_DECLS

#endif /* TARVO_EPC_DRV_H */
