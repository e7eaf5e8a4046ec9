// Stand-in until the Plug and Play manager enumerates: the request is noted and dropped.
#include "host/io.h"

VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT, DEVICE_RELATION_TYPE) {}
