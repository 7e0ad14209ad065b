#include "Protocol/JpegWriter.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace Orvo {
namespace Browser {

namespace {

// One encoding's state outside the frame that calls setjmp: libjpeg
// reports a fault by calling error_exit, which must not return; it jumps
// back to Compress with the library's message. The output buffer is the
// library's (jpeg_mem_dest allocates it at once and reallocates it as it
// grows), so the one pointer to it lives here, where a jump cannot leave
// it stale.
struct Encoding {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    unsigned char* output = nullptr;
    unsigned long size = 0;

    ~Encoding() { std::free(output); }
};

void Exit(j_common_ptr info) {
    Encoding* encoding = reinterpret_cast<Encoding*>(info->err);
    (*info->err->format_message)(info, encoding->message);
    std::longjmp(encoding->jump, 1);
}

// Only plain data lives in this frame, so that the jump leaves nothing
// undestroyed. False, with the message in encoding, on a fault.
bool Compress(const unsigned char* const* rows, unsigned height, int width, J_COLOR_SPACE space, int quality,
              Encoding& encoding) {
    jpeg_compress_struct info;
    info.err = jpeg_std_error(&encoding.manager);
    encoding.manager.error_exit = Exit;
    if (setjmp(encoding.jump) != 0) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &encoding.output, &encoding.size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = height;
    info.input_components = 3;
    info.in_color_space = space;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rows[info.next_scanline]);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

} // namespace

JpegWriter::JpegWriter(int quality) : quality(quality) {}

bool JpegWriter::Encode(const std::vector<const unsigned char*>& rows, int width, Order order, std::string& out,
                        std::string& error) const {
    out.clear();
    if (rows.empty() || width <= 0) {
        error = "JPEG encoding failed: no pixels";
        return false;
    }
    Encoding encoding;
    if (!Compress(rows.data(), static_cast<unsigned>(rows.size()), width, order == Order::Bgr ? JCS_EXT_BGR : JCS_RGB,
                  quality, encoding)) {
        error = std::string("JPEG encoding failed: ") + encoding.message;
        return false;
    }
    out.assign(reinterpret_cast<const char*>(encoding.output), encoding.size);
    return true;
}

bool JpegWriter::Encode(const unsigned char* pixels, int width, int height, std::size_t stride, Order order,
                        std::string& out, std::string& error) const {
    std::vector<const unsigned char*> rows(static_cast<std::size_t>(std::max(height, 0)));
    for (std::size_t y = 0; y < rows.size(); ++y) {
        rows[y] = pixels + y * stride;
    }
    return Encode(rows, width, order, out, error);
}

} // namespace Browser
} // namespace Orvo
