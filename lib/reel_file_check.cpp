// Loading and screening of reel-definition files (see the header for why).
// The screen follows TinyXML's own reading node by node: how it tells the
// kinds of node apart, where each kind ends, how it steps through text and
// quoted values (a UTF-8 character at a time, references decoded), how the
// document's encoding is settled (byte-order mark, then the first top-level
// declaration) and where it stops reading.  Where TinyXML certainly fails
// the screen stops and lets TinyXML report the failure; where TinyXML's
// reading could leave the text or the host's stack, it refuses.
#include "reel_file_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include <tinyxml.h>

namespace yarvo::detail {

namespace {

using Byte = unsigned char;

enum class Encoding { Unknown, Utf8, Legacy };

// What a piece of markup left the scan with.
enum class Verdict {
    Go,      // carry on
    Stop,    // TinyXML stops reading here (at the end, or failing): the file may go to it
    Refuse,  // the file must not reach TinyXML
};

// TinyXML's white space is the C library's; bytes above 0x7F are white
// space in no locale that matters here, but see document() and unquoted().
bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isAsciiLetter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(int c) { return c >= '0' && c <= '9'; }
bool isHexDigit(int c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
// TinyXML takes every byte from 0x7F up for a letter.
bool isNameStart(int c) { return isAsciiLetter(c) || c == '_' || c >= 0x7F; }
bool isNameChar(int c) { return isNameStart(c) || isDigit(c) || c == '-' || c == '.' || c == ':'; }
int lower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

bool startsWithIgnoringCase(const Byte* p, const Byte* end, const char* prefix) {
    for (; *prefix != '\0'; ++p, ++prefix) {
        if (p == end || lower(*p) != *prefix) return false;
    }
    return true;
}

class Scanner {
public:
    explicit Scanner(const Byte* text) : p_(text) {}

    Verdict document();
    Refusal refusal() const { return refusal_; }
    const Byte* refusedAt() const { return where_; }
    Unfinished unfinished() const { return unfinished_; }
    const Byte* openedAt() const { return open_; }
    bool utf8() const { return encoding_ == Encoding::Utf8; }

private:
    Verdict refuse(Refusal why, const Byte* where) {
        refusal_ = why;
        where_ = where;
        return Verdict::Refuse;
    }
    // The text ended inside something that began at `start`: TinyXML fails.
    Verdict ended(Unfinished what, const Byte* start) {
        unfinished_ = what;
        open_ = start;
        return Verdict::Stop;
    }
    bool at(const char* s) const { return std::strncmp(reinterpret_cast<const char*>(p_), s, std::strlen(s)) == 0; }
    // Moves past the next `end`; false, at the end of the text, when there is none.
    bool skipPast(const char* end) {
        const char* found = std::strstr(reinterpret_cast<const char*>(p_), end);
        if (found == nullptr) {
            p_ += std::strlen(reinterpret_cast<const char*>(p_));
            return false;
        }
        p_ = reinterpret_cast<const Byte*>(found) + std::strlen(end);
        return true;
    }
    // TinyXML's SkipWhiteSpace: ASCII white space, and in UTF-8 the
    // byte-order mark and the two non-characters that look like it.
    void skipSpace() {
        for (;;) {
            if (isSpace(*p_)) {
                ++p_;
            } else if (encoding_ == Encoding::Utf8 && p_[0] == 0xEF &&
                       ((p_[1] == 0xBB && p_[2] == 0xBF) || (p_[1] == 0xBF && (p_[2] == 0xBE || p_[2] == 0xBF)))) {
                p_ += 3;
            } else {
                return;
            }
        }
    }
    void skipName() {
        while (isNameChar(*p_)) ++p_;
    }

    Verdict node(bool topLevel);
    Verdict declaration(bool topLevel);
    Verdict keyword(const char** matched);
    Verdict element();
    Verdict attribute(const Byte** value, const Byte** valueEnd);
    Verdict content();
    Verdict text(Byte end);
    Verdict character();
    Verdict reference();

    const Byte* p_;
    Encoding encoding_ = Encoding::Unknown;
    unsigned depth_ = 0;
    const Byte* openElements_[kMaxReelFileNesting] = {};  // where each open element begins
    Refusal refusal_ = Refusal::None;
    const Byte* where_ = nullptr;
    Unfinished unfinished_ = Unfinished::None;
    const Byte* open_ = nullptr;
};

Verdict Scanner::document() {
    if (p_[0] == 0xEF && p_[1] == 0xBB && p_[2] == 0xBF) {
        encoding_ = Encoding::Utf8;  // the byte-order mark settles it
    }
    for (;;) {
        // Between top-level nodes TinyXML skips white space; whether a byte
        // above 0x7F is white space is the host's locale's business, so the
        // screen skips those too and reads on wherever TinyXML might.
        while (isSpace(*p_) || *p_ >= 0x80) ++p_;
        if (*p_ != '<') return Verdict::Stop;  // the end, or text: TinyXML stops
        const Verdict v = node(true);
        if (v != Verdict::Go) return v;
    }
}

Verdict Scanner::node(bool topLevel) {
    // At '<': TinyXML's order of tests.
    if (startsWithIgnoringCase(p_, nullptr, "<?xml")) {
        return declaration(topLevel);
    }
    const Byte* start = p_;
    if (at("<!--")) {
        p_ += 4;
        return skipPast("-->") ? Verdict::Go : ended(Unfinished::Comment, start);
    }
    if (at("<![CDATA[")) {
        p_ += 9;
        if (!skipPast("]]>")) return ended(Unfinished::Markup, start);
        return *p_ == '\0' ? Verdict::Stop : Verdict::Go;
    }
    if (!at("<!") && isNameStart(p_[1])) {
        return element();
    }
    // "<!DOCTYPE ...>", another processing instruction, a stray end tag:
    // TinyXML keeps it up to the first '>'.
    ++p_;
    return skipPast(">") ? Verdict::Go : ended(Unfinished::Markup, start);
}

Verdict Scanner::declaration(bool topLevel) {
    // "<?xml" in any case, "<?xml-stylesheet" included.  TinyXML reads the
    // words beginning with version, encoding or standalone as attributes and
    // steps over any other word up to white space or '>', and the
    // declaration ends at the first '>' outside an attribute's value.
    p_ += 5;
    bool named = false;
    Encoding said = Encoding::Utf8;
    for (;;) {
        if (*p_ == '\0') return Verdict::Stop;
        if (*p_ == '>') {
            ++p_;
            break;
        }
        skipSpace();
        const char* word = nullptr;
        if (keyword(&word) == Verdict::Refuse) return Verdict::Refuse;
        if (word != nullptr) {
            const Byte* value = nullptr;
            const Byte* valueEnd = nullptr;
            const Verdict v = attribute(&value, &valueEnd);
            if (v != Verdict::Go) return v;
            if (word[0] == 'e') {
                // The last encoding attribute counts.  A value with a
                // reference is taken for UTF-8, the stricter reading.
                named = true;
                const bool unicode = value == valueEnd || std::memchr(value, '&', valueEnd - value) != nullptr ||
                                     startsWithIgnoringCase(value, valueEnd, "utf-8") ||
                                     startsWithIgnoringCase(value, valueEnd, "utf8");
                said = unicode ? Encoding::Utf8 : Encoding::Legacy;
            }
            continue;
        }
        for (Byte c = *p_; c != '\0' && c != '>' && !isSpace(c); c = *++p_) {
            if (c >= 0x80) return refuse(Refusal::LocaleDependent, p_);
        }
    }
    if (topLevel && encoding_ == Encoding::Unknown) {
        encoding_ = named ? said : Encoding::Utf8;
    }
    return Verdict::Go;
}

Verdict Scanner::keyword(const char** matched) {
    // TinyXML compares with the host's tolower, which in a Turkish locale
    // does not fold 'I' to 'i' and may fold a byte above 0x7F to it.
    static const char* const kKeywords[] = {"version", "encoding", "standalone"};
    for (const char* k : kKeywords) {
        bool ambiguous = false;
        size_t i = 0;
        for (; k[i] != '\0'; ++i) {
            const Byte c = p_[i];
            if (k[i] == 'i' && (c == 'I' || c >= 0x80)) {
                ambiguous = true;
            } else if (lower(c) != k[i]) {
                break;
            }
        }
        if (k[i] == '\0') {
            if (ambiguous) return refuse(Refusal::LocaleDependent, p_);
            *matched = k;
            return Verdict::Go;
        }
    }
    return Verdict::Go;
}

Verdict Scanner::element() {
    const Byte* start = p_;
    ++p_;
    skipSpace();
    if (!isNameStart(*p_)) return Verdict::Stop;
    skipName();
    if (*p_ == '\0') return Verdict::Stop;
    if (++depth_ > kMaxReelFileNesting) return refuse(Refusal::TooDeep, start);
    openElements_[depth_ - 1] = start;
    for (;;) {
        skipSpace();
        if (*p_ == '\0') return Verdict::Stop;
        if (*p_ == '/') {
            if (p_[1] != '>') return Verdict::Stop;
            p_ += 2;
            --depth_;
            return Verdict::Go;
        }
        if (*p_ == '>') {
            ++p_;
            const Verdict v = content();
            if (v != Verdict::Go) return v;
            // At "</".  Whether the name matches is TinyXML's to judge (it
            // fails if not); after the name only white space may come.
            p_ += 2;
            skipName();
            skipSpace();
            if (*p_ != '>') return Verdict::Stop;
            ++p_;
            --depth_;
            return Verdict::Go;
        }
        const Byte* value = nullptr;
        const Byte* valueEnd = nullptr;
        const Verdict v = attribute(&value, &valueEnd);
        if (v != Verdict::Go) return v;
    }
}

Verdict Scanner::attribute(const Byte** value, const Byte** valueEnd) {
    if (!isNameStart(*p_)) return Verdict::Stop;
    skipName();
    skipSpace();
    if (*p_ != '=') return Verdict::Stop;
    ++p_;
    skipSpace();
    const Byte quote = *p_;
    if (quote == '"' || quote == '\'') {
        *value = ++p_;
        const Verdict v = text(quote);
        if (v == Verdict::Stop && *p_ == '\0') return ended(Unfinished::Value, *value - 1);
        if (v != Verdict::Go) return v;
        *valueEnd = p_++;
        return *p_ == '\0' ? Verdict::Stop : Verdict::Go;
    }
    // Unquoted, up to white space, '/' or '>'.  Whether a byte above 0x7F
    // ends it (or is skipped before it) is the host's locale's business.
    *value = p_;
    for (Byte c = *p_; c != '\0' && !isSpace(c) && c != '/' && c != '>'; c = *++p_) {
        if (c == '"' || c == '\'') return Verdict::Stop;
        if (c >= 0x80) return refuse(Refusal::LocaleDependent, p_);
    }
    *valueEnd = p_;
    return *p_ == '\0' ? Verdict::Stop : Verdict::Go;
}

Verdict Scanner::content() {
    const Byte* element = openElements_[depth_ - 1];
    skipSpace();
    for (;;) {
        if (*p_ == '\0') return ended(Unfinished::Element, element);  // the end tag is missing
        if (*p_ != '<') {
            const Verdict v = text('<');
            if (v == Verdict::Stop && *p_ == '\0') return ended(Unfinished::Element, element);
            if (v != Verdict::Go) return v;
            if (p_[1] == '\0') return ended(Unfinished::Element, element);
        } else if (p_[1] == '/') {
            return Verdict::Go;
        } else {
            const Verdict v = node(false);
            if (v != Verdict::Go) return v;
        }
        skipSpace();
    }
}

Verdict Scanner::text(Byte end) {
    while (*p_ != end) {
        if (*p_ == '\0') return Verdict::Stop;
        const Verdict v = character();
        if (v != Verdict::Go) return v;
    }
    return Verdict::Go;
}

Verdict Scanner::character() {
    // One step of TinyXML's GetChar: a reference, or in UTF-8 a whole
    // character by its lead byte, or one byte.
    const Byte c = *p_;
    if (c == '&') return reference();
    if (encoding_ == Encoding::Utf8 && c >= 0xC2 && c <= 0xF4) {
        const unsigned following = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        for (unsigned i = 1; i <= following; ++i) {
            if (p_[i] == '\0') return refuse(Refusal::CutCharacter, p_);
            if (p_[i] < 0x80 || p_[i] > 0xBF) return refuse(Refusal::BrokenCharacter, p_);
        }
        p_ += following + 1;
        return Verdict::Go;
    }
    ++p_;
    return Verdict::Go;
}

Verdict Scanner::reference() {
    // At '&'.  TinyXML decodes "&#...;" and "&#x...;" by finding the next
    // ';' however far away and reading digits back from it to the '#' or
    // 'x'; any other byte on the way back fails the parse.  Named references
    // and a lone '&' hold no markup, so they are stepped over a byte at a
    // time like other text.
    if (p_[1] != '#' || p_[2] == '\0') {
        ++p_;
        return Verdict::Go;
    }
    const bool hex = p_[2] == 'x';
    const Byte* digits = p_ + (hex ? 3 : 2);
    if (*digits == '\0') return Verdict::Stop;
    const char* found = std::strchr(reinterpret_cast<const char*>(digits), ';');
    if (found == nullptr) return Verdict::Stop;
    const Byte* semicolon = reinterpret_cast<const Byte*>(found);
    const Byte* q = semicolon;
    while (q > digits && (hex ? isHexDigit(q[-1]) : isDigit(q[-1]))) --q;
    if (q == digits) {
        p_ = semicolon + 1;
        return Verdict::Go;
    }
    if (q[-1] == (hex ? 'x' : '#')) return refuse(Refusal::MalformedReference, p_);
    return Verdict::Stop;
}

// Line and column of `where`, counted as TinyXML counts them: lines from 1,
// a tab to the next multiple of 4, in UTF-8 one column a character and none
// for a byte-order mark.
void locate(const Byte* text, const Byte* where, bool utf8, int* outRow, int* outColumn) {
    int row = 1;
    int column = 0;
    for (const Byte* p = text; p < where; ++p) {
        if (*p == '\n') {
            ++row;
            column = 0;
        } else if (*p == '\t') {
            column = (column / 4 + 1) * 4;
        } else if (utf8 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
            p += 2;  // a byte-order mark takes no column
        } else if (!utf8 || *p < 0x80 || *p > 0xBF) {
            ++column;
        }
    }
    *outRow = row;
    *outColumn = column + 1;
}

// TinyXML's file loader turns CR LF and a lone CR into LF, up to the first
// NUL byte, and parses what it has written.  Returns the text's new length.
size_t normaliseLineEnds(char* text, size_t length) {
    const char* in = text;
    const char* end = text + length;
    char* out = text;
    while (in < end && *in != '\0') {
        if (*in == '\r') {
            *out++ = '\n';
            ++in;
            if (in < end && *in == '\n') ++in;
        } else {
            *out++ = *in++;
        }
    }
    return static_cast<size_t>(out - text);
}

}  // namespace

Screening screenReelText(const char* text) {
    Screening result;
    const Byte* begin = reinterpret_cast<const Byte*>(text);
    Scanner scanner(begin);
    if (scanner.document() == Verdict::Refuse) {
        result.refusal = scanner.refusal();
        locate(begin, scanner.refusedAt(), scanner.utf8(), &result.row, &result.column);
    } else if (scanner.unfinished() != Unfinished::None) {
        result.unfinished = scanner.unfinished();
        locate(begin, scanner.openedAt(), scanner.utf8(), &result.openRow, &result.openColumn);
        int endColumn = 0;
        locate(begin, begin + std::strlen(text), scanner.utf8(), &result.endRow, &endColumn);
        if (result.unfinished == Unfinished::Element) {
            const Byte* name = scanner.openedAt() + 1;
            size_t n = 0;
            while (n < sizeof result.openName - 1 && isNameChar(name[n])) ++n;
            std::memcpy(result.openName, name, n);
        }
    }
    return result;
}

TiXmlDocument* parseReelText(char* text, size_t size, ReelFileLoad* load) {
    ReelFileLoad scratch;
    ReelFileLoad& r = load != nullptr ? *load : scratch;
    const size_t length = normaliseLineEnds(text, size);
    std::memset(text + length, 0, size + kScreenPadding - length);
    r.screening = screenReelText(text);
    if (r.screening.refusal != Refusal::None) {
        r.status = ReelFileLoad::Refused;
        return nullptr;
    }
    TiXmlDocument* document = new (std::nothrow) TiXmlDocument();
    if (document == nullptr) {
        r.status = ReelFileLoad::OutOfMemory;
        return nullptr;
    }
    try {
        document->Parse(text, nullptr, TIXML_DEFAULT_ENCODING);
        if (document->Error()) {
            r.status = ReelFileLoad::ParseFailed;
            std::strncpy(r.parserError, document->ErrorDesc(), sizeof r.parserError - 1);
            r.row = document->ErrorRow();
            r.column = document->ErrorCol();
        } else {
            r.status = ReelFileLoad::Loaded;
        }
    } catch (...) {
        r.status = ReelFileLoad::OutOfMemory;  // the parser's own allocations must not escape
    }
    if (r.status != ReelFileLoad::Loaded) {
        delete document;
        document = nullptr;
    }
    return document;
}

TiXmlDocument* loadReelFile(const char* path, ReelFileLoad* load, unsigned long long maxBytes) {
    ReelFileLoad scratch;
    ReelFileLoad& r = load != nullptr ? *load : scratch;
    r = ReelFileLoad();
    // Opened without blocking, so that a FIFO is refused, not waited on.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        r.status = ReelFileLoad::CannotOpen;
        r.systemError = errno;
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        r.status = ReelFileLoad::CannotRead;
        r.systemError = errno;
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        r.status = ReelFileLoad::NotRegularFile;
        r.fileType = static_cast<unsigned>(st.st_mode & S_IFMT);
        ::close(fd);
        return nullptr;
    }
    r.size = static_cast<unsigned long long>(st.st_size);
    if (r.size > maxBytes) {
        r.status = ReelFileLoad::TooLarge;
        ::close(fd);
        return nullptr;
    }
    const size_t size = static_cast<size_t>(r.size);
    char* text = size == r.size && size < SIZE_MAX - kScreenPadding
                     ? new (std::nothrow) char[size + kScreenPadding]
                     : nullptr;
    if (text == nullptr) {
        r.status = ReelFileLoad::OutOfMemory;
        ::close(fd);
        return nullptr;
    }
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, text + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            r.status = ReelFileLoad::CannotRead;
            r.systemError = n < 0 ? errno : 0;
            break;
        }
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got < size) {
        delete[] text;
        return nullptr;
    }

    TiXmlDocument* document = parseReelText(text, size, &r);
    delete[] text;
    return document;
}

}  // namespace yarvo::detail
