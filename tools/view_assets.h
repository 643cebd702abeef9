// The viewer page's files (tools/view/), embedded into the tool when it is built.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace tarvo::tool {

struct ViewAsset {
    std::string name;  // file name, e.g. "index.html"
    const char *mime;
    const unsigned char *data;
    size_t size;
};

std::span<const ViewAsset> view_assets();

}  // namespace tarvo::tool
