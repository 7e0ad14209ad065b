// A render request's body as orvo-serve reads it: a JSON object (when the
// input starts with '{') or a form, its saved arguments loaded and saved,
// its arguments checked for a page and for a script, and the worker's
// options made. A refused argument is the expected answer; anything else
// thrown, or a crash, is a finding.

#include <cstddef>
#include <cstdint>
#include <string>

#include "Client/Client.h"
#include "serve/BadArgument.h"
#include "serve/RenderArguments.h"
#include "serve/SavedArguments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Orvo::Serve;
    static SavedArguments saved;
    const std::string body(reinterpret_cast<const char*>(data), size);
    try {
        RenderArguments::Texts texts =
            !body.empty() && body[0] == '{' ? RenderArguments::FromJson(body) : RenderArguments::FromQuery(body);
        if (!saved.Load(texts).empty()) {
            return 0;
        }
        const RenderArguments::Limits limits;
        const RenderArguments page = RenderArguments::Parse(texts, limits);
        Orvo::Browser::Client::Client::RequestBytes(page.url, page.ToOptions(Endpoint::Json));
        const RenderArguments script = RenderArguments::ParseScript(texts, limits, Endpoint::Execute);
        Orvo::Browser::Client::Client::RequestBytes(script.url, script.ToOptions(Endpoint::Execute));
        saved.Save(texts);
    } catch (const BadArgument&) {
    }
    return 0;
}
