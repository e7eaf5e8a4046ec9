// The displays on the far side of the adapter: per display identifier its mode, whether it takes
// frame data, and its frame buffer, into which every decoded rectangle is drawn.
//
// A mode (command 1) makes a display active; a mode of another size gives it a new, black frame
// buffer, one of the same size keeps the picture. A stop (command 2) makes it take no frame data
// until its next mode; the picture stays.
#pragma once

#include <map>
#include <vector>

#include "sim/adapter/command_block.h"
#include "sim/adapter/jpeg_decoder.h"

namespace kxsim {

struct FarDisplayState {
  LONG id = 0;
  bool active = false;   // a mode came, and no stop since
  bool stopped = false;  // a stop came since the last mode
  ModeFields mode;
  ULONG modes = 0;
  ULONG stops = 0;
  ULONG rectangles = 0;         // drawn
  ULONGLONG payloadBytes = 0;   // JPEG bytes of the drawn rectangles
  ULONGLONG payloadDigest = 0;  // a digest of those bytes, rectangle after rectangle
  ULONGLONG pixels = 0;         // the drawn rectangles' area
  // What the display's traffic took on channel 1: its mode, stop and frame-data blocks and the
  // drawn rectangles' payloads padded to whole blocks, as they were sent.
  ULONGLONG wireBytes = 0;
  std::vector<uint8_t> rgb;     // mode.width x mode.height x 3, row after row

  // 0xRRGGBB of the pixel at (x, y).
  ULONG Pixel(unsigned x, unsigned y) const;
};

class FarDisplays {
 public:
  static constexpr USHORT kMaxSide = 8192;

  // False, and nothing changes, for a mode without a usable size.
  bool SetMode(LONG id, const ModeFields& mode);
  void Stop(LONG id);
  const FarDisplayState* Find(LONG id) const;
  // Draws a decoded rectangle at (x, y); the caller has checked that it fits.
  void Draw(LONG id, unsigned x, unsigned y, const DecodedImage& image, const uint8_t* payload,
            ULONG payloadBytes);
  // Counts a rectangle of `width` x `height` that arrived without drawing it.
  void Count(LONG id, unsigned width, unsigned height, const uint8_t* payload,
             ULONG payloadBytes);
  std::vector<LONG> Ids() const;
  ULONG Rectangles() const { return rectangles_; }
  // The display identifier of every rectangle drawn, in the order they arrived.
  const std::vector<LONG>& Order() const { return order_; }

 private:
  std::map<LONG, FarDisplayState> displays_;
  ULONG rectangles_ = 0;
  std::vector<LONG> order_;
};

}  // namespace kxsim
