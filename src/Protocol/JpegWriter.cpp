#include "Protocol/JpegWriter.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace Orvo {
namespace Browser {

namespace {

// libjpeg reports a fault by calling error_exit, which must not return: it
// jumps back to Compress with the library's message.
struct Failure {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void Exit(j_common_ptr info) {
    Failure* failure = reinterpret_cast<Failure*>(info->err);
    (*info->err->format_message)(info, failure->message);
    std::longjmp(failure->jump, 1);
}

// Only plain data lives in this frame, so that the jump leaves nothing
// undestroyed; returns the library's buffer (the caller frees it) or null
// with the message in failure.
unsigned char* Compress(const unsigned char* const* rows, unsigned height, int width, J_COLOR_SPACE space,
                        int quality, unsigned long& size, Failure& failure) {
    jpeg_compress_struct info;
    unsigned char* volatile buffer = nullptr;
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = Exit;
    if (setjmp(failure.jump) != 0) {
        jpeg_destroy_compress(&info);
        std::free(buffer);
        return nullptr;
    }
    jpeg_create_compress(&info);
    unsigned char* target = nullptr;
    size = 0;
    jpeg_mem_dest(&info, &target, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = height;
    info.input_components = 3;
    info.in_color_space = space;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    buffer = target;
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rows[info.next_scanline]);
        jpeg_write_scanlines(&info, &row, 1);
        buffer = target;
    }
    jpeg_finish_compress(&info);
    buffer = target;
    jpeg_destroy_compress(&info);
    return buffer;
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
    Failure failure;
    unsigned long size = 0;
    unsigned char* jpeg = Compress(rows.data(), static_cast<unsigned>(rows.size()), width,
                                   order == Order::Bgr ? JCS_EXT_BGR : JCS_RGB, quality, size, failure);
    if (jpeg == nullptr) {
        error = std::string("JPEG encoding failed: ") + failure.message;
        return false;
    }
    try {
        out.assign(reinterpret_cast<const char*>(jpeg), size);
    } catch (...) {
        std::free(jpeg);
        throw;
    }
    std::free(jpeg);
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
