// The 32-bit x86 layouts of the platform records the driver sizes requests with. The driver takes
// every size from sizeof, so the host build (64-bit pointers) gets its own; here the platform's
// headers must give the sizes a 32-bit USB stack expects, or the image would send it requests of the
// wrong length.
#include "nt.h"

// usb/: URB lengths written into UrbHeader.Length and pool sizes.
static_assert(sizeof(struct _URB_HEADER) == 16, "URB header");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk transfer URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "descriptor request URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe reset URB");
// Select configuration with one interface and one pipe; the deselect request has the same length.
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1) == 60, "one-interface select URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "select configuration URB");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36, "interface information with one pipe");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 8, "interface list entry");

// The capabilities a child reports in its IRP_MN_QUERY_CAPABILITIES answer.
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "device capabilities");
