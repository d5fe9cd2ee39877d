// The web view's page, script, style and chart library, built into the
// program (CMake embeds the files at build time), so that an installed
// gateway serves its page without a network or any file beside it.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvgate::web {

struct WebAsset {
    const char *path; // "/", "/app.js", ...
    const char *type; // its Content-Type
    const unsigned char *data;
    std::size_t size;
};

// The built-in assets; null when `path` is none of them.
const WebAsset *FindAsset(std::string_view path);

} // namespace orvgate::web
