/* libtarvo: everything an application needs, in one header. */
#ifndef TARVO_TARVO_H
#define TARVO_TARVO_H

#include <tarvo/export.h>
#include <tarvo/log.h>
#include <tarvo/init.h>
#include <tarvo/ll.h>
#include <tarvo/frame.h>
#include <tarvo/stream.h>
#include <tarvo/dev.h>
#include <tarvo/drv.h>
#include <tarvo/cap.h>
#include <tarvo/frame_time.h>
#include <tarvo/offline.h>
#include <tarvo/epc_calc.h>
#include <tarvo/epc_config.h>
#include <tarvo/epc_calib.h>
#include <tarvo/epc_api.h>
#include <tarvo/epc_gray.h>
#include <tarvo/transfer.h>
#include <tarvo/cmap.h>
#include <tarvo/vecmath.h>
#include <tarvo/lens.h>
#include <tarvo/pcl.h>
#include <tarvo/filter.h>
#include <tarvo/epc_drv.h>
#include <tarvo/frame_image.h>
#include <tarvo/frame_file.h>
#include <tarvo/hotplug.h>

#endif /* TARVO_TARVO_H */
