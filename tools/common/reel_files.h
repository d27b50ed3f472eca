// Reel-definition files as the tools take them: through the library's own
// loader (the screen and decoder hosts get), with the tools' rules on top:
// only regular files, at most kMaxReelFileBytes, refused before reading.
// And the one wording of why a file does not load.
#ifndef YARVO_TOOLS_REEL_FILES_H
#define YARVO_TOOLS_REEL_FILES_H

#include <memory>
#include <string>

#include "reel_file_check.h"

class TiXmlDocument;

namespace yarvo::tools {

// The largest reel-definition file the tools read (64 MiB).
constexpr unsigned long long kMaxReelFileBytes = 64ull << 20;

// Why `path` is not taken as a reel-definition file, found without opening
// it (a FIFO, device or directory; above kMaxReelFileBytes); empty when it
// may be read.  A path that does not exist is left to the reader.
std::string reelFilePathProblem(const std::string& path);

// Loads a reel-definition file by the library's loader under the tools'
// limits.  Null when it does not load; `load` says why.
std::unique_ptr<TiXmlDocument> loadReelFileForTool(const std::string& path, detail::ReelFileLoad* load);

// Why a load failed: the line and column concerned (0: the file as a whole)
// and the cause, e.g. "cannot open x.xml: No such file or directory",
// "Error reading end tag.", "elements nested deeper than 64".
struct LoadFailure {
    int line = 0;
    int column = 0;
    std::string message;
};
LoadFailure describeLoadFailure(const std::string& path, const detail::ReelFileLoad& load);

}  // namespace yarvo::tools

#endif
