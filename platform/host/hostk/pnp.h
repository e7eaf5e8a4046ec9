// The Plug and Play manager: loads a driver from its service key, builds device stacks over the
// physical device objects that buses (and the simulated world) report, sends Plug and Play and
// power requests to the top of a stack, and unloads a driver once its last device is gone.
#pragma once

#include <string>

#include "host/io.h"

namespace hostk {

// The service key of a driver: \Registry\Machine\System\CurrentControlSet\Services\<name>.
std::string ServiceKeyPath(const std::string& serviceName);

// Creates the service key, then the driver object "\Driver\<name>", and calls the entry routine
// with the service key path. nullptr (nothing left behind) when the entry routine fails; its status
// goes to *status when given.
PDRIVER_OBJECT PnpLoadDriver(const std::string& serviceName, PDRIVER_INITIALIZE entry,
                             NTSTATUS* status = nullptr);

// Calls the driver's AddDevice for a physical device object. A driver whose AddDevice fails and
// that has no device left is unloaded, as the platform does.
NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// Sends a Plug and Play (IRP_MJ_PNP) or power (IRP_MJ_POWER) request to the top of the stack that
// `device` belongs to and waits for its end. `parameters`, when given, supplies the stack
// location's Parameters. A Plug and Play request starts with STATUS_NOT_SUPPORTED in its status
// block, as the platform sends them, so a request nobody handles keeps that answer.
NTSTATUS PnpSendRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                        const IO_STACK_LOCATION* parameters = nullptr,
                        ULONG_PTR* information = nullptr);

// IRP_MN_REMOVE_DEVICE to the stack over `physicalDevice`; when the driver of the stack has no
// device left afterwards it is unloaded (and the verifier checks that it left no pool).
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT physicalDevice);

// The device behind `physicalDevice` is gone without warning: IRP_MN_SURPRISE_REMOVAL to its stack
// (a request drivers must not fail), then IRP_MN_REMOVE_DEVICE as PnpRemoveDevice sends it. The
// platform holds the removal until the last handle is closed; callers close theirs first.
NTSTATUS PnpSurpriseRemoveDevice(PDEVICE_OBJECT physicalDevice);

// Unloads a driver that has no device left.
void PnpUnloadDriver(PDRIVER_OBJECT driver);

// A physical device object of a plain bus that completes every request reaching it with success:
// the stand-in below a function driver until a real bus (the simulated USB stack) is there.
PDEVICE_OBJECT PnpCreatePlainBusDevice();
void PnpDeletePlainBusDevice(PDEVICE_OBJECT device);

}  // namespace hostk
