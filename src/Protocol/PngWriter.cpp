#include "Protocol/PngWriter.h"

#include <csetjmp>

#include <png.h>

namespace Orvo {
namespace Browser {

namespace {

// Owns libpng's structures of one encoding.
struct PngEncoding {
    png_structp png = nullptr;
    png_infop info = nullptr;

    ~PngEncoding() { png_destroy_write_struct(&png, info != nullptr ? &info : nullptr); }
};

void Append(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}

void Flush(png_structp) {}

} // namespace

bool PngWriter::Encode(const unsigned char* pixels, int width, int height, std::size_t stride, std::string& out,
                       std::string& error) const {
    out.clear();
    if (width <= 0 || height <= 0) {
        error = "PNG encoding failed: no pixels";
        return false;
    }
    PngEncoding encoding;
    encoding.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    encoding.info = encoding.png != nullptr ? png_create_info_struct(encoding.png) : nullptr;
    if (encoding.info == nullptr) {
        error = "PNG encoding failed: no memory";
        return false;
    }
    png_structp png = encoding.png;
    if (setjmp(png_jmpbuf(png)) != 0) {
        out.clear();
        error = "PNG encoding failed";
        return false;
    }
    png_set_write_fn(png, &out, &Append, &Flush);
    png_set_IHDR(png, encoding.info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, 0, PNG_FILTER_NONE);
    png_set_compression_level(png, zlibLevel);
    png_write_info(png, encoding.info);
    for (int y = 0; y < height; ++y) {
        png_write_row(png, const_cast<png_bytep>(pixels + static_cast<std::size_t>(y) * stride));
    }
    png_write_end(png, encoding.info);
    return true;
}

} // namespace Browser
} // namespace Orvo
