// What the device interface table (device_interface.cpp) and its notifications
// (interface_notification.cpp) share. Lock order: the interface table's lock, then the
// notifications' lock, then the scheduler's.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/hostk/client.h"

namespace hostk {

// The table reports each change of an interface's state, with its lock held, so that a watch
// registered under the same lock sees each change exactly once: in its existing interfaces or as a
// notification.
void IoNoteInterfaceChange(bool arrival, const GUID& classGuid, const std::string& symbolicLink);

// Calls `visit` with the links of the class's enabled interfaces, the table's lock held.
void IoVisitEnabledInterfaces(const GUID& classGuid,
                              const std::function<void(const std::vector<std::string>&)>& visit);

// Forgets the history, the watches and the notifications not yet delivered.
void IoInterfaceNotificationsResetForNextTest();

}  // namespace hostk
