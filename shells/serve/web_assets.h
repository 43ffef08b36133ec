// The page of `snt serve`, its scripts, style and charting library: the
// static site's files (shells/web, without the WebAssembly module) and
// Chart.js from Debian, made into byte arrays when snt is built, so the page
// needs nothing from the network.
#pragma once

#include <cstddef>
#include <vector>

namespace snt {

struct Asset {
    const char *path; // "/index.html", "/js/app.js", ...
    const char *type; // its Content-Type
    const unsigned char *data;
    std::size_t size;
};

const std::vector<Asset> &web_assets();

} // namespace snt
