// The display stack's driver of one output, as an indirect display driver runs on a display child:
// it reads the child's description, sets the output's mode, hands changed rectangles over from its
// own user memory, and stops the output. Every call is a device-control request that reaches the
// top of the child's stack from user mode, with the buffers the control codes expect.
#pragma once

#include <memory>
#include <vector>

#include "host/hostk.h"
#include "host/ntddk.h"
#include "sim/display/canvas.h"

namespace kxsim {

// The control codes of a display child.
constexpr ULONG kDisplayGetDescriptionSize = 0x222B00;
constexpr ULONG kDisplayGetDescription = 0x222B04;
constexpr ULONG kDisplaySetMode = 0x222B08;
constexpr ULONG kDisplayPresent = 0x222B0F;
constexpr ULONG kDisplayStop = 0x222B10;
constexpr ULONG kDisplaySetInfo = 0x222B14;

// One control code from user mode: METHOD_NEITHER passes the two addresses as they are, the
// buffered codes go through a system buffer. The request's status; its information when it
// succeeded (0 otherwise).
NTSTATUS DisplayIoctl(PDEVICE_OBJECT device, ULONG code, void* input, ULONG inputLength,
                      void* output, ULONG outputLength, ULONG_PTR* information = nullptr);

// The 32-byte update descriptor, little-endian, as a display driver lays it out.
std::vector<uint8_t> UpdateDescriptorBytes(LONG left, LONG top, LONG right, LONG bottom,
                                           ULONG sourceOffset, LONG pitch, ULONG totalSize,
                                           UCHAR bitsPerPixel = 32);

class SimulatedDisplayDriver {
 public:
  // Holds a reference on the top of the child's stack for its lifetime.
  explicit SimulatedDisplayDriver(PDEVICE_OBJECT child);
  ~SimulatedDisplayDriver();
  SimulatedDisplayDriver(const SimulatedDisplayDriver&) = delete;
  SimulatedDisplayDriver& operator=(const SimulatedDisplayDriver&) = delete;

  // The size, then the description itself.
  NTSTATUS ReadDescription(std::vector<uint8_t>* description);
  NTSTATUS SetMode(USHORT width, USHORT height, USHORT bitsPerPixel = 32, USHORT extra = 0);
  // A desktop of width x height pixels of 4 bytes, rows packed: copied into the driver's user
  // memory, then the rectangle handed over from there.
  NTSTATUS Present(const uint8_t* pixels, int width, int height, LONG left, LONG top, LONG right,
                   LONG bottom);
  // The driver's own desktop surface in its user memory, width x height pixels of 4 bytes with
  // rows packed, for a compositor to draw on; made black at the first call and whenever the size
  // changes, kept otherwise.
  Canvas Surface(int width, int height);
  // Hands over a rectangle of the surface.
  NTSTATUS PresentSurface(LONG left, LONG top, LONG right, LONG bottom);
  NTSTATUS Stop();
  NTSTATUS SetInfo(ULONG first, ULONG second, ULONG third);

 private:
  PDEVICE_OBJECT target_;
  std::unique_ptr<hostk::UserBuffer> frame_;  // the surface
  int width_ = 0;
  std::unique_ptr<hostk::UserBuffer> descriptor_;
};

}  // namespace kxsim
