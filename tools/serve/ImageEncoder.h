#ifndef ORVO_TOOLS_SERVE_IMAGEENCODER_H
#define ORVO_TOOLS_SERVE_IMAGEENCODER_H

#include <string>

#include "Client/Result.h"
#include "RenderArguments.h"

namespace Orvo {
namespace Serve {

// Turns a page's snapshot into the picture a request asks for: the
// viewport's part of it unless render_all is set, scaled down to width
// (keeping the aspect ratio) when width is set and narrower, encoded as
// PNG (at the writer's fast level, orvo-render's default) or as JPEG at the
// request's quality. A picture that needs no scaling is made from a
// snapshot left encoded (a PNG as its rows decode, without the whole
// picture; a JPEG from the bitmap's rows as they lie); a scaled one
// decodes it first.
class ImageEncoder {
public:
    enum class Format { Png, Jpeg };

    // The result's snapshot, decoded or not. Returns false, with error set,
    // when it has none, it is malformed, or the encoding fails.
    static bool Encode(const Browser::Client::Result& result, Format format, const RenderArguments& arguments,
                       std::string& out, std::string& error);

private:
    static bool Encode(const Browser::Client::Snapshot& snapshot, Format format, const RenderArguments& arguments,
                       std::string& out, std::string& error);
};

} // namespace Serve
} // namespace Orvo

#endif
