// Screening of a reel-definition file before the XML parser reads it.
//
// TinyXML parses elements recursively (a file of nested elements a few
// hundred kilobytes long exhausts the stack of the host's thread), and in
// UTF-8 mode it steps over a whole multi-byte character at a time, so a file
// that ends inside one makes it read past the end of its buffer.  A numeric
// character reference it cannot decode can likewise carry it across quotes
// and markup.  The screen reads the file once, lexes it the way TinyXML
// does, and refuses any file that nests elements too deeply or contains a
// construct on which the two could disagree: NUL bytes, broken UTF-8 where
// TinyXML reads UTF-8, malformed numeric references, non-ASCII bytes inside
// tags, unusual XML declarations.  A file the screen accepts is lexed by
// TinyXML exactly as by the screen, so its nesting is bounded and every read
// stays inside the text.  Well-formed reel-definition files, in ASCII, UTF-8
// (with or without byte-order mark) or a declared single-byte encoding, pass.
#ifndef YARVO_REEL_FILE_CHECK_H
#define YARVO_REEL_FILE_CHECK_H

#include <cstdio>

namespace yarvo::detail {

// Deepest element nesting a reel-definition file may have.  The format
// itself needs four levels (root, reel-def, ramp-table, ramp-up).
constexpr unsigned kMaxReelFileNesting = 64;

// Reads `file` from its current position to its end (or to where the XML
// parser would stop reading) and tells whether the parser may be given it.
// False also for a read error.  Uses a fixed buffer; allocates nothing.
bool reelFileIsSafeToParse(std::FILE* file);

}  // namespace yarvo::detail

#endif
