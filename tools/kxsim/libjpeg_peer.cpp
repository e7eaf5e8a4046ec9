#include "libjpeg_peer.h"

#include <jpeglib.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>

namespace kxsim {
namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr common) {
  auto* manager = reinterpret_cast<ErrorManager*>(common->err);
  manager->base.format_message(common, manager->message);
  longjmp(manager->jump, 1);
}

jpeg_error_mgr* InitErrors(ErrorManager* manager) {
  jpeg_error_mgr* base = jpeg_std_error(&manager->base);
  base->error_exit = ErrorExit;
  manager->message[0] = '\0';
  return base;
}

}  // namespace

#define KX_TEXT_OF(x) #x
#define KX_TEXT(x) KX_TEXT_OF(x)
const char* LibjpegVersion() { return KX_TEXT(LIBJPEG_TURBO_VERSION); }

struct LibjpegEncoder::State {
  jpeg_compress_struct info;
  ErrorManager errors;
  std::vector<JSAMPROW> rows;
};

LibjpegEncoder::LibjpegEncoder() : state_(new State) {
  state_->info.err = InitErrors(&state_->errors);
  jpeg_create_compress(&state_->info);
}

LibjpegEncoder::~LibjpegEncoder() { jpeg_destroy_compress(&state_->info); }

bool LibjpegEncoder::Encode(const BgrxImage& image, int quality, int sampling,
                            std::vector<uint8_t>* output, size_t* length, std::string* error) {
  jpeg_compress_struct& info = state_->info;
  unsigned char* buffer = output->data();
  unsigned long size = output->size();
  state_->rows.resize(size_t(image.height));
  for (int y = 0; y < image.height; y++) {
    state_->rows[size_t(y)] = const_cast<JSAMPROW>(&image.pixels[size_t(y) * image.width * 4]);
  }
  if (setjmp(state_->errors.jump)) {
    *error = state_->errors.message;
    jpeg_abort_compress(&info);
    return false;
  }
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = JDIMENSION(image.width);
  info.image_height = JDIMENSION(image.height);
  info.input_components = 4;
  info.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  info.dct_method = JDCT_ISLOW;
  info.optimize_coding = FALSE;
  info.restart_interval = 1;
  info.comp_info[0].h_samp_factor = sampling == 0 ? 1 : 2;
  info.comp_info[0].v_samp_factor = sampling == 3 ? 2 : 1;
  for (int c = 1; c < 3; c++) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
  jpeg_start_compress(&info, TRUE);
  jpeg_write_scanlines(&info, state_->rows.data(), JDIMENSION(image.height));
  jpeg_finish_compress(&info);
  if (buffer != output->data()) {  // the stream outgrew the buffer: libjpeg-turbo made its own
    free(buffer);
    *error = "output buffer too small";
    return false;
  }
  *length = size;
  return true;
}

bool DecodeToRgb(const uint8_t* stream, size_t size, int* width, int* height,
                 std::vector<uint8_t>* rgb, std::string* error) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  info.err = InitErrors(&errors);
  if (setjmp(errors.jump)) {
    *error = errors.message;
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, stream, (unsigned long)size);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  *width = int(info.output_width);
  *height = int(info.output_height);
  rgb->resize(size_t(*width) * *height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &(*rgb)[size_t(info.output_scanline) * *width * 3];
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

double Psnr(const BgrxImage& source, const std::vector<uint8_t>& rgb) {
  double squared = 0;
  size_t pixels = size_t(source.width) * source.height;
  for (size_t i = 0; i < pixels; i++) {
    for (int c = 0; c < 3; c++) {
      double difference = double(source.pixels[4 * i + 2 - c]) - double(rgb[3 * i + c]);
      squared += difference * difference;
    }
  }
  double mse = squared / (3.0 * double(pixels));
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace kxsim
