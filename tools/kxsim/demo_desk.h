// The demo's virtual desk: a computer with the driver, one adapter on its USB port and displays
// behind the adapter, everything reached as the platform reaches it. The Plug and Play manager
// starts the adapter; the display stack finds it by its interface, sets the compression and link
// mode 1; the displays attach (announced by the far side, or by the display stack's attach code);
// the manager enumerates the children the driver reports; and on each child a display driver
// reads the description, sets the preferred mode and presents from its own surface.
//
// The calling thread must be attached to the host kernel for the desk's whole life.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapter_session.h"
#include "demo_options.h"
#include "sim/display/adapter_client.h"
#include "sim/display/display_driver.h"

namespace kxsim {

struct DeskDisplay {
  LONG id = 0;
  int width = 0;
  int height = 0;
  std::string instancePath;  // the child's node in the device tree
  std::unique_ptr<SimulatedDisplayDriver> driver;
  Canvas surface;  // the driver's, for the compositor to draw on
};

class VirtualDesk {
 public:
  VirtualDesk() = default;
  ~VirtualDesk();  // unplugs when Unplug was not called
  VirtualDesk(const VirtualDesk&) = delete;
  VirtualDesk& operator=(const VirtualDesk&) = delete;

  // The adapter at the chosen USB speed (its wire time on the virtual clock), the driver started,
  // and the display stack connected. False with a message when a step failed.
  bool Plug(const DemoOptions& options, std::string* error);
  // Displays with these preferred modes, identifiers 1, 2, ... in order; true once every one of
  // them has a started child with a display driver in the mode.
  bool AttachDisplays(const std::vector<DisplayModeEntry>& modes, std::string* error);

  std::vector<DeskDisplay>& Displays() { return displays_; }
  AdapterSession& Session() { return session_; }
  // The speed the driver reports through its control code: 0 full, 1 high, 2 SuperSpeed.
  ULONG DriverUsbSpeed() const { return driverUsbSpeed_; }
  // The link name of the adapter interface the display stack opened.
  std::string InterfaceName() const { return client_ ? client_->InterfaceName() : ""; }

  // Waits until the frame worker has put everything it was given on the wire: nothing moved on
  // the wire and no transfer was pending while every thread waited. False when that did not
  // happen within `limit` of virtual time.
  bool WaitUntilIdle(LONGLONG limit);

  // Each display driver stops its output and lets go of its child, the display stack closes its
  // handle, and the adapter is removed. The removal's failure as a message.
  bool Unplug(std::string* error);

 private:
  bool Announce(const std::vector<DisplayModeEntry>& modes, std::string* error);
  // The started children of the adapter in the device tree.
  std::vector<std::string> StartedChildren() const;
  bool OpenDisplay(const std::string& instancePath, std::string* error);

  AdapterSession session_;
  std::unique_ptr<AdapterClient> client_;
  AttachPath attach_ = AttachPath::FarSide;
  ULONG driverUsbSpeed_ = 0;
  std::vector<DeskDisplay> displays_;
  bool plugged_ = false;
};

}  // namespace kxsim
