// The one reader of reel-definition files: loading a file, screening its
// text before TinyXML parses it, and parsing it.
//
// TinyXML is safe on most files but not on all.  It parses elements
// recursively, so deep nesting exhausts the stack of the host's thread; in
// UTF-8 mode it steps over a multi-byte character by its lead byte, so a
// character cut short by the end of the text makes it read past its buffer
// and one broken by a plain byte makes it step over markup; and it decodes
// "&#...;" by jumping to the next ';' however far away.  The screen reads
// the text the way TinyXML will (node by node, with the same encoding
// rules) and refuses exactly these files:
//
//  * elements nested deeper than kMaxReelFileNesting (a depth that is safe
//    cannot depend on the host's stack, so it is fixed);
//  * in a document read as UTF-8 (byte-order mark, or a first declaration
//    naming UTF-8 or no encoding), a lead byte in text or a quoted value
//    whose continuation bytes are missing or cut short by the end;
//  * a numeric character reference that would make the parser jump over
//    other text to a later ';' ("&#" or "&#x" must be followed by digits and
//    the ';');
//  * a byte above 0x7F where the parser's reading would depend on the
//    host's locale (whether it is white space): in an unquoted attribute
//    value, or in a declaration outside a quoted value, or in a declaration
//    keyword where 'i' is expected (as an 'I').
//
// Everything else reaches TinyXML, which accepts or rejects it as it would
// on its own: processing instructions, non-ASCII names, unusual
// declarations, text after the root, broken UTF-8 in names and comments, a
// file cut short or not well-formed (TinyXML reports where).  The text ends
// at its first NUL byte, as TinyXML reads it.
#ifndef YARVO_REEL_FILE_CHECK_H
#define YARVO_REEL_FILE_CHECK_H

#include <cstddef>

class TiXmlDocument;

namespace yarvo::detail {

// Deepest element nesting a reel-definition file may have.  The format
// itself needs four levels (root, reel-def, ramp-table, ramp-up).
constexpr unsigned kMaxReelFileNesting = 64;

// NUL bytes the screen needs after the end of the text it reads.
constexpr size_t kScreenPadding = 16;

enum class Refusal {
    None,
    TooDeep,             // elements nested deeper than kMaxReelFileNesting
    CutCharacter,        // a UTF-8 character cut short by the end of the text
    BrokenCharacter,     // a UTF-8 lead byte without its continuation bytes
    MalformedReference,  // a numeric reference the parser would jump across
    LocaleDependent,     // a byte whose reading depends on the host's locale
};

// What the text ends inside of, when it ends before TinyXML is done (TinyXML
// then fails, often without saying where).
enum class Unfinished { None, Element, Value, Comment, Markup };

struct Screening {
    Refusal refusal = Refusal::None;
    int row = 0;     // 1-based line and column of the refusal, as TinyXML counts them
    int column = 0;
    Unfinished unfinished = Unfinished::None;
    int openRow = 0;     // where the unfinished element, value, comment or markup begins
    int openColumn = 0;
    int endRow = 0;      // the line the text ends on
    char openName[32] = {};  // the unfinished element's name (cut to 31 bytes)
};

// Screens a text with line ends already normalised (as TinyXML's loader does
// it), ending at its first NUL byte and followed by kScreenPadding NUL bytes.
Screening screenReelText(const char* text);

// How loading a file went.
struct ReelFileLoad {
    enum Status {
        Loaded,
        CannotOpen,      // systemError says why
        NotRegularFile,  // a directory, FIFO, device, ...: fileType holds st_mode's type bits
        TooLarge,        // above the caller's limit (size holds the size)
        CannotRead,      // systemError says why (0: the file shrank while read)
        OutOfMemory,
        Refused,         // screening says why and where
        ParseFailed,     // TinyXML's description, row and column
    };
    Status status = CannotOpen;
    int systemError = 0;
    unsigned fileType = 0;
    unsigned long long size = 0;
    Screening screening;
    char parserError[64] = {};
    int row = 0;     // ParseFailed: where TinyXML stopped (1-based; 0 when it does not say)
    int column = 0;
};

// The text part of loadReelFile: `text` holds `size` bytes of the file and
// room for kScreenPadding more; its line ends are normalised in place, then
// it is screened and parsed.
TiXmlDocument* parseReelText(char* text, size_t size, ReelFileLoad* load);

// Loads a reel-definition file: opens it without blocking, refuses what is
// not a regular file or larger than maxBytes, reads it whole, normalises
// line ends, screens it and has TinyXML parse the same bytes.  Returns the
// document (the caller owns it) or null; `load`, when given, says how it
// went.  Nothing but the text and the document is allocated.
TiXmlDocument* loadReelFile(const char* path, ReelFileLoad* load,
                            unsigned long long maxBytes = ~0ull);

}  // namespace yarvo::detail

#endif
