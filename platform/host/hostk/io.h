// The I/O manager as tests and the simulated world see it: driver objects, device records, the
// requests in flight.
#pragma once

#include <cstdint>
#include <string>

#include "host/io.h"

namespace hostk {

// A driver object as the loader makes it: every major function answers
// STATUS_INVALID_DEVICE_REQUEST until the entry routine installs its own, and DriverExtension is set.
// `name` is the driver's name ("\Driver\KxBusIdd").
PDRIVER_OBJECT IoCreateDriverObject(const char* name);

// Calls DriverUnload (if any) and then checks what the platform's verifier checks at unload: no
// device object of the driver left and no pool left (listed by tag); both are bug checks. The
// driver object is released afterwards.
void IoUnloadDriver(PDRIVER_OBJECT driver);

// Releases a driver object that was never loaded for real (a test's or the simulated world's own).
void IoDeleteDriverObject(PDRIVER_OBJECT driver);

// The name given to IoCreateDevice ("" when unnamed); whether IoDeleteDevice ran.
std::string IoDeviceName(PDEVICE_OBJECT device);
bool IoIsDeviceDeleted(PDEVICE_OBJECT device);
// The device this one was attached to by IoAttachDeviceToDeviceStack (nullptr when none).
PDEVICE_OBJECT IoLowerDevice(PDEVICE_OBJECT device);
// A device created by IoCreateDevice with this name, or nullptr.
PDEVICE_OBJECT IoFindDeviceByName(const std::string& name);

// Requests allocated and not yet freed (by IoAllocateIrp, the IoBuild* calls, or the client I/O
// manager), and a line per request for leak reports.
size_t IoLiveIrpCount();
// The n-th request allocation from now fails (1 = the next; 0 disarms), as IoAllocateIrp can.
void IoFailIrpAllocation(uint64_t n);
std::string IoLiveIrpReport();

// Work items still waiting in the queue for a device (the work item module keeps the count); a
// device with any is not deleted (bug check).
void IoNoteWorkItemQueued(PDEVICE_OBJECT device, int delta);
LONG IoQueuedWorkItemCount(PDEVICE_OBJECT device);
size_t WorkQueuePendingCount();
// While held, queued work items wait in the queue (tests look at what a queued item holds);
// releasing starts them.
void WorkQueueHold(bool held);  // work items queued or running, on every device

// Threaded requests are finished by the I/O manager when their completion walk reaches the top:
// the status block is filled, buffered output copied back by the information count, MDLs unlocked
// and freed, the event signalled and the request freed. The client I/O manager builds its requests
// this way too, with `userBufferForCopyBack` receiving buffered output.
void IoMarkIrpThreaded(PIRP irp);

// A buffered request's system buffer, from the pool with the tag "IoSB"; a threaded request with
// IRP_DEALLOCATE_BUFFER frees it when it finishes.
PVOID IoAllocateSystemBuffer(SIZE_T size);

}  // namespace hostk
