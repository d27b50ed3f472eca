// Checking a reel-definition file the way the library reads it.
//
// The file is loaded as the library loads it (screened before parsing, then
// parsed by TinyXML).  Every reel type is decoded by exactly the library's
// rules (element and
// attribute names matched exactly, the first element of each name, the
// decoding order, integer reading as TinyXML's integer query does it, 8-bit
// storage, the limits 200 and 60 on the stored values, at most 25 speed
// tables, type names and step types compared ignoring case, the type search
// ending at a reel-def without type).  Where the library would reject a reel
// type the checker reports an error and goes on, so that one run lists every
// problem in the order a host would meet them.  Warnings cover what the
// library accepts but is almost certainly a mistake in the file.
#ifndef YARVO_TOOLS_REEL_CHECK_H
#define YARVO_TOOLS_REEL_CHECK_H

#include <string>
#include <vector>

#include "yarvo.h"

namespace yarvo::tools {

enum class Severity { Error, Warning };

struct Diagnostic {
    Severity severity = Severity::Error;
    int line = 0;
    int column = 0;
    std::string reelType;   // the reel type concerned, empty for the file as a whole
    std::string element;    // e.g. "ramp-table 2 > ramp-up"
    std::string attribute;  // empty when the problem is the element's
    std::string message;
    unsigned sequence = 0;  // order in which a host meets the problem
};

struct ReelTypeReport {
    std::string name;
    int line = 0;
    int column = 0;
    bool reachable = true;  // a host can configure a reel with this type
    bool accepted = false;  // the library's decode accepts it
    ReelDataDef data{};     // what the library's decode yields (when accepted)
};

struct ReelFileReport {
    std::string path;
    bool loaded = false;
    std::vector<Diagnostic> diagnostics;  // errors first, then warnings, each in host order
    std::vector<ReelTypeReport> types;    // checked reel types, in document order
    size_t errors() const;
    size_t warnings() const;
};

// Checks every reel type of the file, or only `onlyType` when it is not
// null (found by the library's search; not found is an error).
ReelFileReport checkReelFile(const std::string& path, const char* onlyType);

// "file:line:col: error: ..." as printed by check-reels.
std::string formatDiagnostic(const std::string& path, const Diagnostic& diagnostic);

}  // namespace yarvo::tools

#endif
