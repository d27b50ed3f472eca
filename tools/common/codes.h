// Names of the library's status codes, for programs that print them.  The
// table is the library's own (lib/status_codes.h, yarvo_status_name()).
#ifndef YARVO_TOOLS_CODES_H
#define YARVO_TOOLS_CODES_H

namespace yarvo::tools {

// The enumerator name of a status code ("ReelMsgBadReelNumber"), or
// "ReelMsgUnknown" for a number the library never stores.
const char* statusCodeName(unsigned code);

// One line saying what the code means, for --help texts and explanations.
const char* statusCodeMeaning(unsigned code);

}  // namespace yarvo::tools

#endif
