// Screening of a reel-definition file before TinyXML reads it (see the
// header for why).  The screen follows TinyXML's own lexing: what it treats
// as the end of a tag, a comment, a quoted value or a text run, how the
// document's encoding is settled (byte-order mark, then the first top-level
// XML declaration), and where it stops reading at document level.  Wherever
// TinyXML's path could depend on something the screen does not model (the
// host's locale, an odd declaration, a character reference it would misread)
// the screen refuses the file; refusing costs nothing more than the load
// failure such a file would give anyway.
#include "reel_file_check.h"

#include <cstddef>
#include <cstring>

namespace yarvo::detail {

namespace {

enum class Encoding { Unknown, Utf8, Legacy };

// What a piece of markup left the scan with.
enum class Verdict {
    Go,      // carry on
    Stop,    // the parser stops reading here, the file is acceptable
    Refuse,  // the file must not reach the parser
};

bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isAsciiLetter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(int c) { return c >= '0' && c <= '9'; }
bool isHexDigit(int c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isNameStart(int c) { return isAsciiLetter(c) || c == '_'; }
bool isNameChar(int c) { return isNameStart(c) || isDigit(c) || c == '-' || c == '.' || c == ':'; }
char lower(int c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }

class Scanner {
public:
    explicit Scanner(std::FILE* file) : file_(file) {}

    bool document();

private:
    // --- Input: a window on the file, refilled as the scan moves on. ----
    // The byte i places ahead, or -1 past the end.
    int peek(size_t i = 0) {
        if (begin_ + i >= end_ && !fill(i + 1)) {
            return -1;
        }
        return buffer_[begin_ + i];
    }
    bool fill(size_t wanted);
    // Consumes one byte, checking UTF-8 structure while the document reads
    // as UTF-8.  False when the byte breaks it.
    bool take();
    bool takeN(size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (!take()) return false;
        }
        return true;
    }
    bool lookingAt(const char* text, bool ignoreCase = false) {
        for (size_t i = 0; text[i] != '\0'; ++i) {
            const int c = peek(i);
            if (c < 0) return false;
            if (ignoreCase ? lower(c) != lower(text[i]) : c != static_cast<unsigned char>(text[i])) {
                return false;
            }
        }
        return true;
    }
    // Consumes bytes up to and including `end`.  False at the end of the
    // file or on a broken byte.
    bool skipPast(const char* end);
    void skipSpace() {
        while (isSpace(peek())) take();
    }

    // --- Markup. ---------------------------------------------------------
    Verdict markup(bool topLevel);
    Verdict declaration(bool topLevel);
    Verdict element();
    Verdict content();
    // A quoted run of text (attribute value) ending at `quote`, or a text
    // run ending before '<': character references must be well formed.
    bool reference();

    std::FILE* file_;
    unsigned char buffer_[4096];
    size_t begin_ = 0;
    size_t end_ = 0;
    bool atEnd_ = false;
    bool broken_ = false;        // a NUL byte, a read error or broken UTF-8
    Encoding encoding_ = Encoding::Unknown;
    unsigned continuation_ = 0;  // UTF-8 continuation bytes still due
    unsigned depth_ = 0;
};

bool Scanner::fill(size_t wanted) {
    if (broken_) return false;
    if (end_ - begin_ >= wanted) return true;
    if (atEnd_) return false;
    std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < sizeof buffer_ && !atEnd_) {
        const size_t got = std::fread(buffer_ + end_, 1, sizeof buffer_ - end_, file_);
        if (got == 0) {
            atEnd_ = true;
            if (std::ferror(file_)) {
                broken_ = true;
                return false;
            }
        }
        // TinyXML reads the file as a C string: a NUL byte would end the
        // text there, and a multi-byte step can carry it over that end.
        if (std::memchr(buffer_ + end_, 0, got) != nullptr) {
            broken_ = true;
            return false;
        }
        end_ += got;
    }
    return end_ - begin_ >= wanted;
}

bool Scanner::take() {
    const int c = peek();
    if (c < 0) return false;
    ++begin_;
    if (encoding_ != Encoding::Utf8) return true;
    // TinyXML steps over a multi-byte character by its lead byte: every
    // lead byte must be followed by all of its continuation bytes.
    if (continuation_ > 0) {
        if (c < 0x80 || c > 0xBF) {
            broken_ = true;
            return false;
        }
        --continuation_;
        return true;
    }
    if (c < 0x80) return true;
    if (c >= 0xC2 && c <= 0xDF) {
        continuation_ = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        continuation_ = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
        continuation_ = 3;
    } else {
        broken_ = true;  // a stray continuation byte or an invalid lead byte
        return false;
    }
    return true;
}

bool Scanner::skipPast(const char* end) {
    for (;;) {
        if (lookingAt(end)) return takeN(std::strlen(end));
        if (!take()) return false;
    }
}

bool Scanner::reference() {
    // At '&'.  TinyXML decodes "&#...;" by looking for the next ';' however
    // far away and reading digits back from it, so anything but a complete
    // reference of digits could make it jump over text the screen has seen
    // as markup.  Named references are taken one byte at a time.
    if (peek(1) != '#') return take();
    size_t i = 2;
    if (peek(2) == 'x') {
        i = 3;
        if (!isHexDigit(peek(i))) return false;
        while (isHexDigit(peek(i))) ++i;
    } else {
        if (!isDigit(peek(i))) return false;
        while (isDigit(peek(i))) ++i;
    }
    if (peek(i) != ';') return false;
    return takeN(i + 1);
}

bool Scanner::document() {
    if (peek(0) == 0xEF && peek(1) == 0xBB && peek(2) == 0xBF) {
        encoding_ = Encoding::Utf8;  // the byte-order mark settles it
        if (!takeN(3)) return false;
    }
    for (;;) {
        // Between top-level nodes the parser skips white space (what counts
        // as white space beyond ASCII depends on the host's locale and the
        // encoding, so the screen skips every non-ASCII byte as well and
        // reads on where the parser might).
        for (int c = peek(); isSpace(c) || c >= 0x80; c = peek()) {
            if (!take()) return false;
        }
        if (broken_) return false;
        const int c = peek();
        if (c < 0 || c != '<') {
            // The end, or text outside any element: the parser stops here.
            return !broken_ && continuation_ == 0;
        }
        switch (markup(true)) {
        case Verdict::Go: break;
        case Verdict::Stop: return !broken_;
        case Verdict::Refuse: return false;
        }
    }
}

Verdict Scanner::markup(bool topLevel) {
    // At '<'.  The same order of tests as TinyXML's node identification.
    const Verdict unfinished = topLevel ? Verdict::Stop : Verdict::Refuse;
    if (lookingAt("<?xml", true)) {
        return declaration(topLevel);
    }
    if (lookingAt("<!--")) {
        if (!takeN(4)) return Verdict::Refuse;
        return skipPast("-->") ? Verdict::Go : (broken_ ? Verdict::Refuse : unfinished);
    }
    if (lookingAt("<![CDATA[")) {
        if (!takeN(9)) return Verdict::Refuse;
        return skipPast("]]>") ? Verdict::Go : (broken_ ? Verdict::Refuse : unfinished);
    }
    const int next = peek(1);
    if (isNameStart(next)) {
        return element();
    }
    if (next >= 0x7F) {
        return Verdict::Refuse;  // TinyXML takes any non-ASCII byte for a letter
    }
    // "<!DOCTYPE ...>", another processing instruction, a stray "</...>" at
    // document level or anything else: read up to the first '>'.
    if (!take()) return Verdict::Refuse;
    return skipPast(">") ? Verdict::Go : (broken_ ? Verdict::Refuse : unfinished);
}

Verdict Scanner::declaration(bool topLevel) {
    // "<?xml", then attributes name="value" separated by white space, then
    // "?>".  The values are kept to plain tokens: TinyXML reads the
    // version, encoding and standalone values as quoted text and skips any
    // other attribute word by word, and with such values both readings end
    // at the same '>'.
    if (!takeN(5)) return Verdict::Refuse;
    int c = peek();
    if (!isSpace(c) && c != '?' && c != '>') return Verdict::Refuse;
    bool named = false;     // an encoding attribute was given
    bool unicode = false;   // ... and one of them is empty or names UTF-8
    for (;;) {
        skipSpace();
        c = peek();
        if (c == '?') {
            if (peek(1) != '>') return Verdict::Refuse;
            if (!takeN(2)) return Verdict::Refuse;
            break;
        }
        if (c == '>') {
            if (!take()) return Verdict::Refuse;
            break;
        }
        if (!isNameStart(c)) return Verdict::Refuse;
        char name[9] = {};
        size_t length = 0;
        while (isNameChar(peek())) {
            if (length < sizeof name - 1) name[length] = lower(peek());
            ++length;
            if (!take()) return Verdict::Refuse;
        }
        skipSpace();
        if (peek() != '=') return Verdict::Refuse;
        if (!take()) return Verdict::Refuse;
        skipSpace();
        const int quote = peek();
        if (quote != '"' && quote != '\'') return Verdict::Refuse;
        if (!take()) return Verdict::Refuse;
        char value[4] = {};
        size_t valueLength = 0;
        while (peek() != quote) {
            if (!isNameChar(peek())) return Verdict::Refuse;
            if (valueLength < sizeof value - 1) value[valueLength] = lower(peek());
            ++valueLength;
            if (!take()) return Verdict::Refuse;
        }
        if (!take()) return Verdict::Refuse;
        c = peek();
        if (!isSpace(c) && c != '?' && c != '>') return Verdict::Refuse;
        if (std::strncmp(name, "encoding", 8) == 0) {
            named = true;
            if (valueLength == 0 || std::strncmp(value, "utf", 3) == 0) unicode = true;
        }
    }
    if (topLevel && encoding_ == Encoding::Unknown) {
        // TinyXML reads UTF-8 after a declaration unless it names another
        // encoding; when in doubt, hold the file to UTF-8.
        encoding_ = (named && !unicode) ? Encoding::Legacy : Encoding::Utf8;
    }
    return Verdict::Go;
}

Verdict Scanner::element() {
    // At '<' followed by a name.
    if (!take()) return Verdict::Refuse;
    while (isNameChar(peek())) {
        if (!take()) return Verdict::Refuse;
    }
    if (++depth_ > kMaxReelFileNesting) return Verdict::Refuse;
    for (;;) {
        skipSpace();
        int c = peek();
        if (c == '/') {
            if (peek(1) != '>' || !takeN(2)) return Verdict::Refuse;
            --depth_;
            return Verdict::Go;
        }
        if (c == '>') {
            if (!take()) return Verdict::Refuse;
            return content();
        }
        if (!isNameStart(c)) return Verdict::Refuse;
        while (isNameChar(peek())) {
            if (!take()) return Verdict::Refuse;
        }
        skipSpace();
        if (peek() != '=' || !take()) return Verdict::Refuse;
        skipSpace();
        const int quote = peek();
        if (quote == '"' || quote == '\'') {
            if (!take()) return Verdict::Refuse;
            for (c = peek(); c != quote; c = peek()) {
                if (c < 0) return Verdict::Refuse;
                if (c == '&' ? !reference() : !take()) return Verdict::Refuse;
            }
            if (!take()) return Verdict::Refuse;
        } else {
            // TinyXML tolerates an unquoted value up to white space, '/'
            // or '>'.
            for (c = peek(); c >= 0 && !isSpace(c) && c != '/' && c != '>'; c = peek()) {
                if (c == '"' || c == '\'' || c < 0x20 || c >= 0x7F) return Verdict::Refuse;
                if (!take()) return Verdict::Refuse;
            }
            if (c < 0) return Verdict::Refuse;
        }
    }
}

Verdict Scanner::content() {
    // Inside an element, after its start tag.
    for (;;) {
        for (int c = peek(); c != '<'; c = peek()) {
            if (c < 0) return Verdict::Refuse;  // the end tag is missing
            if (c == '&' ? !reference() : !take()) return Verdict::Refuse;
        }
        if (lookingAt("</")) {
            // Whether the name matches is TinyXML's to judge: it fails the
            // load if not.  The tag ends at its first '>' either way.
            if (!skipPast(">")) return Verdict::Refuse;
            --depth_;
            return Verdict::Go;
        }
        if (markup(false) != Verdict::Go) return Verdict::Refuse;
    }
}

}  // namespace

bool reelFileIsSafeToParse(std::FILE* file) {
    if (file == nullptr) return false;
    Scanner scanner(file);
    return scanner.document();
}

}  // namespace yarvo::detail
