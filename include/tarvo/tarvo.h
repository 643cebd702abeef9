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
#include <tarvo/epc_calc.h>
#include <tarvo/epc_config.h>
#include <tarvo/epc_gray.h>
#include <tarvo/transfer.h>

#endif /* TARVO_TARVO_H */
