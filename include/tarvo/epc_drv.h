/* The EPC driver's glue for applications that drive the EPC pipeline directly: binding a
 * camera to the pipeline (g_zr_dev), standalone use without an opened handle, and the
 * frame-valid flag that the driver keeps for the newest frame.
 *
 * Thread context: epc_adapter_init and epc_adapter_uninit are not thread-safe; call them from
 * the thread that drives the pipeline. The frame-valid functions are thread-safe. */
#ifndef TARVO_EPC_DRV_H
#define TARVO_EPC_DRV_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* With a device: binds it to the pipeline (g_zr_dev), reads its chip information (parameter 7)
 * and starts the pipeline's configuration with the driver's defaults; false when the chip
 * information cannot be read (g_zr_dev is cleared then). With NULL: initialises the library,
 * opens the first camera itself and binds it (standalone use); false when no camera opens. */
TARVO_API bool epc_adapter_init(tarvo_dev_t *dev);

/* Closes a camera that epc_adapter_init(NULL) opened, and uninitialises the library then; in
 * every case forgets the bound device. */
TARVO_API void epc_adapter_uninit(void);

/* The frame-valid flag of the bound camera's driver: 1 while the newest frame is good, 0 after
 * a refused decode, a wrong length or a failed signal check. Setting has no effect and reading
 * gives 1 while no camera is bound. */
TARVO_API void epc_adapater_set_frame_valid(uint8_t valid);
TARVO_API uint8_t epc_adapater_get_frame_valid(void);

TARVO_END_DECLS

#endif /* TARVO_EPC_DRV_H */
