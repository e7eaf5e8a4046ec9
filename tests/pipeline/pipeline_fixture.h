// The driver on the virtual adapter, started, with display children made by hand and bound to
// channels, and the display driver's side of a child: control codes sent on the child as a user
// process sends them, with its buffers in registered user memory.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "driver/kxbus.h"
#include "host/hostk/user_memory.h"
#include "sim/adapter/virtual_adapter.h"
#include "sim/display/display_driver.h"
#include "sim/usb/usb_port.h"
#include "support/kernel_test_util.h"
#include "tools/kxsim/png_file.h"
#include "tools/kxsim/wire_watch.h"

namespace kxtest {

// The 32-byte update descriptor, little-endian, as a display driver lays it out.
inline std::vector<uint8_t> DescriptorBytes(LONG left, LONG top, LONG right, LONG bottom,
                                            ULONG offset, LONG pitch, ULONG totalSize,
                                            UCHAR bitsPerPixel = 32) {
  return kxsim::UpdateDescriptorBytes(left, top, right, bottom, offset, pitch, totalSize,
                                      bitsPerPixel);
}

class PipelineTest : public testing::Test {
 protected:
  void TearDown() override;

  // How Plug leaves the adapter: started by the Plug and Play manager with its whole start-up
  // programming; only added; or configured and put into the started state by hand, with none of
  // the adapter's programming.
  enum class Start { PlugAndPlay, None, ByHand };
  // The adapter and the driver added above it, with the compression options of the registry
  // (quality 75, sampling 3 unless set).
  void Plug(kxsim::VirtualAdapterOptions options = {}, Start start = Start::PlugAndPlay);
  // A display child bound to `channel`, its display announced as `displayId`.
  PDEVICE_OBJECT AddChild(ULONG channel, LONG displayId);

  // A control code on a child, from user mode: METHOD_NEITHER passes the two addresses as they
  // are, the buffered codes through a system buffer. The request's status; its information when
  // it succeeded.
  NTSTATUS Ioctl(PDEVICE_OBJECT child, ULONG code, void* input, ULONG inputLength, void* output,
                 ULONG outputLength, ULONG_PTR* information = nullptr);
  NTSTATUS SetMode(PDEVICE_OBJECT child, USHORT width, USHORT height, USHORT bitsPerPixel = 32,
                   USHORT extra = 0);
  NTSTATUS Stop(PDEVICE_OBJECT child);
  // Presents the rectangle of `image` (a whole output's pixels, 4 bytes each) from user memory.
  NTSTATUS Present(PDEVICE_OBJECT child, const kxsim::BgrxImage& image, LONG left, LONG top,
                   LONG right, LONG bottom);
  NTSTATUS PresentWhole(PDEVICE_OBJECT child, const kxsim::BgrxImage& image) {
    return Present(child, image, 0, 0, image.width, image.height);
  }

  // Lets virtual time run until every thread waits: the worker has sent what it had.
  void Settle(LONGLONG hundredNs = 10000000);
  // The far side's PSNR against `image`; 0 when the display is unknown.
  double FarPsnr(LONG displayId, const kxsim::BgrxImage& image) const;
  // Fails the test with the adapter's details when it saw any violation.
  void ExpectNoViolations() const;

  std::shared_ptr<kxsim::VirtualAdapter> adapter_;
  std::unique_ptr<kxsim::SimulatedUsbPort> port_;
  kxsim::UsbPortOptions portOptions_;  // what Plug gives the port
  bool watchWire_ = false;             // Plug puts wire_ between the port and the adapter
  std::shared_ptr<kxsim::WireWatch> wire_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  BusDeviceContext* bus_ = nullptr;
  std::vector<PDEVICE_OBJECT> children_;
  // The display driver of each child, made at its first present.
  std::map<PDEVICE_OBJECT, std::unique_ptr<kxsim::SimulatedDisplayDriver>> displayDrivers_;
};

// A field the worker changes with interlocked operations, read the same way.
inline LONG Interlocked(LONG& field) { return InterlockedCompareExchange(&field, 0, 0); }

// Synthetic desktops: a gradient with a few solid boxes, deterministic per seed.
kxsim::BgrxImage SyntheticDesktop(int width, int height, int seed);
// An image of the corpus folder, by file name; an empty image when missing.
kxsim::BgrxImage CorpusImage(const std::string& name);
std::vector<std::string> CorpusNames();
// The PSNR of the driver's encoder on the whole image (quality 75, sampling 3), decoded by
// libjpeg-turbo: what the far side can at best show.
double EncoderPsnr(const kxsim::BgrxImage& image);

}  // namespace kxtest
