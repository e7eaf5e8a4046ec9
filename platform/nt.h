// The one header driver code includes. The kernel build takes the platform's own headers; the host
// build takes the host kernel's declarations of the same names.
#pragma once

#if defined(KX_KERNEL_BUILD)
// wdm.h redefines these intrinsics in C++ unless told they exist.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
// The mingw-w64 usbdlib.h declares USBD.SYS's routines without C linkage.
extern "C" {
#include <usbdlib.h>
}
#define KX_WSTR(s) L##s
// The system-mapping flag of Windows 8 and later, which these headers predate; older systems
// ignore it.
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif
#else
#include "host/ntddk.h"
#include "host/usb.h"
#include "host/usbdlib.h"
#define KX_WSTR(s) u##s
// The host build of the driver names the place of every call that may fail for want of resources.
#if defined(KX_ALLOCATION_SITES)
#include "host/allocation_site_macros.h"
#endif
#endif

// A tag as it reads in memory: KX_POOL_TAG('2','0','0','M') reads "200M".
#define KX_POOL_TAG(a, b, c, d) \
  ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
