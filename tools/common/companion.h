// The one way a tool finds a library it preloads into other programs (the
// tracer, the virtual board's preload library): beside the tool itself (the
// build tree), at the installed place relative to the tool's directory (so a
// moved or DESTDIR-staged tree finds its own), or at the path the build
// compiled in.
#ifndef YARVO_TOOLS_COMPANION_H
#define YARVO_TOOLS_COMPANION_H

#include <string>

namespace yarvo::tools {

// The absolute path of `fileName`, or "" when none of the places holds a
// regular file.  `relative` is the path from the tool's directory to the
// installed library; `fallback` an absolute path; either may be empty.
std::string findCompanion(const std::string& fileName, const std::string& relative, const std::string& fallback);

}  // namespace yarvo::tools

#endif
