/* HID transport over hidapi (internal). */
#ifndef TAVRIX_HIDAPI_H
#define TAVRIX_HIDAPI_H

#include <hidapi.h>

#ifdef __cplusplus
extern "C" {
#endif

/* First entry of an enumeration that is the adapter (vendor 0x16C0, product
 * 0x2020) and whose path fits the path buffer; null when there is none. */
const struct hid_device_info *tavrix_hid_pick(const struct hid_device_info *list);

#ifdef __cplusplus
}
#endif

#endif
