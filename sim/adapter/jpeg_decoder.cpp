// JPEG decoding with libjpeg-turbo. A fatal error longjmps back to DecodeInto; only plain data
// lives between setjmp and the calls that may jump, and `image` was built by the caller.
#include "sim/adapter/jpeg_decoder.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace kxsim {
namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf jump;
  DecodedImage* image;
};

void RecordMessage(j_common_ptr info) {
  ErrorManager* errors = (ErrorManager*)info->err;
  if (!errors->image->message.empty()) return;
  char text[JMSG_LENGTH_MAX];
  info->err->format_message(info, text);
  errors->image->message = text;
}

void ErrorExit(j_common_ptr info) {
  ErrorManager* errors = (ErrorManager*)info->err;
  errors->image->message.clear();
  RecordMessage(info);
  longjmp(errors->jump, 1);
}

// Level -1 is a warning; higher levels are trace messages, which the far side ignores.
void EmitMessage(j_common_ptr info, int level) {
  if (level >= 0) return;
  ErrorManager* errors = (ErrorManager*)info->err;
  errors->image->warnings++;
  RecordMessage(info);
}

void DecodeInto(const uint8_t* data, size_t size, DecodedImage* image) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  errors.image = image;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = ErrorExit;
  errors.base.emit_message = EmitMessage;
  if (setjmp(errors.jump)) {
    image->ok = false;
    jpeg_destroy_decompress(&info);
    return;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data, (unsigned long)size);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  image->width = info.output_width;
  image->height = info.output_height;
  image->rgb.assign((size_t)image->width * image->height * 3, 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &image->rgb[(size_t)info.output_scanline * image->width * 3];
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  image->ok = true;
}

}  // namespace

DecodedImage DecodeJpeg(const uint8_t* data, size_t size) {
  DecodedImage image;
  if (size == 0) {
    image.message = "empty stream";
    return image;
  }
  DecodeInto(data, size, &image);
  return image;
}

}  // namespace kxsim
