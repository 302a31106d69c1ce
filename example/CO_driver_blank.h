/* The CAN module driver of this system (polled, over the device manager and
 * the selected CAN backend). The interface is in CO_driver.h. */
#ifndef CO_DRIVER_BLANK_H
#define CO_DRIVER_BLANK_H

#include "CO_driver.h"

#endif
