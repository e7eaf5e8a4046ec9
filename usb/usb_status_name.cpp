// The names of the USB stack's URB status values, for diagnostics.
#include "driver/kxbus.h"

namespace {

struct StatusName {
  ULONG masked;
  PCSTR name;
};

const StatusName kStatusNames[] = {
    {0x00000, "USBD_STATUS_SUCCESS"},
    {0x00001, "USBD_STATUS_CRC"},
    {0x00002, "USBD_STATUS_BTSTUFF"},
    {0x00003, "USBD_STATUS_DATA_TOGGLE_MISMATCH"},
    {0x00004, "USBD_STATUS_STALL_PID"},
    {0x00005, "USBD_STATUS_DEV_NOT_RESPONDING"},
    {0x00006, "USBD_STATUS_PID_CHECK_FAILURE"},
    {0x00007, "USBD_STATUS_UNEXPECTED_PID"},
    {0x00008, "USBD_STATUS_DATA_OVERRUN"},
    {0x00009, "USBD_STATUS_DATA_UNDERRUN"},
    {0x0000A, "USBD_STATUS_RESERVED1"},
    {0x0000B, "USBD_STATUS_RESERVED2"},
    {0x0000C, "USBD_STATUS_BUFFER_OVERRUN"},
    {0x0000D, "USBD_STATUS_BUFFER_UNDERRUN"},
    {0x0000F, "USBD_STATUS_NOT_ACCESSED"},
    {0x00010, "USBD_STATUS_FIFO"},
    {0x00030, "USBD_STATUS_ENDPOINT_HALTED"},
    {0x00100, "USBD_STATUS_NO_MEMORY"},
    {0x00200, "USBD_STATUS_INVALID_URB_FUNCTION"},
    {0x00300, "USBD_STATUS_INVALID_PARAMETER"},
    {0x00400, "USBD_STATUS_ERROR_BUSY"},
    {0x00500, "USBD_STATUS_REQUEST_FAILED"},
    {0x00600, "USBD_STATUS_INVALID_PIPE_HANDLE"},
    {0x00700, "USBD_STATUS_NO_BANDWIDTH"},
    {0x00800, "USBD_STATUS_INTERNAL_HC_ERROR"},
    {0x00900, "USBD_STATUS_ERROR_SHORT_TRANSFER"},
    {0x00A00, "USBD_STATUS_BAD_START_FRAME"},
    {0x00B00, "USBD_STATUS_ISOCH_REQUEST_FAILED"},
    {0x00C00, "USBD_STATUS_FRAME_CONTROL_OWNED"},
    {0x00D00, "USBD_STATUS_FRAME_CONTROL_NOT_OWNED"},
    {0x10000, "USBD_STATUS_CANCELED"},
    {0x20000, "USBD_STATUS_CANCELING"},
};

}  // namespace

// The class bits (the top two) are masked off: the name says what happened, not how bad it is.
PCSTR UsbStatusName(USBD_STATUS status) {
  ULONG masked = (ULONG)status & 0x3FFFFFFFu;
  for (const StatusName& entry : kStatusNames) {
    if (entry.masked == masked) return entry.name;
  }
  return "(USBD status unknown)";
}
