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
};

DeviceRecord* RecordOf(PDEVICE_OBJECT device);

// Bug check unless `device` is a live device object.
void CheckDeviceObject(PDEVICE_OBJECT device, const char* what);

// The routine every major function starts with.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

}  // namespace hostk
