// The browser view's page and its script and style sheet, compiled into
// yarvo-sim from web/ (cmake/embed-web-assets.cmake), so that the daemon
// serves no file from disk.
#ifndef YARVO_SIM_TOOL_WEB_ASSETS_H
#define YARVO_SIM_TOOL_WEB_ASSETS_H

#include <cstddef>

namespace yarvo::simtool {

struct WebAsset {
    const char* path;            // "/", "/cabinet.js", ...
    const char* type;            // its content type
    const unsigned char* data;
    size_t size;
};
extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

}  // namespace yarvo::simtool

#endif
