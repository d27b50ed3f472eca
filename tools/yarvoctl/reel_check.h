// Checking a reel-definition file the way the library reads it.
//
// The file is loaded by the library's loader and every reel type is decoded
// by the library's decoder, which reports to this checker each rule it
// applies (reel_file_format.h).  Where the decoder rejects a reel type the
// checker reports an error and the decoder goes on, so that one run lists
// every problem in the order a host would meet them.  Warnings cover what
// the library accepts but is almost certainly a mistake in the file.
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

// The library's decode of one reel type of a file; false when the file does
// not load, the type is not found or the decode rejects it.
bool readDefinition(const std::string& path, const std::string& type, ReelDataDef* data);

// Why the library's code `code` came from this file and type, in one line
// for "--reels FILE" and "--type T": the file's own problem (with its line)
// and where check-reels tells more.  Empty when the file shows no cause.
std::string explainReelFileFailure(const std::string& path, const std::string& type, unsigned code);

}  // namespace yarvo::tools

#endif
