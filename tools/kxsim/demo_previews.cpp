#include "demo_previews.h"

#include <algorithm>

#include "demo_pictures.h"
#include "libjpeg_peer.h"
#include "png_file.h"
#include "sim/display/canvas.h"

namespace kxsim {
namespace {

constexpr int kPreviewQuality = 90;
constexpr int kBlock = 16;

// The preview's size: the picture's own when it is no wider than `width`.
void PreviewSize(int width, int height, int previewWidth, int* outWidth, int* outHeight) {
  *outWidth = std::max(1, std::min(width, previewWidth));
  *outHeight = std::max(1, int(int64_t(height) * *outWidth / std::max(1, width)));
}

}  // namespace

bool PicturePreview(const BgrxImage& image, int width, InlinePicture* preview,
                    std::string* error) {
  if (image.width <= 0 || image.height <= 0) {
    *error = "no picture to preview";
    return false;
  }
  BgrxImage small;
  PreviewSize(image.width, image.height, width, &small.width, &small.height);
  small.pixels.assign(size_t(small.width) * small.height * 4, 0);
  BlitScaled(CanvasOf(&small), {0, 0, small.width, small.height}, image);
  std::vector<uint8_t> stream(size_t(small.width) * small.height * 4 + 65536);
  size_t length = 0;
  LibjpegEncoder encoder;
  if (!encoder.Encode(small, kPreviewQuality, 0, &stream, &length, error)) return false;
  preview->mime = "image/jpeg";
  preview->bytes.assign(reinterpret_cast<const char*>(stream.data()), length);
  preview->width = small.width;
  preview->height = small.height;
  return true;
}

bool DifferencePreview(int width, int height, const std::vector<uint8_t>& differenceRgb,
                       int previewWidth, InlinePicture* preview, std::string* error) {
  if (width <= 0 || height <= 0 || differenceRgb.size() < size_t(width) * height * 3) {
    *error = "no difference picture to preview";
    return false;
  }
  int outWidth, outHeight;
  PreviewSize(width, height, previewWidth, &outWidth, &outHeight);
  std::vector<uint8_t> small(size_t(outWidth) * outHeight * 3, 0);
  for (int y = 0; y < height; y++) {
    size_t row = size_t(int64_t(y) * outHeight / height) * outWidth;
    for (int x = 0; x < width; x++) {
      uint8_t* out = &small[(row + size_t(int64_t(x) * outWidth / width)) * 3];
      const uint8_t* in = &differenceRgb[(size_t(y) * width + x) * 3];
      for (int c = 0; c < 3; c++) out[c] = std::max(out[c], in[c]);
    }
  }
  preview->mime = "image/png";
  preview->width = outWidth;
  preview->height = outHeight;
  return EncodeRgbPng(outWidth, outHeight, small, &preview->bytes, error);
}

WorstBlock FindWorstBlock(const BgrxImage& presented, const std::vector<uint8_t>& farRgb) {
  WorstBlock worst;
  size_t pixels = size_t(presented.width) * size_t(presented.height);
  if (pixels == 0 || farRgb.size() != pixels * 3) return worst;
  for (int top = 0; top < presented.height; top += kBlock) {
    for (int left = 0; left < presented.width; left += kBlock) {
      PixelRect block{left, top, std::min(left + kBlock, presented.width),
                      std::min(top + kBlock, presented.height)};
      int largest = 0;
      for (int y = block.top; y < block.bottom; y++) {
        for (int x = block.left; x < block.right; x++) {
          size_t i = size_t(y) * presented.width + x;
          for (int c = 0; c < 3; c++) {
            int difference = std::abs(int(presented.pixels[4 * i + size_t(2 - c)]) -
                                      int(farRgb[3 * i + size_t(c)]));
            largest = std::max(largest, difference);
          }
        }
      }
      if (largest > worst.difference) worst = {block, largest};
    }
  }
  return worst;
}

PixelRect CropAround(const PixelRect& block, int width, int height, int size) {
  int cropWidth = std::min(size, width), cropHeight = std::min(size, height);
  int left = (block.left + block.right) / 2 - cropWidth / 2;
  int top = (block.top + block.bottom) / 2 - cropHeight / 2;
  left = std::max(0, std::min(left, width - cropWidth));
  top = std::max(0, std::min(top, height - cropHeight));
  return {left, top, left + cropWidth, top + cropHeight};
}

bool CropPicture(int width, int height, const std::vector<uint8_t>& rgb, const PixelRect& rect,
                 InlinePicture* crop, std::string* error) {
  if (rect.Empty() || rect.left < 0 || rect.top < 0 || rect.right > width ||
      rect.bottom > height || rgb.size() < size_t(width) * height * 3) {
    *error = "no crop of that picture there";
    return false;
  }
  std::vector<uint8_t> piece;
  piece.reserve(size_t(rect.Width()) * rect.Height() * 3);
  for (int y = rect.top; y < rect.bottom; y++) {
    const uint8_t* row = &rgb[(size_t(y) * width + rect.left) * 3];
    piece.insert(piece.end(), row, row + size_t(rect.Width()) * 3);
  }
  crop->mime = "image/png";
  crop->width = rect.Width();
  crop->height = rect.Height();
  return EncodeRgbPng(rect.Width(), rect.Height(), piece, &crop->bytes, error);
}

}  // namespace kxsim
