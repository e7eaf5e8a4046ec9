// What the I/O manager's modules share about device objects and requests.
#pragma once

#include <string>

#include "host/hostk/io.h"

namespace hostk {

// Lives in the same allocation as its DEVICE_OBJECT, reached through DeviceObjectExtension.
struct DeviceRecord {
  std::string name;
  bool deleted = false;
  PDEVICE_OBJECT lower = nullptr;  // what IoAttachDeviceToDeviceStack attached this one to
  LONG queuedWorkItems = 0;
  LONG powerState = PowerDeviceD0;  // what PoSetPowerState was last told
  LONG openHandles = 0;             // clients' handles opened on this device
};

DeviceRecord* RecordOf(PDEVICE_OBJECT device);

// Bug check unless `device` is a live device object.
void CheckDeviceObject(PDEVICE_OBJECT device, const char* what);

// Buffers of requests the I/O manager builds (io_buffers.cpp). Attaching answers
// STATUS_INSUFFICIENT_RESOURCES when the pool has nothing, or the status a probe raised.
NTSTATUS IoAttachSystemBuffer(PIRP irp, ULONG size, const void* input, ULONG copyIn, bool output);
NTSTATUS IoLockCallerBuffer(PIRP irp, PVOID buffer, ULONG length, KPROCESSOR_MODE mode,
                            LOCK_OPERATION operation);
void IoReleaseMdlChain(PIRP irp);
void IoFreeSystemBuffer(PIRP irp);
// Frees a request that never went down, with its buffers.
void IoFreeUnsentRequest(PIRP irp);

// The routine every major function starts with.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

}  // namespace hostk
