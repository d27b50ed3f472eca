#include "codes.h"

#include "status_codes.h"

// The table belongs to the library (lib/status_codes.h); the tools keep
// their names for it.
namespace yarvo::tools {

const char* statusCodeName(unsigned code) { return status::name(code); }

const char* statusCodeMeaning(unsigned code) { return status::meaning(code); }

}  // namespace yarvo::tools
