#include "Jpeg.h"

#include <csetjmp>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

#include "Picture.h"

namespace pictures {

namespace {

// Limits against hostile files: no picture the window could show needs more, and without
// them a small file could ask for gigabytes or for endless progressive scans.
constexpr unsigned long kMaxPixels = 64ul * 1024 * 1024;
constexpr int kMaxScans = 500;

struct TJpegContext {
  jpeg_decompress_struct Info;
  jpeg_error_mgr Errors;
  jpeg_progress_mgr Progress;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
  QImage Image;
  std::vector<JSAMPLE> Scratch;
};

TJpegContext* ContextOf(j_common_ptr info) {
  return static_cast<TJpegContext*>(info->client_data);
}

// Replaces libjpeg's error exit (which calls exit()): keep the text, jump back.
void ErrorExit(j_common_ptr info) {
  TJpegContext* ctx = ContextOf(info);
  info->err->format_message(info, ctx->Message);
  std::longjmp(ctx->Jump, 1);
}

// Warnings are silent, except a file cut short: its missing part would be shown as grey,
// so it counts as a picture that cannot be decoded.
void EmitMessage(j_common_ptr info, int level) {
  if (level < 0) {
    if (info->err->msg_code == JWRN_JPEG_EOF) ErrorExit(info);
    info->err->num_warnings++;
  }
}

void ProgressMonitor(j_common_ptr info) {
  auto* d = reinterpret_cast<j_decompress_ptr>(info);
  if (d->input_scan_number > kMaxScans) {
    TJpegContext* ctx = ContextOf(info);
    std::snprintf(ctx->Message, sizeof ctx->Message, "too many scans (more than %d)", kMaxScans);
    std::longjmp(ctx->Jump, 1);
  }
}

// The libjpeg part. No object with a destructor is created between setjmp and a possible
// longjmp, and everything changed after setjmp lives in *ctx, not in locals.
bool Decode(TJpegContext* ctx, const unsigned char* data, size_t size) {
  j_decompress_ptr info = &ctx->Info;
  info->err = jpeg_std_error(&ctx->Errors);
  info->client_data = ctx;  // kept by jpeg_create_decompress
  ctx->Errors.error_exit = ErrorExit;
  ctx->Errors.emit_message = EmitMessage;
  ctx->Message[0] = '\0';
  if (setjmp(ctx->Jump)) {
    jpeg_destroy_decompress(info);
    return false;
  }
  jpeg_create_decompress(info);
  ctx->Progress.progress_monitor = ProgressMonitor;
  info->progress = &ctx->Progress;
  jpeg_mem_src(info, data, static_cast<unsigned long>(size));
  jpeg_read_header(info, TRUE);

  QImage::Format format;
  switch (info->num_components) {
    case 1:
      info->out_color_space = JCS_GRAYSCALE;
      format = QImage::Format_Grayscale8;
      break;
    case 3:
      info->out_color_space = JCS_RGB;
      format = QImage::Format_RGB888;
      break;
    case 4:
      info->out_color_space = JCS_CMYK;
      format = QImage::Format_RGB888;
      break;
    default:
      std::snprintf(ctx->Message, sizeof ctx->Message, "unsupported number of colour components (%d)",
                    info->num_components);
      jpeg_destroy_decompress(info);
      return false;
  }
  if (static_cast<unsigned long>(info->image_width) * info->image_height > kMaxPixels) {
    std::snprintf(ctx->Message, sizeof ctx->Message, "picture too large (%ux%u)", info->image_width,
                  info->image_height);
    jpeg_destroy_decompress(info);
    return false;
  }
  jpeg_start_decompress(info);
  ctx->Image = QImage(static_cast<int>(info->output_width), static_cast<int>(info->output_height), format);
  if (ctx->Image.isNull()) {
    std::snprintf(ctx->Message, sizeof ctx->Message, "out of memory");
    jpeg_destroy_decompress(info);
    return false;
  }
  const bool cmyk = info->out_color_space == JCS_CMYK;
  // CMYK rows take 4 bytes a pixel, more than the image's row: they go through a scratch row.
  if (cmyk) ctx->Scratch.resize(static_cast<size_t>(info->output_width) * 4);
  while (info->output_scanline < info->output_height) {
    const int y = static_cast<int>(info->output_scanline);
    JSAMPROW row = cmyk ? ctx->Scratch.data() : reinterpret_cast<JSAMPROW>(ctx->Image.scanLine(y));
    jpeg_read_scanlines(info, &row, 1);
    if (cmyk) {
      // Adobe's files store CMYK inverted, which is what libjpeg hands out for them.
      uchar* out = ctx->Image.scanLine(y);
      const bool inverted = info->saw_Adobe_marker;
      for (JDIMENSION x = 0; x < info->output_width; ++x) {
        int c = row[4 * x], m = row[4 * x + 1], ye = row[4 * x + 2], k = row[4 * x + 3];
        if (!inverted) {
          c = 255 - c;
          m = 255 - m;
          ye = 255 - ye;
          k = 255 - k;
        }
        out[3 * x] = static_cast<uchar>(c * k / 255);
        out[3 * x + 1] = static_cast<uchar>(m * k / 255);
        out[3 * x + 2] = static_cast<uchar>(ye * k / 255);
      }
    }
  }
  jpeg_finish_decompress(info);
  jpeg_destroy_decompress(info);
  return true;
}

}  // namespace

QImage DecodeJpeg(const unsigned char* data, size_t size) {
  if (size == 0) throw EInvalidGraphic("empty JPEG file");
  TJpegContext ctx;
  std::memset(static_cast<void*>(&ctx.Info), 0, sizeof ctx.Info);
  if (!Decode(&ctx, data, size)) throw EInvalidGraphic(std::string("JPEG error: ") + ctx.Message);
  return std::move(ctx.Image);
}

void RegisterJpeg() {
  TPicture::RegisterFileFormat("jpeg", kJpegDescription, DecodeJpeg);
  TPicture::RegisterFileFormat("jpg", kJpegDescription, DecodeJpeg);
}

}  // namespace pictures
