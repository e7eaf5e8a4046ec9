#include "jpeg_test_support.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <random>

#include <jpeglib.h>

namespace jpegtest {
namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf jump;
  long warnings;
  char lastWarning[JMSG_LENGTH_MAX];
  char message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr common) {
  auto* manager = reinterpret_cast<ErrorManager*>(common->err);
  manager->base.format_message(common, manager->message);
  longjmp(manager->jump, 1);
}

// Level -1 is a warning (corrupt data and the like); higher levels are trace messages.
void EmitMessage(j_common_ptr common, int level) {
  auto* manager = reinterpret_cast<ErrorManager*>(common->err);
  if (level < 0) {
    manager->warnings++;
    manager->base.format_message(common, manager->lastWarning);
  }
}

jpeg_error_mgr* InitErrors(ErrorManager* manager) {
  jpeg_error_mgr* base = jpeg_std_error(&manager->base);
  base->error_exit = ErrorExit;
  base->emit_message = EmitMessage;
  manager->warnings = 0;
  manager->lastWarning[0] = '\0';
  manager->message[0] = '\0';
  return base;
}

// Runs between setjmp and the end of the decode: only the pointed-to result is touched.
bool DecodeInto(const std::vector<uint8_t>& stream, Decoded* out, ErrorManager* errors) {
  jpeg_decompress_struct info;
  info.err = InitErrors(errors);
  if (setjmp(errors->jump)) {
    out->error = errors->message;
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, stream.data(), stream.size());
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  out->width = info.output_width;
  out->height = info.output_height;
  out->rgb.resize(size_t(out->width) * out->height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &out->rgb[size_t(info.output_scanline) * out->width * 3];
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool ReadCoefficientsInto(const std::vector<uint8_t>& stream, Coefficients* out,
                          ErrorManager* errors) {
  jpeg_decompress_struct info;
  info.err = InitErrors(errors);
  if (setjmp(errors->jump)) {
    out->error = errors->message;
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, stream.data(), stream.size());
  jpeg_read_header(&info, TRUE);
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
  int maxH = info.max_h_samp_factor;
  int maxV = info.max_v_samp_factor;
  int mcusPerRow = (int(info.image_width) + 8 * maxH - 1) / (8 * maxH);
  int mcuRows = (int(info.image_height) + 8 * maxV - 1) / (8 * maxV);
  for (int c = 0; c < info.num_components; c++) {
    const jpeg_component_info& component = info.comp_info[c];
    CoefficientPlane plane;
    plane.h = component.h_samp_factor;
    plane.v = component.v_samp_factor;
    plane.blocksWide = mcusPerRow * plane.h;
    plane.blocksHigh = mcuRows * plane.v;
    plane.coefficients.resize(size_t(plane.blocksWide) * plane.blocksHigh * 64);
    for (int by = 0; by < plane.blocksHigh; by++) {
      JBLOCKARRAY rows = info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info),
                                                      arrays[c], by, 1, FALSE);
      for (int bx = 0; bx < plane.blocksWide; bx++) {
        std::copy(rows[0][bx], rows[0][bx] + 64,
                  &plane.coefficients[(size_t(by) * plane.blocksWide + bx) * 64]);
      }
    }
    out->planes.push_back(std::move(plane));
  }
  for (int t = 0; t < NUM_QUANT_TBLS; t++) {
    if (info.quant_tbl_ptrs[t] == nullptr) continue;
    out->quantTables.resize(t + 1);
    out->quantTables[t].assign(info.quant_tbl_ptrs[t]->quantval,
                               info.quant_tbl_ptrs[t]->quantval + 64);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool CompressInto(const Image& image, int quality, int sampling, unsigned char** memory,
                  unsigned long* size, ErrorManager* errors) {
  jpeg_compress_struct info;
  info.err = InitErrors(errors);
  if (setjmp(errors->jump)) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, memory, size);
  info.image_width = image.width;
  info.image_height = image.height;
  info.input_components = 4;
  info.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  info.comp_info[0].h_samp_factor = sampling == 0 ? 1 : 2;
  info.comp_info[0].v_samp_factor = sampling == 3 ? 2 : 1;
  for (int c = 1; c < 3; c++) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
  info.restart_interval = 1;
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.Pixel(0, info.next_scanline));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

uint8_t Clamp(int value) { return uint8_t(std::min(255, std::max(0, value))); }

}  // namespace

Image SyntheticImage(int width, int height, uint32_t seed) {
  Image image;
  image.width = width;
  image.height = height;
  image.bgrx.resize(size_t(width) * height * 4);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> noise(-40, 40);
  std::uniform_int_distribution<int> glyph(0, 9);
  int strokes = 1 + int(random() % 5);
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      uint8_t* p = &image.bgrx[(size_t(y) * width + x) * 4];
      int zone = ((x * 4) / std::max(width, 1) + (y * 3) / std::max(height, 1)) % 4;
      int b, g, r;
      if (zone == 0) {  // smooth gradient
        r = x * 255 / std::max(width - 1, 1);
        g = y * 255 / std::max(height - 1, 1);
        b = (x + 2 * y) % 256;
      } else if (zone == 1) {  // photo-like: smooth plus noise
        r = 120 + int(60 * std::sin(x * 0.11) * std::cos(y * 0.07)) + noise(random);
        g = 100 + int(50 * std::cos(x * 0.05 + y * 0.03)) + noise(random);
        b = 90 + (x * y) % 70 + noise(random);
      } else if (zone == 2) {  // text: dark strokes on white
        bool ink = (x % 7 < 1 + (y / 9) % 2 && y % 11 < 8) || ((x + y * strokes) % 13 == 0 &&
                                                             glyph(random) < 6);
        r = g = b = ink ? 20 : 250;
      } else {  // flat panel with a saturated edge
        r = x % 32 < 3 ? 255 : 40;
        g = 90;
        b = y % 24 < 2 ? 255 : 160;
      }
      p[0] = Clamp(b);
      p[1] = Clamp(g);
      p[2] = Clamp(r);
      p[3] = uint8_t(random());  // the ignored byte must not matter
    }
  }
  return image;
}

Image FlatImage(int width, int height, uint8_t blue, uint8_t green, uint8_t red) {
  Image image;
  image.width = width;
  image.height = height;
  image.bgrx.resize(size_t(width) * height * 4);
  for (size_t i = 0; i < image.bgrx.size(); i += 4) {
    image.bgrx[i] = blue;
    image.bgrx[i + 1] = green;
    image.bgrx[i + 2] = red;
    image.bgrx[i + 3] = 0xA5;
  }
  return image;
}

Image LoadPng(const std::string& path, bool* ok) {
  Image image;
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  *ok = false;
  if (!png_image_begin_read_from_file(&png, path.c_str())) return image;
  png.format = PNG_FORMAT_BGRA;
  image.width = int(png.width);
  image.height = int(png.height);
  image.bgrx.resize(PNG_IMAGE_SIZE(png));
  *ok = png_image_finish_read(&png, nullptr, image.bgrx.data(), 0, nullptr) != 0;
  png_image_free(&png);
  return image;
}

std::string CorpusDir() {
  std::error_code error;
  return std::filesystem::is_directory(KX_CORPUS_DIR, error) ? KX_CORPUS_DIR : "";
}

std::vector<std::string> CorpusImages() {
  std::vector<std::string> paths;
  std::string dir = CorpusDir();
  if (dir.empty()) return paths;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".png") paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

Encoded Encode(const Image& image, int quality, int sampling, long capacity) {
  Encoded encoded;
  size_t size = capacity >= 0 ? size_t(capacity) : size_t(image.width) * image.height * 8 + 65536;
  encoded.bytes.resize(std::max<size_t>(size, 1));
  JpegEncodeParams params{};
  params.Width = image.width;
  params.Height = image.height;
  params.Channels = 4;
  params.Source = image.bgrx.data();
  params.SourcePitch = image.width * 4;
  params.Quality = quality;
  params.Sampling = sampling;
  params.Output = encoded.bytes.data();
  params.OutputCapacity = LONG(size);
  params.OutputLength = -1;
  encoded.result = JpegEncodeFrame(&params);
  encoded.bytes.resize(encoded.result == JpegResultOk ? size_t(params.OutputLength) : 0);
  return encoded;
}

Encoded EncodeThreeChannel(const Image& image, int quality, int sampling) {
  std::vector<uint8_t> bgr;
  for (size_t i = 0; i < image.bgrx.size(); i += 4) {
    bgr.insert(bgr.end(), image.bgrx.begin() + i, image.bgrx.begin() + i + 3);
  }
  Encoded encoded;
  encoded.bytes.resize(size_t(image.width) * image.height * 8 + 65536);
  JpegEncodeParams params{};
  params.Width = image.width;
  params.Height = image.height;
  params.Channels = 3;
  params.Source = bgr.data();
  params.SourcePitch = image.width * 3;
  params.Quality = quality;
  params.Sampling = sampling;
  params.Output = encoded.bytes.data();
  params.OutputCapacity = LONG(encoded.bytes.size());
  encoded.result = JpegEncodeFrame(&params);
  encoded.bytes.resize(encoded.result == JpegResultOk ? size_t(params.OutputLength) : 0);
  return encoded;
}

Decoded Decode(const std::vector<uint8_t>& stream) {
  Decoded decoded;
  ErrorManager errors;
  decoded.ok = DecodeInto(stream, &decoded, &errors);
  decoded.warnings = errors.warnings;
  decoded.lastWarning = errors.lastWarning;
  return decoded;
}

Coefficients ReadCoefficients(const std::vector<uint8_t>& stream) {
  Coefficients coefficients;
  ErrorManager errors;
  coefficients.ok = ReadCoefficientsInto(stream, &coefficients, &errors);
  coefficients.warnings = errors.warnings;
  return coefficients;
}

std::vector<uint8_t> EncodeWithLibjpeg(const Image& image, int quality, int sampling) {
  unsigned char* memory = nullptr;
  unsigned long size = 0;
  ErrorManager errors;
  std::vector<uint8_t> stream;
  if (CompressInto(image, quality, sampling, &memory, &size, &errors)) {
    stream.assign(memory, memory + size);
  }
  free(memory);
  return stream;
}

double Psnr(const Image& source, const Decoded& decoded) {
  double squared = 0;
  for (int y = 0; y < source.height; y++) {
    for (int x = 0; x < source.width; x++) {
      const uint8_t* s = source.Pixel(x, y);
      const uint8_t* d = &decoded.rgb[(size_t(y) * source.width + x) * 3];
      for (int c = 0; c < 3; c++) {
        double difference = double(s[2 - c]) - double(d[c]);
        squared += difference * difference;
      }
    }
  }
  double mse = squared / (3.0 * source.width * source.height);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::vector<Marker> ParseMarkers(const std::vector<uint8_t>& s) {
  std::vector<Marker> markers;
  size_t i = 0;
  while (i + 1 < s.size()) {
    if (s[i] != 0xFF) break;
    Marker marker;
    marker.code = s[i + 1];
    marker.offset = i;
    bool standalone = marker.code == 0xD8 || marker.code == 0xD9 ||
                      (marker.code >= 0xD0 && marker.code <= 0xD7);
    if (!standalone && i + 3 < s.size()) marker.length = (s[i + 2] << 8) | s[i + 3];
    markers.push_back(marker);
    i += 2 + size_t(marker.length);
    if (marker.code != 0xDA) continue;
    // Entropy-coded data up to the next marker that is neither stuffing nor a restart.
    while (i + 1 < s.size()) {
      if (s[i] != 0xFF) {
        i++;
      } else if (s[i + 1] == 0x00) {
        i += 2;
      } else if (s[i + 1] >= 0xD0 && s[i + 1] <= 0xD7) {
        markers.push_back(Marker{s[i + 1], i, 0});
        i += 2;
      } else {
        break;
      }
    }
  }
  return markers;
}

std::vector<uint8_t> MarkerCodes(const std::vector<Marker>& markers) {
  std::vector<uint8_t> codes;
  for (const Marker& marker : markers) codes.push_back(marker.code);
  return codes;
}

}  // namespace jpegtest
