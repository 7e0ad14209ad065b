#include "PngWriter.h"

#include <csetjmp>
#include <cstdio>

#include <png.h>

namespace Orvo {
namespace Render {

namespace {

// Owns the file and libpng's structures of one write.
struct PngFile {
    std::FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;

    ~PngFile() {
        png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
        if (file != nullptr) {
            std::fclose(file);
        }
    }
};

} // namespace

bool PngWriter::Write(const std::string& path, const Browser::Client::Snapshot& snapshot, std::string& error) const {
    PngFile out;
    out.file = std::fopen(path.c_str(), "wb");
    out.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    out.info = out.png != nullptr ? png_create_info_struct(out.png) : nullptr;
    if (out.file == nullptr || out.info == nullptr) {
        error = "cannot write " + path;
        return false;
    }
    if (setjmp(png_jmpbuf(out.png)) != 0) {
        std::fclose(out.file);
        out.file = nullptr;
        std::remove(path.c_str());
        error = "cannot write " + path + ": PNG encoding failed";
        return false;
    }
    png_init_io(out.png, out.file);
    png_set_IHDR(out.png, out.info, static_cast<png_uint_32>(snapshot.width), static_cast<png_uint_32>(snapshot.height),
                 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(out.png, 0, PNG_FILTER_NONE);
    png_set_compression_level(out.png, zlibLevel);
    png_write_info(out.png, out.info);
    const std::size_t rowBytes = 3 * static_cast<std::size_t>(snapshot.width);
    for (int y = 0; y < snapshot.height; ++y) {
        png_write_row(out.png, const_cast<png_bytep>(snapshot.rgb.data() + y * rowBytes));
    }
    png_write_end(out.png, out.info);
    if (std::fflush(out.file) != 0 || std::ferror(out.file) != 0) {
        std::fclose(out.file);
        out.file = nullptr;
        std::remove(path.c_str());
        error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace Render
} // namespace Orvo
