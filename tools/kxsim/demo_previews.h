// The pictures report.html carries inline: previews of a display's pictures at the page's width,
// and crops at full scale around the block where the far side differs most. The full pictures
// stay in their PNG files beside the page.
#pragma once

#include <string>
#include <vector>

#include "sim/display/pixel_rect.h"

namespace kxsim {

// An encoded picture for a data: address.
struct InlinePicture {
  std::string mime;   // "image/jpeg" or "image/png"
  std::string bytes;  // the whole file
  int width = 0;
  int height = 0;
};

// `image` shrunk to at most `width` pixels wide (each pixel the mean of those it covers) as a
// JPEG of quality 90 without chroma reduction, which keeps text edges readable.
bool PicturePreview(const BgrxImage& image, int width, InlinePicture* preview, std::string* error);

// A difference picture (red, green, blue rows) shrunk to at most `width` pixels wide as a PNG,
// each pixel the brightest of those it covers in every channel, so that a single wrong pixel
// still shows at the preview's scale.
bool DifferencePreview(int width, int height, const std::vector<uint8_t>& differenceRgb,
                       int previewWidth, InlinePicture* preview, std::string* error);

// The 16 x 16 block of the display's grid whose largest channel difference between `presented`
// and the far side (red, green, blue rows) is the highest, the first such block on a tie;
// `difference` is that value, -1 when the far side has another size.
struct WorstBlock {
  PixelRect block;
  int difference = -1;
};
WorstBlock FindWorstBlock(const BgrxImage& presented, const std::vector<uint8_t>& farRgb);

// The square of `size` pixels centred on `block` and kept inside the picture, for the crops.
PixelRect CropAround(const PixelRect& block, int width, int height, int size);

// `rect` of a picture of red, green, blue rows as a PNG at full scale.
bool CropPicture(int width, int height, const std::vector<uint8_t>& rgb, const PixelRect& rect,
                 InlinePicture* crop, std::string* error);

}  // namespace kxsim
